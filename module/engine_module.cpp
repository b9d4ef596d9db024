// vekzip._engine, private to the vekzip package: one stream compressed on
// several threads, giving exactly the bytes of one vek.compressobj fed the
// same chunks. Each chunk is encoded on a worker as a fragment, detached
// from the stream; the calling thread appends the fragments in order, at
// the state the stream has then (see Fragment in the core).
#include <pybind11/pybind11.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "interpreter_lock.h"
#include "pieces.h"
#include "vek_core.h"

namespace py = pybind11;

namespace vek {
namespace {

// One chunk: its input, held until joined, and its fragments.
struct Job {
    Py_buffer view{};
    long index = 0;
    struct Piece {
        Fragment fragment{};
        std::unique_ptr<uint8_t[]> bytes;
        size_t capacity = 0;
    };
    std::vector<Piece> pieces;
    bool done = false;
    bool failed = false;
};

class ParallelStream {
public:
    ParallelStream(int level, int format, int threads, long fail_at)
        : threads_(threads < 1 ? 1 : threads), fail_at_(fail_at) {
        init_stream(&stream_, level, format);
        level_ = stream_.level;
        format_ = stream_.format;
        table_.reset(new MatchTable);  // not zeroed: bias 0 has it emptied on first use
        table_->bias = 0;
        if (threads_ > 1)
            for (int i = 0; i < threads_; ++i) workers_.emplace_back([this] { work(); });
    }

    ~ParallelStream() {
        stop_workers();
        release_views(pending_);
    }

    ParallelStream(const ParallelStream&) = delete;
    ParallelStream& operator=(const ParallelStream&) = delete;

    // Takes a chunk (any contiguous buffer) and returns the stream's bytes
    // that are complete so far, in order.
    py::bytes write(const py::object& chunk) {
        auto lock = lock_call(call_mutex_);
        check_usable();
        auto job = std::make_shared<Job>();
        if (PyObject_GetBuffer(chunk.ptr(), &job->view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
        job->index = next_index_++;
        if (workers_.empty()) return write_serially(job);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(job);
        }
        pending_.push_back(job);
        work_ready_.notify_one();
        join(false);
        return take_output();
    }

    // Waits for every chunk and adds a sync point: the bytes up to it, after
    // which all input so far can be inflated.
    py::bytes sync() {
        auto lock = lock_call(call_mutex_);
        join_all_then(sync_stream, sync_output_limit);
        return take_output();
    }

    // Waits for every chunk and ends the stream: the rest of its bytes.
    py::bytes finish() {
        auto lock = lock_call(call_mutex_);
        join_all_then(finish_stream, finish_output_limit);
        finished_ = true;
        {
            py::gil_scoped_release released;
            stop_workers();
        }
        return take_output();
    }

private:
    // Every chunk joined, then one closing operation of the core (at most
    // `limit` bytes) appended.
    void join_all_then(int32_t (*operation)(DeflateStream*, uint8_t*), size_t limit) {
        check_usable();
        join(true);
        reserve_output(limit);
        out_used_ += size_t(operation(&stream_, out_.get() + out_used_));
    }

    void check_usable() const {
        if (broken_) throw py::value_error("the stream was ended by an earlier failure");
        if (finished_) throw py::value_error("write() or finish() after finish()");
    }

    // One thread: the chunk goes straight through the stream, as compressobj does it.
    py::bytes write_serially(const std::shared_ptr<Job>& job) {
        const auto* data = static_cast<const uint8_t*>(job->view.buf);
        const size_t n = size_t(job->view.len);
        try {
            if (job->index == fail_at_) throw std::bad_alloc();
            reserve_output(pieces_room(stream_, n));
        } catch (const std::bad_alloc&) {
            // As on many threads: a stream that lost a chunk takes no more.
            broken_ = true;
            PyBuffer_Release(&job->view);
            throw;
        }
        {
            MaybeReleaseLock released(n);
            out_used_ += encode_pieces(stream_, out_.get() + out_used_, data, n, *table_);
        }
        PyBuffer_Release(&job->view);
        return take_output();
    }

    void work() {
        auto table = std::unique_ptr<MatchTable>(new (std::nothrow) MatchTable);
        if (table) table->bias = 0;
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                job = queue_.front();
                queue_.pop_front();
            }
            bool failed = false;
            try {
                if (!table || job->index == fail_at_) throw std::bad_alloc();
                encode_job(*job, *table);
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                job->failed = failed;
                job->done = true;
            }
            job_done_.notify_all();
        }
    }

    void encode_job(Job& job, MatchTable& table) {
        const auto* data = static_cast<const uint8_t*>(job.view.buf);
        const size_t n = size_t(job.view.len);
        size_t offset = 0;
        do {
            const size_t piece = std::min(n - offset, max_piece);
            Job::Piece p;
            take_buffer(p, max_fragment_output(level_, piece));
            encode_fragment(&p.fragment, level_, format_, p.bytes.get(), data + offset, int32_t(piece), &table);
            job.pieces.push_back(std::move(p));
            offset += piece;
        } while (offset < n);
    }

    py::bytes take_output() {
        py::bytes result(reinterpret_cast<const char*>(out_.get()), out_used_);
        out_used_ = 0;
        return result;
    }

    // Room for `room` more bytes after those of the call in progress; new
    // room is not zeroed (it is written before it is read).
    void reserve_output(size_t room) {
        if (out_capacity_ >= out_used_ + room) return;
        const size_t capacity = std::max(out_used_ + room, 2 * out_capacity_);
        auto grown = std::make_unique_for_overwrite<uint8_t[]>(capacity);
        if (out_used_ > 0) std::memcpy(grown.get(), out_.get(), out_used_);
        out_ = std::move(grown);
        out_capacity_ = capacity;
    }

    // Appends the finished chunks at the front, in order: all of them when
    // `everything`, else those done, waiting only while more than two chunks
    // a thread are in flight. Raises MemoryError for a chunk that failed.
    void join(bool everything) {
        std::vector<std::shared_ptr<Job>> joined;
        bool failed = false;
        {
            py::gil_scoped_release released;
            while (!pending_.empty()) {
                const std::shared_ptr<Job> job = pending_.front();
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    const bool must_wait = everything || pending_.size() > 2 * size_t(threads_);
                    if (!job->done && !must_wait) break;
                    job_done_.wait(lock, [&] { return job->done; });
                }
                if (job->failed) {
                    failed = true;
                    break;
                }
                if (!append_job(*job)) {
                    failed = true;
                    break;
                }
                pending_.pop_front();
                joined.push_back(job);
            }
            if (failed) stop_workers();
        }
        release_views(joined);
        if (failed) {
            broken_ = true;
            release_views(pending_);
            pending_.clear();
            throw std::bad_alloc();
        }
    }

    bool append_job(Job& job) {
        try {
            for (const Job::Piece& p : job.pieces) {
                reserve_output(max_append_output(stream_, p.fragment));
                out_used_ += size_t(append_fragment(&stream_, out_.get() + out_used_, p.fragment, p.bytes.get()));
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
        {
            // Fresh pages cost a fault each and freed ones a shootdown on
            // every core: the buffers go round, at most those in flight.
            std::lock_guard<std::mutex> lock(mutex_);
            for (Job::Piece& p : job.pieces)
                if (spare_.size() < 2 * size_t(threads_) + 2) spare_.push_back(std::move(p));
        }
        job.pieces.clear();
        return true;
    }

    // A spare buffer of at least `size` bytes, or a new one.
    void take_buffer(Job::Piece& p, size_t size) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = spare_.begin(); it != spare_.end(); ++it) {
                if (it->capacity >= size) {
                    p.bytes = std::move(it->bytes);
                    p.capacity = it->capacity;
                    spare_.erase(it);
                    return;
                }
            }
        }
        p.bytes = std::make_unique_for_overwrite<uint8_t[]>(size);
        p.capacity = size;
    }

    void stop_workers() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        work_ready_.notify_all();
        for (std::thread& t : workers_) t.join();
        workers_.clear();
    }

    // The jobs' inputs, given back with the interpreter lock held.
    template <class Jobs>
    static void release_views(const Jobs& jobs) {
        for (const auto& job : jobs) PyBuffer_Release(&job->view);
    }

    DeflateStream stream_{};
    int level_ = 1;
    int format_ = format_gzip;
    const int threads_;
    const long fail_at_;
    long next_index_ = 0;
    bool finished_ = false;
    bool broken_ = false;
    std::unique_ptr<MatchTable> table_;  // the single-thread path's
    std::unique_ptr<uint8_t[]> out_;     // the bytes of the call in progress
    size_t out_capacity_ = 0;
    size_t out_used_ = 0;
    std::deque<std::shared_ptr<Job>> pending_;  // written, not yet joined, in order

    std::mutex call_mutex_;  // one call at a time; the interpreter lock is released inside
    std::mutex mutex_;       // guards queue_, stopping_ and each job's done and failed
    std::condition_variable work_ready_;
    std::condition_variable job_done_;
    std::deque<std::shared_ptr<Job>> queue_;  // not yet taken by a worker
    std::vector<Job::Piece> spare_;           // fragment buffers joined and free again
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace
}  // namespace vek

PYBIND11_MODULE(_engine, m) {
    using vek::ParallelStream;
    py::class_<ParallelStream>(m, "Stream")
        .def(py::init<int, int, int, long>(), py::arg("level"), py::arg("format"), py::arg("threads"),
             py::arg("fail_at") = -1)
        .def("write", &ParallelStream::write, py::arg("chunk"))
        .def("sync", &ParallelStream::sync)
        .def("finish", &ParallelStream::finish);
}

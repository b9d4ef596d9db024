// vekzip._engine, private to the vekzip package, built for every supported
// Python: a zlib-style compressor that gathers its input into chunks and
// compresses them on one thread or several (ParallelStream), and the
// one-shot compression of a whole buffer. For the same chunks the bytes are
// those of one vek.compressobj, whatever the number of threads.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "buffer_pool.h"
#if VEK_HAVE_ZLIB
#include "chunk_inflater_binding.h"
#endif
#include "fork_guard.h"
#include "interpreter_lock.h"
#include "parallel_stream.h"
#include "pieces.h"
#include "result_bytes.h"
#include "thread_scratch.h"
#include "vek_core.h"

#include <unistd.h>

namespace py = pybind11;

namespace vek {
namespace {

// zlib's flush modes, as zlib.Z_* gives them.
enum FlushMode : int { no_flush = 0, partial_flush = 1, sync_flush = 2, full_flush = 3, finish = 4, block_flush = 5 };

MatchTable& caller_table() {
    ThreadScratch* scratch = thread_scratch();
    if (scratch == nullptr) throw std::bad_alloc();
    return scratch->table;
}

// A C-contiguous buffer of any exporter, given back on every path.
class InputView {
public:
    explicit InputView(py::handle object) {
        if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
    }
    ~InputView() { PyBuffer_Release(&view_); }
    InputView(const InputView&) = delete;
    InputView& operator=(const InputView&) = delete;

    const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
    size_t size() const { return size_t(view_.len); }

    // The bytes object whose storage the view shows, when there is one: its
    // contents never change, so chunks of it can be read after the call
    // returns, for as long as a reference is held. Anything else may change.
    PyObject* immutable_owner() const {
        PyObject* obj = view_.obj;
        if (obj != nullptr && PyMemoryView_Check(obj)) obj = PyMemoryView_GET_BASE(obj);
        return obj != nullptr && PyBytes_CheckExact(obj) ? obj : nullptr;
    }

private:
    Py_buffer view_{};
};

// The most bytes that n bytes of input in chunks of `chunk` can become,
// from a stream in the given state, its finish included, with the markers
// between chunks when they are marked.
size_t stream_bound(const DeflateStream& start, size_t n, size_t chunk, bool marked) {
    DeflateStream s = start;
    size_t room = finish_output_limit;
    size_t offset = 0;
    do {
        const size_t piece = std::min(n - offset, chunk);
        room += pieces_room(s, piece) + (marked ? 2 * sync_output_limit : 0);
        s.state = StreamState::BlockBoundary;  // the header goes with the first chunk only
        offset += piece;
    } while (offset < n);
    return room;
}

// Each chunk's (start, length, CRC-32, last byte), for an index.
py::list chunk_list(const ParallelStream& stream) {
    py::list records;
    for (const ChunkRecord& c : stream.chunks())
        records.append(py::make_tuple(c.start, c.length, c.crc, c.last_byte));
    return records;
}

// The stream and its workers, or RuntimeError when they cannot start (all
// started ones joined).
std::unique_ptr<ParallelStream> start_stream(int level, int format, int workers, long fail_at) {
    try {
        return std::make_unique<ParallelStream>(level, format, workers, fail_at);
    } catch (const std::system_error& error) {
        throw std::runtime_error("could not start " + std::to_string(workers) + " worker thread" +
                                 (workers == 1 ? "" : "s") + " (" + error.what() + ")");
    }
}

}  // namespace

// What a view of a compressor's output holds: that output, which the
// compressor leaves unchanged while anything else holds it.
struct OutputHolder {
    std::shared_ptr<const Output> output;
};

class Compressor {
public:
    Compressor(int level, int format, int threads, size_t chunk_size, const py::bytes& header, bool index,
               long fail_at)
        : chunk_size_(std::max<size_t>(chunk_size, 1)), generation_(fork_generation()) {
        if (index && format != format_gzip) throw py::value_error("an index is for gzip streams only");
        // `threads` counts the caller, as in compress(): threads - 1 workers,
        // and the caller encodes whenever they fall behind. (A worker for
        // every thread had the caller encode a third chunk beside them on
        // two cores while they ran dry: 0.76 of compress() at threads=2.)
        stream_ = start_stream(level, format, std::max(threads, 1) - 1, fail_at);
        // Besides a chunk on each worker, one waiting, so that a worker finds
        // the next while the caller is away writing output or reading input;
        // two when the chunks are read in place from the caller's bytes, as
        // they hold no 4 MiB area of ours (3% faster at threads=2, where for
        // the tool's own areas one more costs 6-8 MiB and gains nothing).
        const size_t threads_or_one = size_t(std::max(threads, 1));
        stream_->limit_in_flight(threads_or_one, threads_or_one + 1);
        // A gzip header of the caller's (a name, a time) in place of vek's
        // fixed one: it goes out with the first bytes, and the stream
        // carries on as if it had written its own.
        header_ = header;
        if (!header_.empty() && format == format_gzip) stream_->header_written();
        else header_.clear();
        marked_ = index;
        if (index) stream_->mark_chunks();
    }

    ~Compressor() {
        std::vector<std::unique_ptr<Job>> returned;
        end_workers(returned);
        give_back(returned);
        Py_XDECREF(span_owner_);
        BufferPool::give(std::move(area_));
    }

    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    py::bytes compress(py::handle data) {
        check_process();
        auto lock = lock_call(call_mutex_);
        check_compressing();
        InputView view(data);
        if (view.size() == 0) return py::bytes();
        if (!stream_->parallel()) return compress_serially(view);
        compress_in_parallel(view, fresh_output());
        return take_output();
    }

    // As compress(), the result a read-only view of the compressor's own
    // output area: no new object to fill (and fault in) on every call. The
    // next call writes elsewhere while a view of it is still referenced.
    py::object compress_out(py::handle data) {
        check_process();
        auto lock = lock_call(call_mutex_);
        check_compressing();
        InputView view(data);
        Output& out = fresh_output();
        if (view.size() > 0) {
            put_header(out);
            if (stream_->parallel()) compress_in_parallel(view, out);
            else serial_chunks(view, out);
        }
        return output_view();
    }

    // Up to `limit` bytes read from the descriptor straight into the
    // gathered area (read() until the limit or the end), compressed as
    // compress() would compress them: (bytes read, errno of a read that
    // failed or 0, the output as from compress_out). A read that failed
    // leaves what was read before it taken.
    py::tuple compress_from(int fd, size_t limit) {
        check_process();
        auto lock = lock_call(call_mutex_);
        check_compressing();
        gather_span();
        Output& out = fresh_output();
        put_header(out);
        std::vector<std::unique_ptr<Job>> returned;
        size_t taken = 0;
        int read_error = 0;
        failing([&] {
            bool interrupted;
            do {
                interrupted = false;
                {
                    LockLetGoToRead released;
                    while (taken < limit) {
                        const size_t want = std::min(limit - taken, chunk_size_ - filled_);
                        const ssize_t got = ::read(fd, room_for(want), want);
                        if (got < 0 && errno == EINTR) {
                            interrupted = true;
                            break;
                        }
                        if (got <= 0) {
                            read_error = got < 0 ? errno : 0;
                            break;
                        }
                        filled_ += size_t(got);
                        taken += size_t(got);
                        if (filled_ == chunk_size_) hand_over_gathered(returned);
                    }
                    if (!interrupted && stream_->parallel()) stream_->join(false, out, caller_table(), returned);
                }
                // As Python's own reads: a signal handler that raises ends the call.
                if (interrupted && PyErr_CheckSignals() != 0) throw py::error_already_set();
            } while (interrupted);
        }, returned);
        give_back(returned);
        return py::make_tuple(taken, read_error, output_view());
    }

    py::bytes flush(int mode) {
        if (!flush_into(mode)) return py::bytes();
        return take_output();
    }

    // As flush(), the result a view as from compress_out.
    py::object flush_out(int mode) {
        if (!flush_into(mode)) fresh_output();
        return output_view();
    }

    // Ends the stream without its end: the workers stopped and joined, the
    // inputs given back; afterwards every call raises. For a writer whose
    // output is thrown away after a failure. In a forked child nothing is
    // waited for.
    void abandon() {
        std::vector<std::unique_ptr<Job>> returned;
        std::unique_lock<std::mutex> lock;  // a forked child takes no lock: its holder may not exist there
        if (generation_ == fork_generation()) lock = lock_call(call_mutex_);
        end_workers(returned);
        broken_ = true;
        give_back(returned);
        Py_XDECREF(span_owner_);
        span_owner_ = nullptr;
        span_size_ = 0;
    }

    size_t chunk_size() const { return chunk_size_; }

    // With an index: each chunk's (start, length, CRC-32, last byte).
    py::list chunks() const { return chunk_list(*stream_); }
    uint64_t written() const { return stream_->written(); }

private:
    // The stream's output of a call into out_: false when there is none.
    bool flush_into(int mode) {
        check_process();
        auto lock = lock_call(call_mutex_);
        if (mode != no_flush && mode != partial_flush && mode != sync_flush && mode != full_flush &&
            mode != finish && mode != block_flush)
            throw py::value_error("flush mode must be one of zlib's: Z_NO_FLUSH, Z_PARTIAL_FLUSH, Z_SYNC_FLUSH, "
                                  "Z_FULL_FLUSH, Z_BLOCK or Z_FINISH, not " + std::to_string(mode));
        check_usable();  // also once finished: a finish whose output was lost is not finished
        if (finished_) return false;
        if (mode == no_flush) return false;
        // No history crosses a chunk, so every kind of flush short of the
        // finish is zlib's sync flush: the open block closed, the output
        // aligned, and nothing after it refers back.
        const bool ending = mode == finish;
        std::vector<std::unique_ptr<Job>> returned;
        Output& out = fresh_output();
        put_header(out);
        failing([&] {
            ReleasedLock released;
            hand_over_gathered(returned);
            stream_->join(true, out, caller_table(), returned);
            if (ending) stream_->close_with(finish_stream, finish_output_limit, out);
            else stream_->close_with(sync_stream, sync_output_limit, out);
            if (ending) stream_->stop(returned);
        }, returned);
        if (ending) {
            finished_ = true;
            BufferPool::give(std::move(area_));
        }
        give_back(returned);
        return true;
    }

    void check_compressing() const {
        if (finished_) throw py::value_error("compress() called after flush(Z_FINISH): the stream is finished");
        check_usable();
    }

    // The output area of this call, emptied: the same one as before unless
    // a view of that one is still held.
    Output& fresh_output() {
        if (out_.use_count() > 1) out_ = std::make_shared<Output>();
        out_->clear();
        return *out_;
    }

    // A read-only memoryview of out_, which keeps it alive.
    py::object output_view() {
        try {
            py::object holder = py::cast(OutputHolder{out_});
            PyObject* view = PyMemoryView_FromObject(holder.ptr());
            if (view == nullptr) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(view);
        } catch (...) {
            broken_ = true;  // see take_output
            throw;
        }
    }

    void check_process() const {
        if (generation_ != fork_generation())
            throw std::runtime_error("this stream belongs to the process that made it; after fork() a child "
                                     "cannot use it (make a new one there)");
    }

    // The workers gone, their jobs handed to `returned`: stopped and joined,
    // or, in a forked child where they do not exist, forgotten.
    void end_workers(std::vector<std::unique_ptr<Job>>& returned) {
        if (generation_ != fork_generation()) {
            stream_->forsake(returned);
            return;
        }
        ReleasedLock released;
        stream_->stop(returned);
    }

    void check_usable() const {
        if (broken_) throw py::value_error("the stream was ended by an earlier failure or abandoned");
    }

    // Runs a step that may lose input (a chunk that failed, memory that ran
    // out): afterwards the stream takes nothing more.
    template <class Step>
    void failing(Step&& step, std::vector<std::unique_ptr<Job>>& returned) {
        try {
            step();
        } catch (const ChunkFailed&) {
            broken_ = true;
            give_back(returned);
            throw std::bad_alloc();
        } catch (...) {
            broken_ = true;
            end_workers(returned);
            give_back(returned);
            throw;
        }
    }

    // The caller's gzip header, ahead of the first bytes out.
    void put_header(Output& out) {
        if (header_.empty()) return;
        out.reserve(header_.size());
        std::memcpy(out.end(), header_.data(), header_.size());
        out.advance(header_.size());
        stream_->note_written(header_.size());
        header_.clear();
    }

    // One thread: whole chunks go straight through the stream into the
    // result, read in place from the caller's buffer when the gathered
    // area is empty.
    py::bytes compress_serially(const InputView& view) {
        if (pending() + view.size() < chunk_size_) {
            serial_chunks(view, *out_);  // nothing to encode: kept or gathered
            return py::bytes();
        }
        const size_t chunks = (pending() + view.size()) / chunk_size_;
        ResultBytes result(header_.size() +
                           stream_bound(stream_->stream(), chunks * chunk_size_, chunk_size_, marked_));
        Output out(result.data(), std::numeric_limits<size_t>::max());
        put_header(out);
        serial_chunks(view, out);
        return result.take(out.size());
    }

    // The serial path's work: whole chunks through the stream into `out`,
    // the rest left as the next call's start.
    void serial_chunks(const InputView& view, Output& out) {
        const uint8_t* data = view.data();
        size_t n = view.size();
        PyObject* owner = view.immutable_owner();
        Released earlier;
        take_span(data, n, owner, earlier);
        std::vector<std::unique_ptr<Job>> returned;
        failing([&] {
            size_t taken = 0;
            if (filled_ + n >= chunk_size_) {
                MaybeReleaseLock released(n);
                MatchTable& table = caller_table();
                if (filled_ > 0) {
                    taken = chunk_size_ - filled_;
                    gather(data, taken);
                    stream_->encode_now(out, area_.bytes.get(), chunk_size_, table);
                    filled_ = 0;
                }
                for (; n - taken >= chunk_size_; taken += chunk_size_)
                    stream_->encode_now(out, data + taken, chunk_size_, table);
            }
            leave_rest(data + taken, n - taken, owner);
        }, returned);
    }

    // The start of the next chunk can stay where the caller had it: the end
    // of an immutable bytes object, a reference held, while nothing is
    // gathered. When the next call's bytes follow on in the same object
    // (slices of one large buffer written in turn), the two are one input
    // and nothing is copied; otherwise the span is gathered then.
    size_t pending() const { return filled_ + span_size_; }

    // A reference let go once the call is done with the bytes, with the
    // interpreter lock.
    struct Released {
        PyObject* owner = nullptr;
        ~Released() { Py_XDECREF(owner); }
    };

    // The span left by the last call joined to this call's bytes when they
    // follow on from it, else gathered; either way no span is left.
    void take_span(const uint8_t*& data, size_t& n, PyObject* owner, Released& earlier) {
        if (span_size_ == 0) return;
        if (owner == span_owner_ && data == span_data_ + span_size_) {
            data = span_data_;
            n += span_size_;
        } else {
            gather(span_data_, span_size_);  // std::bad_alloc leaves the span as it was
        }
        earlier.owner = span_owner_;
        span_owner_ = nullptr;
        span_data_ = nullptr;
        span_size_ = 0;
    }

    // What is left of a call, less than a chunk: kept in place when it is
    // all there is and cannot change, else gathered. With the interpreter lock.
    void leave_rest(const uint8_t* data, size_t n, PyObject* owner) {
        if (n == 0) return;
        if (filled_ == 0 && owner != nullptr) {
            Py_INCREF(owner);
            span_owner_ = owner;
            span_data_ = data;
            span_size_ = n;
            return;
        }
        gather(data, n);
    }

    // The span, when there is one, gathered (for a read into the area).
    void gather_span() {
        Released earlier;
        const uint8_t* none = nullptr;
        size_t n = 0;
        take_span(none, n, nullptr, earlier);
    }

    // Several threads: whole chunks of an immutable buffer are read in
    // place (a reference held until they are appended), everything else is
    // gathered into areas that become the chunks' own.
    void compress_in_parallel(const InputView& view, Output& out) {
        const uint8_t* data = view.data();
        size_t n = view.size();
        PyObject* owner = view.immutable_owner();
        Released earlier;
        take_span(data, n, owner, earlier);
        const size_t head = filled_ > 0 ? std::min(n, chunk_size_ - filled_) : 0;
        const size_t in_place = owner != nullptr ? (n - head) / chunk_size_ : 0;
        for (size_t i = 0; i < in_place; ++i) Py_INCREF(owner);
        size_t kept = in_place;  // references not yet handed to a job
        struct Unused {
            PyObject* owner;
            size_t& kept;
            ~Unused() {
                for (; kept > 0; --kept) Py_DECREF(owner);
            }
        } unused{owner, kept};
        std::vector<std::unique_ptr<Job>> returned;
        put_header(out);
        failing([&] {
            size_t taken = head;
            {
                ReleasedLock released;
                MatchTable& table = caller_table();
                if (head > 0) {
                    gather(data, head);
                    if (filled_ == chunk_size_) hand_over_gathered(returned);
                }
                for (; n - taken >= chunk_size_; taken += chunk_size_) {
                    if (kept > 0) {
                        auto job = std::make_unique<Job>();
                        job->data = data + taken;
                        job->size = chunk_size_;
                        job->keep = owner;
                        --kept;
                        stream_->submit(std::move(job));
                    } else {
                        gather(data + taken, chunk_size_);
                        hand_over_gathered(returned);
                    }
                    stream_->join(false, out, table, returned);
                }
            }
            leave_rest(data + taken, n - taken, owner);
        }, returned);
        give_back(returned);
    }

    // The gathered area, when it holds anything, as the next chunk: encoded
    // now on one thread, queued on several (its area then the job's own).
    void hand_over_gathered(std::vector<std::unique_ptr<Job>>& returned) {
        if (span_size_ > 0) {
            // Its reference goes with a job, given back with the interpreter lock.
            auto job = std::make_unique<Job>();
            job->data = span_data_;
            job->size = span_size_;
            job->keep = span_owner_;
            span_owner_ = nullptr;
            span_data_ = nullptr;
            span_size_ = 0;
            if (!stream_->parallel()) {
                Job& kept = *job;
                returned.push_back(std::move(job));
                stream_->encode_now(*out_, kept.data, kept.size, caller_table());
                return;
            }
            stream_->submit(std::move(job));
            stream_->join(false, *out_, caller_table(), returned);
            return;
        }
        if (filled_ == 0) return;
        if (!stream_->parallel()) {
            stream_->encode_now(*out_, area_.bytes.get(), filled_, caller_table());
            filled_ = 0;
            return;
        }
        auto job = std::make_unique<Job>();
        job->data = area_.bytes.get();
        job->size = filled_;
        job->owned = std::move(area_);
        area_ = {};
        filled_ = 0;
        stream_->submit(std::move(job));
        stream_->join(false, *out_, caller_table(), returned);
    }

    // Copies into the gathered area. The first one grows with what it holds
    // (never past a chunk), so that a short stream with a large chunk size
    // costs only what it is given; once a chunk has gone, the areas start
    // as whole chunks of up to whole_area_limit bytes, taken round again
    // from those already appended, and larger ones grow as the first does
    // (a write after a flush would otherwise ask for the whole chunk size).
    void gather(const uint8_t* data, size_t n) {
        if (n == 0) return;
        std::memcpy(room_for(n), data, n);
        filled_ += n;
    }

    // Where n more bytes go in the gathered area, grown as gather() says.
    uint8_t* room_for(size_t n) {
        const size_t needed = filled_ + n;
        if (needed > area_.capacity) {
            const size_t first = stream_->submitted() > 0 ? whole_area_limit : size_t(64) << 10;
            PooledBuffer grown =
                BufferPool::take(std::min(chunk_size_, std::max({needed, 2 * area_.capacity, first})));
            if (filled_ > 0) std::memcpy(grown.bytes.get(), area_.bytes.get(), filled_);
            BufferPool::give(std::move(area_));
            area_ = std::move(grown);
        }
        return area_.bytes.get() + filled_;
    }

    // With the interpreter lock: the inputs of chunks done with.
    void give_back(std::vector<std::unique_ptr<Job>>& returned) {
        for (auto& job : returned) {
            if (job->keep != nullptr) Py_DECREF(static_cast<PyObject*>(job->keep));
            job->keep = nullptr;
            BufferPool::give(std::move(job->owned));
            for (Job::Piece& p : job->pieces) BufferPool::give(std::move(p.bytes));
        }
        returned.clear();
    }

    // The call's output as bytes. Its input is taken already, so when there
    // is no memory for the result (MemoryError) the output is lost with it:
    // the stream then takes nothing more, rather than go on without it (a
    // raw stream would inflate cleanly to other bytes).
    py::bytes take_output() {
        PyObject* result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out_->data()),
                                                     Py_ssize_t(out_->size()));
        if (result == nullptr) {
            broken_ = true;
            throw py::error_already_set();
        }
        out_->clear();
        return py::reinterpret_steal<py::bytes>(result);
    }

    // Past the default chunk (4 MiB): growing an area of that size by
    // doubling would copy it once more while filling it.
    static constexpr size_t whole_area_limit = size_t(16) << 20;

    std::unique_ptr<ParallelStream> stream_;
    std::string header_;  // a gzip header still to go out
    bool marked_ = false;  // chunks marked and recorded, for an index
    const size_t chunk_size_;
    const uint64_t generation_;
    bool finished_ = false;
    bool broken_ = false;
    // Input not yet a chunk: the first filled_ bytes of area_, or else
    // span_size_ bytes at span_data_ in span_owner_ (a reference held).
    PooledBuffer area_;
    size_t filled_ = 0;
    PyObject* span_owner_ = nullptr;
    const uint8_t* span_data_ = nullptr;
    size_t span_size_ = 0;
    // The bytes of the call in progress; shared with the views of it handed out.
    std::shared_ptr<Output> out_ = std::make_shared<Output>();
    std::mutex call_mutex_;  // one call at a time; the interpreter lock is released inside
};

// All of a buffer, read in place, into one result made at its bound; with
// an index, the result and the chunks' records.
py::object compress_buffer(py::handle data, int level, int format, int threads, size_t chunk_size, bool index,
                           long fail_at) {
    if (index && format != format_gzip) throw py::value_error("an index is for gzip streams only");
    InputView view(data);
    const size_t n = view.size();
    chunk_size = std::max<size_t>(chunk_size, 1);
    const size_t chunks = std::max<size_t>(1, (n + chunk_size - 1) / chunk_size);
    // The caller does nothing but compress here: it is one of the threads.
    const int workers = int(std::min<size_t>(size_t(std::max(threads, 1)), chunks)) - 1;
    std::unique_ptr<ParallelStream> stream = start_stream(level, format, workers, fail_at);
    if (index) stream->mark_chunks();
    ResultBytes result(stream_bound(stream->stream(), n, chunk_size, index));
    Output out(result.data(), std::numeric_limits<size_t>::max());
    try {
        ReleasedLock released;
        MatchTable& table = caller_table();
        std::vector<std::unique_ptr<Job>> returned;
        size_t offset = 0;
        do {
            const size_t piece = std::min(n - offset, chunk_size);
            if (stream->parallel()) {
                auto job = std::make_unique<Job>();
                job->data = view.data() + offset;
                job->size = piece;
                stream->submit(std::move(job));
                stream->join(false, out, table, returned);
            } else {
                stream->encode_now(out, view.data() + offset, piece, table);
            }
            offset += piece;
        } while (offset < n);
        stream->join(true, out, table, returned);
        stream->close_with(finish_stream, finish_output_limit, out);
    } catch (const ChunkFailed&) {
        throw std::bad_alloc();
    }
    py::bytes bytes = result.take(out.size());
    if (!index) return std::move(bytes);
    return py::make_tuple(bytes, chunk_list(*stream));
}

}  // namespace vek

PYBIND11_MODULE(_engine, m) {
    vek::register_close_at_exit();
#if VEK_HAVE_ZLIB
    vek::bind_chunk_inflater(m);  // without zlib's headers, indexed files are read in sequence
#endif
    using vek::Compressor;
    py::class_<vek::OutputHolder>(m, "_Output", py::buffer_protocol())
        .def_buffer([](vek::OutputHolder& held) {
            return py::buffer_info(const_cast<uint8_t*>(held.output->data()), 1,
                                   py::format_descriptor<uint8_t>::format(), py::ssize_t(held.output->size()), true);
        });
    py::class_<Compressor>(m, "Compressor")
        .def(py::init<int, int, int, size_t, const py::bytes&, bool, long>(), py::arg("level"), py::arg("format"),
             py::arg("threads"), py::arg("chunk_size"), py::arg("header") = py::bytes(), py::arg("index") = false,
             py::arg("fail_at") = -1)
        .def("chunks", &Compressor::chunks)
        .def_property_readonly("written", &Compressor::written)
        .def("compress", &Compressor::compress, py::arg("data"))
        .def("compress_out", &Compressor::compress_out, py::arg("data"))
        .def("compress_from", &Compressor::compress_from, py::arg("fd"), py::arg("limit"))
        .def("flush", &Compressor::flush, py::arg("mode") = int(vek::finish))
        .def("flush_out", &Compressor::flush_out, py::arg("mode") = int(vek::finish))
        .def("abandon", &Compressor::abandon)
        .def_property_readonly("chunk_size", &Compressor::chunk_size);
    m.def("crc32_combine", &vek::crc32_combine, py::arg("crc_a"), py::arg("crc_b"), py::arg("length_b"),
          "The CRC-32 of a followed by b, from the CRC-32 of each and the length of b.");
    m.def(
        "compress",
        [](py::handle data, int level, int format, int threads, size_t chunk_size, long fail_at) {
            return vek::compress_buffer(data, level, format, threads, chunk_size, false, fail_at);
        },
        py::arg("data"), py::arg("level"), py::arg("format"), py::arg("threads"), py::arg("chunk_size"),
        py::arg("fail_at") = -1);
    m.def(
        "compress_indexed",
        [](py::handle data, int level, int format, int threads, size_t chunk_size) {
            return vek::compress_buffer(data, level, format, threads, chunk_size, true, -1);
        },
        py::arg("data"), py::arg("level"), py::arg("format"), py::arg("threads"), py::arg("chunk_size"));
}

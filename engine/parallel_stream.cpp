#include "parallel_stream.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "pieces.h"

namespace vek {

void Output::reserve(size_t room) {
    if (capacity_ - used_ >= room) return;
    if (fixed_) throw std::bad_alloc();  // a caller's bound was wrong: never write past it
    PooledBuffer grown = BufferPool::take(std::max(used_ + room, 2 * capacity_));
    if (used_ > 0) std::memcpy(grown.bytes.get(), base_, used_);
    BufferPool::give(std::move(owned_));
    owned_ = std::move(grown);
    base_ = owned_.bytes.get();
    capacity_ = owned_.capacity;
}

struct ParallelStream::Shared {
    std::mutex mutex;  // guards everything below and each job's state
    std::condition_variable work_ready;
    std::condition_variable job_done;
    std::deque<Job*> queue;  // submitted, not yet taken, in order
    bool stopping = false;
    std::vector<std::thread> workers;
};

ParallelStream::ParallelStream(int level, int format, int workers, long fail_at)
    : encoders_(std::max(workers, 0) + 1), in_flight_limit_(2 * size_t(encoders_)),
      in_place_limit_(in_flight_limit_), fail_at_(fail_at) {
    init_stream(&stream_, level, format);
    level_ = stream_.level;
    format_ = stream_.format;
    if (workers <= 0) return;
    shared_ = new Shared;
    shared_->workers.reserve(size_t(workers));
    try {
        for (int i = 0; i < workers; ++i) {
            // Each worker's match table is made here, so that a failure is
            // the constructor's and not a chunk's.
            auto table = std::unique_ptr<MatchTable>(new MatchTable);
            table->bias = 0;
            shared_->workers.emplace_back([this, t = table.get()] {
                std::unique_ptr<MatchTable> owned(t);
                work(t);
            });
            table.release();
        }
    } catch (...) {
        std::vector<std::unique_ptr<Job>> none;
        stop(none);
        delete shared_;
        throw;
    }
}

ParallelStream::~ParallelStream() {
    if (shared_ == nullptr) return;
    std::vector<std::unique_ptr<Job>> none;
    stop(none);
    delete shared_;
}

void ParallelStream::work(MatchTable* table) {
    Shared& sh = *shared_;
    for (;;) {
        Job* job = nullptr;
        {
            std::unique_lock<std::mutex> lock(sh.mutex);
            sh.work_ready.wait(lock, [&] { return sh.stopping || !sh.queue.empty(); });
            if (sh.stopping) return;
            job = sh.queue.front();
            sh.queue.pop_front();
            job->state = Job::State::Running;
        }
        const Job::State outcome = encode_fragments(*job, *table);
        {
            std::lock_guard<std::mutex> lock(sh.mutex);
            job->state = outcome;
        }
        sh.job_done.notify_all();
    }
}

// Done, or Failed when a fragment's buffer could not be had: the chunk is
// lost, and the caller ends the stream when it reaches it.
Job::State ParallelStream::encode_fragments(Job& job, MatchTable& table) {
    try {
        encode_job(job, table);
        return Job::State::Done;
    } catch (const std::bad_alloc&) {
        return Job::State::Failed;
    }
}

void ParallelStream::encode_job(Job& job, MatchTable& table) {
    if (job.index == fail_at_) throw std::bad_alloc();
    size_t offset = 0;
    do {
        const size_t piece = std::min(job.size - offset, max_piece);
        Job::Piece p;
        p.bytes = BufferPool::take(max_fragment_output(level_, piece));
        encode_fragment(&p.fragment, level_, format_, p.bytes.bytes.get(), job.data + offset, int32_t(piece), &table);
        job.pieces.push_back(std::move(p));
        offset += piece;
    } while (offset < job.size);
}

void ParallelStream::encode_now(Output& out, const uint8_t* data, size_t n, MatchTable& table) {
    if (next_index_++ == fail_at_) throw ChunkFailed{};
    encode_through(out, data, n, table);
}

// A chunk straight through the stream, with no fragment: the serial path,
// and the front chunk when the caller takes it before a worker does.
void ParallelStream::encode_through(Output& out, const uint8_t* data, size_t n, MatchTable& table) {
    begin_chunk(out);
    const uint32_t before = stream_.checksum;
    out.reserve(pieces_room(stream_, n));
    advance(out, encode_pieces(stream_, out.end(), data, n, table));
    end_chunk(data, n, checksum_since(before, n));
}

void ParallelStream::begin_chunk(Output& out) {
    if (!marking_) return;
    // The first chunk starts after the header.
    out.reserve(finish_output_limit);
    advance(out, size_t(write_header_due(&stream_, out.end())));
    if (!chunks_.empty()) {
        out.reserve(2 * sync_output_limit);
        advance(out, size_t(sync_stream(&stream_, out.end())));
        advance(out, size_t(sync_stream(&stream_, out.end())));
    }
    chunks_.push_back({written_, 0, 0, 0});
}

void ParallelStream::end_chunk(const uint8_t* data, size_t size, uint32_t crc) {
    if (!marking_) return;
    chunks_.back().length = size;
    chunks_.back().crc = crc;
    chunks_.back().last_byte = size > 0 ? data[size - 1] : 0;
}

// The CRC-32 of the last `size` bytes from the stream's running value
// before and after them: appending multiplies the earlier value by x^(8n),
// so it is taken out again.
uint32_t ParallelStream::checksum_since(uint32_t before, size_t size) const {
    return stream_.checksum ^ crc32_combine(before, 0, size);
}

void ParallelStream::submit(std::unique_ptr<Job> job) {
    job->index = next_index_++;
    job->state = Job::State::Queued;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->queue.push_back(job.get());
    }
    pending_.push_back(std::move(job));
    shared_->work_ready.notify_one();
}

void ParallelStream::append_job(Job& job, Output& out) {
    begin_chunk(out);
    uint32_t crc = 0;
    for (const Job::Piece& p : job.pieces) {
        out.reserve(max_append_output(stream_, p.fragment));
        advance(out, size_t(append_fragment(&stream_, out.end(), p.fragment, p.bytes.bytes.get())));
        crc = crc32_combine(crc, p.fragment.checksum, p.fragment.input_length);
    }
    end_chunk(job.data, job.size, crc);
}

// The front chunk, not yet taken by a worker, needs no fragment: it goes
// straight through the stream, as on one thread.
void ParallelStream::encode_straight(Job& job, Output& out, MatchTable& table) {
    if (job.index == fail_at_) throw std::bad_alloc();
    encode_through(out, job.data, job.size, table);
}

// Fresh pages cost a fault each: the fragments' buffers go round.
void ParallelStream::recycle(Job& job) {
    for (Job::Piece& p : job.pieces) BufferPool::give(std::move(p.bytes));
    job.pieces.clear();
}

void ParallelStream::join(bool everything, Output& out, MatchTable& table,
                          std::vector<std::unique_ptr<Job>>& returned) {
    if (shared_ == nullptr) return;
    Shared& sh = *shared_;
    try {
        while (!pending_.empty()) {
            Job& front = *pending_.front();
            std::unique_lock<std::mutex> lock(sh.mutex);
            if (front.state == Job::State::Done || front.state == Job::State::Failed) {
                lock.unlock();
                if (front.state == Job::State::Failed) throw std::bad_alloc();
                append_job(front, out);
                recycle(front);
            } else if (!everything &&
                       pending_.size() <= (pending_.back()->owned.bytes ? in_flight_limit_ : in_place_limit_)) {
                break;
            } else if (front.state == Job::State::Queued) {
                sh.queue.erase(std::find(sh.queue.begin(), sh.queue.end(), &front));
                front.state = Job::State::Running;
                lock.unlock();
                encode_straight(front, out, table);
            } else {
                if (!sh.queue.empty()) {
                    // Another chunk to encode while the front one is on a worker.
                    Job& other = *sh.queue.front();
                    sh.queue.pop_front();
                    other.state = Job::State::Running;
                    lock.unlock();
                    const Job::State outcome = encode_fragments(other, table);
                    lock.lock();
                    other.state = outcome;
                } else {
                    sh.job_done.wait(lock, [&] { return front.state != Job::State::Running; });
                }
                continue;
            }
            returned.push_back(std::move(pending_.front()));
            pending_.pop_front();
        }
    } catch (const std::bad_alloc&) {
        stop(returned);
        throw ChunkFailed{};
    }
}

void ParallelStream::close_with(int32_t (*operation)(DeflateStream*, uint8_t*), size_t limit, Output& out) {
    out.reserve(limit);
    advance(out, size_t(operation(&stream_, out.end())));
}

void ParallelStream::stop(std::vector<std::unique_ptr<Job>>& returned) {
    if (shared_ != nullptr) {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->stopping = true;
            shared_->queue.clear();
        }
        shared_->work_ready.notify_all();
        for (std::thread& t : shared_->workers) t.join();
        shared_->workers.clear();
    }
    for (auto& job : pending_) returned.push_back(std::move(job));
    pending_.clear();
}

void ParallelStream::forsake(std::vector<std::unique_ptr<Job>>& returned) {
    // The workers' std::thread objects would end the process if destroyed
    // joinable, and the condition variables would wait for waiters that are
    // gone: the shared state is left as it is.
    shared_ = nullptr;
    for (auto& job : pending_) returned.push_back(std::move(job));
    pending_.clear();
}

}  // namespace vek

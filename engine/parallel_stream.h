// One stream compressed on several threads, giving exactly the bytes of one
// serial stream fed the same chunks. Each chunk is encoded as a fragment,
// detached from the stream (see Fragment in the core), by a worker or by
// the calling thread, and the calling thread appends the fragments in
// order at the state the stream has then. No Python here: the binding
// releases the interpreter lock around every call and keeps the inputs
// alive until their chunks come back from join().
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "buffer_pool.h"
#include "vek_core.h"

namespace vek {

// Where a call's compressed bytes go: a growable area (grown without
// zero-filling, never shrunk, its storage taken from the buffer pool and
// given back, so that a writer's output costs no fresh pages) or a fixed
// one whose room the caller has made sure of.
class Output {
public:
    Output() = default;
    Output(uint8_t* fixed, size_t capacity) : base_(fixed), capacity_(capacity), fixed_(true) {}
    ~Output() { BufferPool::give(std::move(owned_)); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Room for `room` more bytes; std::bad_alloc when a growable area cannot grow.
    void reserve(size_t room);
    uint8_t* end() { return base_ + used_; }
    void advance(size_t n) { used_ += n; }
    const uint8_t* data() const { return base_; }
    size_t size() const { return used_; }
    void clear() { used_ = 0; }

private:
    PooledBuffer owned_;
    uint8_t* base_ = nullptr;
    size_t capacity_ = 0;
    size_t used_ = 0;
    bool fixed_ = false;
};

// One chunk of input and, once encoded, its fragments (one per core call
// of at most max_piece bytes).
struct Job {
    long index = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
    // The gathered input this job owns (else the binding keeps `data` alive
    // through `keep`, which it alone reads).
    PooledBuffer owned;
    void* keep = nullptr;

    struct Piece {
        Fragment fragment{};
        PooledBuffer bytes;
    };
    std::vector<Piece> pieces;
    enum class State : uint8_t { Queued, Running, Done, Failed } state = State::Queued;
};

// A chunk that could not be encoded (no memory for its fragment or the
// output): the stream has lost it and takes nothing more.
struct ChunkFailed {};

// Where a chunk's bytes start in the stream written so far (its header
// included), how much input it held, that input's CRC-32 and last byte.
struct ChunkRecord {
    uint64_t start;
    uint64_t length;
    uint32_t crc;
    uint8_t last_byte;
};

class ParallelStream {
public:
    // `workers` threads start here (none: the serial path only); the caller
    // encodes too whenever it would otherwise wait. std::system_error when
    // one cannot start, with those already started stopped and joined.
    ParallelStream(int level, int format, int workers, long fail_at);
    ~ParallelStream();
    ParallelStream(const ParallelStream&) = delete;
    ParallelStream& operator=(const ParallelStream&) = delete;

    bool parallel() const { return shared_ != nullptr; }
    // Every chunk after the first starts after a sync point and a full
    // flush point (two empty stored blocks: 00 00 FF FF 00 00 00 FF FF),
    // byte-aligned at a block boundary with nothing pending, so that it can
    // be inflated on its own; and every chunk is recorded. For gzip only.
    void mark_chunks() { marking_ = true; }
    const std::vector<ChunkRecord>& chunks() const { return chunks_; }
    // Bytes written so far, and bytes the caller wrote itself (a header).
    uint64_t written() const { return written_; }
    void note_written(size_t n) { written_ += n; }
    // The container's header went out by other means: the stream goes on
    // from a block boundary.
    void header_written() { stream_.state = StreamState::BlockBoundary; }
    const DeflateStream& stream() const { return stream_; }
    long submitted() const { return next_index_; }
    // Chunks join(false) lets stay submitted and not yet appended; two an
    // encoding thread unless set (at least one a worker, so that none idles).
    // A chunk read in place holds no input area of the stream's (only its
    // fragment), so when the newest one is such, `in_place` may stay instead.
    void limit_in_flight(size_t chunks, size_t in_place) {
        in_flight_limit_ = std::max(chunks, size_t(encoders_ - 1));
        in_place_limit_ = std::max(in_place, in_flight_limit_);
    }

    // The serial path: a chunk straight through the stream. Throws
    // ChunkFailed for the chunk the test hook names.
    void encode_now(Output& out, const uint8_t* data, size_t n, MatchTable& table);

    // Queues a chunk for the workers (its index is set here).
    void submit(std::unique_ptr<Job> job);

    // Appends the finished chunks at the front, in order, to `out`: all of
    // them when `everything`, else those done, waiting only while more than
    // two chunks an encoding thread (the caller's included) are in flight. Rather than wait, the caller
    // encodes queued chunks itself, the front one straight into `out`.
    // Appended jobs are moved to `returned`, so that their inputs can be
    // given back. Throws ChunkFailed (the workers stopped) for a failed chunk.
    void join(bool everything, Output& out, MatchTable& table, std::vector<std::unique_ptr<Job>>& returned);

    // One closing operation of the core (sync_stream or finish_stream, at
    // most `limit` bytes) after every chunk is appended.
    void close_with(int32_t (*operation)(DeflateStream*, uint8_t*), size_t limit, Output& out);

    // Stops the workers (each finishes the chunk it holds) and hands every
    // job not yet appended to `returned`.
    void stop(std::vector<std::unique_ptr<Job>>& returned);

    // In a forked child: the workers do not exist and the state they shared
    // may be locked for ever, so it is left untouched (and unfreed); the
    // jobs not yet appended go to `returned`.
    void forsake(std::vector<std::unique_ptr<Job>>& returned);

private:
    struct Shared;

    void work(MatchTable* table);
    void encode_job(Job& job, MatchTable& table);
    Job::State encode_fragments(Job& job, MatchTable& table);
    void encode_through(Output& out, const uint8_t* data, size_t n, MatchTable& table);
    void append_job(Job& job, Output& out);
    void encode_straight(Job& job, Output& out, MatchTable& table);
    void recycle(Job& job);
    void advance(Output& out, size_t n) {
        out.advance(n);
        written_ += n;
    }
    void begin_chunk(Output& out);
    void end_chunk(const uint8_t* data, size_t size, uint32_t crc);
    uint32_t checksum_since(uint32_t before, size_t size) const;

    DeflateStream stream_{};
    int level_ = 1;
    int format_ = format_gzip;
    int encoders_ = 1;  // the workers and the caller
    size_t in_flight_limit_ = 2;
    size_t in_place_limit_ = 2;
    long fail_at_ = -1;
    long next_index_ = 0;
    // Submitted and not yet appended, in order. The jobs are shared with the
    // workers through raw pointers in Shared::queue.
    std::deque<std::unique_ptr<Job>> pending_;
    // What the workers share with the caller; nullptr on one thread.
    Shared* shared_ = nullptr;
    bool marking_ = false;
    std::vector<ChunkRecord> chunks_;
    uint64_t written_ = 0;
};

}  // namespace vek

// Driving a ParallelStream as the bindings do: chunks submitted (or encoded
// straight through on one thread), joined as they go, then finished.
#pragma once

#include <dirent.h>
#include <thread>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "parallel_stream.h"
#include "support.h"

namespace vek::test {

// Text, binary and runs of wide bytes (stored), so that chunks end in every
// state a fragment can leave.
inline Bytes engine_input(uint32_t seed, size_t n) {
    std::mt19937 rng(seed);
    Bytes b(n);
    static const char words[] = "the quick brown fox jumps over the lazy dog ";
    for (size_t i = 0; i < n;) {
        const size_t run = std::min(n - i, size_t(1 + rng() % 4000));
        const uint32_t kind = rng() % 3;
        for (size_t k = 0; k < run; ++k, ++i)
            b[i] = kind == 0 ? uint8_t(words[(i + k) % (sizeof words - 1)])
                 : kind == 1 ? uint8_t(rng())
                             : uint8_t(0x90 + rng() % 0x70);
    }
    return b;
}

// The chunks' offsets and sizes, cut at `chunk` bytes.
inline std::vector<std::pair<size_t, size_t>> cuts(size_t n, size_t chunk) {
    std::vector<std::pair<size_t, size_t>> out;
    size_t offset = 0;
    do {
        const size_t piece = std::min(n - offset, chunk);
        out.push_back({offset, piece});
        offset += piece;
    } while (offset < n);
    return out;
}

struct StreamRun {
    Bytes bytes;
    std::vector<ChunkRecord> chunks;
    long most_in_flight = 0;  // submitted and not yet handed back, after a join
};

// The whole input through a stream with `workers` threads (0: the serial
// path), with at most `in_flight` chunks in flight when given (one more
// for chunks read in place). `gathered`: each chunk copied into an area
// the job owns, as a writer gathers small writes, rather than read in place.
inline StreamRun run_stream(const Bytes& in, size_t chunk, int level, int format, int workers, bool marked = false,
                            size_t in_flight = 0, bool gathered = false) {
    ParallelStream stream(level, format, workers, -1);
    if (marked) stream.mark_chunks();
    if (in_flight > 0) stream.limit_in_flight(in_flight, in_flight + 1);
    auto table = std::make_unique<MatchTable>();
    table->bias = 0;
    Output out;
    std::vector<std::unique_ptr<Job>> returned;
    long handed_back = 0;
    StreamRun run;
    for (const auto& [offset, size] : cuts(in.size(), chunk)) {
        if (!stream.parallel()) {
            stream.encode_now(out, in.data() + offset, size, *table);
            continue;
        }
        auto job = std::make_unique<Job>();
        job->data = in.data() + offset;
        job->size = size;
        if (gathered) {
            job->owned = BufferPool::take(size);
            std::memcpy(job->owned.bytes.get(), job->data, size);
            job->data = job->owned.bytes.get();
        }
        stream.submit(std::move(job));
        stream.join(false, out, *table, returned);
        handed_back += long(returned.size());
        returned.clear();
        run.most_in_flight = std::max(run.most_in_flight, stream.submitted() - handed_back);
    }
    stream.join(true, out, *table, returned);
    stream.close_with(finish_stream, finish_output_limit, out);
    run.bytes.assign(out.data(), out.data() + out.size());
    run.chunks = stream.chunks();
    return run;
}

// Threads of this process, as the kernel lists them.
// ThreadSanitizer starts a background thread of its own the first time a
// thread is created; one thread started and joined before the first count
// makes every count see it, so the tests compare like with like.
inline int thread_count() {
    static const bool sanitizer_threads_started = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)sanitizer_threads_started;
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

}  // namespace vek::test

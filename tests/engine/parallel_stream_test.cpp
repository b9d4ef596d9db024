#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "engine_support.h"

namespace vek::test {
namespace {

struct Case {
    int level;
    int format;
    size_t chunk;
};

class SameAsSerial : public ::testing::TestWithParam<Case> {};

// Whatever the number of threads, the stream is the serial stream's bytes,
// chunks appended in order, and zlib inflates it to the input.
TEST_P(SameAsSerial, EveryThreadCountGivesTheSerialBytes) {
    const Case c = GetParam();
    // One-byte chunks cost a fragment each: a shorter input says as much.
    const Bytes in = engine_input(uint32_t(c.chunk), c.chunk < 100 ? 20'000 : 700'000);
    const StreamRun serial = run_stream(in, c.chunk, c.level, c.format, 0);
    ASSERT_EQ(inflate_with_zlib(serial.bytes, window_bits_for(c.format)), in);
    for (int workers : {1, 2, 3}) {
        SCOPED_TRACE(workers);
        EXPECT_EQ(run_stream(in, c.chunk, c.level, c.format, workers).bytes, serial.bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Chunks, SameAsSerial,
                         ::testing::Values(Case{1, format_gzip, 65536}, Case{1, format_zlib, 100'003},
                                           Case{1, format_deflate, 7000}, Case{1, format_gzip, 1},
                                           Case{0, format_gzip, 50'000}, Case{1, format_gzip, 1 << 20}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return "level" + std::to_string(info.param.level) + "_format" +
                                    std::to_string(info.param.format) + "_chunk" + std::to_string(info.param.chunk);
                         });

TEST(ParallelStream, MarkedChunksAreRecordedAlikeOnEveryThreadCount) {
    const Bytes in = engine_input(7, 500'000);
    const StreamRun serial = run_stream(in, 40'000, 1, format_gzip, 0, true);
    ASSERT_EQ(inflate_with_zlib(serial.bytes, 31), in);
    ASSERT_EQ(serial.chunks.size(), 13u);
    const StreamRun threaded = run_stream(in, 40'000, 1, format_gzip, 2, true);
    EXPECT_EQ(threaded.bytes, serial.bytes);
    for (size_t i = 0; i < serial.chunks.size(); ++i) {
        const ChunkRecord& a = serial.chunks[i];
        const ChunkRecord& b = threaded.chunks[i];
        EXPECT_EQ(std::tie(a.start, a.length, a.crc, a.last_byte), std::tie(b.start, b.length, b.crc, b.last_byte));
        EXPECT_EQ(b.crc, uint32_t(crc32(0, in.data() + i * 40'000, uInt(b.length))));
    }
}

// Memory stays what the number of threads states: no more than two chunks
// an encoding thread are ever held between joins.
TEST(ParallelStream, ChunksInFlightStayWithinTwoAThread) {
    const Bytes in = engine_input(3, 2'000'000);
    for (int workers : {1, 2, 3}) {
        const StreamRun run = run_stream(in, 10'000, 1, format_gzip, workers);
        EXPECT_LE(run.most_in_flight, 2 * (workers + 1)) << workers;
        EXPECT_GT(run.most_in_flight, 0);
    }
}

// A writer's stream holds fewer: a chunk for each worker and one waiting
// when each holds an area of its own (the tool's memory bound), one more
// when the chunks are read in place; with the same bytes.
TEST(ParallelStream, ALimitSetHoldsTheChunksInFlightToIt) {
    const Bytes in = engine_input(4, 1'000'000);
    const Bytes serial = run_stream(in, 10'000, 1, format_gzip, 0).bytes;
    for (bool gathered : {false, true}) {
        for (int workers : {1, 2, 3}) {
            const StreamRun run =
                run_stream(in, 10'000, 1, format_gzip, workers, false, size_t(workers) + 1, gathered);
            EXPECT_LE(run.most_in_flight, workers + (gathered ? 1 : 2)) << workers << gathered;
            EXPECT_EQ(run.bytes, serial) << workers << gathered;
        }
    }
}

TEST(ParallelStream, WorkersStartAndAreJoinedOnDestruction) {
    const int before = thread_count();
    {
        ParallelStream stream(1, format_gzip, 3, -1);
        EXPECT_EQ(thread_count(), before + 3);
    }
    EXPECT_EQ(thread_count(), before);
}

// A chunk that cannot be encoded ends the stream: join reports it, the
// workers stop, and every job comes back so that its input can be freed.
TEST(ParallelStream, AFailedChunkStopsTheWorkersAndHandsEveryJobBack) {
    const int before = thread_count();
    const Bytes in = engine_input(5, 400'000);
    ParallelStream stream(1, format_gzip, 2, 3);
    MatchTable table{};
    Output out;
    std::vector<std::unique_ptr<Job>> returned;
    bool failed = false;
    try {
        for (const auto& [offset, size] : cuts(in.size(), 20'000)) {
            auto job = std::make_unique<Job>();
            job->data = in.data() + offset;
            job->size = size;
            stream.submit(std::move(job));
            stream.join(false, out, table, returned);
        }
        stream.join(true, out, table, returned);
    } catch (const ChunkFailed&) {
        failed = true;
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(long(returned.size()), stream.submitted());
    EXPECT_EQ(thread_count(), before);
}

// Streams on several threads at once share the buffer pool.
TEST(ParallelStream, StreamsOnSeveralThreadsAtOnceEachGiveTheirSerialBytes) {
    const Bytes in = engine_input(11, 300'000);
    const Bytes expected = run_stream(in, 30'000, 1, format_gzip, 0).bytes;
    std::vector<std::thread> callers;
    std::vector<Bytes> got(3);
    for (size_t i = 0; i < got.size(); ++i)
        callers.emplace_back([&, i] { got[i] = run_stream(in, 30'000, 1, format_gzip, 2).bytes; });
    for (std::thread& t : callers) t.join();
    for (const Bytes& g : got) EXPECT_EQ(g, expected);
}

}  // namespace
}  // namespace vek::test

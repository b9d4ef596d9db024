#include <gtest/gtest.h>

#include "stream.h"
#include "support.h"

namespace vek::test {
namespace {

DeflateStream fresh_raw(int level) {
    DeflateStream s{};
    init_deflate(&s, level);
    return s;
}

TEST(InitDeflate, TakesOnlyBitZeroOfTheLevel) {
    EXPECT_EQ(fresh_raw(9).level, 1);
    EXPECT_EQ(fresh_raw(-1).level, 1);
    EXPECT_EQ(fresh_raw(6).level, 0);
    const DeflateStream s = fresh_raw(2);
    EXPECT_EQ(s.state, StreamState::BlockBoundary);
    EXPECT_EQ(s.format, format_deflate);
    EXPECT_EQ(s.bit_count, 0u);
    EXPECT_EQ(s.input_length, 0u);
}

TEST(QueueBits, SpillsExactlyTheLow32BitsAndKeepsTheRest) {
    DeflateStream s = fresh_raw(1);
    uint8_t out[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    s.out = out;
    queue_bits(s, 0x7FFFFFFF, 31);
    EXPECT_EQ(s.out, out);  // 31 bits stay queued
    queue_bits(s, 0x2ABCD, 18);  // widest field: a distance with 13 extra bits
    EXPECT_EQ(s.out, out + 4);
    EXPECT_EQ(Bytes(out, out + 5), bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0xEE}));
    EXPECT_EQ(s.bit_count, 17u);
    EXPECT_EQ(s.bit_queue, uint64_t(0x2ABCD) >> 1);
}

TEST(AlignToByte, WritesOnlyTheBytesThatHoldPendingBits) {
    for (uint32_t bits : {0u, 1u, 8u, 9u, 16u, 17u, 24u, 25u, 31u}) {
        DeflateStream s = fresh_raw(1);
        uint8_t out[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        s.out = out;
        if (bits > 0) queue_bits(s, (1u << (bits - 1)) | 1u, bits);
        align_to_byte(s);
        const size_t written = (bits + 7) / 8;
        EXPECT_EQ(s.out, out + written) << bits;
        EXPECT_EQ(out[written], 0xEE) << "wrote past the pending bits for " << bits;
        EXPECT_EQ(s.bit_count, 0u);
        EXPECT_EQ(s.bit_queue, 0u);
    }
}

TEST(FinishDeflate, NewStreamGetsAnEmptyFinalBlock) {
    Encoder e(0, format_deflate);
    EXPECT_EQ(e.finish(), bytes_of({0x03, 0x00}));
    EXPECT_EQ(e.stream.state, StreamState::Done);
    EXPECT_EQ(e.finish(), Bytes{}) << "a finished stream's queue is empty";
}

TEST(FinishDeflate, ClosesAnOpenFinalBlockWithItsEndCodeOnly) {
    DeflateStream s = fresh_raw(1);
    s.state = StreamState::LastFixedBlock;
    uint8_t out[6];
    EXPECT_EQ(finish_deflate(&s, out), 1);
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(s.state, StreamState::Done);
}

TEST(FinishDeflate, FullQueueInOpenBlockNeedsAllSixBytes) {
    DeflateStream s = fresh_raw(1);
    s.state = StreamState::FixedBlock;
    s.bit_queue = 0x7FFFFFFF;
    s.bit_count = 31;
    uint8_t out[7] = {};
    out[6] = 0xEE;
    EXPECT_EQ(finish_deflate(&s, out), 6);
    EXPECT_EQ(out[6], 0xEE);
}

TEST(FinishDeflate, AfterATrailerWritesAnotherEmptyFinalBlock) {
    DeflateStream s = fresh_raw(1);
    s.state = StreamState::End;
    uint8_t out[6];
    ASSERT_EQ(finish_deflate(&s, out), 2);
    EXPECT_EQ(Bytes(out, out + 2), bytes_of({0x03, 0x00}));
    EXPECT_EQ(s.state, StreamState::Done);
}

}  // namespace
}  // namespace vek::test

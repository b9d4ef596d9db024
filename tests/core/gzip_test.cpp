#include <gtest/gtest.h>

#include <random>

#include "support.h"

namespace vek::test {
namespace {

const Bytes gzip_header = bytes_of({0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x03});

Bytes random_bytes(size_t n, std::mt19937& rng) {
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

TEST(Crc32, CheckValueOfTheDigits) {
    const Bytes digits = bytes_of("123456789");
    EXPECT_EQ(crc32_update(0, digits.data(), 9), 0xCBF43926u);
    EXPECT_EQ(crc32_update_bytewise(0, digits.data(), 9), 0xCBF43926u);
}

TEST(Crc32, BothFormsAgreeWithZlibAtEveryLengthAlignmentAndSplit) {
    std::mt19937 rng(1);
    const Bytes data = random_bytes(4100, rng);
    for (int32_t len = 0; len <= 3000; ++len) {
        const uint8_t* p = data.data() + len % 7;  // every alignment of the word loads
        const uint32_t want = uint32_t(crc32(0, p, uInt(len)));
        ASSERT_EQ(crc32_update(0, p, len), want) << len;
        ASSERT_EQ(crc32_update_bytewise(0, p, len), want) << len;
        const int32_t cut = len ? int32_t(rng() % uint32_t(len)) : 0;
        ASSERT_EQ(crc32_update(crc32_update(0, p, cut), p + cut, len - cut), want) << len;
    }
    EXPECT_EQ(crc32_update_bytewise(0x1234, data.data(), -5), 0x1234u);
}

TEST(Gzip, FinishWithoutDataIsAnEmptyMember) {
    Encoder e(1, format_gzip);
    EXPECT_EQ(e.stream.state, StreamState::Init);
    const Bytes out = e.finish();
    EXPECT_EQ(out, concat(gzip_header, bytes_of({0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0})));
    EXPECT_EQ(e.stream.state, StreamState::End);
    EXPECT_EQ(inflate_with_zlib(out, 31), Bytes{});
}

TEST(Gzip, OnlyTheFirstCallWritesTheHeader) {
    Encoder e(0, format_gzip);
    EXPECT_EQ(e.encode(Bytes{}), gzip_header);
    const Bytes second = e.encode(bytes_of("a"));
    EXPECT_EQ(second, bytes_of({0x00, 0x01, 0x00, 0xFE, 0xFF, 'a'}));
    Bytes header(10);
    DeflateStream s{};
    init_gzip(&s, 1);
    EXPECT_EQ(write_gzip_header(&s, header.data()), 10);
    EXPECT_EQ(header, gzip_header);
    EXPECT_EQ(s.state, StreamState::BlockBoundary);
}

TEST(Gzip, TrailerCarriesCrcAndLengthModulo2To32) {
    Encoder e(1, format_gzip);
    const Bytes data = bytes_of("123456789");
    const Bytes head = e.encode(data);
    e.stream.input_length += 0xFFFFFFF0u;  // as if 4 GiB had gone before
    const Bytes tail = e.finish();
    const Bytes trailer(tail.end() - 8, tail.end());
    EXPECT_EQ(trailer, bytes_of({0x26, 0x39, 0xF4, 0xCB, 0xF9, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(head.size(), 10u + 8u) << "75 bits of block: two words spilled";
}

TEST(Gzip, SecondFinishAppendsBytesNoInflaterReads) {
    // The core does not guard a finished stream; its callers must.
    Encoder e(1, format_gzip);
    e.finish();
    EXPECT_EQ(e.finish().size(), 10u);
}

TEST(Gzip, AnySplitAtBothLevelsInflates) {
    std::mt19937 rng(9);
    for (int round = 0; round < 40; ++round) {
        const Bytes input = random_bytes(rng() % 100000, rng);
        std::vector<size_t> cuts;
        for (size_t at = rng() % 5000; at < input.size(); at += 1 + rng() % 30000) cuts.push_back(at);
        Encoder e(round % 2, format_gzip);
        ASSERT_EQ(inflate_with_zlib(e.whole(input, cuts), 31), input);
    }
}

}  // namespace
}  // namespace vek::test

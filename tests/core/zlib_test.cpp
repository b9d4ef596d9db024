#include <gtest/gtest.h>

#include <random>

#include "support.h"

namespace vek::test {
namespace {

TEST(Adler32, RfcValuesForRunsOf0xFFAtTheirLargestSums) {
    const Bytes ones(100000, 0xFF);
    EXPECT_EQ(adler32_update(1, ones.data(), 4096), 0x8161F0E2u);
    EXPECT_EQ(adler32_update(1, ones.data(), 100000), 0x149A302Cu);
    EXPECT_EQ(adler32_update_bytewise(1, ones.data(), 100000), 0x149A302Cu);
    // Start from the largest reduced sums, so the chunk's s2 reaches its peak.
    const uint32_t high = 65520u << 16 | 65520u;
    EXPECT_EQ(adler32_update(high, ones.data(), 100000), uint32_t(adler32(high, ones.data(), 100000)));
    uint32_t split = 1;
    for (size_t at = 0; at < ones.size(); at += 777)
        split = adler32_update(split, ones.data() + at, int32_t(std::min<size_t>(777, ones.size() - at)));
    EXPECT_EQ(split, 0x149A302Cu);
}

TEST(Adler32, BothFormsAgreeWithZlibAtEveryLengthAndSplit) {
    std::mt19937 rng(2);
    Bytes data(9000);
    for (auto& x : data) x = uint8_t(rng());
    for (int32_t len = 0; len <= 9000; len += 1 + (len > 3000) * 37) {
        const uint32_t want = uint32_t(adler32(1, data.data(), uInt(len)));
        ASSERT_EQ(adler32_update(1, data.data(), len), want) << len;
        ASSERT_EQ(adler32_update_bytewise(1, data.data(), len), want) << len;
        const int32_t cut = len ? int32_t(rng() % uint32_t(len)) : 0;
        ASSERT_EQ(adler32_update(adler32_update(1, data.data(), cut), data.data() + cut, len - cut), want);
    }
    EXPECT_EQ(adler32_update_bytewise(77, data.data(), 0), 77u);
}

TEST(Zlib, FinishWithoutDataIsAnEmptyStream) {
    Encoder e(1, format_zlib);
    const Bytes out = e.finish();
    EXPECT_EQ(out, bytes_of({0x78, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(e.stream.state, StreamState::End);
    EXPECT_EQ(inflate_with_zlib(out, 15), Bytes{});
}

TEST(Zlib, OnlyTheFirstCallWritesTheHeader) {
    Encoder e(1, format_zlib);
    EXPECT_EQ(e.encode(bytes_of("a")), bytes_of({0x78, 0x01}));
    EXPECT_EQ(e.encode(bytes_of("bc")), Bytes{}) << "27 bits still queued, no header";
    DeflateStream s{};
    init_zlib(&s, 0);
    Bytes header(2);
    EXPECT_EQ(write_zlib_header(&s, header.data()), 2);
    EXPECT_EQ(header, bytes_of({0x78, 0x01}));
}

TEST(Zlib, TrailerIsTheAdlerOfAllCallsMostSignificantFirst) {
    std::mt19937 rng(4);
    for (int round = 0; round < 40; ++round) {
        Bytes input(rng() % 100000);
        for (auto& x : input) x = uint8_t(rng() % (round % 2 ? 256 : 8));
        std::vector<size_t> cuts;
        for (size_t at = rng() % 5000; at < input.size(); at += 1 + rng() % 30000) cuts.push_back(at);
        Encoder e(round % 2, format_zlib);
        const Bytes out = e.whole(input, cuts);
        ASSERT_EQ(inflate_with_zlib(out, 15), input);
        const uint32_t a = uint32_t(adler32(1, input.data(), uInt(input.size())));
        EXPECT_EQ(Bytes(out.end() - 4, out.end()), bytes_of({int(a >> 24), int(a >> 16 & 0xFF), int(a >> 8 & 0xFF), int(a & 0xFF)}));
    }
}

}  // namespace
}  // namespace vek::test

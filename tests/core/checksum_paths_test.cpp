#include <gtest/gtest.h>

#include <random>

#include "checksum_paths.h"
#include "support.h"

namespace vek::test {
namespace {

struct Path {
    const char* name;
    ChecksumUpdate fast;
    ChecksumUpdate portable;
    uint32_t start;
    bool available;
};

class ChecksumPaths : public ::testing::TestWithParam<Path> {};

// Lengths around every block and chunk edge of the fast paths, at every
// alignment, chained from random running values; and long runs of 0xFF,
// where the sums are largest before each reduction.
TEST_P(ChecksumPaths, FastPathGivesThePortableValue) {
    const Path& p = GetParam();
    if (!p.available) GTEST_SKIP() << p.name << " is not supported by this CPU";
    std::mt19937 rng(6);
    Bytes data(70000);
    for (auto& x : data) x = uint8_t(rng());
    for (int32_t len = 0; len < 600; ++len) {
        const uint8_t* at = data.data() + len % 13;
        const uint32_t start = len % 3 == 0 ? p.start : uint32_t(rng()) % 65521 * 65537u;
        ASSERT_EQ(p.fast(start, at, len), p.portable(start, at, len)) << p.name << " " << len;
    }
    for (int32_t len : {4095, 4096, 4097, 4127, 4128, 4129, 8192 + 63, 65535, 69999}) {
        ASSERT_EQ(p.fast(p.start, data.data() + 1, len), p.portable(p.start, data.data() + 1, len)) << len;
    }
    const Bytes ones(300000, 0xFF);
    EXPECT_EQ(p.fast(p.start, ones.data(), 300000), p.portable(p.start, ones.data(), 300000));
    EXPECT_EQ(p.fast(0xFFF0FFF0u, ones.data(), 300000), p.portable(0xFFF0FFF0u, ones.data(), 300000));
}

INSTANTIATE_TEST_SUITE_P(
    EveryFastPath, ChecksumPaths,
    ::testing::Values(Path{"crc32 clmul", crc32_update_clmul, crc32_update, 0, cpu_has_clmul()},
                      Path{"adler32 avx2", adler32_update_avx2, adler32_update, 1, cpu_has_avx2()}),
    [](const auto& info) { return info.index == 0 ? std::string("Crc32Clmul") : std::string("Adler32Avx2"); });

TEST(ChecksumPaths, ChosenPathsAgreeWithZlib) {
    Bytes data(100000);
    std::mt19937 rng(12);
    for (auto& x : data) x = uint8_t(rng());
    EXPECT_EQ(best_crc32_update()(0, data.data(), 100000), uint32_t(crc32(0, data.data(), 100000)));
    EXPECT_EQ(best_adler32_update()(1, data.data(), 100000), uint32_t(adler32(1, data.data(), 100000)));
}

}  // namespace
}  // namespace vek::test

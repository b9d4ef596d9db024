#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "buffer_pool.h"

namespace vek::test {
namespace {

constexpr size_t mib = size_t(1) << 20;
// The pool is the process's: other tests leave buffers in it (outputs, chunk
// areas), none of this size.
constexpr size_t odd = 3 * mib + 4321;

TEST(BufferPool, AKeptBufferGoesToARequestItFits) {
    PooledBuffer a = BufferPool::take(odd);
    uint8_t* const kept = a.bytes.get();
    BufferPool::give(std::move(a));
    PooledBuffer again = BufferPool::take(odd - 100);
    EXPECT_EQ(again.bytes.get(), kept);
    EXPECT_EQ(again.capacity, odd);
    BufferPool::give(std::move(again));
}

// A buffer more than twice the request would waste most of itself.
TEST(BufferPool, ABufferTwiceTooLargeIsNotHandedOut) {
    PooledBuffer big = BufferPool::take(4 * odd);
    uint8_t* const kept = big.bytes.get();
    BufferPool::give(std::move(big));
    PooledBuffer small = BufferPool::take(odd);
    EXPECT_NE(small.bytes.get(), kept);
    EXPECT_EQ(small.capacity, odd);
}

// Chunk areas are filled whole, fragments' buffers only as far as the
// output goes: a request takes the closest fit, so that the two kinds do
// not mix and every page of every buffer end up touched.
TEST(BufferPool, ARequestTakesTheSmallestBufferThatFits) {
    PooledBuffer larger = BufferPool::take(odd + 4096);
    PooledBuffer exact = BufferPool::take(odd);
    uint8_t* const kept = exact.bytes.get();
    BufferPool::give(std::move(larger));
    BufferPool::give(std::move(exact));
    PooledBuffer again = BufferPool::take(odd);
    EXPECT_EQ(again.bytes.get(), kept);
    BufferPool::give(std::move(again));
}

// What is kept never exceeds the limit: past it, given buffers are freed.
TEST(BufferPool, WhatIsKeptStaysWithinTheLimit) {
    std::vector<PooledBuffer> buffers;
    for (size_t i = 0; i < BufferPool::retained_limit / mib + 8; ++i) buffers.push_back(BufferPool::take(mib));
    for (PooledBuffer& b : buffers) {
        BufferPool::give(std::move(b));
        EXPECT_LE(BufferPool::retained(), BufferPool::retained_limit);
    }
    EXPECT_GT(BufferPool::retained(), BufferPool::retained_limit - mib);
}

TEST(BufferPool, ThreadsTakingAndGivingAtOnceGetBuffersOfTheirOwn) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                const size_t size = size_t(4096) << ((t + i) % 5);
                PooledBuffer b = BufferPool::take(size);
                ASSERT_GE(b.capacity, size);
                std::fill_n(b.bytes.get(), size, uint8_t(t));
                for (size_t k = 0; k < size; k += 512) ASSERT_EQ(b.bytes[k], uint8_t(t));
                BufferPool::give(std::move(b));
            }
        });
    for (std::thread& t : threads) t.join();
}

}  // namespace
}  // namespace vek::test

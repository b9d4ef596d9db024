// What every compressing call on one thread can share, in both extensions:
// the match table, which the encoder biases per call so that it never needs
// emptying (a new object costs no 96 KiB fill), and an output area for small
// calls, whose result is then one allocation and one copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "vek_core.h"

namespace vek {

struct ThreadScratch {
    static constexpr size_t output_size = size_t(64) << 10;
    MatchTable table;
    uint8_t output[output_size];
};

// Made on a thread's first compressing call; nullptr when that allocation
// fails, which the caller reports as MemoryError.
inline ThreadScratch* thread_scratch() {
    thread_local std::unique_ptr<ThreadScratch> scratch;
    if (!scratch) {
        scratch.reset(new (std::nothrow) ThreadScratch);
        if (scratch) scratch->table.bias = 0;  // a new table: emptied on first use
    }
    return scratch.get();
}

}  // namespace vek

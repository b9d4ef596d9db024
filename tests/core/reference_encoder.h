// The compressing call written plainly from the encoder's rules, with none
// of the fast encoder's devices: an emptied table of (position, word) per
// call, literals flushed when their run ends, a queue that spills 32 bits
// at a time. The fast encoder must return, call for call, the same bytes
// and leave the same pending bits and state.
#pragma once

#include <cstdint>
#include <vector>

#include "vek_core.h"

namespace vek::test {

struct ReferenceStream {
    uint64_t queue = 0;  // pending bits, bit 0 first
    uint32_t count = 0;  // 0..31 between calls
    StreamState state = StreamState::BlockBoundary;
};

// One call of `in`: the bytes it writes.
std::vector<uint8_t> reference_compress(ReferenceStream& s, const std::vector<uint8_t>& in, int more);

}  // namespace vek::test

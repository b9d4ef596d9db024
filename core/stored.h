// Stored blocks (BTYPE 00): the encoder's only path for bytes that are not
// Huffman-coded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vek_core.h"

namespace vek {

inline constexpr uint32_t max_stored_block = 65535;

// Writes len bytes at the record's `out` as stored blocks of at most 65535
// bytes, closing an open fixed block first; more == 0 makes the last block final.
void emit_stored(DeflateStream& s, const uint8_t* in, int32_t len, int32_t more);

// Before the first LEN: up to 31 pending bits, 7 end-of-block bits and the
// 3-bit header, padded: 6 bytes. Each later block adds a 1-byte header, and
// every block 4 bytes of LEN and NLEN. So len + 5 per started block + 5.
constexpr size_t stored_output_bound(size_t len) {
    const size_t blocks = (len + max_stored_block - 1) / max_stored_block;
    return len + 5 * blocks + 5;
}

}  // namespace vek

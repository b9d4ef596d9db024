// The compressing path of encode_deflate: greedy single-probe matching within
// one call's input, written as fixed-code blocks, with literal runs that would
// cost too many 9-bit codes sent as stored blocks instead.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "vek_core.h"

namespace vek {

// A run holding this many literals of 0x90..0xFF (9 bits each) goes out stored.
inline constexpr uint32_t stored_run_wide_bytes = 52;

// Whether a match's codes cost fewer bits than the literals it replaces,
// which is (length code + extra) + (distance code + extra) + 8 < wide_count
// + 8 * length. A match of 5 bytes or more always passes (at most 13 + 18 +
// 8 bits against 40); a 4-byte match has a 7-bit length code, so it fails
// only when its distance takes 12 extra bits (index 8192 and up) with no
// wide byte pending, or 13 extra bits (16384 and up) with at most one.
constexpr bool match_pays_off(uint32_t length, uint32_t distance_index, uint32_t wide_count) {
    // One comparison, no branch on the length: longer matches count as two
    // wide bytes, which lifts the limit past every distance.
    const uint32_t credit = std::min(wide_count + (length > 4 ? 2u : 0u), 2u);
    return distance_index < (8192u << credit);
}

void compress_block(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len,
                    int32_t more);

// The scan's variants; compress_block calls the one best_compress_block
// chooses, once. Each writes exactly the scalar variant's bytes.
using CompressBlock = void (*)(DeflateStream&, MatchTable&, const uint8_t*, int32_t, int32_t);
void compress_block_scalar(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len,
                           int32_t more);
// Runs of positions that find nothing probed 16 at a time (AVX-512 with
// conflict detection and byte permutes); only where cpu_has_avx512_probe().
void compress_block_avx512(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len,
                           int32_t more);
bool cpu_has_avx512_probe();
// The scalar scan itself, compiled for BMI2; only where cpu_has_bmi2_scan().
void compress_block_bmi2(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len,
                         int32_t more);
bool cpu_has_bmi2_scan();
// Runs of misses 8 at a time in AVX2 registers; only where cpu_has_avx2_probe().
void compress_block_avx2(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len,
                         int32_t more);
bool cpu_has_avx2_probe();
CompressBlock best_compress_block();

// The worst case is a run of 51 wide literals closed by a 4-byte match at a
// distance above 16384: 51 * 9 + 25 = 484 bits for 55 bytes, 0.8 bit per byte
// above 8. A stored run costs at most 49 bits above its bytes plus 40 per
// further 65535-byte block, and the 6-byte match that must follow it saves
// more than that. Besides these: 31 pending bits, 3 bits of the first header
// and 61 bits for the final run: 95 bits, under 12 bytes. The scan's writer
// stores eight bytes at a time, so up to 8 bytes past the last one it
// counts are written too; a run rewound to go out stored never held more
// than 55 wide bytes' worth above 8 bits per byte (the 52nd and up to three
// literals after it, written in one put before the rewind).
inline constexpr size_t scan_store_slack = 8;
constexpr size_t compressed_output_bound(size_t len) {
    return len + (len + 9) / 10 + 12 + scan_store_slack;
}

}  // namespace vek

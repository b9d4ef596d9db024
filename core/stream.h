// Internals of the stream record shared by every writer of the core: the
// byte-order helpers and the bit writer, a 64-bit queue that spills 32 bits at
// a time, so appending any field is one add, one compare and at most one
// unaligned 32-bit store.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "vek_core.h"

namespace vek {

inline uint32_t load_le32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

inline uint64_t load_le64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

inline void store_le32(uint8_t* p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}

inline void store_le64(uint8_t* p, uint64_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

inline void store_le16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// The queue fields of a DeflateStream. Hot loops keep a local copy, because
// a store through the byte pointer `out` may alias anything the record holds
// and would force the compiler to reload the queue after every spill.
struct BitQueue {
    uint64_t bit_queue;
    uint32_t bit_count;
    uint8_t* out;

    static BitQueue of(const DeflateStream& s) { return {s.bit_queue, s.bit_count, s.out}; }
    void store_into(DeflateStream& s) const {
        s.bit_queue = bit_queue;
        s.bit_count = bit_count;
        s.out = out;
    }
};

// Appends the n low bits of value (nothing set at or above bit n, n <= 32).
// bit_count is at most 31 before the append, so the queue never holds more
// than 63 bits and one spill is enough.
template <class Queue>
inline void queue_bits(Queue& q, uint32_t value, uint32_t n) {
    q.bit_queue += uint64_t(value) << q.bit_count;
    q.bit_count += n;
    if (q.bit_count >= 32) {
        store_le32(q.out, uint32_t(q.bit_queue));
        q.out += 4;
        q.bit_queue >>= 32;
        q.bit_count -= 32;
    }
}

// Writes the whole bytes that hold the pending bits (the bits above
// bit_count are zero, so the last byte comes out padded) and empties the queue.
template <class Queue>
inline void align_to_byte(Queue& q) {
    const uint32_t bytes = (q.bit_count + 7) / 8;
    for (uint32_t i = 0; i < bytes; ++i) q.out[i] = uint8_t(q.bit_queue >> (8 * i));
    q.out += bytes;
    q.bit_queue = 0;
    q.bit_count = 0;
}

// Starts a new stream of the given format in `state`: the level and format
// bits, an empty queue, the checksum's initial value and no input yet.
void reset_stream(DeflateStream& s, int32_t level, StreamFormat format, StreamState state,
                  uint32_t checksum);

// The fixed codes that every writer uses.
inline constexpr uint32_t end_of_block_bits = 7;  // symbol 256: seven zero bits
inline constexpr uint32_t block_header_bits = 3;  // BFINAL, then BTYPE
inline constexpr uint32_t header_fixed = 2;
inline constexpr uint32_t header_fixed_final = 3;
inline constexpr uint32_t header_stored = 0;
inline constexpr uint32_t header_stored_final = 1;

template <class Queue>
inline void queue_end_of_block(Queue& q) {
    queue_bits(q, 0, end_of_block_bits);
}

}  // namespace vek

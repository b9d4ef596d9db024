// Chunks of one stream encoded apart and joined in order. A compressing call
// keeps no history, so a chunk's bits depend on the stream only through the
// state it enters: the bits pending then, and whether a block is open.
#include <algorithm>
#include <cstring>

#include "checksum_paths.h"
#include "stream.h"
#include "vek_core.h"

namespace vek {
namespace {

// The bits [first, end) of `src` (bit 0 first), appended to the record's
// queue. Most of a fragment is shifted here, so the bulk goes eight source
// bytes per step: once the source is byte-aligned, each step stores the
// bits carried over (under 8) and the word shifted above them. The record's
// writer spills 32 bits at a time from where its queue was last empty, so
// at the end the bytes past the last whole 32 bits go back into the queue,
// as that writer would have kept them. Reads up to 8 bytes from the byte
// that holds bit `first` on, and may store up to append_store_slack bytes
// past the last byte it counts.
void append_bits(DeflateStream& s, const uint8_t* src, uint64_t first, uint64_t end) {
    BitQueue q = BitQueue::of(s);
    uint8_t* const grid = q.out;  // on the record's 32-bit grid
    uint64_t at = first;
    // Up to 7 bits, until the source is byte-aligned.
    if (const uint32_t lead = uint32_t(std::min<uint64_t>((8 - at % 8) % 8, end - at)); lead > 0) {
        q.bit_queue |= (uint64_t(src[at / 8]) >> (at % 8) & ((1u << lead) - 1)) << q.bit_count;
        q.bit_count += lead;
        at += lead;
    }
    // Whole bytes out of the queue (at most 38 bits were pending): under 8 stay.
    store_le64(q.out, q.bit_queue);
    q.out += q.bit_count / 8;
    q.bit_queue >>= q.bit_count & ~7u;
    q.bit_count &= 7;
    for (; end - at >= 64; at += 64) {
        const uint64_t word = load_le64(src + at / 8);
        store_le64(q.out, q.bit_queue | word << q.bit_count);
        q.out += 8;
        // A shift by 64 is undefined: with nothing carried, nothing carries on.
        q.bit_queue = q.bit_count == 0 ? 0 : word >> (64 - q.bit_count);
    }
    // Under 64 bits left: in two puts of at most 32 bits after the carry.
    const uint64_t rest = (end - at) == 0 ? 0 : load_le64(src + at / 8) & ((uint64_t(1) << (end - at)) - 1);
    for (uint32_t n = uint32_t(end - at), shift = 0; n > 0;) {
        const uint32_t take = std::min(n, 32u);
        q.bit_queue |= (rest >> shift & ((uint64_t(1) << take) - 1)) << q.bit_count;
        q.bit_count += take;
        store_le64(q.out, q.bit_queue);
        q.out += q.bit_count / 8;
        q.bit_queue >>= q.bit_count & ~7u;
        q.bit_count &= 7;
        n -= take;
        shift += take;
    }
    // Back onto the record's grid: the bytes past the last whole 32 bits
    // return to the queue.
    const uint32_t spare = uint32_t(q.out - grid) & 3;
    q.out -= spare;
    uint64_t spare_bits = 0;
    for (uint32_t i = 0; i < spare; ++i) spare_bits |= uint64_t(q.out[i]) << (8 * i);
    q.bit_queue = spare_bits | q.bit_queue << (8 * spare);
    q.bit_count += 8 * spare;
    q.store_into(s);
}

uint32_t fragment_checksum(int32_t format, const uint8_t* in, int32_t len) {
    switch (format) {
        case format_gzip: return best_crc32_update()(0, in, len);
        case format_zlib: return best_adler32_update()(1, in, len);
        default: return 0;
    }
}

}  // namespace

int32_t encode_fragment(Fragment* fragment, int32_t level, int32_t format, uint8_t* out,
                        const uint8_t* in, int32_t len, MatchTable* table) {
    DeflateStream s{};
    init_deflate(&s, level);  // a block boundary with nothing pending
    const int32_t size = encode_deflate(&s, out, in, len, 1, table);
    Fragment& f = *fragment;
    f.size = uint32_t(size);
    f.tail_queue = s.bit_queue;
    f.tail_count = s.bit_count;
    f.end_state = s.state;
    f.aligned = s.first_alignment != nullptr;
    f.head_bits = f.aligned ? uint32_t(8 * (s.first_alignment - out)) + s.bits_before_alignment
                            : uint32_t(8 * size);
    f.aligned_at = f.aligned ? (f.head_bits + 7) / 8 : uint32_t(size);
    // From a block boundary, a stored block first writes only its 3-bit
    // header; fixed codes first write a header and at least one code.
    if (len == 0) f.opening = FragmentOpening::Nothing;
    else if (f.aligned && f.head_bits == block_header_bits) f.opening = FragmentOpening::StoredBlock;
    else f.opening = FragmentOpening::FixedBlock;
    f.checksum = fragment_checksum(format, in, len);
    f.input_length = uint32_t(len);
    return size;
}

int32_t append_fragment(DeflateStream* stream, uint8_t* out, const Fragment& f, const uint8_t* bytes) {
    DeflateStream& s = *stream;
    s.out = out + write_header_due(&s, out);
    if (f.opening != FragmentOpening::Nothing) {
        const bool block_open = s.state != StreamState::BlockBoundary;
        // The fragment assumed no open block: its fixed header is the open
        // block's continuation here, and an open block ends before a stored one.
        const uint32_t skip = block_open && f.opening == FragmentOpening::FixedBlock ? block_header_bits : 0;
        if (block_open && f.opening == FragmentOpening::StoredBlock) queue_end_of_block(s);
        // A fragment shorter than 32 bits holds them all in its tail.
        const uint32_t head_skip = skip < f.head_bits ? skip : f.head_bits;
        const uint32_t tail_skip = skip - head_skip;
        append_bits(s, bytes, head_skip, f.head_bits);
        if (f.aligned) {
            align_to_byte(s);
            const size_t rest = f.size - f.aligned_at;
            if (rest > 0) std::memcpy(s.out, bytes + f.aligned_at, rest);
            s.out += rest;
            s.bit_queue = f.tail_queue;
            s.bit_count = f.tail_count;
        } else {
            queue_bits(s, uint32_t(f.tail_queue >> tail_skip), f.tail_count - tail_skip);
        }
        s.state = f.end_state;
    }
    if (s.format == format_gzip) s.checksum = crc32_combine(s.checksum, f.checksum, f.input_length);
    else if (s.format == format_zlib) s.checksum = adler32_combine(s.checksum, f.checksum, f.input_length);
    s.input_length += f.input_length;
    return int32_t(s.out - out);
}

}  // namespace vek

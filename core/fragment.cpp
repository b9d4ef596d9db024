// Chunks of one stream encoded apart and joined in order. A compressing call
// keeps no history, so a chunk's bits depend on the stream only through the
// state it enters: the bits pending then, and whether a block is open.
#include <cstring>

#include "checksum_paths.h"
#include "stream.h"
#include "vek_core.h"

namespace vek {
namespace {

// The bits [first, end) of `src` (bit 0 first), 32 at a time through the
// record's queue. Reads up to 8 bytes from the byte that holds bit `first`
// on, so the source needs that much room past its last byte.
void append_bits(DeflateStream& s, const uint8_t* src, uint64_t first, uint64_t end) {
    BitQueue q = BitQueue::of(s);
    for (uint64_t at = first; at < end;) {
        const uint32_t n = end - at < 32 ? uint32_t(end - at) : 32;
        const uint64_t word = load_le64(src + at / 8) >> (at % 8);
        queue_bits(q, uint32_t(word & ((uint64_t(1) << n) - 1)), n);
        at += n;
    }
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

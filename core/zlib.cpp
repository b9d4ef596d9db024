// zlib stream (RFC 1950): 2-byte header, the raw stream, and the Adler-32 of
// the input, most significant byte first; and the Adler-32 itself.
#include "checksum_paths.h"
#include "stream.h"
#include "vek_core.h"

namespace vek {
namespace {

inline constexpr uint32_t adler_modulus = 65521;
// Sums stay below 2^32 without reduction for this many bytes: at most
// 4096 * 255 + 65520 in s1 and 2,408,052,720 in s2.
inline constexpr int32_t adler_chunk = 4096;

// 65536 = 15 (mod 65521), so x = (x >> 16) * 15 + (x & 0xFFFF) keeps x's
// residue while shrinking it; a final subtraction leaves it below 65521.
inline uint32_t adler_fold(uint32_t x) { return (x >> 16) * 15 + (x & 0xFFFF); }
inline uint32_t adler_subtract_once(uint32_t x) {
    return x >= adler_modulus ? x - adler_modulus : x;
}

// CMF 0x78: deflate with a 32 KiB window; FLG 0x01: fastest, no dictionary,
// and the check bits that make 0x7801 a multiple of 31.
inline constexpr uint8_t zlib_header[] = {0x78, 0x01};
static_assert((zlib_header[0] * 256 + zlib_header[1]) % 31 == 0);

}  // namespace

uint32_t adler32_update(uint32_t adler, const uint8_t* in, int32_t len) {
    uint32_t s1 = adler & 0xFFFF;
    uint32_t s2 = adler >> 16;
    do {
        const int32_t chunk = len < adler_chunk ? len : adler_chunk;
        int32_t i = 0;
        for (; i + 4 <= chunk; i += 4) {
            s1 += in[i];
            s2 += s1;
            s1 += in[i + 1];
            s2 += s1;
            s1 += in[i + 2];
            s2 += s1;
            s1 += in[i + 3];
            s2 += s1;
        }
        for (; i < chunk; ++i) {
            s1 += in[i];
            s2 += s1;
        }
        s1 = adler_subtract_once(adler_fold(s1));
        s2 = adler_subtract_once(adler_fold(adler_fold(s2)));
        in += chunk;
        len -= chunk;
    } while (len > 0);
    return (s2 << 16) + s1;
}

uint32_t adler32_update_bytewise(uint32_t adler, const uint8_t* in, int32_t len) {
    uint32_t s1 = adler & 0xFFFF;
    uint32_t s2 = adler >> 16;
    for (int32_t i = 0; i < len; ++i) {
        s1 = (s1 + in[i]) % adler_modulus;
        s2 = (s2 + s1) % adler_modulus;
    }
    return (s2 << 16) + s1;
}

// A's sums carry on through B: s1 gains B's bytes (B's own s1 less its
// starting 1), and s2 gains B's s2 plus A's s1 less 1 once per byte of B.
uint32_t adler32_combine(uint32_t adler_a, uint32_t adler_b, uint64_t len_b) {
    const uint64_t rem = len_b % adler_modulus;
    const uint64_t s1a = adler_a & 0xFFFF, s2a = adler_a >> 16;
    const uint64_t s1b = adler_b & 0xFFFF, s2b = adler_b >> 16;
    const uint64_t s1 = (s1a + s1b + adler_modulus - 1) % adler_modulus;
    const uint64_t s2 = (s2a + s2b + rem * ((s1a + adler_modulus - 1) % adler_modulus)) % adler_modulus;
    return uint32_t(s2 << 16 | s1);
}

int32_t init_zlib(DeflateStream* stream, int32_t level) {
    reset_stream(*stream, level, format_zlib, StreamState::Init, 1);
    return 0;
}

int32_t write_zlib_header(DeflateStream* stream, uint8_t* out) {
    out[0] = zlib_header[0];
    out[1] = zlib_header[1];
    stream->state = StreamState::BlockBoundary;
    return int32_t(sizeof zlib_header);
}

int32_t encode_zlib(DeflateStream* stream, uint8_t* out, const uint8_t* in, int32_t len,
                    int32_t more, MatchTable* table) {
    const int32_t header = stream->state == StreamState::Init ? write_zlib_header(stream, out) : 0;
    stream->checksum = best_adler32_update()(stream->checksum, in, len);
    return header + encode_deflate(stream, out + header, in, len, more, table);
}

int32_t finish_zlib(DeflateStream* stream, uint8_t* out) {
    uint8_t* p = out;
    if (stream->state == StreamState::Init) p += write_zlib_header(stream, p);
    p += finish_deflate(stream, p);
    const uint32_t adler = stream->checksum;
    p[0] = uint8_t(adler >> 24);
    p[1] = uint8_t(adler >> 16);
    p[2] = uint8_t(adler >> 8);
    p[3] = uint8_t(adler);
    stream->state = StreamState::End;
    return int32_t(p + 4 - out);
}

}  // namespace vek

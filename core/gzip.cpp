// gzip member (RFC 1952): fixed 10-byte header, the raw stream, and a trailer
// of the CRC-32 and the input length; and the CRC-32 it carries.
#include <array>

#include "checksum_paths.h"
#include "stream.h"
#include "vek_core.h"

namespace vek {
namespace {

inline constexpr uint32_t crc32_polynomial = 0xEDB88320;  // reflected

// Slicing-by-4 tables with the initial and final complement folded in:
// W_k[n] = S_k[n ^ 0xFF] ^ (0xFF000000 >> 8k), where S_0 is the byte table
// and S_k[n] = S_{k-1}[n] >> 8 ^ S_0[S_{k-1}[n] & 0xFF]. The running value is
// then always the finished CRC of the bytes so far.
using Crc32Tables = std::array<std::array<uint32_t, 256>, 4>;
inline constexpr Crc32Tables crc32_tables = [] {
    Crc32Tables s{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int i = 0; i < 8; ++i) c = (c >> 1) ^ ((c & 1) ? crc32_polynomial : 0);
        s[0][n] = c;
    }
    for (int k = 1; k < 4; ++k)
        for (uint32_t n = 0; n < 256; ++n)
            s[k][n] = (s[k - 1][n] >> 8) ^ s[0][s[k - 1][n] & 0xFF];
    Crc32Tables w{};
    for (int k = 0; k < 4; ++k)
        for (uint32_t n = 0; n < 256; ++n) w[k][n] = s[k][n ^ 0xFF] ^ (0xFF000000u >> (8 * k));
    return w;
}();

static_assert(crc32_tables[0][0] == 0xD202EF8D && crc32_tables[0][1] == 0xA505DF1B);
static_assert(crc32_tables[1][0] == 0x93DBFD72 && crc32_tables[2][0] == 0xBE98CBED);
static_assert(crc32_tables[3][0] == 0xDE05060E);

inline uint32_t crc32_byte_step(uint32_t crc, uint8_t byte) {
    return (crc >> 8) ^ crc32_tables[0][(crc ^ byte) & 0xFF];
}

inline uint32_t crc32_word_step(uint32_t crc, const uint8_t* in) {
    const uint32_t c = crc ^ load_le32(in);
    return crc32_tables[3][c & 0xFF] ^ crc32_tables[2][(c >> 8) & 0xFF] ^
           crc32_tables[1][(c >> 16) & 0xFF] ^ crc32_tables[0][c >> 24];
}

inline constexpr uint8_t gzip_header[] = {
    0x1F, 0x8B,              // ID1, ID2
    0x08,                    // CM: deflate
    0x00,                    // FLG: no text flag, header CRC, extra, name or comment
    0x00, 0x00, 0x00, 0x00,  // MTIME: none
    0x04,                    // XFL: fastest compression
    0x03,                    // OS: Unix
};

}  // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t* in, int32_t len) {
    for (; len >= 16; len -= 16, in += 16) {
        crc = crc32_word_step(crc, in);
        crc = crc32_word_step(crc, in + 4);
        crc = crc32_word_step(crc, in + 8);
        crc = crc32_word_step(crc, in + 12);
    }
    for (; len >= 4; len -= 4, in += 4) crc = crc32_word_step(crc, in);
    for (; len > 0; --len) crc = crc32_byte_step(crc, *in++);
    return crc;
}

uint32_t crc32_update_bytewise(uint32_t crc, const uint8_t* in, int32_t len) {
    for (int32_t i = 0; i < len; ++i) crc = crc32_byte_step(crc, in[i]);
    return crc;
}

// CRC arithmetic in GF(2)[x] modulo the CRC polynomial, in the reflected
// form the tables use: bit 31 holds x^0, so multiplying by x is a right
// shift that folds the polynomial back in. Appending n bytes to a message
// multiplies its CRC register by x^(8n); the complements at both ends of a
// finished CRC cancel in the combination, as they do for zlib's.
namespace {

uint32_t multiply_mod_polynomial(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if (a & bit) product ^= b;
        b = (b >> 1) ^ (b & 1 ? crc32_polynomial : 0);
    }
    return product;
}

// x^(8n) modulo the polynomial, by squaring: x^8 is 0x00800000 reflected.
uint32_t x_to_8n(uint64_t n) {
    uint32_t result = 1u << 31, power = 1u << 23;
    for (; n != 0; n >>= 1) {
        if (n & 1) result = multiply_mod_polynomial(result, power);
        power = multiply_mod_polynomial(power, power);
    }
    return result;
}

}  // namespace

uint32_t crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t len_b) {
    return multiply_mod_polynomial(x_to_8n(len_b), crc_a) ^ crc_b;
}

int32_t init_gzip(DeflateStream* stream, int32_t level) {
    reset_stream(*stream, level, format_gzip, StreamState::Init, 0);
    return 0;
}

int32_t write_gzip_header(DeflateStream* stream, uint8_t* out) {
    std::copy(std::begin(gzip_header), std::end(gzip_header), out);
    stream->state = StreamState::BlockBoundary;
    return int32_t(sizeof gzip_header);
}

int32_t encode_gzip(DeflateStream* stream, uint8_t* out, const uint8_t* in, int32_t len,
                    int32_t more, MatchTable* table) {
    const int32_t header = stream->state == StreamState::Init ? write_gzip_header(stream, out) : 0;
    stream->checksum = best_crc32_update()(stream->checksum, in, len);
    return header + encode_deflate(stream, out + header, in, len, more, table);
}

int32_t finish_gzip(DeflateStream* stream, uint8_t* out) {
    uint8_t* p = out;
    if (stream->state == StreamState::Init) p += write_gzip_header(stream, p);
    p += finish_deflate(stream, p);
    store_le32(p, stream->checksum);
    store_le32(p + 4, stream->input_length);
    stream->state = StreamState::End;
    return int32_t(p + 8 - out);
}

}  // namespace vek

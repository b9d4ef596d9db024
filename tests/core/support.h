// Helpers for the core tests: a real inflater (zlib), calls into buffers of
// exactly the bound's size, and a reader that lists the blocks and symbols of
// a fixed-code/stored DEFLATE stream, written from RFC 1951 alone.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vek_core.h"

namespace vek::test {

using Bytes = std::vector<uint8_t>;

// RFC 1951, section 3.2.5, typed in from the RFC rather than derived.
inline constexpr uint16_t rfc_length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                          15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                          67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr uint8_t rfc_length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                          2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr uint16_t rfc_distance_base[30] = {1,    2,    3,    4,    5,    7,     9,     13,
                                            17,   25,   33,   49,   65,   97,    129,   193,
                                            257,  385,  513,  769,  1025, 1537,  2049,  3073,
                                            4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr uint8_t rfc_distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

inline Bytes bytes_of(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(uint8_t(v));
    return out;
}

inline Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// zlib's inflate; window_bits -15 raw, 15 zlib, 31 gzip. nullopt unless the
// stream is complete, valid and followed by nothing.
inline std::optional<Bytes> inflate_with_zlib(const Bytes& compressed, int window_bits) {
    z_stream z{};
    if (inflateInit2(&z, window_bits) != Z_OK) return std::nullopt;
    Bytes out;
    uint8_t chunk[1 << 16];
    z.next_in = const_cast<Bytef*>(compressed.data());
    z.avail_in = uInt(compressed.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
        if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    const bool complete = rc == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    if (!complete) return std::nullopt;
    return out;
}

inline int window_bits_for(int format) { return format == 0 ? 31 : format == 1 ? 15 : -15; }

// A stream driven the way a careful caller drives it: every call gets a
// fresh heap buffer of exactly the bound's size, so AddressSanitizer sees
// any write past the bound.
class Encoder {
public:
    Encoder(int level, int format) { init_stream(&stream, level, format); }

    Bytes encode(const Bytes& in, int more = 1) { return encode(in.data(), in.size(), more); }
    Bytes encode(const uint8_t* in, size_t len, int more = 1) {
        Bytes out(max_encode_output(stream, len));
        const int32_t n = encode_stream(&stream, out.data(), in, int32_t(len), more);
        out.resize(size_t(n));
        return out;
    }
    Bytes finish() {
        Bytes out(max_finish_output(stream));
        out.resize(size_t(finish_stream(&stream, out.data())));
        return out;
    }
    // All input in pieces cut at the given offsets, then the finish.
    Bytes whole(const Bytes& in, std::span<const size_t> cuts = {}) {
        Bytes out;
        size_t start = 0;
        for (size_t cut : cuts) {
            out = concat(out, encode(in.data() + start, cut - start));
            start = cut;
        }
        out = concat(out, encode(in.data() + start, in.size() - start));
        return concat(out, finish());
    }

    DeflateStream stream{};
};

// What a DEFLATE stream says, symbol by symbol.
struct Token {
    enum Kind { FixedHeader, StoredBlock, Literal, Match, EndOfBlock } kind;
    bool final_block = false;
    uint32_t value = 0;     // literal byte, or stored length
    uint32_t length = 0;    // match length
    uint32_t distance = 0;  // match distance
    bool operator==(const Token&) const = default;
};

inline Token fixed_header(bool final_block) { return {Token::FixedHeader, final_block}; }
inline Token stored_block(bool final_block, uint32_t len) {
    return {Token::StoredBlock, final_block, len};
}
inline Token literal(uint32_t byte) { return {Token::Literal, false, byte}; }
inline Token match(uint32_t length, uint32_t distance) {
    return {Token::Match, false, 0, length, distance};
}
inline Token end_of_block() { return {Token::EndOfBlock}; }

std::vector<Token> read_tokens(const Bytes& raw_deflate);
std::vector<Token> literals_of(const Bytes& bytes);
std::string describe(const std::vector<Token>& tokens);

}  // namespace vek::test

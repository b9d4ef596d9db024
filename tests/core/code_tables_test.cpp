#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "code_tables.h"
#include "stream.h"
#include "support.h"

namespace vek::test {
namespace {

// Reverses the low `bits` bits by way of a string, unlike the table builder.
uint32_t reversed(uint32_t code, uint32_t bits) {
    std::string s;
    for (uint32_t i = 0; i < bits; ++i) s += char('0' + ((code >> (bits - 1 - i)) & 1));
    std::reverse(s.begin(), s.end());
    return uint32_t(std::stoul(s, nullptr, 2));
}

// Canonical codes from code lengths, the construction of RFC 1951 3.2.2.
std::vector<uint32_t> canonical_codes(const std::vector<uint32_t>& lengths) {
    uint32_t count[16] = {};
    for (uint32_t l : lengths) ++count[l];
    uint32_t next[16] = {};
    uint32_t code = 0;
    count[0] = 0;
    for (int bits = 1; bits < 16; ++bits) {
        code = (code + count[bits - 1]) << 1;
        next[bits] = code;
    }
    std::vector<uint32_t> codes(lengths.size());
    for (size_t n = 0; n < lengths.size(); ++n) codes[n] = next[lengths[n]]++;
    return codes;
}

std::vector<uint32_t> fixed_literal_lengths() {
    std::vector<uint32_t> lengths(288);
    for (size_t n = 0; n < 288; ++n) lengths[n] = n < 144 ? 8 : n < 256 ? 9 : n < 280 ? 7 : 8;
    return lengths;
}

TEST(CodeTables, EveryLiteralEntryIsItsCanonicalCodeReversed) {
    const auto lengths = fixed_literal_lengths();
    const auto codes = canonical_codes(lengths);
    for (uint32_t n = 0; n < 288; ++n)
        EXPECT_EQ(literal_codes[n], reversed(codes[n], lengths[n]) << 4 | lengths[n]) << n;
}

TEST(CodeTables, EveryLengthEntryIsCodeThenExtraBits) {
    const auto lengths = fixed_literal_lengths();
    const auto codes = canonical_codes(lengths);
    EXPECT_EQ(length_codes[0] | length_codes[1] | length_codes[2], 0u);
    for (uint32_t length = 3; length <= 258; ++length) {
        // The last symbol whose base is at most the length: 258 is symbol 285.
        int index = 28;
        while (rfc_length_base[index] > length) --index;
        const uint32_t symbol = 257 + index;
        const uint32_t n = lengths[symbol];
        const uint32_t extra = rfc_length_extra[index];
        const uint32_t expected = (n + extra) << 16 | reversed(codes[symbol], n) |
                                  (length - rfc_length_base[index]) << n;
        EXPECT_EQ(length_codes[length], expected) << length;
    }
}

TEST(CodeTables, EveryDistanceEntryIsCodeThenExtraBits) {
    for (uint32_t distance = 1; distance <= 32768; ++distance) {
        int code = 29;
        while (rfc_distance_base[code] > distance) --code;
        const uint32_t extra = rfc_distance_extra[code];
        const uint32_t bits = reversed(uint32_t(code), 5) | (distance - rfc_distance_base[code]) << 5;
        ASSERT_EQ(distance_codes[distance - 1], bits << 5 | (5 + extra)) << distance;
    }
}

// Every literal, every length and every distance code written straight from
// the tables must be read back by zlib as the bytes they stand for.
TEST(CodeTables, StreamOfEveryCodeInflatesWithZlib) {
    Bytes expected;
    Bytes out(200000);
    DeflateStream s{};
    init_deflate(&s, 1);
    s.out = out.data();
    queue_bits(s, header_fixed_final, block_header_bits);
    auto put_literal = [&](uint8_t b) {
        queue_bits(s, literal_codes[b] >> 4, literal_codes[b] & 15);
        expected.push_back(b);
    };
    auto put_match = [&](uint32_t length, uint32_t distance) {
        const uint32_t e_len = length_codes[length], e_dist = distance_codes[distance - 1];
        queue_bits(s, e_len & 0xFFFF, e_len >> 16);
        queue_bits(s, e_dist >> 5, e_dist & 31);
        for (uint32_t i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
    };
    for (uint32_t i = 0; i < 32768; ++i) put_literal(uint8_t(i * 7 + (i >> 8)));
    for (uint32_t length = 3; length <= 258; ++length) put_match(length, 1 + (length * 97) % 300);
    for (uint32_t distance = 1; distance <= 32768; distance = distance * 3 / 2 + 1) put_match(3, distance);
    put_match(258, 32768);
    queue_bits(s, 0, end_of_block_bits);
    align_to_byte(s);
    out.resize(size_t(s.out - out.data()));
    EXPECT_EQ(inflate_with_zlib(out, -15), expected);
}

}  // namespace
}  // namespace vek::test

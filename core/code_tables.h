// The fixed Huffman code of RFC 1951 (section 3.2.6) as three lookup tables,
// built by the compiler from the code's rules. Every entry already holds the
// code bit-reversed for LSB-first packing, with the extra bits merged above
// it, so that coding a literal, a length or a distance is one load and one
// queue_bits.
#pragma once

#include <array>
#include <cstdint>

namespace vek {
namespace code_rules {

constexpr uint32_t reverse_bits(uint32_t code, uint32_t bits) {
    uint32_t reversed = 0;
    for (uint32_t i = 0; i < bits; ++i) reversed |= ((code >> i) & 1u) << (bits - 1 - i);
    return reversed;
}

// The fixed literal/length code: four ranges of consecutive codes.
struct FixedCode {
    uint32_t code;
    uint32_t bits;
};
constexpr FixedCode fixed_literal_code(uint32_t symbol) {
    if (symbol < 144) return {0x30 + symbol, 8};
    if (symbol < 256) return {0x190 + (symbol - 144), 9};
    if (symbol < 280) return {symbol - 256, 7};
    return {0xC0 + (symbol - 280), 8};
}

// Length symbols 257..284 come in groups of four with 0, 0, 1, 2, ... 5 extra
// bits, each base one past the previous group's range; 285 is 258 alone.
inline constexpr uint32_t length_symbols = 29;
constexpr uint32_t length_extra_bits(uint32_t index) {
    return index < 8 || index == 28 ? 0 : (index - 4) / 4;
}
constexpr uint32_t length_base(uint32_t index) {
    if (index == 28) return 258;
    uint32_t base = 3;
    for (uint32_t i = 0; i < index; ++i) base += 1u << length_extra_bits(i);
    return base;
}

// Distance codes 0..29 come in pairs with 0, 0, 1, 1, ... 13 extra bits.
inline constexpr uint32_t distance_symbols = 30;
constexpr uint32_t distance_extra_bits(uint32_t code) { return code < 2 ? 0 : code / 2 - 1; }
constexpr uint32_t distance_base(uint32_t code) {
    uint32_t base = 1;
    for (uint32_t i = 0; i < code; ++i) base += 1u << distance_extra_bits(i);
    return base;
}

}  // namespace code_rules

inline constexpr uint32_t max_match_length = 258;
inline constexpr uint32_t min_match_length = 3;
inline constexpr uint32_t max_distance = 32768;

// Entry: bit-reversed code << 4 | code length.
inline constexpr std::array<uint16_t, 288> literal_codes = [] {
    std::array<uint16_t, 288> table{};
    for (uint32_t symbol = 0; symbol < table.size(); ++symbol) {
        const auto [code, bits] = code_rules::fixed_literal_code(symbol);
        table[symbol] = uint16_t(code_rules::reverse_bits(code, bits) << 4 | bits);
    }
    return table;
}();

// Indexed by the match length. Entry: total bit count << 16 | the bit string
// (code first, then extra bits). Lengths below 3 do not exist and stay zero.
inline constexpr std::array<uint32_t, max_match_length + 1> length_codes = [] {
    using namespace code_rules;
    std::array<uint32_t, max_match_length + 1> table{};
    for (uint32_t index = 0; index < length_symbols; ++index) {
        const auto [code, bits] = fixed_literal_code(257 + index);
        const uint32_t extra = length_extra_bits(index);
        const uint32_t base = length_base(index);
        // Symbol 284's range reaches 258 too; 285, written after it, takes 258 over.
        for (uint32_t length = base; length < base + (1u << extra); ++length)
            table[length] = (bits + extra) << 16 | reverse_bits(code, bits) |
                            (length - base) << bits;
    }
    return table;
}();

// Indexed by distance - 1. Entry: the bit string (5-bit code, then extra
// bits) << 5 | total bit count.
inline constexpr std::array<uint32_t, max_distance> distance_codes = [] {
    using namespace code_rules;
    std::array<uint32_t, max_distance> table{};
    for (uint32_t code = 0; code < distance_symbols; ++code) {
        const uint32_t extra = distance_extra_bits(code);
        const uint32_t base = distance_base(code);
        for (uint32_t distance = base; distance < base + (1u << extra); ++distance)
            table[distance - 1] = (reverse_bits(code, 5) | (distance - base) << 5) << 5 | (5 + extra);
    }
    return table;
}();

// The rules reproduce RFC 1951's tables.
static_assert(code_rules::length_base(27) == 227 && code_rules::length_extra_bits(27) == 5);
static_assert(code_rules::distance_base(29) == 24577 && code_rules::distance_extra_bits(29) == 13);
static_assert(code_rules::distance_base(29) + (1u << 13) - 1 == max_distance);

static_assert(literal_codes[0] == 0x00C8 && literal_codes[65] == 0x08E8);
static_assert(literal_codes[143] == 0x0FD8 && literal_codes[144] == 0x0139);
static_assert(literal_codes[255] == 0x1FF9 && literal_codes[256] == 0x0007);
static_assert(literal_codes[279] == 0x0747 && literal_codes[280] == 0x0038);

static_assert(length_codes[3] == 0x00070040 && length_codes[4] == 0x00070020);
static_assert(length_codes[10] == 0x00070008 && length_codes[11] == 0x00080048);
static_assert(length_codes[12] == 0x000800C8 && length_codes[35] == 0x000A0044);
static_assert(length_codes[131] == 0x000D0083 && length_codes[257] == 0x000D1E23);
static_assert(length_codes[258] == 0x000800A3);

static_assert(distance_codes[1 - 1] == 0x00000005 && distance_codes[2 - 1] == 0x00000205);
static_assert(distance_codes[5 - 1] == 0x00000086 && distance_codes[9 - 1] == 0x00000187);
static_assert(distance_codes[17 - 1] == 0x00000048 && distance_codes[1024 - 1] == 0x0003FF2D);
static_assert(distance_codes[1025 - 1] == 0x000000AE && distance_codes[32768 - 1] == 0x007FFEF2);

}  // namespace vek

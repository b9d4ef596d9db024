#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "block_encoder.h"
#include "code_tables.h"
#include "reference_encoder.h"
#include "support.h"

namespace vek::test {
namespace {

using Tokens = std::vector<Token>;

Encoder fresh_compressing() { return Encoder(1, format_deflate); }

std::vector<Token> tokens_of_whole(const Bytes& input, int more = 1) {
    Encoder e = fresh_compressing();
    const Bytes body = e.encode(input, more);
    const Bytes out = concat(body, e.finish());
    EXPECT_EQ(inflate_with_zlib(out, -15), input);
    return read_tokens(out);
}

std::vector<Token> operator+(std::vector<Token> a, const std::vector<Token>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes range_bytes(int first, int count) {
    Bytes b;
    for (int i = 0; i < count; ++i) b.push_back(uint8_t(first + i));
    return b;
}

// The hash of the stream format: top 13 bits of word * 0x8003F.
uint32_t table_slot(const uint8_t* p) {
    const uint32_t word = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return (word * 0x8003Fu) >> 19;
}

// Letters in which no 4-byte word repeats and none shares the table slot of
// `avoid`: nothing in it matches, and it never evicts `avoid`'s entry.
Bytes unmatchable_filler(size_t n, const Bytes& avoid, uint32_t seed) {
    std::mt19937 rng(seed);
    std::set<uint32_t> seen;
    const uint32_t avoid_slot = table_slot(avoid.data());
    Bytes b = {'q', 'r', 'v'};
    while (b.size() < n) {
        for (;;) {
            b.push_back(uint8_t('a' + rng() % 26));
            const uint8_t* w = b.data() + b.size() - 4;
            const uint32_t key = uint32_t(w[0]) | uint32_t(w[1]) << 8 | uint32_t(w[2]) << 16 | uint32_t(w[3]) << 24;
            if (!seen.count(key) && table_slot(w) != avoid_slot) {
                seen.insert(key);
                break;
            }
            b.pop_back();
        }
    }
    return b;
}

TEST(BlockEncoder, SingleLiteralStaysQueuedInAnOpenBlock) {
    Encoder e = fresh_compressing();
    EXPECT_EQ(e.encode(bytes_of("a")), Bytes{});
    EXPECT_EQ(e.stream.bit_count, 11u);
    EXPECT_EQ(e.stream.state, StreamState::FixedBlock);
    EXPECT_EQ(e.finish(), bytes_of({0x4A, 0x04, 0x0C, 0x00}));
}

TEST(BlockEncoder, ShortFinalInputOpensTheFinalBlock) {
    Encoder e = fresh_compressing();
    EXPECT_EQ(e.encode(bytes_of("abc"), 0), Bytes{});
    EXPECT_EQ(e.stream.state, StreamState::LastFixedBlock);
    EXPECT_EQ(e.finish(), bytes_of({0x4B, 0x4C, 0x4A, 0x06, 0x00}));
}

TEST(BlockEncoder, OverlappingMatchOfHelloWorld) {
    Encoder e = fresh_compressing();
    const Bytes input = bytes_of("hello hello hello hello world");
    EXPECT_EQ(e.encode(input),
              bytes_of({0xCA, 0x48, 0xCD, 0xC9, 0xC9, 0x57, 0xC0, 0x24, 0xCB, 0xF3, 0x8B, 0x72}));
    EXPECT_EQ(e.stream.bit_count, 9u);
    EXPECT_EQ(e.finish(), bytes_of({0x52, 0x00, 0x03, 0x00}));
    EXPECT_EQ(tokens_of_whole(input),
              Tokens({fixed_header(false)}) + literals_of(bytes_of("hello ")) +
                  Tokens({match(18, 6)}) + literals_of(bytes_of("world")) +
                  Tokens({end_of_block(), fixed_header(true), end_of_block()}));
}

TEST(BlockEncoder, ZeroRunKeepsTheLastProbedPositionNotPositionsInsideMatches) {
    Encoder e = fresh_compressing();
    const Bytes zeros(600, 0);
    const Bytes first = e.encode(zeros);
    EXPECT_EQ(first.size(), 8u);
    EXPECT_EQ(concat(first, e.finish()),
              bytes_of({0x62, 0x18, 0x05, 0xA3, 0x21, 0x40, 0x83, 0x10, 0x00, 0x0C, 0x00}));
    EXPECT_EQ(tokens_of_whole(zeros),
              (Tokens({fixed_header(false), literal(0), match(258, 1), match(258, 258),
                                  match(83, 258), end_of_block(), fixed_header(true), end_of_block()})));
}

TEST(BlockEncoder, EmptyTableEntryNeverMatchesAllOnesWord) {
    Encoder e = fresh_compressing();
    const Bytes body = e.encode(bytes_of({0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(concat(body, e.finish()),
              bytes_of({0xFA, 0xFF, 0xFF, 0xFF, 0x7F, 0xC0, 0x00}));
    EXPECT_EQ(tokens_of_whole(Bytes(5, 0xFF)),
              (Tokens({fixed_header(false), literal(0xFF), match(4, 1), end_of_block(),
                                  fixed_header(true), end_of_block()})));
    EXPECT_EQ(tokens_of_whole(bytes_of("abcdabcd")),
              Tokens({fixed_header(false)}) + literals_of(bytes_of("abcd")) +
                  Tokens({match(4, 4), end_of_block(), fixed_header(true), end_of_block()}));
}

TEST(BlockEncoder, FiftyTwoWideBytesGoOutStoredFiftyOneAsLiterals) {
    Encoder e = fresh_compressing();
    const Bytes wide52 = range_bytes(0x90, 52);
    const Bytes out = e.encode(wide52);
    EXPECT_EQ(out, concat(bytes_of({0x00, 0x34, 0x00, 0xCB, 0xFF}), wide52));
    EXPECT_EQ(e.stream.state, StreamState::BlockBoundary);

    const Bytes wide51 = concat(range_bytes(0x90, 51), bytes_of("abc"));
    EXPECT_EQ(tokens_of_whole(wide51), Tokens({fixed_header(false)}) + literals_of(wide51) +
                                           Tokens({end_of_block(), fixed_header(true),
                                                              end_of_block()}));
}

// A 4-byte word at offset 0 repeated at `distance`, after a run holding
// `wide` bytes of 0x90 and up; says whether the repeat became a match.
bool four_byte_repeat_matched(uint32_t distance, int wide) {
    const Bytes word = bytes_of("WXYZ");
    Bytes input = concat(word, unmatchable_filler(distance - 4, word, distance));
    for (int i = 0; i < wide; ++i) input[10 + 7 * i] = uint8_t(0xA0 + i);
    input = concat(input, concat(word, bytes_of("!")));
    for (const Token& t : tokens_of_whole(input))
        if (t.kind == Token::Match) return t.length == 4 && t.distance == distance;
    return false;
}

TEST(BlockEncoder, FourByteMatchPaysForItsDistanceBits) {
    EXPECT_TRUE(four_byte_repeat_matched(8192, 0));
    EXPECT_FALSE(four_byte_repeat_matched(8193, 0));
    EXPECT_TRUE(four_byte_repeat_matched(8193, 1));
    EXPECT_TRUE(four_byte_repeat_matched(16384, 1));
    EXPECT_FALSE(four_byte_repeat_matched(16385, 1));
    EXPECT_TRUE(four_byte_repeat_matched(16385, 2));
    EXPECT_TRUE(four_byte_repeat_matched(32768, 2));
    EXPECT_FALSE(four_byte_repeat_matched(32769, 2)) << "beyond the window";
}

TEST(BlockEncoder, RunBoundForStoredRefusesMatchesShorterThanSix) {
    const Bytes head = bytes_of("abcdef");
    const Bytes wide60 = range_bytes(0x90, 60);
    for (size_t repeat : {4u, 5u}) {
        const Bytes input = concat(concat(head, wide60), concat(Bytes(head.begin(), head.begin() + repeat), bytes_of("!")));
        for (const Token& t : tokens_of_whole(input)) EXPECT_NE(t.kind, Token::Match) << repeat;
    }
    const Bytes input = concat(concat(head, wide60), concat(head, bytes_of("!")));
    EXPECT_EQ(tokens_of_whole(input),
              (Tokens({stored_block(false, 66), fixed_header(false), match(6, 66),
                                  literal('!'), end_of_block(), fixed_header(true), end_of_block()})));
}

TEST(BlockEncoder, NextCallContinuesTheOpenBlockWithoutAHeader) {
    Encoder e = fresh_compressing();
    const Bytes a = e.encode(bytes_of("a"));
    const Bytes rest = e.encode(bytes_of("bcd"));
    const Bytes out = concat(concat(a, rest), e.finish());
    EXPECT_EQ(read_tokens(out), Tokens({fixed_header(false)}) + literals_of(bytes_of("abcd")) +
                                    Tokens({end_of_block(), fixed_header(true), end_of_block()}));

    // 31 bits pending go out first, still without a header.
    Encoder full = fresh_compressing();
    full.stream.state = StreamState::FixedBlock;
    full.stream.bit_queue = 0x12345;
    full.stream.bit_count = 31;
    const Bytes next = full.encode(bytes_of("z"));
    ASSERT_EQ(next.size(), 4u);
    // 'z' is the 8-bit code 10101010, sent reversed: its first bit fills bit 31.
    EXPECT_EQ(next, bytes_of({0x45, 0x23, 0x01, 0x80}));
    EXPECT_EQ(full.stream.bit_count, 7u);
    EXPECT_EQ(full.stream.bit_queue, 0x55u >> 1);
}

TEST(BlockEncoder, LastCallEndingInAMatchLeavesTheFinalBlockToFinish) {
    Encoder e = fresh_compressing();
    const Bytes input = bytes_of("abcdabcd");
    const Bytes out = e.encode(input, 0);
    EXPECT_EQ(e.stream.state, StreamState::FixedBlock);
    EXPECT_EQ(read_tokens(concat(out, e.finish())),
              Tokens({fixed_header(false)}) + literals_of(bytes_of("abcd")) +
                  Tokens({match(4, 4), end_of_block(), fixed_header(true), end_of_block()}));
}

TEST(BlockEncoder, LastCallEndingInARunClosesTheOpenBlockAndOpensTheFinalOne) {
    const Bytes input = bytes_of("abcdabcdxyz");
    EXPECT_EQ(tokens_of_whole(input, 0),
              Tokens({fixed_header(false)}) + literals_of(bytes_of("abcd")) +
                  Tokens({match(4, 4), end_of_block(), fixed_header(true)}) +
                  literals_of(bytes_of("xyz")) + Tokens({end_of_block()}));
    // A wide final run goes out as the final stored block.
    const Bytes wide = concat(bytes_of("abcdabcd"), range_bytes(0xA0, 60));
    Encoder e = fresh_compressing();
    const Bytes out = e.encode(wide, 0);
    EXPECT_EQ(e.stream.state, StreamState::Done);
    EXPECT_EQ(e.finish(), Bytes{});
    EXPECT_EQ(inflate_with_zlib(out, -15), wide);
}

// Runs of 48 to 51 wide bytes, each closed by a 4-byte match from inside the
// run, about 0.64 bit per byte above 8: near the worst the encoder can do. A
// single missed match would let the run grow past 52 wide bytes and go out
// stored, so the source is one whose table entry no later probe evicts.
Bytes expanding_input(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b;
    size_t source = 0;
    while (b.size() < n) {
        const size_t run_start = b.size();
        const size_t run = 48 + rng() % 4;
        for (size_t i = 0; i < run; ++i) b.push_back(uint8_t(0x90 + rng() % 0x70));
        // The last match must stop at 4 bytes, leaving this run's start probed.
        while (run_start > 0 && b[run_start] == b[source + 4]) b[run_start] = uint8_t(0x90 + rng() % 0x70);
        const size_t run_end = b.size();
        for (bool survives = false; !survives;) {
            source = run_start + rng() % (run - 8);
            b.resize(run_end);
            const Bytes word(b.begin() + long(source), b.begin() + long(source) + 4);
            b.insert(b.end(), word.begin(), word.end());
            survives = true;
            for (size_t q = source + 1; q < run_end; ++q)
                survives &= table_slot(&b[q]) != table_slot(&b[source]);
        }
    }
    b.resize(n);
    return b;
}

TEST(BlockEncoder, WorstCaseExpansionStaysWithinTheBound) {
    for (size_t n : {size_t(55), size_t(1000), size_t(65536), size_t(1) << 20}) {
        const Bytes input = expanding_input(n, uint32_t(n));
        for (int more : {0, 1}) {
            Encoder e = fresh_compressing();
            e.stream.state = StreamState::FixedBlock;  // worst start: 31 bits pending
            e.stream.bit_queue = 0;
            e.stream.bit_count = 31;
            const Bytes out = e.encode(input, more);  // buffer of exactly the bound
            EXPECT_LE(out.size(), compressed_output_bound(n));
            if (n == 65536) EXPECT_GT(out.size(), n + n / 16) << "the input should really expand";
        }
        Encoder e = fresh_compressing();
        EXPECT_EQ(inflate_with_zlib(e.whole(input), -15), input);
    }
}

// Four literals go out in one put and a run is rewound only after them, so
// up to three literals past its 52nd wide byte are written into the buffer
// first: from any place of that byte in the four, with 31 bits pending,
// the writes stay inside a buffer of exactly the bound.
TEST(BlockEncoder, LiteralsWrittenPastTheFiftySecondWideByteStayWithinTheBound) {
    for (size_t narrow = 0; narrow < 4; ++narrow) {
        Bytes input;
        for (size_t i = 0; i < narrow; ++i) input.push_back(uint8_t('a' + i));
        for (size_t i = 0; i < 55; ++i) input.push_back(uint8_t(0x90 + i));  // no word repeats
        for (size_t i = 0; i < 12; ++i) input.push_back(uint8_t('A' + i));   // four at a time past it
        for (int more : {0, 1}) {
            Encoder e = fresh_compressing();
            e.stream.state = StreamState::FixedBlock;
            e.stream.bit_queue = 0;
            e.stream.bit_count = 31;
            const Bytes out = e.encode(input, more);  // buffer of exactly the bound
            EXPECT_LE(out.size(), compressed_output_bound(input.size()));
        }
        Encoder e = fresh_compressing();
        EXPECT_EQ(inflate_with_zlib(e.whole(input), -15), input);
    }
}

// Inputs of every kind the encoder meets, in random splits, at both levels
// and in all containers, read back by zlib.
TEST(BlockEncoder, RandomInputsAndSplitsInflateToTheInput) {
    std::mt19937 rng(5);
    for (int round = 0; round < 200; ++round) {
        const size_t n = rng() % (round < 150 ? 2000 : 300000);
        Bytes input(n);
        const int kind = round % 4;
        for (size_t i = 0; i < n; ++i) {
            switch (kind) {
                case 0: input[i] = uint8_t(rng()); break;                                 // binary
                case 1: input[i] = uint8_t("etaoin shrdlu\n"[rng() % 14]); break;        // text-like
                case 2: input[i] = i > 40 && rng() % 8 ? input[i - 1 - rng() % 40] : uint8_t(rng()); break;
                default: input[i] = uint8_t(0x90 + rng() % 0x70); break;                  // wide bytes
            }
        }
        std::vector<size_t> cuts;
        for (size_t at = 0; n > 0;) {
            at += 1 + rng() % (n / 3 + 1);
            if (at >= n) break;
            cuts.push_back(at);
        }
        const int format = int(rng() % 3);
        Encoder e(1, format);
        ASSERT_EQ(inflate_with_zlib(e.whole(input, cuts), window_bits_for(format)), input)
            << "round " << round;
    }
}

}  // namespace
}  // namespace vek::test

namespace vek::test {
namespace {

// A table kept across calls must behave as a fresh one every call: no match
// may reach into an earlier call, also when the biased positions wrap.
TEST(MatchTable, KeptTableGivesTheOutputOfAFreshTableEveryCall) {
    std::mt19937 rng(8);
    Bytes text(300000);
    for (auto& x : text) x = uint8_t("abcab "[rng() % 6]);
    for (uint32_t start_bias : {0u, 1000u, 32769u, UINT32_MAX - 200000u, UINT32_MAX}) {
        MatchTable table{};
        table.bias = start_bias;
        DeflateStream kept{}, fresh{};
        init_deflate(&kept, 1);
        init_deflate(&fresh, 1);
        for (size_t at = 0; at < text.size();) {
            const size_t n = std::min<size_t>(text.size() - at, 1 + rng() % 40000);
            Bytes a(max_encode_output(kept, n)), b(max_encode_output(fresh, n));
            a.resize(size_t(encode_deflate(&kept, a.data(), text.data() + at, int32_t(n), 1, &table)));
            b.resize(size_t(encode_deflate(&fresh, b.data(), text.data() + at, int32_t(n), 1)));
            ASSERT_EQ(a, b) << "bias " << start_bias << " at " << at;
            at += n;
        }
    }
}

}  // namespace
}  // namespace vek::test

namespace vek::test {
namespace {

// Inputs of the kinds that drive each path of the scan: text with short
// repeats, binary, wide bytes (stored runs), long runs of one byte, and runs
// that reach 52 wide bytes before a repeat of 4 to 8 bytes.
Bytes varied_input(std::mt19937& rng, int kind, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        switch (kind) {
            case 0: b[i] = uint8_t("the quick brown fox, "[rng() % 21]); break;
            case 1: b[i] = uint8_t(rng()); break;
            case 2: b[i] = uint8_t(0x90 + rng() % 0x70); break;
            case 3: b[i] = i > 0 && rng() % 64 ? b[i - 1] : uint8_t(rng()); break;
            default:
                b[i] = i > 60 && rng() % 70 == 0 ? b[i - 1 - rng() % 60] : uint8_t(rng() % 2 ? 0x95 : 'a' + rng() % 3);
                break;
        }
    }
    // Copies from up to 40,000 bytes back, so distances reach past the window.
    for (size_t k = 0; k < n / 200; ++k) {
        const size_t len = 4 + rng() % 12, to = rng() % n;
        const size_t from = to - std::min(to, size_t(1 + rng() % 40000));
        for (size_t i = 0; i < len && to + i < n; ++i) b[to + i] = b[from + i];
    }
    return b;
}

// Every call must write the bytes the plain algorithm writes and leave the
// same pending bits and state, from any entry state, with a table kept
// across calls (at any bias) or none.
TEST(BlockEncoder, EveryCallWritesTheBytesOfThePlainAlgorithm) {
    std::mt19937 rng(11);
    auto table = std::make_unique<MatchTable>();
    table->bias = 0;
    for (int round = 0; round < 400; ++round) {
        const size_t n = round % 40 == 0 ? 200000 + rng() % 100000 : rng() % 3000;
        const Bytes input = varied_input(rng, round % 5, n);
        if (round % 50 == 0) table->bias = uint32_t(rng());
        const bool keep_table = round % 3 != 0;
        DeflateStream fast{};
        init_deflate(&fast, 1);
        ReferenceStream plain;
        if (rng() % 2) {
            plain.state = fast.state = StreamState::FixedBlock;
            plain.count = fast.bit_count = rng() % 32;
            plain.queue = fast.bit_queue = (uint64_t(rng()) << 32 | rng()) & ((uint64_t(1) << fast.bit_count) - 1);
        }
        for (size_t at = 0; at < n || at == 0;) {
            const size_t piece = std::min(n - at, size_t(1 + rng() % (round % 2 ? 70000 : 700)));
            const bool last = at + piece == n;
            const int more = last && rng() % 2 ? 0 : 1;
            const Bytes chunk(input.begin() + long(at), input.begin() + long(at + piece));
            Bytes out(max_encode_output(fast, piece));
            out.resize(size_t(encode_deflate(&fast, out.data(), chunk.data(), int32_t(piece), more,
                                             keep_table ? table.get() : nullptr)));
            ASSERT_EQ(out, reference_compress(plain, chunk, more)) << "round " << round << " at " << at;
            ASSERT_EQ(fast.bit_count, plain.count);
            ASSERT_EQ(fast.bit_queue, plain.queue);
            ASSERT_EQ(fast.state, plain.state);
            at += piece;
            if (piece == 0) break;
        }
    }
}

// Only a 4-byte match can fail the bit-cost test; the encoder's one
// comparison must agree with the test as written, for every distance.
TEST(BlockEncoder, CostTestAsOneComparisonAgreesWithTheBitCounts) {
    for (uint32_t length : {4u, 5u, 6u, 10u, 11u, 130u, 257u, 258u}) {
        for (uint32_t wide : {0u, 1u, 2u, 3u, 51u}) {
            for (uint32_t index = 0; index < max_distance; ++index) {
                const uint32_t bits = (length_codes[length] >> 16) + (distance_codes[index] & 31);
                ASSERT_EQ(match_pays_off(length, index, wide), bits + 8 < wide + 8 * length)
                    << length << " " << index << " " << wide;
            }
        }
    }
}

}  // namespace
}  // namespace vek::test

namespace vek::test {
namespace {

// Inputs for the batched probe: long runs that find nothing, broken by
// words repeated at every short period (so that a batch hits its own slots
// twice, or finds a match in itself), by matches at every distance up to
// the window's edge, and by wide bytes that send runs out stored.
Bytes probe_input(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n;) {
        const size_t run = std::min(n - i, size_t(1 + rng() % 200));
        const uint32_t kind = rng() % 5;
        const size_t period = 1 + rng() % 20;
        for (size_t k = 0; k < run; ++k, ++i) {
            if (kind == 0) b[i] = uint8_t(rng());
            else if (kind == 1) b[i] = k >= period ? b[i - period] : uint8_t(rng());
            else if (kind == 2) b[i] = uint8_t(0x90 + rng() % 0x70);
            else if (kind == 3) b[i] = i >= 32768 && k < 6 ? b[i - 32768 + rng() % 2] : uint8_t(rng() % 4);
            else b[i] = uint8_t("abcdefgh"[rng() % 8]);
        }
    }
    return b;
}

struct ScanResult {
    Bytes out;
    DeflateStream stream;
};

ScanResult run_variant(CompressBlock variant, const Bytes& in, MatchTable& table, int more, StreamState state) {
    DeflateStream s{};
    init_deflate(&s, 1);
    s.state = state;
    Bytes out(max_encode_output(s, in.size()));
    s.out = out.data();
    variant(s, table, in.data(), int32_t(in.size()), more);
    out.resize(size_t(s.out - out.data()));
    return {out, s};
}

struct Variant {
    const char* name;
    CompressBlock compress;
    bool (*runs_here)();
};
void PrintTo(const Variant& variant, std::ostream* os) { *os << variant.name; }

class ScanVariant : public ::testing::TestWithParam<Variant> {};

// Every variant writes the scalar scan's bytes and leaves its state and
// table, call after call on a kept table.
TEST_P(ScanVariant, WritesTheScalarBytes) {
    const Variant variant = GetParam();
    if (!variant.runs_here()) GTEST_SKIP() << variant.name << " does not run on this CPU";
    std::mt19937 rng(17);
    auto scalar_table = std::make_unique<MatchTable>();
    auto vector_table = std::make_unique<MatchTable>();
    scalar_table->bias = vector_table->bias = 0;
    for (int round = 0; round < 300; ++round) {
        const size_t n = round % 30 == 0 ? 100000 + rng() % 100000 : rng() % 5000;
        const Bytes in = round % 4 == 0 ? varied_input(rng, round % 5, n) : probe_input(rng, n);
        const int more = int(rng() % 2);
        const StreamState state = rng() % 2 ? StreamState::BlockBoundary : StreamState::FixedBlock;
        const ScanResult want = run_variant(compress_block_scalar, in, *scalar_table, more, state);
        const ScanResult got = run_variant(variant.compress, in, *vector_table, more, state);
        ASSERT_EQ(got.out, want.out) << "round " << round;
        ASSERT_EQ(got.stream.bit_queue, want.stream.bit_queue);
        ASSERT_EQ(got.stream.bit_count, want.stream.bit_count);
        ASSERT_EQ(got.stream.state, want.stream.state);
        ASSERT_EQ(vector_table->bias, scalar_table->bias);
        ASSERT_EQ(std::memcmp(vector_table->entry, scalar_table->entry, sizeof scalar_table->entry), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, ScanVariant,
                         ::testing::Values(Variant{"avx512", compress_block_avx512, cpu_has_avx512_probe},
                                           Variant{"avx2", compress_block_avx2, cpu_has_avx2_probe},
                                           Variant{"bmi2", compress_block_bmi2, cpu_has_bmi2_scan}),
                         [](const ::testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vek::test

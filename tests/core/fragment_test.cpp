#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "support.h"

namespace vek::test {
namespace {

struct Piece {
    Fragment fragment;
    Bytes bytes;  // exactly max_fragment_output bytes, so ASan sees any overrun
};

Piece encode_piece(int level, int format, const uint8_t* in, size_t len, MatchTable* table) {
    Piece p{};
    p.bytes.resize(max_fragment_output(level, len));
    encode_fragment(&p.fragment, level, format, p.bytes.data(), in, int32_t(len), table);
    return p;
}

// Chunks of every kind of input: text, binary, wide bytes that go out stored,
// and mixtures that leave a chunk in a stored run, an open block or after a
// match, with any number of bits pending.
Bytes mixed_input(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n;) {
        const size_t run = std::min(n - i, size_t(1 + rng() % 3000));
        const int kind = int(rng() % 4);
        for (size_t k = 0; k < run; ++k, ++i) {
            switch (kind) {
                case 0: b[i] = uint8_t("abcd efgh\n"[rng() % 10]); break;
                case 1: b[i] = uint8_t(rng()); break;
                case 2: b[i] = uint8_t(0x90 + rng() % 0x70); break;
                default: b[i] = i > 30 ? b[i - 1 - rng() % 30] : uint8_t(rng()); break;
            }
        }
    }
    return b;
}

// Fragments encoded out of order and appended in order must give, call for
// call, the bytes of the serial stream, and the same stream at the end.
TEST(Fragment, AppendedFragmentsWriteTheSerialStreamCallForCall) {
    std::mt19937 rng(21);
    auto table = std::make_unique<MatchTable>();
    table->bias = 0;
    for (int round = 0; round < 240; ++round) {
        const int level = round % 2, format = (round / 2) % 3;
        const size_t n = round % 30 == 0 ? 300000 : rng() % 20000;
        const Bytes input = mixed_input(rng, n);
        std::vector<size_t> cuts = {0};
        while (cuts.back() < n) cuts.push_back(std::min(n, cuts.back() + rng() % (round % 3 == 0 ? 70000 : 900)));
        cuts.push_back(n);  // an empty last chunk as well

        std::vector<Piece> pieces(cuts.size() - 1);
        for (size_t i = pieces.size(); i-- > 0;)  // last first: no order is assumed
            pieces[i] = encode_piece(level, format, input.data() + cuts[i], cuts[i + 1] - cuts[i],
                                     i % 2 ? table.get() : nullptr);

        Encoder serial(level, format);
        DeflateStream joined{};
        init_stream(&joined, level, format);
        for (size_t i = 0; i < pieces.size(); ++i) {
            const Bytes expected = serial.encode(input.data() + cuts[i], cuts[i + 1] - cuts[i]);
            Bytes got(max_append_output(joined, pieces[i].fragment));
            got.resize(size_t(append_fragment(&joined, got.data(), pieces[i].fragment, pieces[i].bytes.data())));
            ASSERT_EQ(got, expected) << "round " << round << " chunk " << i;
            ASSERT_EQ(joined.bit_count, serial.stream.bit_count) << "round " << round << " chunk " << i;
            ASSERT_EQ(joined.bit_queue, serial.stream.bit_queue);
            ASSERT_EQ(joined.state, serial.stream.state);
            ASSERT_EQ(joined.checksum, serial.stream.checksum);
            ASSERT_EQ(joined.input_length, serial.stream.input_length);
        }
        Bytes tail(max_finish_output(joined));
        tail.resize(size_t(finish_stream(&joined, tail.data())));
        ASSERT_EQ(tail, serial.finish());
    }
}

// From every entry state a chunk can leave: pending bits 0..31, a block open
// or not, each followed by a fragment that opens with fixed codes and one
// that opens with a stored block.
TEST(Fragment, EveryEntryStateAndOpening) {
    std::mt19937 rng(4);
    Bytes fixed_opening = bytes_of("fixed codes open this chunk, fixed codes");
    Bytes stored_opening(300);
    for (auto& b : stored_opening) b = uint8_t(0x90 + rng() % 0x70);
    for (const Bytes* chunk : {&fixed_opening, &stored_opening}) {
        for (uint32_t bits = 0; bits < 32; ++bits) {
            for (StreamState state : {StreamState::BlockBoundary, StreamState::FixedBlock}) {
                Encoder serial(1, format_deflate);
                serial.stream.state = state;
                serial.stream.bit_count = bits;
                serial.stream.bit_queue = (uint64_t(rng()) << 32 | rng()) & ((uint64_t(1) << bits) - 1);
                DeflateStream joined = serial.stream;
                const Piece piece = encode_piece(1, format_deflate, chunk->data(), chunk->size(), nullptr);
                Bytes got(max_append_output(joined, piece.fragment));
                got.resize(size_t(append_fragment(&joined, got.data(), piece.fragment, piece.bytes.data())));
                ASSERT_EQ(got, serial.encode(*chunk)) << bits;
                ASSERT_EQ(joined.bit_queue, serial.stream.bit_queue);
                ASSERT_EQ(joined.state, serial.stream.state);
            }
        }
    }
}

TEST(ChecksumCombine, AgreesWithZlibOverTheConcatenation) {
    std::mt19937 rng(9);
    for (size_t len_a : {size_t(0), size_t(1), size_t(1000), size_t(70000)}) {
        for (size_t len_b : {size_t(0), size_t(1), size_t(65521), size_t(65522), size_t(200003)}) {
            Bytes a(len_a), b(len_b);
            for (auto& x : a) x = uint8_t(rng());
            for (auto& x : b) x = uint8_t(rng() | 0xF0);
            const Bytes ab = concat(a, b);
            const uint32_t crc = uint32_t(::crc32(0, ab.data(), uInt(ab.size())));
            EXPECT_EQ(crc32_combine(uint32_t(::crc32(0, a.data(), uInt(len_a))),
                                    uint32_t(::crc32(0, b.data(), uInt(len_b))), len_b), crc);
            const uint32_t adler = uint32_t(::adler32(1, ab.data(), uInt(ab.size())));
            EXPECT_EQ(adler32_combine(uint32_t(::adler32(1, a.data(), uInt(len_a))),
                                      uint32_t(::adler32(1, b.data(), uInt(len_b))), len_b), adler);
        }
    }
}

}  // namespace
}  // namespace vek::test

#include <gtest/gtest.h>

#include <random>

#include "stored.h"
#include "stream.h"
#include "support.h"

namespace vek::test {
namespace {

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

TEST(StoredLevel, SingleByteIsOneNonFinalBlock) {
    Encoder e(0, format_deflate);
    EXPECT_EQ(e.encode(bytes_of({0x61})), bytes_of({0x00, 0x01, 0x00, 0xFE, 0xFF, 0x61}));
    EXPECT_EQ(e.stream.state, StreamState::BlockBoundary);
    EXPECT_EQ(e.finish(), bytes_of({0x03, 0x00}));
}

TEST(StoredLevel, EmptyInputWritesNothingWhateverMore) {
    for (int more : {0, 1}) {
        Encoder e(0, format_deflate);
        EXPECT_EQ(e.encode(nullptr, 0, more), Bytes{});
        EXPECT_EQ(e.stream.state, StreamState::BlockBoundary);
        EXPECT_EQ(e.stream.input_length, 0u);
        EXPECT_EQ(e.finish(), bytes_of({0x03, 0x00}));
    }
}

TEST(StoredLevel, SplitsAt65535AndMarksOnlyTheLastBlockFinal) {
    struct Case {
        size_t len;
        std::vector<Token> blocks;
    };
    const Case cases[] = {
        {65535, {stored_block(true, 65535)}},
        {65536, {stored_block(false, 65535), stored_block(true, 1)}},
        {131070, {stored_block(false, 65535), stored_block(true, 65535)}},
    };
    for (const Case& c : cases) {
        const Bytes input = random_bytes(c.len, uint32_t(c.len));
        Encoder e(0, format_deflate);
        const Bytes out = e.encode(input, 0);
        EXPECT_EQ(e.stream.state, StreamState::Done);
        EXPECT_EQ(read_tokens(out), c.blocks) << c.len;
        EXPECT_EQ(inflate_with_zlib(out, -15), input);
        EXPECT_EQ(e.finish(), Bytes{}) << "the final block is already written";
    }
}

TEST(EmitStored, ClosesAnOpenFixedBlockFirst) {
    DeflateStream s{};
    init_deflate(&s, 1);
    s.state = StreamState::FixedBlock;
    uint8_t out[16];
    s.out = out;
    const Bytes data = bytes_of("xy");
    emit_stored(s, data.data(), 2, 1);
    // Seven zero bits of end-of-block, three of header, padding: two zero bytes.
    EXPECT_EQ(Bytes(out, s.out), bytes_of({0x00, 0x00, 0x02, 0x00, 0xFD, 0xFF, 'x', 'y'}));
    EXPECT_EQ(s.state, StreamState::BlockBoundary);
    EXPECT_EQ(s.bit_count, 0u);
}

TEST(StoredLevel, InputLengthCountsEveryCallModulo2To32) {
    Encoder e(0, format_deflate);
    e.stream.input_length = 0xFFFFFFFE;
    e.encode(bytes_of("abc"));
    EXPECT_EQ(e.stream.input_length, 1u);
}

TEST(StoredLevel, BoundHoldsWithPendingBitsAndAnOpenBlock) {
    // The worst start: 31 bits pending in an open fixed block, then exactly
    // two blocks' worth; the Encoder's buffer has the bound's size exactly.
    for (size_t len : {size_t(1), size_t(65535), size_t(65536), size_t(131070)}) {
        Encoder e(0, format_deflate);
        e.stream.state = StreamState::FixedBlock;
        e.stream.bit_queue = 0x7FFFFFFF;
        e.stream.bit_count = 31;
        const Bytes input = random_bytes(len, 7);
        const Bytes out = e.encode(input);
        EXPECT_LE(out.size(), stored_output_bound(len));
    }
}

TEST(StoredLevel, AnySplitInflatesToTheInput) {
    std::mt19937 rng(3);
    const Bytes input = random_bytes(200000, 11);
    for (int round = 0; round < 20; ++round) {
        std::vector<size_t> cuts;
        for (size_t at = 0;;) {
            at += rng() % 70000;
            if (at >= input.size()) break;
            cuts.push_back(at);
        }
        Encoder e(0, round % 3);
        EXPECT_EQ(inflate_with_zlib(e.whole(input, cuts), window_bits_for(round % 3)), input);
    }
}

// Everything before a sync point inflates at once, as after zlib's sync
// flush, from every state a stream can be in; the stream goes on after it.
TEST(SyncStream, EverythingSoFarInflatesAndTheStreamGoesOn) {
    Bytes wide(300);
    for (size_t i = 0; i < wide.size(); ++i) wide[i] = uint8_t(0x90 + (i * 37) % 0x70);
    const Bytes text = bytes_of("a sync point after text, text, text");
    for (int format : {0, 1, 2}) {
        for (const Bytes* before : std::initializer_list<const Bytes*>{&text, &wide, nullptr}) {
            Encoder e(1, format);
            Bytes out = before ? e.encode(*before) : Bytes{};
            Bytes sync(sync_output_limit);
            sync.resize(size_t(sync_stream(&e.stream, sync.data())));
            ASSERT_GE(sync.size(), 4u);
            EXPECT_EQ(Bytes(sync.end() - 4, sync.end()), bytes_of({0x00, 0x00, 0xFF, 0xFF}));
            EXPECT_EQ(e.stream.state, StreamState::BlockBoundary);
            EXPECT_EQ(e.stream.bit_count, 0u);
            out = concat(out, sync);

            z_stream z{};
            ASSERT_EQ(inflateInit2(&z, window_bits_for(format)), Z_OK);
            Bytes got(1000);
            z.next_in = out.data();
            z.avail_in = uInt(out.size());
            z.next_out = got.data();
            z.avail_out = uInt(got.size());
            EXPECT_EQ(inflate(&z, Z_SYNC_FLUSH), Z_OK);
            got.resize(got.size() - z.avail_out);
            inflateEnd(&z);
            EXPECT_EQ(got, before ? *before : Bytes{});

            const Bytes more = e.encode(text);
            const Bytes rest = concat(more, e.finish());
            EXPECT_EQ(inflate_with_zlib(concat(out, rest), window_bits_for(format)),
                      concat(before ? *before : Bytes{}, text));
        }
    }
}

}  // namespace
}  // namespace vek::test

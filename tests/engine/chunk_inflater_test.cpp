// The chunk inflater says "between blocks, byte-aligned" exactly where a
// stream is cut at a sync flush, and nowhere a cut lands inside a block or
// leaves bits over: that is what lets the indexed reader trust a chunk.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "chunk_inflater.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Raw DEFLATE of `a` then `b` by zlib, a sync flush between them; `cut` is
// where the flush's empty stored block ends.
Bytes deflate_two(const Bytes& a, const Bytes& b, int level, size_t& cut) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&s, a.size() + b.size()) + 64);
    s.next_out = out.data();
    s.avail_out = uInt(out.size());
    s.next_in = const_cast<Bytef*>(a.data());
    s.avail_in = uInt(a.size());
    EXPECT_EQ(deflate(&s, Z_SYNC_FLUSH), Z_OK);
    cut = out.size() - s.avail_out;
    s.next_in = const_cast<Bytef*>(b.data());
    s.avail_in = uInt(b.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(out.size() - s.avail_out);
    deflateEnd(&s);
    return out;
}

Bytes text(size_t n, uint32_t seed) {
    Bytes t(n);
    for (size_t i = 0; i < n; ++i) t[i] = uint8_t("abcde fghij\n"[(i * 7 + seed + i / 13) % 12]);
    return t;
}

struct Inflated {
    Bytes out;
    vek::ChunkInflater::Status status;
    bool at_boundary;
};

Inflated inflate_prefix(const Bytes& stream, size_t n) {
    vek::ChunkInflater inflater;
    Bytes out(1 << 20);
    const auto step = inflater.inflate(stream.data(), n, out.data(), out.size());
    out.resize(step.produced);
    EXPECT_EQ(step.consumed, n);
    return {out, step.status, inflater.at_byte_aligned_block_boundary()};
}

TEST(ChunkInflater, OnlyTheSyncPointIsABoundary) {
    for (int level : {0, 1, 6, 9}) {
        const Bytes a = text(70000, 1), b = text(5000, 2);
        size_t cut = 0;
        const Bytes stream = deflate_two(a, b, level, cut);
        const Inflated at_cut = inflate_prefix(stream, cut);
        EXPECT_TRUE(at_cut.at_boundary) << level;
        EXPECT_EQ(at_cut.out, a);
        EXPECT_EQ(at_cut.status, vek::ChunkInflater::Status::more);
        // Inside the flush's stored block (its LEN and NLEN), or inside the
        // next block. (cut - 5, before the stored block, is a boundary too
        // when the block before it ended on a byte.)
        for (size_t n : {cut - 1, cut - 2, cut - 4, cut + 1, cut + 3}) EXPECT_FALSE(inflate_prefix(stream, n).at_boundary) << level << " " << n;
    }
}

TEST(ChunkInflater, TheFinalBlockEndsTheStreamAndIsNoBoundary) {
    size_t cut = 0;
    const Bytes a = text(3000, 3), b = text(3000, 4);
    const Bytes stream = deflate_two(a, b, 6, cut);
    const Inflated whole = inflate_prefix(stream, stream.size());
    EXPECT_EQ(whole.status, vek::ChunkInflater::Status::stream_end);
    EXPECT_FALSE(whole.at_boundary);
    Bytes ab = a;
    ab.insert(ab.end(), b.begin(), b.end());
    EXPECT_EQ(whole.out, ab);
}

TEST(ChunkInflater, AMatchBeforeTheStartIsBadData) {
    size_t cut = 0;
    const Bytes a = text(3000, 5);
    const Bytes stream = deflate_two(a, a, 6, cut);  // the second half matches the first
    const Bytes second(stream.begin() + long(cut), stream.end());
    vek::ChunkInflater inflater;
    Bytes out(1 << 16);
    EXPECT_EQ(inflater.inflate(second.data(), second.size(), out.data(), out.size()).status,
              vek::ChunkInflater::Status::bad_data);
    EXPECT_FALSE(inflater.error().empty());
    EXPECT_FALSE(inflater.at_byte_aligned_block_boundary());
}

}  // namespace

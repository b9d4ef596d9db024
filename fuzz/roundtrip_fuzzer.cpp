// Arbitrary bytes, cut into calls at fuzzer-chosen points, at a fuzzer-chosen
// level and format, go through the core into heap buffers of exactly the
// bound's size (so AddressSanitizer sees any write past it). zlib must
// inflate the result to the input, with nothing after the stream, and a
// stream that keeps its match table must write the same bytes as one that
// empties a table on every call. At level 1 every call must also write the
// bytes of the plain algorithm (tests/core/reference_encoder).
//
// Input: one control byte, then two bytes per cut, then the data.
//   bit 0     level (0 store, 1 compress)
//   bits 1-2  format (3 is an unknown format, which means raw)
//   bits 3-7  number of cuts (0..31); each cut is a little-endian piece length
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "reference_encoder.h"
#include "support.h"
#include "vek_core.h"

namespace {

using vek::test::Bytes;

void require(bool condition) {
    if (!condition) __builtin_trap();
}

// One call's output, written into a buffer that ends exactly at the bound.
void append_call(Bytes& all, size_t bound, auto&& call) {
    const auto buffer = std::make_unique<uint8_t[]>(bound);
    const int32_t written = call(buffer.get());
    require(written >= 0 && size_t(written) <= bound);
    all.insert(all.end(), buffer.get(), buffer.get() + written);
}

Bytes encode_pieces(int level, int format, std::span<const std::span<const uint8_t>> pieces,
                    vek::MatchTable* table) {
    vek::DeflateStream stream{};
    vek::init_stream(&stream, level, format);
    Bytes out;
    for (const auto piece : pieces) {
        append_call(out, vek::max_encode_output(stream, piece.size()), [&](uint8_t* buffer) {
            return vek::encode_stream(&stream, buffer, piece.data(), int32_t(piece.size()), 1,
                                      table);
        });
        require(stream.bit_count < 32);
    }
    append_call(out, vek::max_finish_output(stream),
                [&](uint8_t* buffer) { return vek::finish_stream(&stream, buffer); });
    return out;
}

// Each call of a raw level-1 stream against the plain algorithm.
void compare_with_reference(std::span<const std::span<const uint8_t>> pieces) {
    vek::DeflateStream stream{};
    vek::init_deflate(&stream, 1);
    vek::test::ReferenceStream plain;
    auto table = std::make_unique<vek::MatchTable>();
    table->bias = 0;
    for (const auto piece : pieces) {
        Bytes out;
        append_call(out, vek::max_encode_output(stream, piece.size()), [&](uint8_t* buffer) {
            return vek::encode_deflate(&stream, buffer, piece.data(), int32_t(piece.size()), 1, table.get());
        });
        require(out == vek::test::reference_compress(plain, Bytes(piece.begin(), piece.end()), 1));
        require(stream.bit_queue == plain.queue && stream.bit_count == plain.count && stream.state == plain.state);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t control = data[0];
    const int level = control & 1;
    const int format = (control >> 1) & 3;
    size_t cuts = control >> 3;
    ++data;
    --size;
    if (size < 2 * cuts) return 0;
    const uint8_t* lengths = data;
    const uint8_t* input = data + 2 * cuts;
    const size_t input_size = size - 2 * cuts;

    // Copy the input so that each piece ends at the end of a heap block:
    // a read past the last piece is then an over-read ASan reports.
    std::vector<std::unique_ptr<uint8_t[]>> copies;
    std::vector<std::span<const uint8_t>> pieces;
    size_t start = 0;
    auto add_piece = [&](size_t len) {
        auto copy = std::make_unique<uint8_t[]>(len);
        if (len) std::memcpy(copy.get(), input + start, len);
        pieces.emplace_back(copy.get(), len);
        copies.push_back(std::move(copy));
        start += len;
    };
    for (size_t i = 0; i < cuts; ++i) {
        const size_t wanted = size_t(lengths[2 * i]) | size_t(lengths[2 * i + 1]) << 8;
        add_piece(wanted % (input_size - start + 1));
    }
    add_piece(input_size - start);

    const Bytes fresh = encode_pieces(level, format, pieces, nullptr);
    auto table = std::make_unique<vek::MatchTable>();
    const Bytes kept = encode_pieces(level, format, pieces, table.get());
    require(fresh == kept);
    if (level == 1) compare_with_reference(pieces);

    const auto inflated = vek::test::inflate_with_zlib(fresh, vek::test::window_bits_for(format));
    require(inflated.has_value() && inflated->size() == input_size);
    require(input_size == 0 || std::memcmp(inflated->data(), input, input_size) == 0);
    return 0;
}

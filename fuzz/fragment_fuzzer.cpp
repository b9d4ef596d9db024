// Arbitrary bytes cut into chunks at fuzzer-chosen points, each chunk
// encoded as a fragment on its own (last chunk first, every buffer of
// exactly its bound's size) and the fragments appended in order: every
// append must return the bytes that encoding the chunk into the serial
// stream returns, and the finished stream must be the serial one.
//
// Input: as for roundtrip_fuzzer (control byte, two bytes per cut, data).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "support.h"
#include "vek_core.h"

namespace {

using vek::test::Bytes;

void require(bool condition) {
    if (!condition) __builtin_trap();
}

Bytes exact_call(size_t bound, auto&& call) {
    auto buffer = std::make_unique<uint8_t[]>(bound);
    const int32_t written = call(buffer.get());
    require(written >= 0 && size_t(written) <= bound);
    return Bytes(buffer.get(), buffer.get() + written);
}

struct Piece {
    vek::Fragment fragment{};
    std::unique_ptr<uint8_t[]> bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int level = data[0] & 1, format = (data[0] >> 1) & 3;
    const size_t cuts = data[0] >> 3;
    if (size - 1 < 2 * cuts) return 0;
    const uint8_t* lengths = data + 1;
    const uint8_t* input = data + 1 + 2 * cuts;
    const size_t input_size = size - 1 - 2 * cuts;

    std::vector<size_t> bounds = {0};
    for (size_t i = 0; i < cuts; ++i) {
        const size_t wanted = size_t(lengths[2 * i]) | size_t(lengths[2 * i + 1]) << 8;
        bounds.push_back(bounds.back() + wanted % (input_size - bounds.back() + 1));
    }
    bounds.push_back(input_size);

    std::vector<Piece> pieces(bounds.size() - 1);
    auto table = std::make_unique<vek::MatchTable>();
    table->bias = 0;
    for (size_t i = pieces.size(); i-- > 0;) {
        const size_t len = bounds[i + 1] - bounds[i];
        const size_t room = vek::max_fragment_output(level, len);
        pieces[i].bytes = std::make_unique<uint8_t[]>(room);
        const int32_t written = vek::encode_fragment(&pieces[i].fragment, level, format, pieces[i].bytes.get(),
                                                     input + bounds[i], int32_t(len), table.get());
        require(written >= 0 && size_t(written) + 8 <= room);
    }

    vek::DeflateStream serial{}, joined{};
    vek::init_stream(&serial, level, format);
    vek::init_stream(&joined, level, format);
    Bytes stream;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const size_t len = bounds[i + 1] - bounds[i];
        const Bytes expected = exact_call(vek::max_encode_output(serial, len), [&](uint8_t* out) {
            return vek::encode_stream(&serial, out, input + bounds[i], int32_t(len), 1);
        });
        const Bytes got = exact_call(vek::max_append_output(joined, pieces[i].fragment), [&](uint8_t* out) {
            return vek::append_fragment(&joined, out, pieces[i].fragment, pieces[i].bytes.get());
        });
        require(got == expected);
        require(joined.bit_queue == serial.bit_queue && joined.bit_count == serial.bit_count);
        require(joined.state == serial.state && joined.checksum == serial.checksum);
        stream.insert(stream.end(), got.begin(), got.end());
    }
    const Bytes tail = exact_call(vek::max_finish_output(joined),
                                  [&](uint8_t* out) { return vek::finish_stream(&joined, out); });
    stream.insert(stream.end(), tail.begin(), tail.end());
    const auto inflated = vek::test::inflate_with_zlib(stream, vek::test::window_bits_for(format));
    require(inflated.has_value() && *inflated == Bytes(input, input + input_size));
    return 0;
}

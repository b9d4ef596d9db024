// Every CRC-32 and Adler-32 path of the core (portable, bytewise and the
// CPU-specific ones where this CPU has them) against zlib, from a
// fuzzer-chosen starting value, alignment and split point.
//
// Input: four bytes of starting value, one byte of misalignment (0..63), two
// bytes of split point, then the data.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "checksum_paths.h"
#include "vek_core.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

// A path given the data in two calls must agree with zlib given it in one.
void check(vek::ChecksumUpdate update, uint32_t start, const uint8_t* in, size_t len, size_t split,
           uint32_t expected) {
    const uint32_t head = update(start, in, int32_t(split));
    require(update(head, in + split, int32_t(len - split)) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    uint32_t start;
    std::memcpy(&start, data, 4);
    const size_t misalignment = data[4] & 63;
    const size_t split_wanted = size_t(data[5]) | size_t(data[6]) << 8;
    data += 7;
    size -= 7;
    const size_t split = split_wanted % (size + 1);

    // The data ends at the end of a heap block, starting at a chosen offset
    // from the allocation's alignment.
    auto block = std::make_unique<uint8_t[]>(misalignment + size);
    uint8_t* in = block.get() + misalignment;
    if (size) std::memcpy(in, data, size);

    const uint32_t crc = uint32_t(crc32(start, in, uInt(size)));
    check(vek::crc32_update, start, in, size, split, crc);
    check(vek::crc32_update_bytewise, start, in, size, split, crc);
    if (vek::cpu_has_clmul()) check(vek::crc32_update_clmul, start, in, size, split, crc);

    // A running Adler-32 holds two sums below 65521 each.
    const uint32_t adler_start = (start >> 16) % 65521 << 16 | (start & 0xFFFF) % 65521;
    const uint32_t adler = uint32_t(adler32(adler_start, in, uInt(size)));
    check(vek::adler32_update, adler_start, in, size, split, adler);
    check(vek::adler32_update_bytewise, adler_start, in, size, split, adler);
    if (vek::cpu_has_avx2()) check(vek::adler32_update_avx2, adler_start, in, size, split, adler);
    return 0;
}

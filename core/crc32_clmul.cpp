// CRC-32 by folding: the message is reduced 128 bits at a time with
// carry-less multiplies by x^n mod P, which keeps its residue, until one
// 128-bit block is left for the table-driven CRC to finish.
#include <array>

#include "checksum_paths.h"
#include "vek_core.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VEK_X86 1
#endif

namespace vek {
namespace {

// x^n mod P for the CRC-32 polynomial, in the reflected order in which the
// register holds it: bit i stands for x^(31 - i).
constexpr uint64_t x_power_mod_p(uint32_t n) {
    uint32_t r = 0x80000000u;  // x^0
    for (uint32_t i = 0; i < n; ++i) r = (r >> 1) ^ ((r & 1) ? 0xEDB88320u : 0);
    return r;
}

// A 64-bit half L of a block stands for L * x^64 (low half) or L (high half)
// times x^D when folded D bits ahead. A carry-less product of reflected
// operands lands 33 bits below the block's own layout, so the constants are
// x^(D + 64 - 33) and x^(D - 33).
struct FoldConstants {
    uint64_t low_half;
    uint64_t high_half;
};
constexpr FoldConstants fold_by(uint32_t bits) {
    return {x_power_mod_p(bits + 64 - 33), x_power_mod_p(bits - 33)};
}
constexpr FoldConstants fold_128 = fold_by(128);
constexpr FoldConstants fold_512 = fold_by(512);

}  // namespace

#ifdef VEK_X86

namespace {

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i next, __m128i k) {
    const __m128i low = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i high = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

}  // namespace

__attribute__((target("pclmul,sse4.1"))) uint32_t crc32_update_clmul(uint32_t crc, const uint8_t* in,
                                                                      int32_t len) {
    if (len < 64) return crc32_update(crc, in, len);
    const __m128i k512 = _mm_set_epi64x(int64_t(fold_512.high_half), int64_t(fold_512.low_half));
    const __m128i k128 = _mm_set_epi64x(int64_t(fold_128.high_half), int64_t(fold_128.low_half));
    // The running value is the finished CRC; the register is its complement,
    // which enters the message as a xor over its first four bytes.
    __m128i x0 = _mm_xor_si128(load(in), _mm_cvtsi32_si128(int32_t(~crc)));
    __m128i x1 = load(in + 16), x2 = load(in + 32), x3 = load(in + 48);
    in += 64;
    len -= 64;
    for (; len >= 64; in += 64, len -= 64) {
        x0 = fold(x0, load(in), k512);
        x1 = fold(x1, load(in + 16), k512);
        x2 = fold(x2, load(in + 32), k512);
        x3 = fold(x3, load(in + 48), k512);
    }
    __m128i x = fold(fold(fold(x0, x1, k128), x2, k128), x3, k128);
    for (; len >= 16; in += 16, len -= 16) x = fold(x, load(in), k128);
    // The block left has the message's residue: its CRC from a zero register
    // (finished value all ones) is the CRC so far.
    alignas(16) uint8_t block[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(block), x);
    return crc32_update(crc32_update(0xFFFFFFFFu, block, 16), in, len);
}

bool cpu_has_clmul() { return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1"); }

#else

uint32_t crc32_update_clmul(uint32_t crc, const uint8_t* in, int32_t len) {
    return crc32_update(crc, in, len);
}
bool cpu_has_clmul() { return false; }

#endif

ChecksumUpdate best_crc32_update() {
    static const ChecksumUpdate chosen = cpu_has_clmul() ? crc32_update_clmul : crc32_update;
    return chosen;
}

}  // namespace vek

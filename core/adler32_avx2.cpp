// Adler-32, 32 bytes per step: s1 takes the block's byte sum, s2 takes 32
// times s1 before the block plus the bytes weighted 32 down to 1.
#include "checksum_paths.h"
#include "vek_core.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VEK_X86 1
#endif

namespace vek {

#ifdef VEK_X86

namespace {

constexpr uint32_t modulus = 65521;
// Per chunk the lanes stay far below 2^32 and the sums below 2^64.
constexpr int32_t chunk_blocks = 128;

__attribute__((target("avx2"))) inline uint64_t sum_lanes(__m256i v) {
    alignas(32) uint32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
    uint64_t total = 0;
    for (uint32_t lane : lanes) total += lane;
    return total;
}

}  // namespace

__attribute__((target("avx2"))) uint32_t adler32_update_avx2(uint32_t adler, const uint8_t* in,
                                                            int32_t len) {
    uint64_t s1 = adler & 0xFFFF;
    uint64_t s2 = adler >> 16;
    const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
                                             17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m256i ones = _mm256_set1_epi16(1);
    while (len >= 32) {
        const int32_t blocks = len / 32 < chunk_blocks ? len / 32 : chunk_blocks;
        __m256i byte_sums = _mm256_setzero_si256();     // bytes of the blocks so far
        __m256i earlier_sums = _mm256_setzero_si256();  // byte_sums before each block, added up
        __m256i weighted = _mm256_setzero_si256();
        for (int32_t b = 0; b < blocks; ++b, in += 32) {
            const __m256i data = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
            earlier_sums = _mm256_add_epi32(earlier_sums, byte_sums);
            byte_sums = _mm256_add_epi32(byte_sums, _mm256_sad_epu8(data, _mm256_setzero_si256()));
            weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_maddubs_epi16(data, weights), ones));
        }
        const uint64_t n = uint64_t(blocks) * 32;
        s2 += s1 * n + 32 * sum_lanes(earlier_sums) + sum_lanes(weighted);
        s1 += sum_lanes(byte_sums);
        s1 %= modulus;
        s2 %= modulus;
        len -= blocks * 32;
    }
    return adler32_update(uint32_t(s2 << 16 | s1), in, len);
}

bool cpu_has_avx2() { return __builtin_cpu_supports("avx2"); }

#else

uint32_t adler32_update_avx2(uint32_t adler, const uint8_t* in, int32_t len) {
    return adler32_update(adler, in, len);
}
bool cpu_has_avx2() { return false; }

#endif

ChecksumUpdate best_adler32_update() {
    static const ChecksumUpdate chosen = cpu_has_avx2() ? adler32_update_avx2 : adler32_update;
    return chosen;
}

}  // namespace vek

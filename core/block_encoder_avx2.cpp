// The scan with runs of positions that find nothing probed 8 at a time in
// AVX2 registers: the 8 words hashed at once and their slots gathered. AVX2
// has no conflict detection, so a slot that the batch itself hits more than
// once is found by comparing each lane's slot with the 7 lanes before it,
// the nearest equal one being the candidate the scalar probe would see.
#include <algorithm>
#include <bit>

#include "block_encoder.h"
#include "code_tables.h"
#include "stored.h"
#include "stream.h"

#if defined(__x86_64__)
#include <immintrin.h>

// The shared headers above are compiled for every CPU; only the scan's own
// template, included here, is compiled for these instructions.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2")
#endif
#include "block_scan_template.h"

namespace vek {
namespace {

struct Avx2Misses {
    static constexpr uint32_t lanes = 8;

    [[gnu::always_inline]] static inline uint32_t count(const void* slots, const uint8_t* p,
                                                        uint32_t here, uint32_t* slot_of) {
        // Lane i's word is bytes p + i .. p + i + 3 (both halves see p .. p + 15).
        const __m256i word_bytes = _mm256_set_epi8(10, 9, 8, 7, 9, 8, 7, 6, 8, 7, 6, 5, 7, 6, 5, 4,  //
                                                   6, 5, 4, 3, 5, 4, 3, 2, 4, 3, 2, 1, 3, 2, 1, 0);
        const __m256i input = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        const __m256i words = _mm256_shuffle_epi8(input, word_bytes);
        const __m256i slot =
            _mm256_srli_epi32(_mm256_mullo_epi32(words, _mm256_set1_epi32(int(block_scan::hash_multiplier))),
                              32 - block_scan::match_table_bits);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(slot_of), slot);
        // Entries are 12 bytes: the position at 3 * slot words, the low word
        // of the bytes one word on.
        const __m256i word_index = _mm256_mullo_epi32(slot, _mm256_set1_epi32(3));
        const int* base = static_cast<const int*>(slots);
        const __m256i position = _mm256_i32gather_epi32(base, word_index, 4);
        const __m256i bytes = _mm256_i32gather_epi32(base, _mm256_add_epi32(word_index, _mm256_set1_epi32(1)), 4);
        const __m256i lane = _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0);
        const __m256i distance_index =
            _mm256_sub_epi32(_mm256_sub_epi32(_mm256_add_epi32(_mm256_set1_epi32(int(here)), lane), position),
                             _mm256_set1_epi32(1));
        const __m256i in_window = _mm256_cmpeq_epi32(_mm256_srli_epi32(distance_index, 15), _mm256_setzero_si256());
        __m256i hit = _mm256_and_si256(in_window, _mm256_cmpeq_epi32(bytes, words));
        // From the farthest earlier lane to the nearest, so that the nearest
        // lane with the same slot decides: its word, at a distance in the
        // window, is the entry the scalar probe would find.
        for (int d = 7; d >= 1; --d) {
            const __m256i from = _mm256_sub_epi32(lane, _mm256_set1_epi32(d));  // negative below lane d
            const __m256i valid = _mm256_cmpgt_epi32(lane, _mm256_set1_epi32(d - 1));
            const __m256i same_slot =
                _mm256_and_si256(valid, _mm256_cmpeq_epi32(_mm256_permutevar8x32_epi32(slot, from), slot));
            const __m256i same_word = _mm256_cmpeq_epi32(_mm256_permutevar8x32_epi32(words, from), words);
            hit = _mm256_blendv_epi8(hit, same_word, same_slot);
        }
        const uint32_t mask = uint32_t(_mm256_movemask_ps(_mm256_castsi256_ps(hit)));
        return uint32_t(std::countr_zero(mask | 0x100u));
    }
};

}  // namespace

void compress_block_avx2(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len, int32_t more) {
    block_scan::Scan<Avx2Misses>(s, table, in, uint32_t(len)).run(more);
}
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

bool cpu_has_avx2_probe() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2"); }

}  // namespace vek

#else

namespace vek {

void compress_block_avx2(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len, int32_t more) {
    compress_block_scalar(s, table, in, len, more);
}

bool cpu_has_avx2_probe() { return false; }

}  // namespace vek

#endif

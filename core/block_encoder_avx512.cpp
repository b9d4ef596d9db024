// The scan with runs of positions that find nothing probed 16 at a time:
// the 16 words hashed at once, their slots gathered, a slot that the batch
// itself hits more than once resolved by conflict detection (the latest
// earlier position with that slot is the candidate, as the scalar probe
// would have written it there), and the first position the scalar test
// would accept found by a mask. Only the slots before it are written.
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
#pragma clang attribute push(__attribute__((target("avx512f,avx512cd,avx512bw,avx512vl,avx512vbmi,bmi,bmi2,lzcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512cd,avx512bw,avx512vl,avx512vbmi,bmi,bmi2,lzcnt")
#endif
// GCC 12's own intrinsics start some results from an undefined register,
// which -Wall takes for a read of an uninitialised value.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "block_scan_template.h"

namespace vek {
namespace {

struct Avx512Misses {
    static constexpr uint32_t lanes = 16;

    [[gnu::always_inline]] static inline uint32_t count(const void* slots,
                                                                         const uint8_t* p, uint32_t here,
                                                                         uint32_t* slot_of) {
        // Lane i's word is bytes p + i .. p + i + 3.
        const __m512i word_bytes = _mm512_set_epi8(
            18, 17, 16, 15, 17, 16, 15, 14, 16, 15, 14, 13, 15, 14, 13, 12, 14, 13, 12, 11, 13, 12, 11, 10, 12, 11,
            10, 9, 11, 10, 9, 8, 10, 9, 8, 7, 9, 8, 7, 6, 8, 7, 6, 5, 7, 6, 5, 4, 6, 5, 4, 3, 5, 4, 3, 2, 4, 3, 2, 1,
            3, 2, 1, 0);
        const __m512i input = _mm512_zextsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
        const __m512i words = _mm512_permutexvar_epi8(word_bytes, input);
        const __m512i slot = _mm512_srli_epi32(_mm512_mullo_epi32(words, _mm512_set1_epi32(int(block_scan::hash_multiplier))),
                                               32 - block_scan::match_table_bits);
        _mm512_storeu_si512(slot_of, slot);
        // Entries are 12 bytes: the position at 3 * slot words, the low word
        // of the bytes one word on.
        const __m512i word_index = _mm512_mullo_epi32(slot, _mm512_set1_epi32(3));
        const void* base = slots;
        const __m512i position = _mm512_i32gather_epi32(word_index, base, 4);
        const __m512i bytes = _mm512_i32gather_epi32(_mm512_add_epi32(word_index, _mm512_set1_epi32(1)), base, 4);
        const __m512i lane_here = _mm512_add_epi32(_mm512_set1_epi32(int(here)),
                                                   _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
        const __m512i distance_index = _mm512_sub_epi32(_mm512_sub_epi32(lane_here, position), _mm512_set1_epi32(1));
        const __mmask16 in_window = _mm512_cmplt_epu32_mask(distance_index, _mm512_set1_epi32(int(max_distance)));
        const __mmask16 table_hit = in_window & _mm512_cmpeq_epi32_mask(bytes, words);
        // An earlier lane of the batch with the same slot replaced the entry:
        // the candidate is the latest such lane, always within the window.
        const __m512i conflicts = _mm512_conflict_epi32(slot);
        const __mmask16 replaced = _mm512_test_epi32_mask(conflicts, conflicts);
        const __m512i latest = _mm512_sub_epi32(_mm512_set1_epi32(31), _mm512_lzcnt_epi32(conflicts));
        const __m512i earlier_word = _mm512_permutexvar_epi32(latest, words);
        const __mmask16 batch_hit = replaced & _mm512_cmpeq_epi32_mask(earlier_word, words);
        const uint32_t hit = uint32_t((table_hit & ~replaced) | batch_hit);
        return uint32_t(std::countr_zero(hit | 0x10000u));
    }
};

}  // namespace

void compress_block_avx512(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len,
                                            int32_t more) {
    block_scan::Scan<Avx512Misses>(s, table, in, uint32_t(len)).run(more);
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

bool cpu_has_avx512_probe() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512cd") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("bmi2");
}

}  // namespace vek

#else

namespace vek {

void compress_block_avx512(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len, int32_t more) {
    compress_block_scalar(s, table, in, len, more);
}

bool cpu_has_avx512_probe() { return false; }

}  // namespace vek

#endif

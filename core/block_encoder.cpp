#include "block_scan_template.h"

namespace vek {

void compress_block_scalar(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len, int32_t more) {
    block_scan::Scan<block_scan::ScalarMisses>(s, table, in, uint32_t(len)).run(more);
}

CompressBlock best_compress_block() {
    // The batched probes write the same bytes, but on Zen 4 the AVX2 one
    // measured 9-27% slower than the scalar scan and the AVX-512 one 13-24%
    // slower, on Rocket Lake 4-16% and 12-20% (gathering the slots and
    // resolving conflicts cost more than the dependent loads they replace):
    // the scalar scan stays the choice until one measures faster.
    return cpu_has_bmi2_scan() ? compress_block_bmi2 : compress_block_scalar;
}

void compress_block(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len, int32_t more) {
    static const CompressBlock chosen = best_compress_block();
    chosen(s, table, in, len, more);
}

}  // namespace vek

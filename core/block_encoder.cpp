#include "block_scan_template.h"

namespace vek {

void compress_block_scalar(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len, int32_t more) {
    block_scan::Scan<block_scan::ScalarMisses>(s, table, in, uint32_t(len)).run(more);
}

CompressBlock best_compress_block() {
    // The batched probes write the same bytes, but the AVX2 one measured
    // 9-27% slower than the scalar scan on Zen 4 (a gather of 8 slots and the
    // lane-by-lane conflict test cost more than the 8 dependent loads they
    // replace), and the AVX-512 one has not yet been measured on a CPU that
    // offers it: the scalar scan stays the choice until one measures faster.
    return compress_block_scalar;
}

void compress_block(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len, int32_t more) {
    static const CompressBlock chosen = best_compress_block();
    chosen(s, table, in, len, more);
}

}  // namespace vek

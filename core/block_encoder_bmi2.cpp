// The scalar scan compiled for BMI2. Its bit writer shifts by a count held in
// a register at every code; before BMI2 (shlx, shrx) such a shift costs an
// Intel core three micro-ops and a dependency on the flags. Measured 2-3%
// faster on Rocket Lake (osdb, mr, ooffice), the same on Zen 4, whose shifts
// were cheap already. The same source, so the same bytes.
#include <algorithm>
#include <bit>

#include "block_encoder.h"
#include "code_tables.h"
#include "stored.h"
#include "stream.h"

#if defined(__x86_64__)

// The shared headers above are compiled for every CPU; only the scan's own
// template, included here, is compiled for BMI2.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("bmi,bmi2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("bmi,bmi2")
#endif
#include "block_scan_template.h"

namespace vek {

void compress_block_bmi2(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len, int32_t more) {
    block_scan::Scan<block_scan::ScalarMisses>(s, table, in, uint32_t(len)).run(more);
}
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

bool cpu_has_bmi2_scan() { return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2"); }

}  // namespace vek

#else

namespace vek {

void compress_block_bmi2(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len, int32_t more) {
    compress_block_scalar(s, table, in, len, more);
}

bool cpu_has_bmi2_scan() { return false; }

}  // namespace vek

#endif

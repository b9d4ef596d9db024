// Faster paths for the containers' checksums, chosen once at run time by
// what the CPU offers. Each gives exactly the value of its portable twin
// (crc32_update, adler32_update), which stays the path everywhere else.
#pragma once

#include <cstdint>

namespace vek {

using ChecksumUpdate = uint32_t (*)(uint32_t, const uint8_t*, int32_t);

// Carry-less multiply folding (PCLMULQDQ), 64 bytes per step.
uint32_t crc32_update_clmul(uint32_t crc, const uint8_t* in, int32_t len);
// 32 bytes per step in AVX2 registers.
uint32_t adler32_update_avx2(uint32_t adler, const uint8_t* in, int32_t len);

bool cpu_has_clmul();
bool cpu_has_avx2();

// The fastest update this CPU can run.
ChecksumUpdate best_crc32_update();
ChecksumUpdate best_adler32_update();

}  // namespace vek

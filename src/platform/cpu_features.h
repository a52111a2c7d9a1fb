// Processor features, read with CPUID and XGETBV. No Python here: this file is
// compiled for the x86-64 baseline and runs before anything that needs AVX.
#pragma once

namespace zentrova::cpu {

// Names of the required features (AVX2 level: AVX, AVX2, FMA, F16C, BMI1, BMI2,
// LZCNT, MOVBE, and the operating system saving YMM state) that this processor
// lacks, comma separated; nullptr when all are there.
const char* missing_required_features() noexcept;

// Whether the 16-lane kernels may run: AVX-512F present and its register state
// enabled by the operating system.
bool avx512f_usable() noexcept;

// What this processor lacks for the resampler's AVX-512 target (x86-64-v3 and AVX-512F), or
// nullptr; missing_required_features is the AVX2 target's.
const char* missing_for_avx512_target() noexcept;

}  // namespace zentrova::cpu

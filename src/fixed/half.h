// binary16 <-> binary32 conversions, one value at a time, by F16C instructions.
//
// Widening is exact. Narrowing rounds to nearest, ties to even, taken from the
// instruction's immediate (0) and never from the processor's rounding mode;
// overflow gives infinity, underflow keeps subnormals, NaNs come out quiet.
// The binary64 cval goes through binary32 first: those two roundings are the
// defined result, even where one direct rounding would differ.
//
// Included by each instruction-set file with ZENTROVA_ISA naming its namespace,
// so every instruction set keeps its own copy of these inline functions.
#pragma once

#include <immintrin.h>

#include <cstdint>

#ifndef ZENTROVA_ISA
#error "define ZENTROVA_ISA (the instruction-set namespace) before including this header"
#endif

namespace zentrova::ZENTROVA_ISA {

inline float f16_to_f32(std::uint16_t h) { return _cvtsh_ss(h); }

inline std::uint16_t f32_to_f16(float f) {
    return static_cast<std::uint16_t>(_cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT));
}

inline std::uint16_t f64_to_f16(double d) { return f32_to_f16(static_cast<float>(d)); }

}  // namespace zentrova::ZENTROVA_ISA

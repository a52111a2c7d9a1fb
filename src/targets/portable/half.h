// binary16 <-> binary32 in integer arithmetic, for the code compiled at the x86-64 baseline
// (F16C is not part of it). The results are F16C's, bit for bit, the NaNs included:
//   widening is exact; a NaN keeps its sign and payload, with the quiet bit set;
//   narrowing rounds to nearest, ties to even, whatever the processor's rounding mode; overflow
//   gives infinity, underflow keeps subnormals; a NaN keeps its sign and the top ten bits of its
//   payload, with the quiet bit set.
// No floating-point operation is involved, so neither the rounding mode nor flush-to-zero or
// denormals-are-zero can change a result.
#pragma once

#include <cstdint>
#include <cstring>

namespace zentrova::portable {

inline float half_to_binary32(std::uint16_t h) {
    const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
    const std::uint32_t exponent = (h >> 10) & 0x1Fu;
    std::uint32_t mantissa = h & 0x3FFu;
    std::uint32_t bits;
    if (exponent == 0x1F) {  // infinity, or NaN made quiet
        bits = sign | 0x7F800000u | (mantissa << 13) | (mantissa != 0 ? 0x00400000u : 0u);
    } else if (exponent != 0) {
        bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
    } else if (mantissa == 0) {
        bits = sign;
    } else {  // subnormal: a normal binary32, the leading one shifted into the implicit bit
        std::uint32_t e = 113;
        do {
            mantissa <<= 1;
            --e;
        } while ((mantissa & 0x400u) == 0);
        bits = sign | (e << 23) | ((mantissa & 0x3FFu) << 13);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

inline std::uint16_t binary32_to_half(float f) {
    std::uint32_t x;
    std::memcpy(&x, &f, sizeof x);
    const std::uint32_t sign = (x >> 16) & 0x8000u;
    const std::uint32_t a = x & 0x7FFFFFFFu;
    std::uint32_t h;
    if (a > 0x7F800000u) {  // NaN: quiet, the payload's top bits
        h = 0x7E00u | ((a >> 13) & 0x3FFu);
    } else if (a >= 0x477FF000u) {  // 65520 and above (the tie with 65536 goes to even): infinity
        h = 0x7C00u;
    } else if (a >= 0x38800000u) {  // 2^-14 and above: a normal binary16
        h = (a - 0x38000000u) >> 13;  // the exponent rebiased, ten bits of significand
        const std::uint32_t rest = a & 0x1FFFu;
        if (rest > 0x1000u || (rest == 0x1000u && (h & 1u) != 0)) ++h;  // a carry moves to the exponent
    } else if (a <= 0x33000000u) {  // 2^-25 and below (the tie goes to even): zero
        h = 0;
    } else {  // a subnormal binary16, in units of 2^-24
        const std::uint32_t significand = (a & 0x7FFFFFu) | 0x800000u;
        const int shift = 126 - static_cast<int>(a >> 23);  // 14 to 24
        h = significand >> shift;
        const std::uint32_t rest = significand & ((1u << shift) - 1);
        const std::uint32_t half = 1u << (shift - 1);
        if (rest > half || (rest == half && (h & 1u) != 0)) ++h;  // 0x400 is the smallest normal
    }
    return static_cast<std::uint16_t>(sign | h);
}

}  // namespace zentrova::portable

// Sixteen binary32 lanes in a 512-bit register: AVX-512F only (no VL, BW, DQ or
// FP16 instruction, no mask register, no gather).
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace zentrova::avx512 {

struct F32x16 {
    static constexpr int kLanes = 16;
    using f32 = __m512;
    using i32 = __m512i;

    static f32 splat(float v) { return _mm512_set1_ps(v); }
    static f32 lane_indices(std::uint32_t x0) {
        const i32 idx = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(x0)),
                                         _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
        return _mm512_cvtepi32_ps(idx);
    }
    static f32 fmadd(f32 a, f32 b, f32 c) { return _mm512_fmadd_ps(a, b, c); }
    static f32 mul(f32 a, f32 b) { return _mm512_mul_ps(a, b); }
    static f32 add(f32 a, f32 b) { return _mm512_add_ps(a, b); }
    static f32 sub(f32 a, f32 b) { return _mm512_sub_ps(a, b); }
    static f32 floor(f32 a) { return _mm512_roundscale_ps(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    static i32 truncate(f32 a) { return _mm512_cvttps_epi32(a); }
    static void store(std::int32_t* dst, i32 v) { _mm512_store_si512(dst, v); }

    static i32 splat_i(std::int32_t v) { return _mm512_set1_epi32(v); }
    static i32 add_i(i32 a, i32 b) { return _mm512_add_epi32(a, b); }
    static i32 sub_i(i32 a, i32 b) { return _mm512_sub_epi32(a, b); }
    static i32 mullo_i(i32 a, i32 b) { return _mm512_mullo_epi32(a, b); }
    static i32 and_i(i32 a, i32 b) { return _mm512_and_si512(a, b); }
    static i32 andnot_i(i32 a, i32 b) { return _mm512_andnot_si512(a, b); }  // ~a & b
    static i32 sign_mask(i32 a) { return _mm512_srai_epi32(a, 31); }        // all ones where a < 0
    // mask ? a : b with plain bitwise operations (no mask register).
    static f32 select(i32 mask, f32 a, f32 b) {
        const i32 bits = _mm512_or_si512(_mm512_and_si512(mask, _mm512_castps_si512(a)),
                                         _mm512_andnot_si512(mask, _mm512_castps_si512(b)));
        return _mm512_castsi512_ps(bits);
    }

    static f32 widen(const float* lanes) { return _mm512_load_ps(lanes); }
    static f32 widen(const std::uint16_t* lanes) {
        return _mm512_cvtph_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(lanes)));
    }

    static void narrow_store(float* dst, f32 v) { _mm512_storeu_ps(dst, v); }
    static void narrow_store(std::uint16_t* dst, f32 v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm512_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
    }
};

}  // namespace zentrova::avx512

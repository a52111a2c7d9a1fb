// Eight binary32 lanes in a 256-bit register: AVX2, FMA and F16C.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace zentrova::avx2 {

struct F32x8 {
    static constexpr int kLanes = 8;
    using f32 = __m256;
    using i32 = __m256i;

    static f32 splat(float v) { return _mm256_set1_ps(v); }
    // float(x0 + k) for k = 0..7; exact below 2^24 and rounded to nearest above.
    static f32 lane_indices(std::uint32_t x0) {
        const i32 idx = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(x0)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        return _mm256_cvtepi32_ps(idx);
    }
    static f32 fmadd(f32 a, f32 b, f32 c) { return _mm256_fmadd_ps(a, b, c); }
    static f32 mul(f32 a, f32 b) { return _mm256_mul_ps(a, b); }
    static f32 add(f32 a, f32 b) { return _mm256_add_ps(a, b); }
    static f32 sub(f32 a, f32 b) { return _mm256_sub_ps(a, b); }
    static f32 floor(f32 a) { return _mm256_round_ps(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    // NaN and values outside int32 give INT32_MIN (the "integer indefinite").
    static i32 truncate(f32 a) { return _mm256_cvttps_epi32(a); }
    static void store(std::int32_t* dst, i32 v) { _mm256_store_si256(reinterpret_cast<i32*>(dst), v); }

    static i32 splat_i(std::int32_t v) { return _mm256_set1_epi32(v); }
    static i32 add_i(i32 a, i32 b) { return _mm256_add_epi32(a, b); }
    static i32 sub_i(i32 a, i32 b) { return _mm256_sub_epi32(a, b); }
    static i32 mullo_i(i32 a, i32 b) { return _mm256_mullo_epi32(a, b); }
    static i32 and_i(i32 a, i32 b) { return _mm256_and_si256(a, b); }
    static i32 andnot_i(i32 a, i32 b) { return _mm256_andnot_si256(a, b); }  // ~a & b
    static i32 sign_mask(i32 a) { return _mm256_srai_epi32(a, 31); }        // all ones where a < 0
    // mask ? a : b, lane by lane, for an all-ones / all-zeros mask.
    static f32 select(i32 mask, f32 a, f32 b) { return _mm256_blendv_ps(b, a, _mm256_castsi256_ps(mask)); }

    static f32 widen(const float* lanes) { return _mm256_load_ps(lanes); }
    static f32 widen(const std::uint8_t* lanes) {
        return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(lanes))));
    }
    static f32 widen(const std::uint16_t* lanes) {
        return _mm256_cvtph_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(lanes)));
    }

    static void narrow_store(float* dst, f32 v) { _mm256_storeu_ps(dst, v); }
    static void narrow_store(std::uint16_t* dst, f32 v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
    }
    // Bytes: clamp to [0, 255] (operand order lets a NaN through both clamps),
    // truncate (NaN -> INT32_MIN) and keep the low byte of each lane.
    static void narrow_store(std::uint8_t* dst, f32 v) {
        const f32 lo = _mm256_max_ps(_mm256_setzero_ps(), v);
        const f32 hi = _mm256_min_ps(_mm256_set1_ps(255.0f), lo);
        const i32 t = _mm256_cvttps_epi32(hi);
        const i32 low_bytes = _mm256_shuffle_epi8(
            t, _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
        const __m128i packed = _mm_unpacklo_epi32(_mm256_castsi256_si128(low_bytes), _mm256_extracti128_si256(low_bytes, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), packed);
    }
};

}  // namespace zentrova::avx2

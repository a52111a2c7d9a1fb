// Eight binary64 lanes in a 512-bit register (AVX-512F): the lanes of
// float64's resampling kernel and of the B-spline prefilter. Lane masks and
// cell indices are eight int32 lanes in a 256-bit register (AVX2), as the
// four-lane type keeps them in 128 bits; comparisons and selections go
// through a mask register.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace zentrova::avx512 {

struct F64x8 {
    static constexpr int kLanes = 8;
    using f32 = __m512d;  // the compute lanes (named like the binary32 vector types' for the templates)

    using i32 = __m256i;

    static f32 splat(double v) { return _mm512_set1_pd(v); }
    static f32 lane_indices(std::uint32_t x0) {
        return _mm512_cvtepi32_pd(
            _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(x0)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
    }
    static f32 add(f32 a, f32 b) { return _mm512_add_pd(a, b); }
    static f32 sub(f32 a, f32 b) { return _mm512_sub_pd(a, b); }
    static f32 mul(f32 a, f32 b) { return _mm512_mul_pd(a, b); }
    static f32 fmadd(f32 a, f32 b, f32 c) { return _mm512_fmadd_pd(a, b, c); }
    static f32 fnmadd(f32 a, f32 b, f32 c) { return _mm512_fnmadd_pd(a, b, c); }  // c - a * b, rounded once
    static f32 div(f32 a, f32 b) { return _mm512_div_pd(a, b); }
    static f32 floor(f32 a) { return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    // NaN and values outside int32 give INT32_MIN.
    static i32 truncate(f32 a) { return _mm512_cvttpd_epi32(a); }
    // b where either is NaN: put the value that may be NaN second to keep it.
    static f32 min(f32 a, f32 b) { return _mm512_min_pd(a, b); }
    static f32 max(f32 a, f32 b) { return _mm512_max_pd(a, b); }

    // A mask register's lanes as all-ones / all-zeros int32 lanes, and back.
    static i32 widen_mask(__mmask8 k) { return _mm512_cvtepi64_epi32(_mm512_maskz_set1_epi64(k, -1)); }
    static __mmask8 mask_of(i32 mask) {
        const __m512i wide = _mm512_cvtepi32_epi64(mask);
        return _mm512_test_epi64_mask(wide, wide);
    }
    static i32 gt(f32 a, f32 b) { return widen_mask(_mm512_cmp_pd_mask(a, b, _CMP_GT_OQ)); }
    static i32 ge(f32 a, f32 b) { return widen_mask(_mm512_cmp_pd_mask(a, b, _CMP_GE_OQ)); }
    static i32 le(f32 a, f32 b) { return widen_mask(_mm512_cmp_pd_mask(a, b, _CMP_LE_OQ)); }
    // mask ? a : b, lane by lane, for an all-ones / all-zeros int32 mask.
    static f32 select(i32 mask, f32 a, f32 b) { return _mm512_mask_blend_pd(mask_of(mask), b, a); }

    static i32 splat_i(std::int32_t v) { return _mm256_set1_epi32(v); }
    static i32 add_i(i32 a, i32 b) { return _mm256_add_epi32(a, b); }
    static i32 sub_i(i32 a, i32 b) { return _mm256_sub_epi32(a, b); }
    static i32 clamp_i(i32 a, i32 lo, i32 hi) { return _mm256_min_epi32(_mm256_max_epi32(a, lo), hi); }
    static i32 mullo_i(i32 a, i32 b) { return _mm256_mullo_epi32(a, b); }
    static i32 and_i(i32 a, i32 b) { return _mm256_and_si256(a, b); }
    static i32 andnot_i(i32 a, i32 b) { return _mm256_andnot_si256(a, b); }  // ~a & b
    static i32 or_i(i32 a, i32 b) { return _mm256_or_si256(a, b); }
    static i32 xor_i(i32 a, i32 b) { return _mm256_xor_si256(a, b); }
    static i32 sign_mask(i32 a) { return _mm256_srai_epi32(a, 31); }
    static unsigned movemask(i32 mask) { return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(mask))); }

    static void store(std::int32_t* dst, i32 v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), v); }
    static i32 load_i(const std::int32_t* src) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)); }
    template <class T>
    static void store_unaligned_i32(T* dst, i32 v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), v); }
    static void store(double* lanes, f32 v) { _mm512_storeu_pd(lanes, v); }
    static f32 load(const double* lanes) { return _mm512_loadu_pd(lanes); }
    static f32 load_coords(const double* p) { return _mm512_loadu_pd(p); }
    static f32 load_unaligned(const double* p) { return _mm512_loadu_pd(p); }
    static void store_unaligned(double* p, f32 v) { _mm512_storeu_pd(p, v); }

    // Pairs of neighbouring elements starting at base + start(k), split into
    // out[0] (first elements) and out[1] (second elements). `second_only` is
    // not used: every caller reads both neighbours.
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const double* base, Start start, i32, f32* out) {
        auto four = [&](int k) __attribute__((always_inline)) {  // lanes k, k + 2, k + 4, k + 6 in the 128-bit blocks
            __m512 r = _mm512_castps128_ps512(_mm_loadu_ps(reinterpret_cast<const float*>(base + start(k))));
            r = _mm512_insertf32x4(r, _mm_loadu_ps(reinterpret_cast<const float*>(base + start(k + 2))), 1);
            r = _mm512_insertf32x4(r, _mm_loadu_ps(reinterpret_cast<const float*>(base + start(k + 4))), 2);
            return _mm512_castps_pd(_mm512_insertf32x4(r, _mm_loadu_ps(reinterpret_cast<const float*>(base + start(k + 6))), 3));
        };
        const f32 a = four(0), b = four(1);  // a = [f0 s0 | f2 s2 | f4 s4 | f6 s6], b the odd lanes
        out[0] = _mm512_unpacklo_pd(a, b);
        out[1] = _mm512_unpackhi_pd(a, b);
    }
    template <class Start>
    __attribute__((always_inline)) static f32 load_singles(const double* base, Start start) {
        return _mm512_setr_pd(base[start(0)], base[start(1)], base[start(2)], base[start(3)], base[start(4)],
                              base[start(5)], base[start(6)], base[start(7)]);
    }
    // The four neighbours base + start(k) + j (j < 4) of every lane k, as
    // out[j] (lane k holding its j-th): a 256-bit load per lane, lanes k and
    // k + 4 in one register, then a 4 x 4 transpose in each half. The values of
    // four load_singles, with a quarter of their loads and under half their
    // shuffles.
    template <class Start>
    __attribute__((always_inline)) static void tap_runs(const double* base, Start start, f32* out) {
        f32 r[4];
        for (int k = 0; k < 4; ++k)
            r[k] = _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(base + start(k))),
                                      _mm256_loadu_pd(base + start(k + 4)), 1);
        // t0 = [0:0 1:0 | 0:2 1:2 | 4:0 5:0 | 4:2 5:2] (lane:neighbour), t1 the odd neighbours; t2, t3 for lanes 2, 3, 6, 7
        const f32 t0 = _mm512_unpacklo_pd(r[0], r[1]), t1 = _mm512_unpackhi_pd(r[0], r[1]);
        const f32 t2 = _mm512_unpacklo_pd(r[2], r[3]), t3 = _mm512_unpackhi_pd(r[2], r[3]);
        const __m512i even = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13), odd = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
        out[0] = _mm512_permutex2var_pd(t0, even, t2);
        out[1] = _mm512_permutex2var_pd(t1, even, t3);
        out[2] = _mm512_permutex2var_pd(t0, odd, t2);
        out[3] = _mm512_permutex2var_pd(t1, odd, t3);
    }

    static f32 load_unaligned(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }  // exact
    static void store_unaligned(float* p, f32 v) { _mm256_storeu_ps(p, _mm512_cvtpd_ps(v)); }   // a C cast's rounding

    // r[i] becomes element i of r[0] .. r[7] (an 8 x 8 transpose).
    static void transpose(f32 (&r)[8]) {
        f32 t[8], u[8];
        for (int k = 0; k < 4; ++k) {  // t[2k] = [r(2k)_0 r(2k+1)_0 | r(2k)_2 r(2k+1)_2 | ...], t[2k+1] the odd elements
            t[2 * k] = _mm512_unpacklo_pd(r[2 * k], r[2 * k + 1]);
            t[2 * k + 1] = _mm512_unpackhi_pd(r[2 * k], r[2 * k + 1]);
        }
        // u[0], u[1], u[2], u[3]: elements (0, 4), (2, 6), (1, 5), (3, 7) of rows 0 to 3 in 128-bit pairs; u[4..7] of rows 4 to 7
        for (int h = 0; h < 2; ++h) {
            u[4 * h] = _mm512_shuffle_f64x2(t[4 * h], t[4 * h + 2], _MM_SHUFFLE(2, 0, 2, 0));
            u[4 * h + 1] = _mm512_shuffle_f64x2(t[4 * h], t[4 * h + 2], _MM_SHUFFLE(3, 1, 3, 1));
            u[4 * h + 2] = _mm512_shuffle_f64x2(t[4 * h + 1], t[4 * h + 3], _MM_SHUFFLE(2, 0, 2, 0));
            u[4 * h + 3] = _mm512_shuffle_f64x2(t[4 * h + 1], t[4 * h + 3], _MM_SHUFFLE(3, 1, 3, 1));
        }
        constexpr int kFirst[4] = {0, 2, 1, 3};  // the lower element of u[j]'s pair
        for (int j = 0; j < 4; ++j) {
            r[kFirst[j]] = _mm512_shuffle_f64x2(u[j], u[j + 4], _MM_SHUFFLE(2, 0, 2, 0));
            r[kFirst[j] + 4] = _mm512_shuffle_f64x2(u[j], u[j + 4], _MM_SHUFFLE(3, 1, 3, 1));
        }
    }
};

}  // namespace zentrova::avx512

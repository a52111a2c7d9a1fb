// Eight binary64 lanes in a 512-bit register (AVX-512F): the lanes of the
// B-spline prefilter, which needs only lane-wise arithmetic and unaligned
// loads and stores (each lane a line of its own).
#pragma once

#include <immintrin.h>

namespace zentrova::avx512 {

struct F64x8 {
    static constexpr int kLanes = 8;
    using f32 = __m512d;  // the compute lanes (named like the binary32 vector types' for the templates)

    static f32 splat(double v) { return _mm512_set1_pd(v); }
    static f32 add(f32 a, f32 b) { return _mm512_add_pd(a, b); }
    static f32 sub(f32 a, f32 b) { return _mm512_sub_pd(a, b); }
    static f32 mul(f32 a, f32 b) { return _mm512_mul_pd(a, b); }
    static f32 div(f32 a, f32 b) { return _mm512_div_pd(a, b); }
    static f32 load_unaligned(const double* p) { return _mm512_loadu_pd(p); }
    static void store_unaligned(double* p, f32 v) { _mm512_storeu_pd(p, v); }
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

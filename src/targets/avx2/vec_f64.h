// Four binary64 lanes in a 256-bit register (AVX2): the vector type of the
// resampler's binary64 types (float64, 32- and 64-bit integers). Lane masks and
// cell indices are four int32 lanes in a 128-bit register.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace zentrova::avx2 {

struct F64x4 {
    static constexpr int kLanes = 4;
    using f32 = __m256d;  // the compute lanes (named like the binary32 vector types' for the template)
    using i32 = __m128i;

    template <class T, class U>
    static T bits(const U* p) {
        T v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }

    static f32 splat(double v) { return _mm256_set1_pd(v); }
    static f32 lane_indices(std::uint32_t x0) {
        return _mm256_cvtepi32_pd(_mm_add_epi32(_mm_set1_epi32(static_cast<int>(x0)), _mm_setr_epi32(0, 1, 2, 3)));
    }
    static f32 add(f32 a, f32 b) { return _mm256_add_pd(a, b); }
    static f32 sub(f32 a, f32 b) { return _mm256_sub_pd(a, b); }
    static f32 mul(f32 a, f32 b) { return _mm256_mul_pd(a, b); }
    static f32 fmadd(f32 a, f32 b, f32 c) { return _mm256_fmadd_pd(a, b, c); }
    static f32 fnmadd(f32 a, f32 b, f32 c) { return _mm256_fnmadd_pd(a, b, c); }  // c - a * b, rounded once
    static f32 div(f32 a, f32 b) { return _mm256_div_pd(a, b); }
    static f32 floor(f32 a) { return _mm256_round_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    // NaN and values outside int32 give INT32_MIN.
    static i32 truncate(f32 a) { return _mm256_cvttpd_epi32(a); }

    // The low halves of 64-bit all-ones / all-zeros lanes, as int32 lanes.
    static i32 narrow_mask(__m256d m) {
        const __m256 s = _mm256_castpd_ps(m);
        return _mm_castps_si128(
            _mm_shuffle_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1), _MM_SHUFFLE(2, 0, 2, 0)));
    }
    static i32 gt(f32 a, f32 b) { return narrow_mask(_mm256_cmp_pd(a, b, _CMP_GT_OQ)); }
    static i32 ge(f32 a, f32 b) { return narrow_mask(_mm256_cmp_pd(a, b, _CMP_GE_OQ)); }
    static i32 le(f32 a, f32 b) { return narrow_mask(_mm256_cmp_pd(a, b, _CMP_LE_OQ)); }
    // mask ? a : b, lane by lane, for an all-ones / all-zeros int32 mask.
    static f32 select(i32 mask, f32 a, f32 b) {
        return _mm256_blendv_pd(b, a, _mm256_castsi256_pd(_mm256_cvtepi32_epi64(mask)));
    }

    static i32 splat_i(std::int32_t v) { return _mm_set1_epi32(v); }
    static i32 add_i(i32 a, i32 b) { return _mm_add_epi32(a, b); }
    static i32 sub_i(i32 a, i32 b) { return _mm_sub_epi32(a, b); }
    static i32 clamp_i(i32 a, i32 lo, i32 hi) { return _mm_min_epi32(_mm_max_epi32(a, lo), hi); }
    static i32 mullo_i(i32 a, i32 b) { return _mm_mullo_epi32(a, b); }
    static i32 and_i(i32 a, i32 b) { return _mm_and_si128(a, b); }
    static i32 andnot_i(i32 a, i32 b) { return _mm_andnot_si128(a, b); }  // ~a & b
    static i32 or_i(i32 a, i32 b) { return _mm_or_si128(a, b); }
    static i32 sign_mask(i32 a) { return _mm_srai_epi32(a, 31); }
    static unsigned movemask(i32 mask) { return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(mask))); }

    // b where either is NaN: put the value that may be NaN second to keep it.
    static f32 min(f32 a, f32 b) { return _mm256_min_pd(a, b); }
    static f32 max(f32 a, f32 b) { return _mm256_max_pd(a, b); }
    static i32 xor_i(i32 a, i32 b) { return _mm_xor_si128(a, b); }

    static void store(std::int32_t* dst, i32 v) { _mm_store_si128(reinterpret_cast<__m128i*>(dst), v); }
    static i32 load_i(const std::int32_t* src) { return _mm_load_si128(reinterpret_cast<const __m128i*>(src)); }
    template <class T>
    static void store_unaligned_i32(T* dst, i32 v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v); }
    static void store_unaligned(double* dst, f32 v) { _mm256_storeu_pd(dst, v); }
    static void store(double* lanes, f32 v) { _mm256_store_pd(lanes, v); }
    static f32 load(const double* lanes) { return _mm256_load_pd(lanes); }
    static f32 load_coords(const double* p) { return _mm256_loadu_pd(p); }
    static f32 load_unaligned(const double* p) { return _mm256_loadu_pd(p); }
    static f32 load_unaligned(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }  // exact
    static void store_unaligned(float* p, f32 v) { _mm_storeu_ps(p, _mm256_cvtpd_ps(v)); }   // a C cast's rounding
    // r[i] becomes element i of r[0] .. r[3] (a 4 x 4 transpose).
    static void transpose(f32 (&r)[4]) {
        const f32 t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]);
        const f32 t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
        r[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
        r[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
        r[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
        r[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
    }

    // Pairs of neighbouring elements starting at base + start(k), split into
    // out[0] (first elements) and out[1] (second elements), as binary64.
    // `second_only` is not used: every caller reads both neighbours.
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const double* base, Start start, i32, f32* out) {
        auto two = [&](int k) __attribute__((always_inline)) {  // lanes k and k + 2 in the two 128-bit halves
            return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(base + start(k))),
                                        _mm_loadu_pd(base + start(k + 2)), 1);
        };
        const f32 a = two(0), b = two(1);  // a = [f0 s0 | f2 s2], b = [f1 s1 | f3 s3]
        out[0] = _mm256_unpacklo_pd(a, b);
        out[1] = _mm256_unpackhi_pd(a, b);
    }
    template <class Raw, class Start>
    static void int32_pairs(const Raw* base, Start start, __m128i* first, __m128i* second) {
        const __m128i q01 = _mm_insert_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(base + start(0))),
                                             bits<long long>(base + start(1)), 1);
        const __m128i q23 = _mm_insert_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(base + start(2))),
                                             bits<long long>(base + start(3)), 1);
        *first = _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(q01), _mm_castsi128_ps(q23), _MM_SHUFFLE(2, 0, 2, 0)));
        *second = _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(q01), _mm_castsi128_ps(q23), _MM_SHUFFLE(3, 1, 3, 1)));
    }
    // uint32 lanes to binary64, exactly: flip the sign bit, convert, add 2^31.
    static f32 from_u32(__m128i v) {
        return _mm256_add_pd(_mm256_cvtepi32_pd(_mm_xor_si128(v, _mm_set1_epi32(INT32_MIN))), _mm256_set1_pd(2147483648.0));
    }
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const std::int32_t* base, Start start, i32, f32* out) {
        __m128i first, second;
        int32_pairs(base, start, &first, &second);
        out[0] = _mm256_cvtepi32_pd(first);
        out[1] = _mm256_cvtepi32_pd(second);
    }
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const std::uint32_t* base, Start start, i32, f32* out) {
        __m128i first, second;
        int32_pairs(base, start, &first, &second);
        out[0] = from_u32(first);
        out[1] = from_u32(second);
    }
    // 64-bit integers to binary64, rounded to nearest as a scalar conversion
    // rounds (AVX2 has no vector conversion): the high 32 bits placed in the
    // significand of 2^84 (+ 2^63 for the signed ones) and the low 32 bits in
    // that of 2^52; subtracting the magic numbers from the high part is exact,
    // and the one addition that joins the two halves rounds once.
    static f32 from_64(__m256i v, bool is_signed) {
        const __m256i low = _mm256_blend_epi32(_mm256_set1_epi64x(0x4330000000000000), v, 0x55);
        const __m256i high = _mm256_xor_si256(_mm256_srli_epi64(v, 32),
                                              _mm256_set1_epi64x(is_signed ? 0x4530000080000000 : 0x4530000000000000));
        const f32 magic = _mm256_castsi256_pd(_mm256_set1_epi64x(is_signed ? 0x4530000080100000 : 0x4530000000100000));
        return _mm256_add_pd(_mm256_sub_pd(_mm256_castsi256_pd(high), magic), _mm256_castsi256_pd(low));
    }
    static f32 from_64(__m256i v, const std::int64_t*) { return from_64(v, true); }
    static f32 from_64(__m256i v, const std::uint64_t*) { return from_64(v, false); }

    template <class Raw, class Start>
    __attribute__((always_inline)) static void load_pairs(const Raw* base, Start start, i32, f32* out) {
        static_assert(sizeof(Raw) == 8);
        auto two = [&](int k) __attribute__((always_inline)) {  // lanes k and k + 2 in the two 128-bit halves
            return _mm256_inserti128_si256(
                _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(base + start(k)))),
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + start(k + 2))), 1);
        };
        const __m256i a = two(0), b = two(1);  // a = [f0 s0 | f2 s2], b = [f1 s1 | f3 s3]
        out[0] = from_64(_mm256_unpacklo_epi64(a, b), base);
        out[1] = from_64(_mm256_unpackhi_epi64(a, b), base);
    }

    template <class Start>
    __attribute__((always_inline)) static f32 load_singles(const std::int32_t* base, Start start) {
        return _mm256_cvtepi32_pd(_mm_setr_epi32(base[start(0)], base[start(1)], base[start(2)], base[start(3)]));
    }
    template <class Start>
    __attribute__((always_inline)) static f32 load_singles(const std::uint32_t* base, Start start) {
        return from_u32(_mm_setr_epi32(static_cast<int>(base[start(0)]), static_cast<int>(base[start(1)]),
                                       static_cast<int>(base[start(2)]), static_cast<int>(base[start(3)])));
    }
    template <class Start>
    __attribute__((always_inline)) static f32 load_singles(const double* base, Start start) {
        return _mm256_setr_pd(base[start(0)], base[start(1)], base[start(2)], base[start(3)]);
    }
    // The four neighbours base + start(k) + j (j < 4) of every lane k, as
    // out[j] (lane k holding its j-th): a 256-bit load per lane, then a 4 x 4
    // transpose. The values of four load_singles, with a quarter of their loads.
    template <class Start>
    __attribute__((always_inline)) static void tap_runs(const double* base, Start start, f32* out) {
        f32 r[4];
        for (int k = 0; k < 4; ++k) r[k] = _mm256_loadu_pd(base + start(k));
        transpose(r);
        for (int j = 0; j < 4; ++j) out[j] = r[j];
    }
    template <class Raw, class Start>
    __attribute__((always_inline)) static f32 load_singles(const Raw* base, Start start) {  // int64, uint64
        static_assert(sizeof(Raw) == 8);
        auto two = [&](int k) __attribute__((always_inline)) {
            return _mm_insert_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(base + start(k))),
                                    bits<long long>(base + start(k + 1)), 1);
        };
        return from_64(_mm256_inserti128_si256(_mm256_castsi128_si256(two(0)), two(2), 1), base);
    }

    // Stores integral binary64 lanes as int64 when every lane lies within
    // (-2^51, 2^51): x + 1.5 * 2^52 is then exact, and its low bits are x.
    // False (and nothing stored) otherwise, NaN included.
    template <class Raw>
    static bool store_small_integers(Raw* dst, f32 integral) {
        const f32 magic = _mm256_set1_pd(6755399441055744.0);  // 1.5 * 2^52
        const f32 magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), integral);
        if (_mm256_movemask_pd(_mm256_cmp_pd(magnitude, _mm256_set1_pd(2251799813685248.0), _CMP_LT_OQ)) != 0xF)
            return false;
        const __m256i v = _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(integral, magic)), _mm256_castpd_si256(magic));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), v);
        return true;
    }
    static f32 truncate_toward_zero(f32 a) { return _mm256_round_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
};

}  // namespace zentrova::avx2

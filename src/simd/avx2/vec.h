// Eight binary32 lanes in a 256-bit register: AVX2, FMA and F16C.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <utility>

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
    static i32 or_i(i32 a, i32 b) { return _mm256_or_si256(a, b); }
    static i32 is_zero(i32 a) { return _mm256_cmpeq_epi32(a, _mm256_setzero_si256()); }

    // The byte pairs at base + at[k] (+ dy[k], + dz[k], + dz[k] + dy[k]) of the
    // eight lanes, each read by one 16-bit load straight into a vector lane
    // (going through memory would stall on store forwarding), widened to the
    // eight corner vectors: v[2j] the first byte of pair j, v[2j + 1] the
    // second, and the second for both where `second_only` is set.
    static void load_pairs(const std::uint8_t* base, const std::int32_t* at, const std::int32_t* dz,
                           const std::int32_t* dy, i32 second_only, f32* v) {
        __m128i q0 = _mm_setzero_si128(), q1 = q0, q2 = q0, q3 = q0;
        auto lane = [&](auto k) {
            const std::uint8_t* c = base + at[k];
            std::uint16_t a, b, d, e;
            __builtin_memcpy(&a, c, 2);
            __builtin_memcpy(&b, c + dy[k], 2);
            __builtin_memcpy(&d, c + dz[k], 2);
            __builtin_memcpy(&e, c + dz[k] + dy[k], 2);
            q0 = _mm_insert_epi16(q0, a, decltype(k)::value);
            q1 = _mm_insert_epi16(q1, b, decltype(k)::value);
            q2 = _mm_insert_epi16(q2, d, decltype(k)::value);
            q3 = _mm_insert_epi16(q3, e, decltype(k)::value);
        };
        [&]<int... K>(std::integer_sequence<int, K...>) { (lane(std::integral_constant<int, K>{}), ...); }(
            std::make_integer_sequence<int, 8>{});
        auto split = [&](__m128i q, f32* out) {  // 16-bit pairs -> first and second bytes
            const i32 w = _mm256_cvtepu16_epi32(q);
            const i32 second = _mm256_srli_epi32(w, 8);
            const i32 first = _mm256_blendv_epi8(_mm256_and_si256(w, _mm256_set1_epi32(0xFF)), second, second_only);
            out[0] = _mm256_cvtepi32_ps(first);
            out[1] = _mm256_cvtepi32_ps(second);
        };
        split(q0, v);
        split(q1, v + 2);
        split(q2, v + 4);
        split(q3, v + 6);
    }

    // mask ? a : b, lane by lane, for an all-ones / all-zeros mask.
    static f32 select(i32 mask, f32 a, f32 b) { return _mm256_blendv_ps(b, a, _mm256_castsi256_ps(mask)); }

    // Float pairs: one 64-bit load per pair, two pairs to a 128-bit lane
    // (movq + pinsrq), then the first and the second floats gathered.
    static void load_pairs(const float* base, const std::int32_t* at, const std::int32_t* dz,
                           const std::int32_t* dy, i32 second_only, f32* v) {
        auto load_set = [&](auto delta, f32* out) {
            auto q = [&](int k) { return reinterpret_cast<const __m128i*>(base + at[k] + delta(k)); };
            auto two = [&](int k) {
                long long hi;
                __builtin_memcpy(&hi, q(k + 1), 8);
                return _mm_insert_epi64(_mm_loadl_epi64(q(k)), hi, 1);
            };
            const f32 a = _mm256_castsi256_ps(_mm256_inserti128_si256(_mm256_castsi128_si256(two(0)), two(2), 1));
            const f32 b = _mm256_castsi256_ps(_mm256_inserti128_si256(_mm256_castsi128_si256(two(4)), two(6), 1));
            // a = [f0 s0 f1 s1 | f2 s2 f3 s3], b likewise for lanes 4..7
            const f32 second = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0xDD)), 0xD8));
            const f32 first = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0x88)), 0xD8));
            out[0] = select(second_only, second, first);
            out[1] = second;
        };
        load_set([](int) { return 0; }, v);
        load_set([&](int k) { return dy[k]; }, v + 2);
        load_set([&](int k) { return dz[k]; }, v + 4);
        load_set([&](int k) { return dz[k] + dy[k]; }, v + 6);
    }

    // Half pairs: one 32-bit load per pair, four pairs to a 128-bit lane
    // (movd + pinsrd), split into first and second halves and widened.
    static void load_pairs(const std::uint16_t* base, const std::int32_t* at, const std::int32_t* dz,
                           const std::int32_t* dy, i32 second_only, f32* v) {
        auto load_set = [&](auto delta, f32* out) {
            auto bits = [&](int k) {
                int b;
                __builtin_memcpy(&b, base + at[k] + delta(k), 4);
                return b;
            };
            auto four = [&](int k) {
                __m128i r = _mm_cvtsi32_si128(bits(k));
                r = _mm_insert_epi32(r, bits(k + 1), 1);
                r = _mm_insert_epi32(r, bits(k + 2), 2);
                return _mm_insert_epi32(r, bits(k + 3), 3);
            };
            const __m128i lo = four(0), hi = four(4);
            const __m128i mask = _mm_set1_epi32(0xFFFF);
            const f32 second = _mm256_cvtph_ps(_mm_packus_epi32(_mm_srli_epi32(lo, 16), _mm_srli_epi32(hi, 16)));
            const f32 first = _mm256_cvtph_ps(_mm_packus_epi32(_mm_and_si128(lo, mask), _mm_and_si128(hi, mask)));
            out[0] = select(second_only, second, first);
            out[1] = second;
        };
        load_set([](int) { return 0; }, v);
        load_set([&](int k) { return dy[k]; }, v + 2);
        load_set([&](int k) { return dz[k]; }, v + 4);
        load_set([&](int k) { return dz[k] + dy[k]; }, v + 6);
    }

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

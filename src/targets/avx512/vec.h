// Sixteen binary32 lanes in a 512-bit register: AVX-512F only (no VL, BW, DQ or
// FP16 instruction, no mask register, no gather).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/view.h"

namespace zentrova::avx512 {

// The bits of a T at p, which need not be aligned for T.
template <class T, class U>
inline T load_bits(const U* p) {
    T v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

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
    static f32 fnmadd(f32 a, f32 b, f32 c) { return _mm512_fnmadd_ps(a, b, c); }  // c - a * b, rounded once
    static f32 mul(f32 a, f32 b) { return _mm512_mul_ps(a, b); }
    static f32 add(f32 a, f32 b) { return _mm512_add_ps(a, b); }
    static f32 sub(f32 a, f32 b) { return _mm512_sub_ps(a, b); }
    static f32 div(f32 a, f32 b) { return _mm512_div_ps(a, b); }
    static f32 floor(f32 a) { return _mm512_roundscale_ps(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    static i32 truncate(f32 a) { return _mm512_cvttps_epi32(a); }
    static void store(std::int32_t* dst, i32 v) { _mm512_store_si512(dst, v); }
    static i32 load_i(const std::int32_t* src) { return _mm512_load_si512(src); }

    static i32 splat_i(std::int32_t v) { return _mm512_set1_epi32(v); }
    static i32 add_i(i32 a, i32 b) { return _mm512_add_epi32(a, b); }
    static i32 sub_i(i32 a, i32 b) { return _mm512_sub_epi32(a, b); }
    static i32 clamp_i(i32 a, i32 lo, i32 hi) { return _mm512_min_epi32(_mm512_max_epi32(a, lo), hi); }
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

    static i32 or_i(i32 a, i32 b) { return _mm512_or_si512(a, b); }
    // All ones where a == 0, without a mask register: (a | -a) has its sign bit
    // set exactly when a != 0.
    static i32 is_zero(i32 a) {
        return _mm512_andnot_si512(sign_mask(_mm512_or_si512(a, _mm512_sub_epi32(_mm512_setzero_si512(), a))),
                                   _mm512_set1_epi32(-1));
    }

    // The pairs of neighbouring elements that start at base + start(k) for
    // each lane k, each read by one scalar load straight into a vector lane (a
    // round trip through memory would stall on store forwarding), split into
    // out[0], the first elements (the second where `second_only` is set), and
    // out[1], the second elements, as binary32.
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const float* base, Start start, i32 second_only, f32* out) {
        auto two = [&](int k) __attribute__((always_inline)) {  // 64-bit pairs of lanes k, k + 1: movq + pinsrq
            return _mm_insert_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(base + start(k))),
                                    load_bits<long long>(base + start(k + 1)), 1);
        };
        auto eight = [&](int k) __attribute__((always_inline)) {
            i32 r = _mm512_castsi128_si512(two(k));
            r = _mm512_inserti32x4(r, two(k + 2), 1);
            r = _mm512_inserti32x4(r, two(k + 4), 2);
            return _mm512_castsi512_ps(_mm512_inserti32x4(r, two(k + 6), 3));
        };
        const f32 a = eight(0), b = eight(8);
        const f32 second = _mm512_permutex2var_ps(
            a, _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31), b);
        const f32 first = _mm512_permutex2var_ps(
            a, _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30), b);
        out[0] = select(second_only, second, first);
        out[1] = second;
    }
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const std::uint16_t* base, Start start, i32 second_only, f32* out) {
        const i32 w = pair_words(base, start);
        const f32 second = _mm512_cvtph_ps(_mm512_cvtepi32_epi16(_mm512_srli_epi32(w, 16)));
        out[0] = select(second_only, second,
                        _mm512_cvtph_ps(_mm512_cvtepi32_epi16(_mm512_and_si512(w, _mm512_set1_epi32(0xFFFF)))));
        out[1] = second;
    }

    // One element per lane, read by scalar loads straight into the lanes.
    template <class Start>
    __attribute__((always_inline)) static f32 load_singles(const float* base, Start start) {
        auto four = [&](int k) __attribute__((always_inline)) {
            return _mm_setr_ps(base[start(k)], base[start(k + 1)], base[start(k + 2)], base[start(k + 3)]);
        };
        i32 r = _mm512_castsi128_si512(_mm_castps_si128(four(0)));
        r = _mm512_inserti32x4(r, _mm_castps_si128(four(4)), 1);
        r = _mm512_inserti32x4(r, _mm_castps_si128(four(8)), 2);
        return _mm512_castsi512_ps(_mm512_inserti32x4(r, _mm_castps_si128(four(12)), 3));
    }
    // Runs of neighbouring elements in groups: group G (0 to 3) holds elements
    // off to off + 3 of the runs that start at base + start(k) for lanes G,
    // G + 4, G + 8 and G + 12, one per 128-bit block, each read in one load
    // (AVX's masked load where only n < 4 remain: a masked element is not
    // read, so nothing past the run is, and holds 0). Lane-wise arithmetic on
    // groups needs no shuffle per read; transpose_groups turns the results
    // into lanes once.
    template <int G, class Start>
    __attribute__((always_inline)) static f32 run_group(const float* base, Start start, int off, int n) {
        const __m128i mask = _mm_cmpgt_epi32(_mm_set1_epi32(n), _mm_setr_epi32(0, 1, 2, 3));
        auto four = [&](int k) __attribute__((always_inline)) {
            const float* p = base + start(k) + off;
            return n >= 4 ? _mm_loadu_ps(p) : _mm_maskload_ps(p, mask);
        };
        if (n >= 4) {
            __m512 r = _mm512_castps128_ps512(four(G));
            r = _mm512_mask_broadcast_f32x4(r, 0x00f0, four(G + 4));
            r = _mm512_mask_broadcast_f32x4(r, 0x0f00, four(G + 8));
            return _mm512_mask_broadcast_f32x4(r, 0xf000, four(G + 12));
        }
        __m512 r = _mm512_castps128_ps512(four(G));
        r = _mm512_insertf32x4(r, four(G + 4), 1);
        r = _mm512_insertf32x4(r, four(G + 8), 2);
        return _mm512_insertf32x4(r, four(G + 12), 3);
    }
    // Lanes G, G + 4, G + 8 and G + 12 each over its 128-bit block: a
    // per-lane factor laid out as group G.
    template <int G>
    __attribute__((always_inline)) static f32 spread_group(f32 x) {
        return _mm512_permutexvar_ps(_mm512_setr_epi32(G, G, G, G, G + 4, G + 4, G + 4, G + 4, G + 8, G + 8, G + 8, G + 8,
                                                       G + 12, G + 12, G + 12, G + 12),
                                     x);
    }
    // Groups 0 to 3 as lanes: out[j] (j < n) holds element j of every lane's
    // run (a 4 x 4 transpose within each 128-bit block).
    __attribute__((always_inline)) static void transpose_groups(const f32 r[4], int n, f32* out) {
        const __m512d t0 = _mm512_castps_pd(_mm512_unpacklo_ps(r[0], r[1]));
        const __m512d t1 = _mm512_castps_pd(_mm512_unpackhi_ps(r[0], r[1]));
        const __m512d t2 = _mm512_castps_pd(_mm512_unpacklo_ps(r[2], r[3]));
        const __m512d t3 = _mm512_castps_pd(_mm512_unpackhi_ps(r[2], r[3]));
        const f32 e[4] = {_mm512_castpd_ps(_mm512_unpacklo_pd(t0, t2)), _mm512_castpd_ps(_mm512_unpackhi_pd(t0, t2)),
                          _mm512_castpd_ps(_mm512_unpacklo_pd(t1, t3)), _mm512_castpd_ps(_mm512_unpackhi_pd(t1, t3))};
        for (int j = 0; j < 4 && j < n; ++j) out[j] = e[j];
    }
    // Sixteen 16-bit elements as lanes (float16 bit patterns as std::uint16_t; the integers zero- or
    // sign-extended), converted exactly.
    static f32 widen(const std::uint16_t*, __m256i q) { return _mm512_cvtph_ps(q); }
    static f32 widen(const std::int16_t*, __m256i q) { return _mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(q)); }
    static f32 widen(const u16*, __m256i q) { return _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(q)); }
    template <class Raw, class Start>
        requires(sizeof(Raw) == 2)
    __attribute__((always_inline)) static f32 load_singles(const Raw* base, Start start) {
        return widen(base, words_of(base, start));
    }
    // run_group for 16-bit elements: the four of lanes G, G + 4, G + 8 and
    // G + 12 (one 64-bit load each; only the first n where n < 4) in one
    // vector of sixteen, widened at once.
    template <int G, class Raw, class Start>
        requires(sizeof(Raw) == 2)
    __attribute__((always_inline)) static f32 run_group(const Raw* base, Start start, int off, int n) {
        auto four = [&](int k) __attribute__((always_inline)) {
            const Raw* p = base + start(k) + off;
            if (n >= 4) return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
            std::uint64_t bits = 0;
            std::memcpy(&bits, p, static_cast<std::size_t>(n) * sizeof(Raw));
            return _mm_cvtsi64_si128(static_cast<long long>(bits));
        };
        const __m128i lo = _mm_unpacklo_epi64(four(G), four(G + 4));
        const __m128i hi = _mm_unpacklo_epi64(four(G + 8), four(G + 12));
        return widen(base, _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1));
    }

    // 16-bit elements, one per lane (pinsrw), as sixteen words.
    template <class Raw, class Start>
    __attribute__((always_inline)) static __m256i words_of(const Raw* base, Start start) {
        auto eight = [&](int k) __attribute__((always_inline)) {
            __m128i q = _mm_setzero_si128();
            q = _mm_insert_epi16(q, load_bits<std::uint16_t>(base + start(k)), 0);
            q = _mm_insert_epi16(q, load_bits<std::uint16_t>(base + start(k + 1)), 1);
            q = _mm_insert_epi16(q, load_bits<std::uint16_t>(base + start(k + 2)), 2);
            q = _mm_insert_epi16(q, load_bits<std::uint16_t>(base + start(k + 3)), 3);
            q = _mm_insert_epi16(q, load_bits<std::uint16_t>(base + start(k + 4)), 4);
            q = _mm_insert_epi16(q, load_bits<std::uint16_t>(base + start(k + 5)), 5);
            q = _mm_insert_epi16(q, load_bits<std::uint16_t>(base + start(k + 6)), 6);
            return _mm_insert_epi16(q, load_bits<std::uint16_t>(base + start(k + 7)), 7);
        };
        return _mm256_inserti128_si256(_mm256_castsi128_si256(eight(0)), eight(8), 1);
    }
    // 16-bit elements in 32-bit pairs of lanes k .. k + 3 (movd + 3 x pinsrd); the
    // integers' halves are then zero- or sign-extended.
    template <class Raw, class Start>
    __attribute__((always_inline)) static i32 pair_words(const Raw* base, Start start) {
        auto four = [&](int k) __attribute__((always_inline)) {
            __m128i r = _mm_cvtsi32_si128(load_bits<int>(base + start(k)));
            r = _mm_insert_epi32(r, load_bits<int>(base + start(k + 1)), 1);
            r = _mm_insert_epi32(r, load_bits<int>(base + start(k + 2)), 2);
            return _mm_insert_epi32(r, load_bits<int>(base + start(k + 3)), 3);
        };
        i32 w = _mm512_castsi128_si512(four(0));
        w = _mm512_inserti32x4(w, four(4), 1);
        w = _mm512_inserti32x4(w, four(8), 2);
        return _mm512_inserti32x4(w, four(12), 3);
    }
    static i32 select_i(i32 mask, i32 a, i32 b) { return _mm512_or_si512(_mm512_and_si512(mask, a), _mm512_andnot_si512(mask, b)); }
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const std::int16_t* base, Start start, i32 second_only, f32* out) {
        const i32 w = pair_words(base, start);
        const i32 second = _mm512_srai_epi32(w, 16);
        out[0] = _mm512_cvtepi32_ps(select_i(second_only, second, _mm512_srai_epi32(_mm512_slli_epi32(w, 16), 16)));
        out[1] = _mm512_cvtepi32_ps(second);
    }
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const u16* base, Start start, i32 second_only, f32* out) {
        const i32 w = pair_words(base, start);
        const i32 second = _mm512_srli_epi32(w, 16);
        out[0] = _mm512_cvtepi32_ps(select_i(second_only, second, _mm512_and_si512(w, _mm512_set1_epi32(0xFFFF))));
        out[1] = _mm512_cvtepi32_ps(second);
    }
    // The low 16 bits of each lane, stored at dst (unaligned).
    template <class T>
    static void store_low_words(T* dst, i32 v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm512_cvtepi32_epi16(v));
    }

    static f32 load(const float* lanes) { return _mm512_load_ps(lanes); }
    static f32 load_unaligned(const float* p) { return _mm512_loadu_ps(p); }
    // Sixteen binary64 coordinates, each rounded to binary32 (AVX-512F alone: the halves joined as
    // binary64 lanes).
    static f32 load_coords(const double* p) {
        const __m512d lo = _mm512_castpd256_pd512(_mm256_castps_pd(_mm512_cvtpd_ps(_mm512_loadu_pd(p))));
        return _mm512_castpd_ps(_mm512_insertf64x4(lo, _mm256_castps_pd(_mm512_cvtpd_ps(_mm512_loadu_pd(p + 8))), 1));
    }
    static void store(float* lanes, f32 v) { _mm512_store_ps(lanes, v); }
    // Comparisons as all-ones lanes, without a mask register: the sign of
    // a - b does not serve (NaN, inf - inf), so the 8-lane halves are compared
    // with AVX instructions.
    template <int kPredicate>
    static i32 compare(f32 a, f32 b) {
        const __m256 lo = _mm256_cmp_ps(_mm512_castps512_ps256(a), _mm512_castps512_ps256(b), kPredicate);
        const __m256 hi = _mm256_cmp_ps(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(a), 1)),
                                        _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(b), 1)), kPredicate);
        return _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_castps_si256(lo)), _mm256_castps_si256(hi), 1);
    }
    static i32 gt(f32 a, f32 b) { return compare<_CMP_GT_OQ>(a, b); }
    static i32 ge(f32 a, f32 b) { return compare<_CMP_GE_OQ>(a, b); }
    static i32 le(f32 a, f32 b) { return compare<_CMP_LE_OQ>(a, b); }
    static f32 min(f32 a, f32 b) { return _mm512_min_ps(a, b); }
    static f32 max(f32 a, f32 b) { return _mm512_max_ps(a, b); }
    static unsigned movemask(i32 mask) {
        const unsigned lo = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm512_castsi512_si256(mask))));
        const unsigned hi =
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm512_extracti64x4_epi64(mask, 1))));
        return lo | (hi << 8);
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

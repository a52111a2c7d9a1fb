// Eight binary32 lanes in a 256-bit register: AVX2, FMA and F16C.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "core/view.h"

namespace zentrova::avx2 {

// The bits of a T at p, which need not be aligned for T.
template <class T, class U>
inline T load_bits(const U* p) {
    T v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

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
    static f32 fnmadd(f32 a, f32 b, f32 c) { return _mm256_fnmadd_ps(a, b, c); }  // c - a * b, rounded once
    static f32 mul(f32 a, f32 b) { return _mm256_mul_ps(a, b); }
    static f32 add(f32 a, f32 b) { return _mm256_add_ps(a, b); }
    static f32 sub(f32 a, f32 b) { return _mm256_sub_ps(a, b); }
    static f32 div(f32 a, f32 b) { return _mm256_div_ps(a, b); }
    static f32 floor(f32 a) { return _mm256_round_ps(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    // NaN and values outside int32 give INT32_MIN (the "integer indefinite").
    static i32 truncate(f32 a) { return _mm256_cvttps_epi32(a); }
    static void store(std::int32_t* dst, i32 v) { _mm256_store_si256(reinterpret_cast<i32*>(dst), v); }
    static i32 load_i(const std::int32_t* src) { return _mm256_load_si256(reinterpret_cast<const i32*>(src)); }

    static i32 splat_i(std::int32_t v) { return _mm256_set1_epi32(v); }
    static i32 add_i(i32 a, i32 b) { return _mm256_add_epi32(a, b); }
    static i32 sub_i(i32 a, i32 b) { return _mm256_sub_epi32(a, b); }
    static i32 clamp_i(i32 a, i32 lo, i32 hi) { return _mm256_min_epi32(_mm256_max_epi32(a, lo), hi); }
    static i32 mullo_i(i32 a, i32 b) { return _mm256_mullo_epi32(a, b); }
    static i32 and_i(i32 a, i32 b) { return _mm256_and_si256(a, b); }
    static i32 andnot_i(i32 a, i32 b) { return _mm256_andnot_si256(a, b); }  // ~a & b
    static i32 sign_mask(i32 a) { return _mm256_srai_epi32(a, 31); }        // all ones where a < 0
    static i32 or_i(i32 a, i32 b) { return _mm256_or_si256(a, b); }
    static i32 is_zero(i32 a) { return _mm256_cmpeq_epi32(a, _mm256_setzero_si256()); }

    // mask ? a : b, lane by lane, for an all-ones / all-zeros mask.
    static f32 select(i32 mask, f32 a, f32 b) { return _mm256_blendv_ps(b, a, _mm256_castsi256_ps(mask)); }

    // The pairs of neighbouring elements that start at base + start(k) for
    // each lane k, each read by one scalar load straight into a vector lane (a
    // round trip through memory would stall on store forwarding), split into
    // out[0], the first elements (the second where `second_only` is set), and
    // out[1], the second elements, as binary32.
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const std::uint8_t* base, Start start, i32 second_only, f32* out) {
        __m128i q = _mm_setzero_si128();  // 16-bit pairs: pinsrw
        [&]<int... K>(std::integer_sequence<int, K...>) __attribute__((always_inline)) {
            ((q = _mm_insert_epi16(q, load_bits<std::uint16_t>(base + start(K)), K)), ...);
        }(std::make_integer_sequence<int, 8>{});
        const i32 w = _mm256_cvtepu16_epi32(q);
        const i32 second = _mm256_srli_epi32(w, 8);
        const i32 first = _mm256_blendv_epi8(_mm256_and_si256(w, _mm256_set1_epi32(0xFF)), second, second_only);
        out[0] = _mm256_cvtepi32_ps(first);
        out[1] = _mm256_cvtepi32_ps(second);
    }
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const std::uint16_t* base, Start start, i32 second_only, f32* out) {
        auto four = [&](int k) __attribute__((always_inline)) {  // 32-bit pairs of lanes k .. k + 3: movd + 3 x pinsrd
            __m128i r = _mm_cvtsi32_si128(load_bits<int>(base + start(k)));
            r = _mm_insert_epi32(r, load_bits<int>(base + start(k + 1)), 1);
            r = _mm_insert_epi32(r, load_bits<int>(base + start(k + 2)), 2);
            return _mm_insert_epi32(r, load_bits<int>(base + start(k + 3)), 3);
        };
        const __m128i lo = four(0), hi = four(4);
        const __m128i mask = _mm_set1_epi32(0xFFFF);
        const f32 second = _mm256_cvtph_ps(_mm_packus_epi32(_mm_srli_epi32(lo, 16), _mm_srli_epi32(hi, 16)));
        const f32 first = _mm256_cvtph_ps(_mm_packus_epi32(_mm_and_si128(lo, mask), _mm_and_si128(hi, mask)));
        out[0] = select(second_only, second, first);
        out[1] = second;
    }
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const float* base, Start start, i32 second_only, f32* out) {
        auto two = [&](int k) __attribute__((always_inline)) {  // 64-bit pairs of lanes k, k + 1: movq + pinsrq
            return _mm_insert_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(base + start(k))),
                                    load_bits<long long>(base + start(k + 1)), 1);
        };
        const f32 a = _mm256_castsi256_ps(_mm256_inserti128_si256(_mm256_castsi128_si256(two(0)), two(2), 1));
        const f32 b = _mm256_castsi256_ps(_mm256_inserti128_si256(_mm256_castsi128_si256(two(4)), two(6), 1));
        // a = [f0 s0 f1 s1 | f2 s2 f3 s3], b likewise for lanes 4..7
        const f32 second = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0xDD)), 0xD8));
        const f32 first = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0x88)), 0xD8));
        out[0] = select(second_only, second, first);
        out[1] = second;
    }

    // Bytes: 16-bit pairs (pinsrw), each byte sign-extended.
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const std::int8_t* base, Start start, i32 second_only, f32* out) {
        __m128i q = _mm_setzero_si128();
        [&]<int... K>(std::integer_sequence<int, K...>) __attribute__((always_inline)) {
            ((q = _mm_insert_epi16(q, load_bits<std::uint16_t>(base + start(K)), K)), ...);
        }(std::make_integer_sequence<int, 8>{});
        const i32 w = _mm256_cvtepu16_epi32(q);
        const i32 second = _mm256_srai_epi32(_mm256_slli_epi32(w, 16), 24);
        const i32 first = _mm256_blendv_epi8(_mm256_srai_epi32(_mm256_slli_epi32(w, 24), 24), second, second_only);
        out[0] = _mm256_cvtepi32_ps(first);
        out[1] = _mm256_cvtepi32_ps(second);
    }
    // 16-bit integers: 32-bit pairs (movd + pinsrd), each half sign- or zero-extended.
    template <class Start>
    __attribute__((always_inline)) static i32 pair_words(const void* base, Start start) {
        const std::uint16_t* b = static_cast<const std::uint16_t*>(base);
        auto four = [&](int k) __attribute__((always_inline)) {
            __m128i r = _mm_cvtsi32_si128(load_bits<int>(b + start(k)));
            r = _mm_insert_epi32(r, load_bits<int>(b + start(k + 1)), 1);
            r = _mm_insert_epi32(r, load_bits<int>(b + start(k + 2)), 2);
            return _mm_insert_epi32(r, load_bits<int>(b + start(k + 3)), 3);
        };
        return _mm256_inserti128_si256(_mm256_castsi128_si256(four(0)), four(4), 1);
    }
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const std::int16_t* base, Start start, i32 second_only, f32* out) {
        const i32 w = pair_words(base, start);
        const i32 second = _mm256_srai_epi32(w, 16);
        const i32 first = _mm256_blendv_epi8(_mm256_srai_epi32(_mm256_slli_epi32(w, 16), 16), second, second_only);
        out[0] = _mm256_cvtepi32_ps(first);
        out[1] = _mm256_cvtepi32_ps(second);
    }
    template <class Start>
    __attribute__((always_inline)) static void load_pairs(const u16* base, Start start, i32 second_only, f32* out) {
        const i32 w = pair_words(base, start);
        const i32 second = _mm256_srli_epi32(w, 16);
        const i32 first = _mm256_blendv_epi8(_mm256_and_si256(w, _mm256_set1_epi32(0xFFFF)), second, second_only);
        out[0] = _mm256_cvtepi32_ps(first);
        out[1] = _mm256_cvtepi32_ps(second);
    }

    // One element per lane, read by scalar loads straight into the lanes.
    template <class Start>
    __attribute__((always_inline)) static f32 load_singles(const float* base, Start start) {
        return _mm256_setr_ps(base[start(0)], base[start(1)], base[start(2)], base[start(3)], base[start(4)],
                              base[start(5)], base[start(6)], base[start(7)]);
    }
    // Runs of neighbouring elements in groups: group G (0 to 3) holds elements
    // off to off + 3 of the run that starts at base + start(G) in its low half
    // and of lane G + 4's run in its high half, each read in one load (masked
    // where only n < 4 remain: a masked element is not read, so nothing past
    // the run is, and holds 0). Lane-wise arithmetic on groups needs no
    // shuffle per read; transpose_groups turns the results into lanes once.
    template <int G, class Start>
    __attribute__((always_inline)) static f32 run_group(const float* base, Start start, int off, int n) {
        const __m128i mask = _mm_cmpgt_epi32(_mm_set1_epi32(n), _mm_setr_epi32(0, 1, 2, 3));
        auto four = [&](int k) __attribute__((always_inline)) {
            const float* p = base + start(k) + off;
            return n >= 4 ? _mm_loadu_ps(p) : _mm_maskload_ps(p, mask);
        };
        return _mm256_insertf128_ps(_mm256_castps128_ps256(four(G)), four(G + 4), 1);
    }
    // Lane G's value over the low half, lane G + 4's over the high one: a
    // per-lane factor laid out as group G.
    template <int G>
    __attribute__((always_inline)) static f32 spread_group(f32 x) {
        return _mm256_permutevar8x32_ps(x, _mm256_setr_epi32(G, G, G, G, G + 4, G + 4, G + 4, G + 4));
    }
    // Groups 0 to 3 as lanes: out[j] (j < n) holds element j of every lane's
    // run (a 4 x 4 transpose within each 128-bit half).
    __attribute__((always_inline)) static void transpose_groups(const f32 r[4], int n, f32* out) {
        const __m256d t0 = _mm256_castps_pd(_mm256_unpacklo_ps(r[0], r[1]));
        const __m256d t1 = _mm256_castps_pd(_mm256_unpackhi_ps(r[0], r[1]));
        const __m256d t2 = _mm256_castps_pd(_mm256_unpacklo_ps(r[2], r[3]));
        const __m256d t3 = _mm256_castps_pd(_mm256_unpackhi_ps(r[2], r[3]));
        const f32 e[4] = {_mm256_castpd_ps(_mm256_unpacklo_pd(t0, t2)), _mm256_castpd_ps(_mm256_unpackhi_pd(t0, t2)),
                          _mm256_castpd_ps(_mm256_unpacklo_pd(t1, t3)), _mm256_castpd_ps(_mm256_unpackhi_pd(t1, t3))};
        for (int j = 0; j < 4 && j < n; ++j) out[j] = e[j];
    }
    template <class Raw, class Start>
    __attribute__((always_inline)) static __m128i bytes_of(const Raw* base, Start start) {
        __m128i q = _mm_setzero_si128();
        [&]<int... K>(std::integer_sequence<int, K...>) __attribute__((always_inline)) {
            ((q = _mm_insert_epi8(q, load_bits<std::uint8_t>(base + start(K)), K)), ...);
        }(std::make_integer_sequence<int, 8>{});
        return q;
    }
    template <class Raw, class Start>
    __attribute__((always_inline)) static __m128i words_of(const Raw* base, Start start) {
        __m128i q = _mm_setzero_si128();
        [&]<int... K>(std::integer_sequence<int, K...>) __attribute__((always_inline)) {
            ((q = _mm_insert_epi16(q, load_bits<std::uint16_t>(base + start(K)), K)), ...);
        }(std::make_integer_sequence<int, 8>{});
        return q;
    }
    // Eight narrow elements as lanes: the low 8 bytes of q (8-bit) or its 8 words (16-bit; float16
    // bit patterns as std::uint16_t), zero- or sign-extended and converted (exactly).
    static f32 widen(const std::uint8_t*, __m128i q) { return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(q)); }
    static f32 widen(const std::int8_t*, __m128i q) { return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(q)); }
    static f32 widen(const std::uint16_t*, __m128i q) { return _mm256_cvtph_ps(q); }
    static f32 widen(const std::int16_t*, __m128i q) { return _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(q)); }
    static f32 widen(const u16*, __m128i q) { return _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(q)); }
    template <class Raw, class Start>
        requires(sizeof(Raw) == 1)
    __attribute__((always_inline)) static f32 load_singles(const Raw* base, Start start) {
        return widen(base, bytes_of(base, start));
    }
    template <class Raw, class Start>
        requires(sizeof(Raw) == 2)
    __attribute__((always_inline)) static f32 load_singles(const Raw* base, Start start) {
        return widen(base, words_of(base, start));
    }
    // run_group for narrow elements: lane G's four and lane G + 4's in one
    // vector of eight (two 32- or 64-bit loads; only the first n where n < 4),
    // widened at once.
    template <int G, class Raw, class Start>
        requires(sizeof(Raw) <= 2)
    __attribute__((always_inline)) static f32 run_group(const Raw* base, Start start, int off, int n) {
        auto four = [&](int k) __attribute__((always_inline)) {
            const Raw* p = base + start(k) + off;
            if (n >= 4) return sizeof(Raw) == 2 ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))
                                                : _mm_cvtsi32_si128(load_bits<int>(p));
            std::uint64_t bits = 0;
            std::memcpy(&bits, p, static_cast<std::size_t>(n) * sizeof(Raw));
            return _mm_cvtsi64_si128(static_cast<long long>(bits));
        };
        return widen(base, sizeof(Raw) == 2 ? _mm_unpacklo_epi64(four(G), four(G + 4))
                                            : _mm_unpacklo_epi32(four(G), four(G + 4)));
    }

    static f32 load(const float* lanes) { return _mm256_load_ps(lanes); }
    static f32 load_unaligned(const float* p) { return _mm256_loadu_ps(p); }
    // Eight binary64 coordinates, each rounded to binary32.
    static f32 load_coords(const double* p) {
        return _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(p + 4)), _mm256_cvtpd_ps(_mm256_loadu_pd(p)));
    }
    static void store(float* lanes, f32 v) { _mm256_store_ps(lanes, v); }
    // All ones where a > b (ordered: false for NaN).
    static i32 gt(f32 a, f32 b) { return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_GT_OQ)); }
    static i32 ge(f32 a, f32 b) { return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_GE_OQ)); }
    static i32 le(f32 a, f32 b) { return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_LE_OQ)); }
    // b where either is NaN: put the value that may be NaN second to keep it.
    static f32 min(f32 a, f32 b) { return _mm256_min_ps(a, b); }
    static f32 max(f32 a, f32 b) { return _mm256_max_ps(a, b); }
    static unsigned movemask(i32 mask) { return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(mask))); }
    // The low byte / low 16 bits of each lane, stored at dst (unaligned).
    template <class T>
    static void store_low_bytes(T* dst, i32 v) {
        const i32 bytes = _mm256_shuffle_epi8(
            v, _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
        const __m128i packed = _mm_unpacklo_epi32(_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), packed);
    }
    template <class T>
    static void store_low_words(T* dst, i32 v) {
        const i32 words = _mm256_shuffle_epi8(
            v, _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1,
                                0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1));
        const __m128i packed = _mm_unpacklo_epi64(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), packed);
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

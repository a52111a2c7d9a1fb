// Two binary64 lanes in a 128-bit Advanced SIMD (NEON) register: the vector type of the
// resampler's binary64 types (float64, 32- and 64-bit integers). Lane masks and cell indices are
// two int32 lanes in a 64-bit register. Each operation gives the portable target's one-lane
// results, by the rules targets/neon/vec.h states (min/max, truncation, masks); 64-bit integers
// convert to binary64 rounded to nearest (SCVTF, UCVTF), as a C cast does.
#pragma once

#include <arm_neon.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace zentrova::neon {

struct F64x2 {
    static constexpr int kLanes = 2;
    using f32 = float64x2_t;  // the compute lanes (named like the binary32 vector types' for the templates)
    using i32 = int32x2_t;

    template <class T, class U>
    static T bits(const U* p) {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }

    // ---- compute lanes

    static f32 splat(double v) { return vdupq_n_f64(v); }
    static f32 lane_indices(std::uint32_t x0) {
        static constexpr std::int32_t kIndex[2] = {0, 1};
        return vcvtq_f64_s64(vmovl_s32(vadd_s32(vdup_n_s32(static_cast<std::int32_t>(x0)), vld1_s32(kIndex))));
    }
    static f32 add(f32 a, f32 b) { return vaddq_f64(a, b); }
    static f32 sub(f32 a, f32 b) { return vsubq_f64(a, b); }
    static f32 mul(f32 a, f32 b) { return vmulq_f64(a, b); }
    static f32 div(f32 a, f32 b) { return vdivq_f64(a, b); }
    static f32 fmadd(f32 a, f32 b, f32 c) { return vfmaq_f64(c, a, b); }   // a * b + c, rounded once
    static f32 fnmadd(f32 a, f32 b, f32 c) { return vfmsq_f64(c, a, b); }  // c - a * b, rounded once
    // b where either is NaN: put the value that may be NaN second to keep it.
    static f32 min(f32 a, f32 b) { return vbslq_f64(vcltq_f64(a, b), a, b); }
    static f32 max(f32 a, f32 b) { return vbslq_f64(vcgtq_f64(a, b), a, b); }
    static f32 floor(f32 a) { return vrndmq_f64(a); }
    static f32 truncate_toward_zero(f32 a) { return vrndq_f64(a); }
    // NaN and values outside int32 give INT32_MIN: converted to int64 (exact for |a| < 2^31), the
    // other lanes replaced, the low halves kept. Between -2^31 - 1 and -2^31 the truncation is
    // INT32_MIN as well.
    static i32 truncate(f32 a) {
        const int64x2_t wide = vbslq_s64(vcaltq_f64(a, vdupq_n_f64(2147483648.0)), vcvtq_s64_f64(a),
                                         vdupq_n_s64(INT32_MIN));
        return vmovn_s64(wide);
    }

    // ---- masks

    static i32 narrow_mask(uint64x2_t m) { return vreinterpret_s32_u32(vmovn_u64(m)); }
    static i32 gt(f32 a, f32 b) { return narrow_mask(vcgtq_f64(a, b)); }
    static i32 ge(f32 a, f32 b) { return narrow_mask(vcgeq_f64(a, b)); }
    static i32 le(f32 a, f32 b) { return narrow_mask(vcleq_f64(a, b)); }
    // mask ? a : b, by the mask's sign bit.
    static f32 select(i32 mask, f32 a, f32 b) {
        return vbslq_f64(vreinterpretq_u64_s64(vmovl_s32(vshr_n_s32(mask, 31))), a, b);
    }
    static unsigned movemask(i32 mask) {
        const uint32x2_t sign = vshr_n_u32(vreinterpret_u32_s32(mask), 31);
        return vget_lane_u32(sign, 0) | (vget_lane_u32(sign, 1) << 1);
    }

    // ---- int32 lanes (wrapping)

    static i32 splat_i(std::int32_t v) { return vdup_n_s32(v); }
    static i32 add_i(i32 a, i32 b) { return vadd_s32(a, b); }
    static i32 sub_i(i32 a, i32 b) { return vsub_s32(a, b); }
    static i32 mullo_i(i32 a, i32 b) { return vmul_s32(a, b); }
    static i32 clamp_i(i32 a, i32 lo, i32 hi) { return vmin_s32(vmax_s32(a, lo), hi); }
    static i32 and_i(i32 a, i32 b) { return vand_s32(a, b); }
    static i32 andnot_i(i32 a, i32 b) { return vbic_s32(b, a); }  // ~a & b
    static i32 or_i(i32 a, i32 b) { return vorr_s32(a, b); }
    static i32 xor_i(i32 a, i32 b) { return veor_s32(a, b); }
    static i32 sign_mask(i32 a) { return vshr_n_s32(a, 31); }

    // ---- memory (NEON's loads and stores need no alignment)

    static f32 load(const double* lanes) { return vld1q_f64(lanes); }
    static void store(double* lanes, f32 v) { vst1q_f64(lanes, v); }
    static f32 load_unaligned(const double* p) { return vld1q_f64(p); }
    static void store_unaligned(double* dst, f32 v) { vst1q_f64(dst, v); }
    static f32 load_unaligned(const float* p) { return vcvt_f64_f32(vld1_f32(p)); }            // exact
    static void store_unaligned(float* dst, f32 v) { vst1_f32(dst, vcvt_f32_f64(v)); }         // a C cast's rounding
    static f32 load_coords(const double* p) { return vld1q_f64(p); }
    static i32 load_i(const std::int32_t* src) { return vld1_s32(src); }
    static void store(std::int32_t* dst, i32 v) { vst1_s32(dst, v); }
    template <class Raw>
    static void store_unaligned_i32(Raw* dst, i32 v) {
        static_assert(sizeof(Raw) == 4);
        vst1_u8(reinterpret_cast<std::uint8_t*>(dst), vreinterpret_u8_s32(v));
    }
    // r[i] becomes element i of r[0] and r[1] (a 2 x 2 transpose).
    static void transpose(f32 (&r)[2]) {
        const f32 t0 = vzip1q_f64(r[0], r[1]), t1 = vzip2q_f64(r[0], r[1]);
        r[0] = t0;
        r[1] = t1;
    }

    // Two elements (lane 0's, lane 1's) widened to binary64: exactly, but for 64-bit integers,
    // rounded to nearest.
    static f32 widen2(const double*, const double* q) { return vld1q_f64(q); }
    static f32 widen2(const std::int32_t*, const std::int32_t* q) { return vcvtq_f64_s64(vmovl_s32(vld1_s32(q))); }
    static f32 widen2(const std::uint32_t*, const std::uint32_t* q) { return vcvtq_f64_u64(vmovl_u32(vld1_u32(q))); }
    static f32 widen2(const std::int64_t*, const std::int64_t* q) { return vcvtq_f64_s64(vld1q_s64(q)); }
    static f32 widen2(const std::uint64_t*, const std::uint64_t* q) { return vcvtq_f64_u64(vld1q_u64(q)); }

    // One element per lane, at base + start(k), widened to binary64.
    template <class Raw, class Start>
    __attribute__((always_inline)) static f32 load_singles(const Raw* base, Start start) {
        if constexpr (std::is_same_v<Raw, double>) {
            return vld1q_lane_f64(base + start(1), vld1q_dup_f64(base + start(0)), 1);
        } else {
            Raw q[2];
            std::memcpy(&q[0], base + start(0), sizeof(Raw));
            std::memcpy(&q[1], base + start(1), sizeof(Raw));
            return widen2(base, q);
        }
    }
    // The pairs of neighbouring elements at base + start(k): out[0] the first elements (the second
    // where `second_only` is set), out[1] the second.
    template <class Raw, class Start>
    __attribute__((always_inline)) static void load_pairs(const Raw* base, Start start, i32 second_only, f32* out) {
        f32 first, second;
        if constexpr (std::is_same_v<Raw, double>) {
            const f32 a = vld1q_f64(base + start(0)), b = vld1q_f64(base + start(1));
            first = vzip1q_f64(a, b);
            second = vzip2q_f64(a, b);
        } else {
            Raw a[2], b[2];
            std::memcpy(a, base + start(0), sizeof a);
            std::memcpy(b, base + start(1), sizeof b);
            const Raw firsts[2] = {a[0], b[0]}, seconds[2] = {a[1], b[1]};
            first = widen2(base, firsts);
            second = widen2(base, seconds);
        }
        out[0] = select(second_only, second, first);
        out[1] = second;
    }
    // The four neighbours base + start(k) + j (j < 4) of both lanes, as out[j] (lane k holding its
    // j-th): two 128-bit loads per lane and a 2 x 2 transpose of each half.
    template <class Start>
    __attribute__((always_inline)) static void tap_runs(const double* base, Start start, f32* out) {
        const double* p0 = base + start(0);
        const double* p1 = base + start(1);
        const f32 a0 = vld1q_f64(p0), a1 = vld1q_f64(p0 + 2), b0 = vld1q_f64(p1), b1 = vld1q_f64(p1 + 2);
        out[0] = vzip1q_f64(a0, b0);
        out[1] = vzip2q_f64(a0, b0);
        out[2] = vzip1q_f64(a1, b1);
        out[3] = vzip2q_f64(a1, b1);
    }

    // ---- results

    // Stores integral binary64 lanes as int64 when every lane lies within (-2^51, 2^51), where the
    // conversion is exact; false (and nothing stored) otherwise, NaN included.
    template <class Raw>
    static bool store_small_integers(Raw* dst, f32 integral) {
        static_assert(sizeof(Raw) == 8);
        const uint64x2_t small = vcaltq_f64(integral, vdupq_n_f64(2251799813685248.0));
        if (vminvq_u32(vreinterpretq_u32_u64(small)) == 0) return false;
        vst1q_u8(reinterpret_cast<std::uint8_t*>(dst), vreinterpretq_u8_s64(vcvtq_s64_f64(integral)));
        return true;
    }
};

}  // namespace zentrova::neon

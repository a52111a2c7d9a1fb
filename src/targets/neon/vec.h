// Four binary32 lanes in a 128-bit Advanced SIMD (NEON) register, AArch64's baseline vector
// unit. Every operation gives, lane by lane, what the portable target's one-lane type gives
// (targets/portable/vec.h), which is x86's rule where AArch64's own instruction differs:
//   min/max: b where either is NaN (FMIN and FMAX would give the NaN): a compare and a select;
//   truncation to int32: NaN and values outside int32 give INT32_MIN (FCVTZS saturates and gives
//     0 for NaN): a compare and a select after the conversion;
//   select and movemask read the mask's sign bit.
// The rest is one instruction each: IEEE arithmetic rounded to nearest (FPCR's default, which
// nothing here changes), FMLA and FMLS fused as written, FRINTM/FRINTZ keeping the sign of a
// zero and quieting a NaN, FCVTL/FCVTN for float16 (F16C's results, NaNs included).
#pragma once

#include <arm_neon.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/view.h"

namespace zentrova::neon {

// The bits of a T at p, which need not be aligned for T.
template <class T, class U>
inline T load_bits(const U* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Four narrow elements, packed in a 32- or 64-bit integer lane by lane, widened to binary32:
// integers exactly, float16 bit patterns as FCVTL converts them.
inline float32x4_t widen4(const std::uint8_t*, std::uint32_t q) {
    return vcvtq_f32_u32(vmovl_u16(vget_low_u16(vmovl_u8(vcreate_u8(q)))));
}
inline float32x4_t widen4(const std::int8_t*, std::uint32_t q) {
    return vcvtq_f32_s32(vmovl_s16(vget_low_s16(vmovl_s8(vcreate_s8(q)))));
}
inline float32x4_t widen4(const std::uint16_t*, std::uint64_t q) { return vcvt_f32_f16(vreinterpret_f16_u64(vcreate_u64(q))); }
inline float32x4_t widen4(const u16*, std::uint64_t q) { return vcvtq_f32_u32(vmovl_u16(vcreate_u16(q))); }
inline float32x4_t widen4(const std::int16_t*, std::uint64_t q) { return vcvtq_f32_s32(vmovl_s16(vcreate_s16(q))); }

struct F32x4 {
    static constexpr int kLanes = 4;
    using f32 = float32x4_t;
    using i32 = int32x4_t;

    // ---- compute lanes

    static f32 splat(float v) { return vdupq_n_f32(v); }
    // float(x0 + k) for k = 0..3, the sum in wrapping int32 (exact below 2^24, rounded to nearest above).
    static f32 lane_indices(std::uint32_t x0) {
        static constexpr std::int32_t kIndex[4] = {0, 1, 2, 3};
        return vcvtq_f32_s32(vaddq_s32(vdupq_n_s32(static_cast<std::int32_t>(x0)), vld1q_s32(kIndex)));
    }
    static f32 add(f32 a, f32 b) { return vaddq_f32(a, b); }
    static f32 sub(f32 a, f32 b) { return vsubq_f32(a, b); }
    static f32 mul(f32 a, f32 b) { return vmulq_f32(a, b); }
    static f32 div(f32 a, f32 b) { return vdivq_f32(a, b); }
    static f32 fmadd(f32 a, f32 b, f32 c) { return vfmaq_f32(c, a, b); }   // a * b + c, rounded once
    static f32 fnmadd(f32 a, f32 b, f32 c) { return vfmsq_f32(c, a, b); }  // c - a * b, rounded once
    // b where either is NaN (and for two zeros): put the value that may be NaN second to keep it.
    static f32 min(f32 a, f32 b) { return vbslq_f32(vcltq_f32(a, b), a, b); }
    static f32 max(f32 a, f32 b) { return vbslq_f32(vcgtq_f32(a, b), a, b); }
    static f32 floor(f32 a) { return vrndmq_f32(a); }
    static f32 truncate_toward_zero(f32 a) { return vrndq_f32(a); }
    // NaN and values outside int32 give INT32_MIN: |a| < 2^31 is false for them (and for -2^31,
    // which converts to INT32_MIN anyway).
    static i32 truncate(f32 a) {
        return vbslq_s32(vcaltq_f32(a, vdupq_n_f32(2147483648.0f)), vcvtq_s32_f32(a), vdupq_n_s32(INT32_MIN));
    }

    // ---- masks: all ones where the comparison holds (ordered: false for NaN)

    static i32 gt(f32 a, f32 b) { return vreinterpretq_s32_u32(vcgtq_f32(a, b)); }
    static i32 ge(f32 a, f32 b) { return vreinterpretq_s32_u32(vcgeq_f32(a, b)); }
    static i32 le(f32 a, f32 b) { return vreinterpretq_s32_u32(vcleq_f32(a, b)); }
    // mask ? a : b, by the mask's sign bit.
    static f32 select(i32 mask, f32 a, f32 b) { return vbslq_f32(vreinterpretq_u32_s32(vshrq_n_s32(mask, 31)), a, b); }
    static unsigned movemask(i32 mask) {
        static constexpr std::int32_t kShift[4] = {0, 1, 2, 3};
        const uint32x4_t sign = vshrq_n_u32(vreinterpretq_u32_s32(mask), 31);
        return vaddvq_u32(vshlq_u32(sign, vld1q_s32(kShift)));
    }

    // ---- int32 lanes (wrapping)

    static i32 splat_i(std::int32_t v) { return vdupq_n_s32(v); }
    static i32 add_i(i32 a, i32 b) { return vaddq_s32(a, b); }
    static i32 sub_i(i32 a, i32 b) { return vsubq_s32(a, b); }
    static i32 mullo_i(i32 a, i32 b) { return vmulq_s32(a, b); }
    static i32 clamp_i(i32 a, i32 lo, i32 hi) { return vminq_s32(vmaxq_s32(a, lo), hi); }
    static i32 and_i(i32 a, i32 b) { return vandq_s32(a, b); }
    static i32 andnot_i(i32 a, i32 b) { return vbicq_s32(b, a); }  // ~a & b
    static i32 or_i(i32 a, i32 b) { return vorrq_s32(a, b); }
    static i32 xor_i(i32 a, i32 b) { return veorq_s32(a, b); }
    static i32 sign_mask(i32 a) { return vshrq_n_s32(a, 31); }  // all ones where a < 0

    // ---- memory (NEON's loads and stores need no alignment)

    static f32 load(const float* lanes) { return vld1q_f32(lanes); }
    static void store(float* lanes, f32 v) { vst1q_f32(lanes, v); }
    static f32 load_unaligned(const float* p) { return vld1q_f32(p); }
    static void store_unaligned(float* dst, f32 v) { vst1q_f32(dst, v); }
    static i32 load_i(const std::int32_t* src) { return vld1q_s32(src); }
    static void store(std::int32_t* dst, i32 v) { vst1q_s32(dst, v); }
    template <class Raw>
    static void store_unaligned_i32(Raw* dst, i32 v) {
        static_assert(sizeof(Raw) == 4);
        vst1q_u8(reinterpret_cast<std::uint8_t*>(dst), vreinterpretq_u8_s32(v));
    }
    // Four binary64 coordinates, each rounded to binary32 (FCVTN: to nearest, as a C cast).
    static f32 load_coords(const double* p) { return vcvt_high_f32_f64(vcvt_f32_f64(vld1q_f64(p)), vld1q_f64(p + 2)); }

    // One element per lane, at base + start(k), widened to binary32.
    template <class Raw, class Start>
    __attribute__((always_inline)) static f32 load_singles(const Raw* base, Start start) {
        if constexpr (std::is_same_v<Raw, float>) {
            f32 v = vld1q_dup_f32(base + start(0));
            v = vld1q_lane_f32(base + start(1), v, 1);
            v = vld1q_lane_f32(base + start(2), v, 2);
            return vld1q_lane_f32(base + start(3), v, 3);
        } else {
            using Packed = std::conditional_t<sizeof(Raw) == 1, std::uint32_t, std::uint64_t>;
            Raw q[4];
            for (int k = 0; k < 4; ++k) std::memcpy(&q[k], base + start(k), sizeof(Raw));
            return widen4(base, load_bits<Packed>(q));
        }
    }
    // The pairs of neighbouring elements that start at base + start(k) for each lane k: out[0]
    // the first elements (the second where `second_only` is set), out[1] the second, as binary32.
    template <class Raw, class Start>
    __attribute__((always_inline)) static void load_pairs(const Raw* base, Start start, i32 second_only, f32* out) {
        f32 first, second;
        if constexpr (std::is_same_v<Raw, float>) {  // a 64-bit load per lane, then an unzip
            const f32 a = vcombine_f32(vld1_f32(base + start(0)), vld1_f32(base + start(1)));
            const f32 b = vcombine_f32(vld1_f32(base + start(2)), vld1_f32(base + start(3)));
            first = vuzp1q_f32(a, b);
            second = vuzp2q_f32(a, b);
        } else {
            using Packed = std::conditional_t<sizeof(Raw) == 1, std::uint32_t, std::uint64_t>;
            Raw pairs[2][4];
            for (int k = 0; k < 4; ++k) {
                Raw two[2];
                std::memcpy(two, base + start(k), sizeof two);
                pairs[0][k] = two[0];
                pairs[1][k] = two[1];
            }
            first = widen4(base, load_bits<Packed>(pairs[0]));
            second = widen4(base, load_bits<Packed>(pairs[1]));
        }
        out[0] = select(second_only, second, first);
        out[1] = second;
    }

    // ---- results

    static void narrow_store(float* dst, f32 v) { vst1q_f32(dst, v); }
    // Nearest, ties to even (FCVTN; FPCR's default rounding).
    static void narrow_store(std::uint16_t* dst, f32 v) {
        vst1_u8(reinterpret_cast<std::uint8_t*>(dst), vreinterpret_u8_f16(vcvt_f16_f32(v)));
    }
    // The low byte / low 16 bits of each lane, stored at dst (unaligned).
    template <class Raw>
    static void store_low_bytes(Raw* dst, i32 v) {
        static_assert(sizeof(Raw) == 1);
        const int16x4_t words = vmovn_s32(v);
        const std::uint32_t bytes = vget_lane_u32(vreinterpret_u32_s8(vmovn_s16(vcombine_s16(words, words))), 0);
        std::memcpy(dst, &bytes, sizeof bytes);
    }
    template <class Raw>
    static void store_low_words(Raw* dst, i32 v) {
        static_assert(sizeof(Raw) == 2);
        vst1_u8(reinterpret_cast<std::uint8_t*>(dst), vreinterpret_u8_s16(vmovn_s32(v)));
    }
};

}  // namespace zentrova::neon

// One lane of the compute type (binary32 or binary64) in plain C++ at the x86-64 baseline: the
// lane type of the portable kernels, for processors without AVX2. It offers what the resampler's
// templates ask of a lane type, and every operation gives what the x86 vector instruction it
// stands for gives, bit for bit, so that no voxel's result depends on the target:
//   truncation to int32: NaN and values outside int32 give INT32_MIN (cvttps2dq, cvttpd2dq);
//   min(a, b) = a < b ? a : b and max(a, b) = a > b ? a : b: b where either is NaN (minps, maxps);
//   floor and truncation toward zero keep the sign of a zero and quiet a NaN (roundps, roundpd);
//   float16 conversions as F16C's (simd/portable/half.h);
//   64-bit integers converted to binary64 rounded to nearest, as the AVX2 lanes' exact splitting does;
//   integer lanes wrap.
// Masks are int32 lanes of all ones or all zeros, as the vector types' are; select and movemask
// read their sign bit, as blendv and movmsk do.
//
// Compiled only into the portable kernels (ZENTROVA_ISA portable), at -march=x86-64.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "targets/portable/half.h"
#include "core/view.h"

namespace zentrova::portable {

// An int32 lane, a type of its own so that it never converts silently to or from a compute lane.
struct I32x1 {
    std::int32_t v;
};

template <class T>
struct Lane {
    static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>);
    static constexpr int kLanes = 1;
    using f32 = T;  // the compute lane (named like the vector types' for the templates)
    using i32 = I32x1;

    // ---- compute lanes

    static f32 splat(T v) { return v; }
    // The lane index x0 as an int32, converted (cvtdq2ps / cvtdq2pd).
    static f32 lane_indices(std::uint32_t x0) { return static_cast<T>(static_cast<std::int32_t>(x0)); }
    static f32 add(f32 a, f32 b) { return a + b; }
    static f32 sub(f32 a, f32 b) { return a - b; }
    static f32 mul(f32 a, f32 b) { return a * b; }
    static f32 fmadd(f32 a, f32 b, f32 c) { return std::fma(a, b, c); }  // correctly rounded without FMA too
    static f32 div(f32 a, f32 b) { return a / b; }
    // b where either is NaN (and for two zeros): put the value that may be NaN second to keep it.
    static f32 min(f32 a, f32 b) { return a < b ? a : b; }
    static f32 max(f32 a, f32 b) { return a > b ? a : b; }

    // From this magnitude on every value is an integer (or infinite, or NaN).
    static constexpr T kIntegral = std::is_same_v<T, float> ? T(8388608.0) : T(4503599627370496.0);

    static f32 floor(f32 a) {
        if (!(a > -kIntegral && a < kIntegral)) return a == a ? a : a + a;  // a NaN comes out quiet
        T t = static_cast<T>(static_cast<std::int64_t>(a));  // toward zero: above a negative a
        if (t > a) t = t - T(1);
        return t == T(0) ? std::copysign(T(0), a) : t;  // floor(-0) = -0
    }
    static f32 truncate_toward_zero(f32 a) {
        if (!(a > -kIntegral && a < kIntegral)) return a == a ? a : a + a;
        const T t = static_cast<T>(static_cast<std::int64_t>(a));
        return t == T(0) ? std::copysign(T(0), a) : t;  // -0.5 gives -0
    }
    // NaN and values outside int32 give INT32_MIN (the "integer indefinite"); the test is exact in
    // binary32 too, and whatever lies between -2^31 - 1 and -2^31 truncates to INT32_MIN anyway.
    static i32 truncate(f32 a) {
        return {a >= T(-2147483648.0) && a < T(2147483648.0) ? static_cast<std::int32_t>(a) : INT32_MIN};
    }

    // All ones where the comparison holds (ordered: false for NaN).
    static i32 gt(f32 a, f32 b) { return {a > b ? -1 : 0}; }
    static i32 ge(f32 a, f32 b) { return {a >= b ? -1 : 0}; }
    static i32 le(f32 a, f32 b) { return {a <= b ? -1 : 0}; }
    // mask ? a : b, by the mask's sign bit.
    static f32 select(i32 mask, f32 a, f32 b) { return mask.v < 0 ? a : b; }
    static unsigned movemask(i32 mask) { return mask.v < 0 ? 1u : 0u; }

    // ---- int32 lanes (wrapping)

    static i32 splat_i(std::int32_t v) { return {v}; }
    static i32 add_i(i32 a, i32 b) { return {wrap(static_cast<std::uint32_t>(a.v) + static_cast<std::uint32_t>(b.v))}; }
    static i32 sub_i(i32 a, i32 b) { return {wrap(static_cast<std::uint32_t>(a.v) - static_cast<std::uint32_t>(b.v))}; }
    static i32 clamp_i(i32 a, i32 lo, i32 hi) { return {a.v < lo.v ? lo.v : (a.v > hi.v ? hi.v : a.v)}; }
    static i32 mullo_i(i32 a, i32 b) { return {wrap(static_cast<std::uint32_t>(a.v) * static_cast<std::uint32_t>(b.v))}; }
    static i32 and_i(i32 a, i32 b) { return {a.v & b.v}; }
    static i32 andnot_i(i32 a, i32 b) { return {~a.v & b.v}; }  // ~a & b
    static i32 or_i(i32 a, i32 b) { return {a.v | b.v}; }
    static i32 xor_i(i32 a, i32 b) { return {a.v ^ b.v}; }
    static i32 sign_mask(i32 a) { return {a.v < 0 ? -1 : 0}; }  // all ones where a < 0
    static std::int32_t wrap(std::uint32_t u) { return static_cast<std::int32_t>(u); }

    // ---- memory

    static f32 load(const T* lanes) { return *lanes; }
    static void store(T* lanes, f32 v) { *lanes = v; }
    static i32 load_i(const std::int32_t* src) { return {*src}; }
    static void store(std::int32_t* dst, i32 v) { *dst = v.v; }
    static f32 load_unaligned(const T* p) { return bits<T>(p); }
    static void store_unaligned(T* dst, f32 v) { std::memcpy(dst, &v, sizeof v); }
    template <class Raw>
    static void store_unaligned_i32(Raw* dst, i32 v) {
        static_assert(sizeof(Raw) == 4);
        std::memcpy(dst, &v.v, sizeof v.v);
    }
    // A binary64 coordinate rounded to the compute type (cvtpd2ps for binary32).
    static f32 load_coords(const double* p) { return static_cast<T>(*p); }

    // The bits of a U at p, which need not be aligned for U.
    template <class U, class P>
    static U bits(const P* p) {
        U v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }

    // An element widened to the compute type as the vector types widen it: exactly, but for
    // 64-bit integers into binary64, rounded to nearest.
    template <class Raw>
    static f32 widen(Raw v) {
        if constexpr (std::is_same_v<Raw, std::uint16_t>)  // binary16 bit patterns
            return static_cast<T>(half_to_binary32(v));
        else if constexpr (std::is_same_v<Raw, u16>)
            return static_cast<T>(static_cast<std::uint16_t>(v));
        else
            return static_cast<T>(v);
    }
    // The element at base + start(0).
    template <class Raw, class Start>
    static f32 load_singles(const Raw* base, Start start) {
        return widen(bits<Raw>(base + start(0)));
    }
    // The pair of neighbouring elements at base + start(0): out[0] the first (the second where
    // `second_only` is set), out[1] the second.
    template <class Raw, class Start>
    static void load_pairs(const Raw* base, Start start, i32 second_only, f32* out) {
        const Raw* q = base + start(0);
        const f32 second = widen(bits<Raw>(q + 1));
        out[0] = second_only.v < 0 ? second : widen(bits<Raw>(q));
        out[1] = second;
    }

    // ---- results

    static void narrow_store(float* dst, f32 v) {
        static_assert(std::is_same_v<T, float>);
        std::memcpy(dst, &v, sizeof v);
    }
    // Nearest, ties to even.
    static void narrow_store(std::uint16_t* dst, f32 v) {
        static_assert(std::is_same_v<T, float>);
        const std::uint16_t h = binary32_to_half(v);
        std::memcpy(dst, &h, sizeof h);
    }
    // The low byte / low 16 bits of the lane.
    template <class Raw>
    static void store_low_bytes(Raw* dst, i32 v) {
        static_assert(sizeof(Raw) == 1);
        const auto low = static_cast<std::uint8_t>(static_cast<std::uint32_t>(v.v));
        std::memcpy(dst, &low, 1);
    }
    template <class Raw>
    static void store_low_words(Raw* dst, i32 v) {
        static_assert(sizeof(Raw) == 2);
        const auto low = static_cast<std::uint16_t>(static_cast<std::uint32_t>(v.v));
        std::memcpy(dst, &low, 2);
    }
    // Stores an integral binary64 lane as int64 when it lies within (-2^51, 2^51), as the AVX2
    // lanes' exact conversion does; false (and nothing stored) otherwise, NaN included.
    template <class Raw>
    static bool store_small_integers(Raw* dst, f32 integral) {
        static_assert(std::is_same_v<T, double> && sizeof(Raw) == 8);
        if (!(std::fabs(integral) < 2251799813685248.0)) return false;
        const auto v = static_cast<std::int64_t>(integral);
        std::memcpy(dst, &v, sizeof v);
        return true;
    }
};

// The lane types of the two compute types.
using F32x1 = Lane<float>;
using F64x1 = Lane<double>;

}  // namespace zentrova::portable

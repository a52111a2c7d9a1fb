// Element types of the resampler: how a stored value is widened to the compute
// type and how a result is stored back, with scipy.ndimage's rounding:
//   float:    rounded to nearest, ties to even;
//   unsigned: t > 0 ? t + 0.5 : 0, clamped to [0, MAX], truncated (half up);
//   signed:   t > 0 ? t + 0.5 : t - 0.5, clamped to [MIN, MAX], truncated
//             (half away from zero);
// each step in the compute type. A NaN gives what scipy's C cast gives on this
// processor (scalar.h): INT_MIN's low bits on x86-64 (0 for 8- and 16-bit
// types), 0 on AArch64. The 64-bit types saturate at their limits (2^63 and
// more give INT64_MAX, 2^64 and more UINT64_MAX), where x86's conversion would
// wrap (AArch64's saturates there too).
//
// A value computed in binary64 may also be stored into a binary32 type (an
// input of a wide type resampled into a narrow output): `from_binary64` applies
// the same rules in binary64, and rounds to float16 once, as NumPy does. bool
// has no kernel of its own (a bool input is computed in binary64); a value is
// stored into it as scipy stores one (a C cast to NumPy's byte-sized bool: the
// low byte of the truncated value, scalar::to_byte), as 0 or 1 by whether that
// byte is nonzero, so that no byte other than 0 and 1 ever lands in a bool
// array. So on x86-64 it is true where the value is at least 1 in magnitude
// (below 256), on AArch64 where it is at least 1 (2^32 and above too); false for
// NaN.
//
// Binary32 types (8- and 16-bit integers, float16, float32) are computed in
// binary32, the others in binary64. Both are stored by vector code (`store`, L
// lanes at a time); the 64-bit integer types fall back to one lane at a time
// (`narrow`) for blocks with values beyond 2^51 in magnitude.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/view.h"
#ifdef __F16C__
#include <immintrin.h>
#else
#include "targets/portable/half.h"
#endif
#include "core/scalar.h"

#ifndef ZENTROVA_ISA
#error "define ZENTROVA_ISA (the instruction-set namespace) before including this header"
#endif

namespace zentrova::ZENTROVA_ISA::resample {

template <class Raw>
inline Raw load_raw(const Raw* p) {
    Raw v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// ---- binary32 compute -------------------------------------------------------

// Rounds and clamps t as the integer rules above say, in binary32 lanes, and
// returns the truncated int32 lanes. The operand order of min/max lets a NaN
// through to the truncation, the one value left outside [lo, hi]: V::truncate
// gives INT32_MIN for it (x86's rule, every target's), where AArch64's C cast
// gives 0 (scalar.h), so there the NaN lanes become 0 first.
template <class V, class T>
typename V::i32 round_clamp(typename V::f32 t, T lo, T hi, bool is_signed) {
    const typename V::f32 half = V::splat(T(0.5));
    const typename V::i32 positive = V::gt(t, V::splat(T(0)));
    const typename V::f32 below = is_signed ? V::sub(t, half) : V::splat(T(0));
    typename V::f32 r = V::select(positive, V::add(t, half), below);
    r = V::min(V::splat(hi), r);
    r = V::max(V::splat(lo), r);
    if constexpr (scalar::kConversionSaturates) r = V::select(V::le(r, V::splat(hi)), r, V::splat(T(0)));
    return V::truncate(r);
}

// t rounded to binary32 to odd: the nearer of the two neighbours toward zero
// when inexact, with its last bit set. Rounded again to a format at least two
// bits shorter, it gives the correctly rounded result of t in that format.
inline float to_binary32_odd(double t) {
    float f = static_cast<float>(t);
    if (!(t == t) || static_cast<double>(f) == t) return f;
    if (std::fabs(static_cast<double>(f)) > std::fabs(t)) f = std::nextafter(f, 0.0f);
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    b |= 1u;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

// The integer rule in binary64 for the binary32 family's integer types: NaN
// passes the clamps and converts to INT32_MIN (x86) or 0 (AArch64), whose low
// bits are 0 either way.
template <class Raw>
inline Raw narrow_small_int(double t, double lo, double hi, bool is_signed) {
    double r = t > 0.0 ? t + 0.5 : (is_signed ? t - 0.5 : 0.0);
    if (r > hi) r = hi;
    if (r < lo) r = lo;
    return static_cast<Raw>(static_cast<std::uint32_t>(scalar::to_int32(r)));
}

struct F32 {
    using raw = float;
    using compute = float;
    static float widen(float v) { return v; }
    static float from_binary64(double t) { return static_cast<float>(t); }
    template <class V>
    static void store(float* dst, typename V::f32 t) {
        V::narrow_store(dst, t);
    }
};

// binary16 <-> binary32 one value at a time: F16C's instructions where the target has them (the
// AVX2 and AVX-512 kernels), the same results in integer arithmetic at the x86-64 baseline (the
// portable kernels).
#ifdef __F16C__
inline float half_to_binary32(std::uint16_t h) { return _cvtsh_ss(h); }
inline std::uint16_t binary32_to_half(float f) {
    return static_cast<std::uint16_t>(_cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT));
}
#else
inline float half_to_binary32(std::uint16_t h) { return ::zentrova::portable::half_to_binary32(h); }
inline std::uint16_t binary32_to_half(float f) { return ::zentrova::portable::binary32_to_half(f); }
#endif

struct F16 {  // binary16 bit patterns
    using raw = std::uint16_t;
    using compute = float;
    static float widen(std::uint16_t v) { return half_to_binary32(v); }
    static std::uint16_t from_binary64(double t) { return binary32_to_half(to_binary32_odd(t)); }
    template <class V>
    static void store(std::uint16_t* dst, typename V::f32 t) {
        V::narrow_store(dst, t);  // nearest, ties to even
    }
};

template <class Raw, std::int32_t kMin, std::int32_t kMax>
struct SmallInt {
    using raw = Raw;
    using compute = float;
    static float widen(Raw v) {
        if constexpr (sizeof(Raw) == 2 && !std::is_signed_v<Raw>)
            return static_cast<float>(static_cast<std::uint16_t>(v));
        else
            return static_cast<float>(v);
    }
    static Raw from_binary64(double t) { return narrow_small_int<Raw>(t, kMin, kMax, kMin < 0); }
    template <class V>
    static void store(Raw* dst, typename V::f32 t) {
        const typename V::i32 lanes =
            round_clamp<V>(t, static_cast<float>(kMin), static_cast<float>(kMax), kMin < 0);
        if constexpr (sizeof(Raw) == 1)
            V::store_low_bytes(dst, lanes);
        else
            V::store_low_words(dst, lanes);
    }
};

using U8 = SmallInt<std::uint8_t, 0, 255>;
using I8 = SmallInt<std::int8_t, -128, 127>;
using U16 = SmallInt<u16, 0, 65535>;
using I16 = SmallInt<std::int16_t, -32768, 32767>;

// ---- binary64 compute -------------------------------------------------------

inline double round_half(double t, bool is_signed) {
    return t > 0.0 ? t + 0.5 : (is_signed ? t - 0.5 : 0.0);
}

// Stores binary64 lanes one element at a time with E::narrow.
template <class E>
struct NarrowLanes {
    template <class V, class Raw>
    static void store(Raw* dst, typename V::f32 t) {
        alignas(64) double lanes[V::kLanes];
        V::store(lanes, t);
        for (int k = 0; k < V::kLanes; ++k) {
            const Raw r = E::narrow(lanes[k]);
            std::memcpy(dst + k, &r, sizeof r);
        }
    }
};

struct F64 {
    using raw = double;
    using compute = double;
    static double from_binary64(double t) { return narrow(t); }
    static double widen(double v) { return v; }
    static double narrow(double t) { return t; }
    template <class V>
    static void store(double* dst, typename V::f32 t) {
        V::store_unaligned(dst, t);
    }
};

struct I32 {
    using raw = std::int32_t;
    using compute = double;
    static std::int32_t from_binary64(double t) { return narrow(t); }
    static double widen(std::int32_t v) { return v; }
    static std::int32_t narrow(double t) {
        double r = round_half(t, true);
        if (r > 2147483647.0) r = 2147483647.0;
        if (r < -2147483648.0) r = -2147483648.0;
        return scalar::to_int32(r);  // NaN -> INT32_MIN on x86-64, 0 on AArch64
    }
    // The same in binary64 lanes, without a branch.
    template <class V>
    static void store(std::int32_t* dst, typename V::f32 t) {
        V::store_unaligned_i32(dst, round_clamp<V>(t, -2147483648.0, 2147483647.0, true));
    }
};

struct U32 {
    using raw = std::uint32_t;
    using compute = double;
    static std::uint32_t from_binary64(double t) { return narrow(t); }
    static double widen(std::uint32_t v) { return v; }
    static std::uint32_t narrow(double t) {
        double r = round_half(t, false);
        if (r > 4294967295.0) r = 4294967295.0;
        return static_cast<std::uint32_t>(scalar::to_index(r));
    }
    // In lanes: the truncation (a floor, r >= 0) shifted by 2^31 into the int32
    // range, converted exactly, and the sign bit flipped back.
    template <class V>
    static void store(std::uint32_t* dst, typename V::f32 t) {
        const typename V::f32 half = V::splat(0.5), zero = V::splat(0.0);
        typename V::f32 r = V::select(V::gt(t, zero), V::add(t, half), zero);
        r = V::min(V::splat(4294967295.0), r);
        const typename V::i32 shifted = V::truncate(V::sub(V::floor(r), V::splat(2147483648.0)));
        V::store_unaligned_i32(dst, V::xor_i(shifted, V::splat_i(INT32_MIN)));
    }
};

// The 64-bit types in lanes: rounded half away from zero (signed) or half up
// (unsigned), truncated, and stored by the vector type while every lane is
// small enough to convert exactly that way; lane by lane otherwise.
template <class E, bool kSigned>
struct WideLanes {
    template <class V, class Raw>
    static void store(Raw* dst, typename V::f32 t) {
        const typename V::f32 half = V::splat(0.5), zero = V::splat(0.0);
        const typename V::f32 below = kSigned ? V::sub(t, half) : zero;
        const typename V::f32 r = V::select(V::gt(t, zero), V::add(t, half), below);
        if (!V::store_small_integers(dst, V::truncate_toward_zero(r))) NarrowLanes<E>::template store<V>(dst, t);
    }
};

struct I64 : WideLanes<I64, true> {
    using raw = std::int64_t;
    using compute = double;
    static std::int64_t from_binary64(double t) { return narrow(t); }
    static double widen(std::int64_t v) { return static_cast<double>(v); }
    static std::int64_t narrow(double t) {
        const double r = round_half(t, true);
        if (r >= 9223372036854775808.0) return INT64_MAX;
        return scalar::to_index(r);  // below -2^63 -> INT64_MIN; NaN -> INT64_MIN on x86-64, 0 on AArch64
    }
};

struct U64 : WideLanes<U64, false> {
    using raw = std::uint64_t;
    using compute = double;
    static std::uint64_t from_binary64(double t) { return narrow(t); }
    static double widen(std::uint64_t v) { return static_cast<double>(v); }
    static std::uint64_t narrow(double t) {
        const double r = round_half(t, false);
        if (r >= 18446744073709551616.0) return UINT64_MAX;
        if (r >= 9223372036854775808.0)
            return static_cast<std::uint64_t>(scalar::to_index(r - 9223372036854775808.0)) +
                   (std::uint64_t{1} << 63);
        return static_cast<std::uint64_t>(scalar::to_index(r));
    }
};

// ---- order 0 of the binary32 family --------------------------------------

// An order-0 result is a copy of one sample (or cval): the compute type
// decides only which sample. scipy picks it from a binary64 coordinate; a
// binary32 one may round a coordinate just below a .5 tie onto it (4.4999999
// becomes 4.5) and pick the next sample, which relabels voxels of a label map.
// Nearest64<E> is E computed in binary64: E's elements read and written, each
// value stored by E's binary64 rule (a sample exactly, cval rounded once, as
// scipy rounds it). The binary32 family's order 0 takes its decisions in it
// wherever binary32 cannot be sure to take scipy's (VectorRows::Exact), and
// its samples at given points.
template <class E>
struct Nearest64 : NarrowLanes<Nearest64<E>> {
    using raw = typename E::raw;
    using compute = double;
    static double widen(raw v) { return static_cast<double>(E::widen(v)); }
    static raw from_binary64(double t) { return E::from_binary64(t); }
    static raw narrow(double t) { return E::from_binary64(t); }
};

struct Bool {
    using raw = std::uint8_t;
    using compute = double;
    static std::uint8_t from_binary64(double t) {
        return scalar::to_byte(t) != 0 ? 1 : 0;
    }
};

}  // namespace zentrova::ZENTROVA_ISA::resample

// scipy.ndimage's scalar rules, in its names and its order of operations, to
// be read beside its ni_interpolation.c and ni_splines.c: where a coordinate's
// footprint starts, the B-spline weights, the border modes' mapping of
// coordinates and indices, the prefilter's poles, and the value of one output
// point from the coordinates along every axis (the sampler that every path
// of the kernels falls back to, and that computes scattered points outright).
// Plain C++ in the compute type T (binary32 or binary64), no lanes: the
// vector code in rows.h repeats these operations lane by lane, and its tests
// hold both to the same bits.
//
// Each target compiles its own copy (ZENTROVA_ISA names its namespace), so
// that code built for one instruction set never calls a copy built for another.
#pragma once

#include <cmath>
#include <cstdint>

#include "core/call.h"

#ifndef ZENTROVA_ISA
#error "define ZENTROVA_ISA (the instruction-set namespace) before including this header"
#endif

namespace zentrova::ZENTROVA_ISA::scalar {

// The highest interpolation order (scipy's: quintic B-splines).
inline constexpr int kMaxOrder = 5;

// scipy converts coordinates to indices and results to integer elements with C
// casts, which C leaves undefined for NaN and values outside the integer's range:
// what scipy computes there is what the processor's conversion instruction gives,
// and results are to equal scipy's on each processor. So the conversions below
// are the C cast as this processor does it, written out (a cast of such a value
// in C++ would be undefined here too):
//   x86-64 (cvttsd2si): NaN and values outside the range give the integer's
//     minimum, the "integer indefinite";
//   AArch64 (fcvtzs, fcvtzu): values outside the range saturate to the nearer
//     limit, NaN gives 0.
// In range, both truncate toward zero. Every target of a build uses these, so the
// targets agree on each processor. (The lanes' own truncation, V::truncate, keeps
// the x86 rule everywhere: it feeds index arithmetic whose out-of-range lanes go
// to the one-voxel path, and no result depends on it but through the stores in
// elements.h, which follow the rule here.)
#if defined(__x86_64__)
inline constexpr bool kConversionSaturates = false;
#elif defined(__aarch64__)
inline constexpr bool kConversionSaturates = true;
#else
#error "the conversion rule of this processor's C casts is not written down (scalar.h)"
#endif

// (int64)x: truncation toward zero.
template <class T>
inline std::int64_t to_index(T x) {
    if (x >= T(-9223372036854775808.0) && x < T(9223372036854775808.0)) return static_cast<std::int64_t>(x);
    if constexpr (kConversionSaturates) return x != x ? 0 : (x > T(0) ? INT64_MAX : INT64_MIN);
    return INT64_MIN;
}

// (int32)x, the same into int32.
inline std::int32_t to_int32(double x) {
    if (x > -2147483649.0 && x < 2147483648.0) return static_cast<std::int32_t>(x);
    if constexpr (kConversionSaturates) return x != x ? 0 : (x > 0.0 ? INT32_MAX : INT32_MIN);
    return INT32_MIN;
}

// (unsigned char)x, the C cast into a byte (NumPy's bool is one): the low byte of
// the conversion into 32 bits, int32 on x86-64 (NaN and values outside int32 give
// 0, the low byte of INT32_MIN), uint32 on AArch64 (negative values and NaN give
// 0, 2^32 and above 255).
inline std::uint8_t to_byte(double x) {
    if constexpr (kConversionSaturates) {
        if (!(x > -1.0)) return 0;  // NaN too
        if (x >= 4294967296.0) return 0xFF;
        return static_cast<std::uint8_t>(static_cast<std::uint32_t>(x));
    }
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(to_int32(x)));
}

// Products that may overflow for absurd coordinates wrap instead of being
// undefined (the result is then NaN or cval anyway).
inline std::int64_t wrap_mul(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

// The first sample of the footprint of a (mapped) coordinate x: scipy's
// floor(x) - order / 2 for odd orders, floor(x + 0.5) - order / 2 for even
// ones (order 0: the nearest sample).
template <class T>
inline std::int64_t footprint_start(T x, int order) {
    const std::int64_t s = (order & 1) ? to_index(std::floor(x)) : to_index(std::floor(x + T(0.5)));
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(s) - static_cast<std::uint64_t>(order / 2));
}

// The weights of the order + 1 samples of the footprint of x (order 1 to 5):
// scipy's B-spline expressions (get_spline_interpolation_weights), operation
// for operation, in T; the last weight is 1 minus the others, subtracted one
// by one.
template <class T>
inline void get_spline_interpolation_weights(T x, int order, T* w) {
    x = x - std::floor((order & 1) ? x : x + T(0.5));  // the offset from the middle knot
    T y = x, z = T(1) - x, t;
    switch (order) {
        case 1:
            w[0] = T(1) - x;
            break;
        case 2:
            w[1] = T(0.75) - x * x;
            y = T(0.5) - x;
            w[0] = T(0.5) * y * y;
            break;
        case 3:
            w[1] = (y * y * (y - T(2)) * T(3) + T(4)) / T(6);
            w[2] = (z * z * (z - T(2)) * T(3) + T(4)) / T(6);
            w[0] = z * z * z / T(6);
            break;
        case 4:
            t = x * x;
            w[2] = t * (t * T(0.25) - T(0.625)) + T(115.0 / 192.0);
            y = T(1) + x;
            w[1] = y * (y * (y * (T(5) - y) / T(6) - T(1.25)) + T(5.0 / 24.0)) + T(55.0 / 96.0);
            w[3] = z * (z * (z * (T(5) - z) / T(6) - T(1.25)) + T(5.0 / 24.0)) + T(55.0 / 96.0);
            y = T(0.5) - x;
            t = y * y;
            w[0] = t * t / T(24);
            break;
        default:  // 5
            t = y * y;
            w[2] = t * (t * (T(0.25) - y / T(12)) - T(0.5)) + T(0.55);
            t = z * z;
            w[3] = t * (t * (T(0.25) - z / T(12)) - T(0.5)) + T(0.55);
            y = y + T(1);
            w[1] = y * (y * (y * (y * (y / T(24) - T(0.375)) + T(1.25)) - T(1.75)) + T(0.625)) + T(0.425);
            z = z + T(1);
            w[4] = z * (z * (z * (z * (z / T(24) - T(0.375)) + T(1.25)) - T(1.75)) + T(0.625)) + T(0.425);
            y = T(1) - x;
            t = y * y;
            w[0] = y * t * t / T(120);
            break;
    }
    w[order] = T(1);
    for (int i = 0; i < order; ++i) w[order] = w[order] - w[i];
}

// The coordinate mapped into the input by the border mode (only where it lies
// outside [0, n - 1]). 'constant' gives -1 there, which makes the voxel cval.
template <class T>
T map_coordinate(T x, std::int64_t n, Mode mode) {
    const bool lo = x < T(0), hi = x > T(n - 1);
    if (!lo && !hi) return x;  // also NaN
    switch (mode) {
        case Mode::kNearest:
            return lo ? T(0) : T(n - 1);
        case Mode::kConstant:
        case Mode::kGridConstant:
            return T(-1);
        default:
            break;
    }
    if (n <= 1) return T(0);
    switch (mode) {
        case Mode::kMirror: {
            const std::int64_t s2 = 2 * n - 2;
            if (lo) {
                x = T(wrap_mul(s2, to_index(-x / T(s2)))) + x;
                return x <= T(1 - n) ? x + T(s2) : -x;
            }
            x = x - T(wrap_mul(s2, to_index(x / T(s2))));
            return x >= T(n) ? T(s2) - x : x;
        }
        case Mode::kReflect: {
            const std::int64_t s2 = 2 * n;
            if (lo) {
                if (x < T(-s2)) x = T(wrap_mul(s2, to_index(-x / T(s2)))) + x;
                // A tiny negative x must not land exactly on -1 (cval): the
                // smallest step that survives "- 1" in T.
                const T tiny = sizeof(T) == 4 ? T(5.9604644775390625e-08) : T(1e-15);
                return x < T(-n) ? x + T(s2) : (x > -tiny ? tiny : -x) - T(1);
            }
            x = x - T(wrap_mul(s2, to_index(x / T(s2))));
            return x >= T(n) ? (T(s2) - x) - T(1) : x;
        }
        case Mode::kWrap: {
            const std::int64_t sz = n - 1;
            if (lo) return x + T(wrap_mul(sz, to_index(-x / T(sz)) + 1));
            return x - T(wrap_mul(sz, to_index(x / T(sz))));
        }
        case Mode::kGridWrap: {
            if (lo) return x + T(wrap_mul(n, to_index((T(-1) - x) / T(n)) + 1));
            return x - T(wrap_mul(n, to_index(x / T(n))));
        }
        default:
            return x;
    }
}

// Whether the border mode maps a coordinate outside the input back inside it
// (the mirroring and wrapping modes): the vector blocks then sample there too.
inline bool folds(Mode mode) {
    return mode == Mode::kMirror || mode == Mode::kReflect || mode == Mode::kWrap || mode == Mode::kGridWrap;
}

// A corner index mapped into [0, n) ('constant' and 'wrap' corners use the
// mirror rule: only zero-weight corners reach it), through the binary64
// coordinate mapping as scipy does it: exact for any index a real coordinate
// gives, and scipy's index for the absurd ones (INT64_MIN from a coordinate
// beyond the int64 range, with 'nearest' or the wrapping modes).
inline std::int64_t map_index(std::int64_t i, std::int64_t n, Mode mode) {
    if (i >= 0 && i < n) return i;
    const Mode spline = (mode == Mode::kConstant || mode == Mode::kWrap) ? Mode::kMirror : mode;
    const std::int64_t r = to_index(map_coordinate(static_cast<double>(i), n, spline));
    // Only an index far beyond the int64 range (whose products wrap) lands
    // outside; it reads the nearest end, never outside the input.
    return r < 0 ? 0 : (r >= n ? n - 1 : r);
}

// Coordinate along input axis r, for one axis of a separable call.
template <class T>
inline T separable_coordinate(T k, T shift, T zoom, bool grid_mode) {
    const T x = k + shift;
    return grid_mode ? ((x + T(0.5)) * zoom) - T(0.5) : x * zoom;
}

// The poles of the B-spline of an order (2 to 5), scipy's values
// (get_filter_poles); the number of them (order / 2).
inline int get_filter_poles(int order, double poles[2]) {
    switch (order) {
        case 2: poles[0] = -0.171572875253809902396622551580603843; return 1;
        case 3: poles[0] = -0.267949192431122706472553658494127633; return 1;
        case 4:
            poles[0] = -0.361341225900220177092212841325675255;
            poles[1] = -0.013725429297339121360331226939128204;
            return 2;
        case 5:
            poles[0] = -0.430575347099973791851434783493520110;
            poles[1] = -0.043096288203264653822712376822550182;
            return 2;
        default: return 0;
    }
}

// The gain that scipy's filter multiplies every sample by before its poles.
inline double filter_gain(const double* poles, int npoles) {
    double gain = 1.0;
    for (int k = 0; k < npoles; ++k) gain *= (1.0 - poles[k]) * (1.0 - 1.0 / poles[k]);
    return gain;
}

// ---- one point -------------------------------------------------------------

// The array one point is sampled from: `ndim` axes of lengths n, of which the
// box [lo, hi) along each is in memory (element `lo` first, strides in
// elements, any sign). The axes before `first` are not interpolated: their
// coordinate is an exact index (a batch axis). `pad` is added to the
// coordinate of every interpolated axis once it is computed: the
// coefficients of orders 2 to 5 may lie in an array padded by that many
// samples (scipy's prepadding for 'nearest' and 'grid-constant').
template <class T>
struct Grid {
    int ndim;
    int first;
    int order;  // 0 to 5
    Mode mode;
    T cval;
    T pad;
    const std::int64_t* n;
    const std::int64_t* lo;
    const std::int64_t* hi;
    const std::int64_t* stride;
};

// The value at coordinates c (one per axis), as scipy's NI_GeometricTransform
// computes an output point: per interpolated axis, the coordinate mapped by
// the border mode (cval outright where 'constant' says so), the footprint's
// samples mapped again, and its weights; then the sum over the footprint in C
// order (the last axis fastest), each sample weighted axis after axis:
// t = t + ((v * w_0) * w_1) * ..., every operation rounded in T. binary32 sums
// orders 2 to 5 factored instead (kFactoredSum). `load(offset)` reads the
// element `offset` elements from the box's first, widened to T. False when a
// sample it needed lies outside the box.
// Orders 2 to 5 in binary32 sum the footprint factored: per x corner j,
// s_j = fma(P, v, s_j) over the other corners in C order (P the product of
// their weights, ((w_0 * w_1) * ...), 1 when x is the only axis), then
// t = fma(w_x[j], s_j, t) over j, both sums from 0. That is 1 fused operation
// a sample where scipy's order takes 3 products and a sum (order 3 in 3-D: 64
// samples a voxel), and it rounds less often; scipy computes in binary64, so
// binary32 results are within rounding of it either way. binary64 keeps
// scipy's order, and its bits.
template <class T>
inline constexpr bool kFactoredSum = sizeof(T) == 4;

// kAxes: the number of axes when the caller knows it at compile time (the
// rows' three), which sizes the scratch and unrolls the loops over axes; 0
// for any (up to kMaxPointAxes, g.ndim).
template <int kAxes = 0, class T, class Load>
bool sample_point(const Grid<T>& g, const T* c, Load&& load, T* out) {
    constexpr int kMax = kAxes > 0 ? kAxes : kMaxPointAxes;
    const int ndim = kAxes > 0 ? kAxes : g.ndim;
    // Per axis and footprint sample: the offset of its index in the box, and
    // whether it reads cval ('grid-constant' outside the input) or lies outside
    // the box (an index from a NaN too); cval wins, as scipy reads no sample there.
    enum : unsigned char { kRead = 0, kCval = 1, kOutside = 2 };
    std::int64_t offset[kMax][kMaxOrder + 1];
    unsigned char flag[kMax][kMaxOrder + 1];
    T w[kMax][kMaxOrder + 1];
    int count[kMax];
    const int corners = g.order + 1;
    for (int a = 0; a < ndim; ++a) {
        std::int64_t idx[kMaxOrder + 1];
        bool use_cval[kMaxOrder + 1] = {};
        if (a < g.first) {  // an exact index
            idx[0] = to_index(c[a]);
            count[a] = 1;
        } else {
            T x = g.pad != T(0) ? c[a] + g.pad : c[a];
            if (g.mode != Mode::kNearest && g.mode != Mode::kGridConstant) {
                x = map_coordinate(x, g.n[a], g.mode);
                if (!(x > T(-1))) {
                    *out = g.cval;
                    return true;
                }
            }
            const std::int64_t start = footprint_start(x, g.order);
            for (int j = 0; j < corners; ++j) {
                const std::int64_t i = static_cast<std::int64_t>(static_cast<std::uint64_t>(start) + j);
                if (g.mode == Mode::kGridConstant) {
                    use_cval[j] = i < 0 || i >= g.n[a];
                    idx[j] = use_cval[j] ? g.lo[a] : i;
                } else {
                    idx[j] = map_index(i, g.n[a], g.mode);
                }
            }
            if (g.order > 0) get_spline_interpolation_weights(x, g.order, w[a]);
            count[a] = corners;
        }
        for (int j = 0; j < count[a]; ++j) {
            const bool inside = idx[j] >= g.lo[a] && idx[j] < g.hi[a];
            flag[a][j] = use_cval[j] ? kCval : (inside ? kRead : kOutside);
            // Only an inside one is read; the others may be absurd.
            offset[a][j] = inside ? (idx[j] - g.lo[a]) * g.stride[a] : 0;
        }
    }
    // The footprint in C order: an odometer over the axes before the last, the
    // last axis's samples innermost.
    const int last = ndim - 1;
    const bool factored = kFactoredSum<T> && g.order > 1;
    int j[kMax] = {};
    T t = T(0);
    T s[kMaxOrder + 1] = {};
    while (true) {
        unsigned row_flag = kRead;
        std::int64_t row = 0;
        for (int a = 0; a < last; ++a) {
            row_flag |= flag[a][j[a]];
            row += offset[a][j[a]];
        }
        // The product of the other axes' weights in order (1 when the last axis is the only one).
        T lead = T(1);
        if (factored && g.first < last) {
            lead = w[g.first][j[g.first]];
            for (int a = g.first + 1; a < last; ++a) lead = lead * w[a][j[a]];
        }
        for (int k = 0; k < count[last]; ++k) {
            const unsigned f = row_flag | flag[last][k];
            T v;
            if (f & kCval) {
                v = g.cval;
            } else {
                if (f != kRead) return false;
                v = load(row + offset[last][k]);
            }
            if (factored) {
                s[k] = std::fma(lead, v, s[k]);
            } else {
                if (g.order > 0) {
                    for (int a = g.first; a < last; ++a) v = v * w[a][j[a]];
                    v = v * w[last][k];
                }
                t = t + v;
            }
        }
        int a = last - 1;
        while (a >= 0 && ++j[a] == count[a]) j[a--] = 0;
        if (a < 0) break;
    }
    if (factored)
        for (int k = 0; k < corners; ++k) t = std::fma(w[last][k], s[k], t);
    *out = t;
    return true;
}

}  // namespace zentrova::ZENTROVA_ISA::scalar

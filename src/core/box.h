// The box of the input that a window of the output reads: what the dask
// path cuts from the input for each output chunk, and what the binding checks
// a box it was given against. Scalar arithmetic in the compute type, the
// kernels' own (their coordinates, border rules and footprints), so the box
// holds every sample any lane width reads; compiled once per compute type, in
// the portable target's table, and used whatever target runs.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/rows.h"

namespace zentrova::ZENTROVA_ISA::resample {

// ---- the input a window reads ---------------------------------------------------------

// Smallest and largest input index that a coordinate c reads along an axis of
// length n (count 0 when it reads none: cval outright, or 'grid-constant'
// corners outside).
template <class T>
struct Reads {
    std::int64_t lo = INT64_MAX, hi = INT64_MIN;
    void add(std::int64_t i) {
        lo = i < lo ? i : lo;
        hi = i > hi ? i : hi;
    }
    void add(const Reads& r) {
        if (r.lo <= r.hi) {
            add(r.lo);
            add(r.hi);
        }
    }
};

template <class T>
Reads<T> axis_reads(T c, std::int64_t n, Mode mode, int order) {
    Reads<T> r;
    T x = c;
    if (mode != Mode::kNearest && mode != Mode::kGridConstant) {
        x = map_coordinate(x, n, mode);
        if (!(x > T(-1))) return r;
    }
    const std::int64_t start = footprint_start(x, order);
    for (int j = 0; j <= order; ++j) {
        const std::int64_t i = static_cast<std::int64_t>(static_cast<std::uint64_t>(start) + j);
        if (mode == Mode::kGridConstant) {
            if (i >= 0 && i < n) r.add(i);
        } else {
            r.add(map_index(i, n, mode));
        }
    }
    return r;
}

// The input indices that coordinates in [cmin, cmax] read along an axis: the
// reads of the endpoints and, where the border mode folds the coordinate back
// (mirror, reflect) or wraps it, of the fold points in between. Within one
// monotone piece the reads lie between those of its ends.
template <class T>
Reads<T> interval_reads(T cmin, T cmax, std::int64_t n, Mode mode, int order) {
    Reads<T> r;
    if (!(cmin == cmin) || !(cmax == cmax)) {  // NaN: any index may be read
        r.add(0);
        r.add(n - 1);
        return r;
    }
    const bool crosses = cmin < T(0) || cmax > T(n - 1);
    const bool folds = mode == Mode::kReflect || mode == Mode::kMirror || mode == Mode::kWrap ||
                       mode == Mode::kGridWrap;
    if (crosses && folds) {
        // Wrapping pieces, or a range as long as a mirrored half period, reach
        // both ends of the axis.
        const T half = mode == Mode::kReflect ? T(n) : T(n - 1);
        // Far from the origin the folding arithmetic of T is no longer exact
        // (x / period rounds, the fold points fall between representable
        // coordinates), so the pieces between folds need not be monotone:
        // read the whole axis there rather than trust the fold points.
        constexpr T kExactFolds = T(1ull << (std::numeric_limits<T>::digits - 8));
        const bool far = !(cmin > -kExactFolds && cmax < kExactFolds);
        if (mode == Mode::kWrap || mode == Mode::kGridWrap || far || !(cmax - cmin < half) || n <= 1) {
            r.add(0);
            r.add(n - 1);
            r.add(axis_reads(cmin, n, mode, order));
            return r;
        }
        // Folds every n - 1 (mirror, from 0) or every n (reflect, from -0.5);
        // a range shorter than that holds at most one, next above cmin.
        const double step = mode == Mode::kMirror ? double(n - 1) : double(n);
        const double from = mode == Mode::kMirror ? 0.0 : -0.5;
        const T fold = T(std::ceil((double(cmin) - from) / step) * step + from);
        if (cmin < fold && fold < cmax) {
            r.add(axis_reads(fold, n, mode, order));
            r.add(axis_reads(std::nextafter(fold, cmin), n, mode, order));
            r.add(axis_reads(std::nextafter(fold, cmax), n, mode, order));
        }
        r.add(axis_reads(cmin, n, mode, order));
        r.add(axis_reads(cmax, n, mode, order));
        return r;
    }
    if (mode == Mode::kNearest || mode == Mode::kGridConstant) {
        // Cells between those of the ends; corner indices clamped to the axis
        // (nearest) or dropped outside it (grid-constant).
        auto cell = [&](T c) {
            const T f = (order & 1) ? std::floor(c) : std::floor(c + T(0.5));
            const std::int64_t s = f < T(-4611686018427387904.0) ? INT64_MIN / 2
                                   : (f > T(4611686018427387904.0) ? INT64_MAX / 2 : static_cast<std::int64_t>(f));
            return s - order / 2;
        };
        std::int64_t first = cell(cmin), last = cell(cmax) + order;
        if (mode == Mode::kNearest) {
            r.add(first < 0 ? 0 : (first > n - 1 ? n - 1 : first));
            r.add(last < 0 ? 0 : (last > n - 1 ? n - 1 : last));
            // A coordinate beyond the int64 range converts to INT64_MIN, which reads index 0.
            if (!(cmax < T(9223372036854775808.0)) || !(cmin >= T(-9223372036854775808.0))) r.add(0);
        } else {
            first = first < 0 ? 0 : first;
            last = last > n - 1 ? n - 1 : last;
            if (first <= last) {
                r.add(first);
                r.add(last);
            }
        }
        return r;
    }
    if (mode == Mode::kConstant) {  // only [0, n - 1] is read
        if (cmax < T(0) || cmin > T(n - 1)) return r;
        cmin = cmin < T(0) ? T(0) : cmin;
        cmax = cmax > T(n - 1) ? T(n - 1) : cmax;
    }
    r.add(axis_reads(cmin, n, mode, order));
    r.add(axis_reads(cmax, n, mode, order));
    return r;
}

// The box [lo, hi) of the whole input that output voxels [origin, origin +
// shape) read; false when they read nothing (every voxel cval outright). Each
// coordinate is monotone in each output index separately (every operation is
// a rounding of a monotone function), so its extremes over the window are at
// the window's corners, computed with the kernels' own arithmetic.
template <class E>
bool input_box(const Params<E>& p, std::int64_t lo[3], std::int64_t hi[3]) {
    using T = typename E::compute;
    T cmin[3], cmax[3];
    for (int a = 0; a < 3; ++a) {
        cmin[a] = std::numeric_limits<T>::infinity();
        cmax[a] = -std::numeric_limits<T>::infinity();
    }
    bool nan[3] = {false, false, false};
    for (int corner = 0; corner < 8; ++corner) {
        const std::int64_t z = p.origin[0] + ((corner & 4) ? p.out_n[0] - 1 : 0);
        const std::int64_t y = p.origin[1] + ((corner & 2) ? p.out_n[1] - 1 : 0);
        const std::int64_t x = p.origin[2] + ((corner & 1) ? p.out_n[2] - 1 : 0);
        T base[3], c[3];
        row_base(p, z, y, base);
        coordinates(p, base, T(x), c);
        if (p.pad != T(0))
            for (int a = p.first_interp; a < 3; ++a) c[a] = c[a] + p.pad;
        for (int a = 0; a < 3; ++a) {
            nan[a] = nan[a] || !(c[a] == c[a]);
            cmin[a] = c[a] < cmin[a] ? c[a] : cmin[a];
            cmax[a] = c[a] > cmax[a] ? c[a] : cmax[a];
        }
    }
    for (int a = 0; a < 3; ++a) {
        Reads<T> r;
        if (a < p.first_interp) {  // exact indices
            r.add(to_index(cmin[a]));
            r.add(to_index(cmax[a]));
        } else {
            r = interval_reads(nan[a] ? std::numeric_limits<T>::quiet_NaN() : cmin[a], cmax[a], p.n[a], p.mode, p.order);
        }
        if (r.lo > r.hi) return false;
        lo[a] = r.lo;
        hi[a] = r.hi + 1;
    }
    return true;
}

// The box of the whole input that the call's output window reads (see
// input_box); false when it reads none.
template <class E>
bool window_box(const ResampleCall& call, std::int64_t lo[3], std::int64_t hi[3]) noexcept {
    const Params<E> p = params_of<E>(call);
    if (p.out_n[0] <= 0 || p.out_n[1] <= 0 || p.out_n[2] <= 0) return false;
    if (p.given) {  // coordinates from arrays may read anywhere: the whole input
        for (int a = 0; a < 3; ++a) {
            lo[a] = 0;
            hi[a] = p.n[a];
        }
        return true;
    }
    return input_box(p, lo, hi);
}

}  // namespace zentrova::ZENTROVA_ISA::resample

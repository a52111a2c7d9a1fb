// Where a row's coordinates come from: the policies of the row driver's
// coordinate source. Each says which input axes' coordinates vary along an
// output row (`varies`), and computes, in E's compute type T:
//   base(p, z, y, base)      the parts that do not vary along x, once per row;
//   row(p, z, y)             the row's offset in coordinate arrays (0 without);
//   at(p, base, X, c, row)   one voxel's coordinates (the one-voxel path, the box);
//   lanes<V, kFirst>(...)    a block's, in lanes V, with the same operations;
//   drift(...)               for order 0's decisions (rows.h, Exact): how far a
//                            binary32 coordinate may drift from binary64's along
//                            the row, or false where the bound is per lane
//                            (kBoundPerLane) or the row decides alone.
// A new source (per-item matrices, displacement fields) is a struct here, a
// case of with_source, and its fields in ResampleCall.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/params.h"

namespace zentrova::ZENTROVA_ISA::resample {

// c_r = ((o_r + Z * m_r0) + Y * m_r1) + X * m_r2, each operation rounded.
struct MatrixRows {
    static constexpr bool kBoundPerLane = false;
    static constexpr bool varies(int a, int first) { return a == 2 || a >= first; }

    template <class E, class T>
    static void base(const Params<E>& p, std::int64_t z, std::int64_t y, T base[3]) {
        const T Z = T(z), Y = T(y);
        for (int r = 0; r < 3; ++r) base[r] = (p.o[r] + Z * p.m[r][0]) + Y * p.m[r][1];
    }
    template <class E>
    static std::int64_t row(const Params<E>&, std::int64_t, std::int64_t) { return 0; }
    template <class E, class T>
    static void at(const Params<E>& p, const T base[3], T X, T c[3], std::int64_t) {
        for (int r = 0; r < 3; ++r) c[r] = base[r] + X * p.m[r][2];
    }
    template <class V, int kFirst, class E, class T>
    __attribute__((always_inline)) static void lanes(const Params<E>& p, const T base[3], typename V::f32 X,
                                                     std::int64_t, std::int64_t, std::int64_t, typename V::f32 c[3]) {
        for (int a = 0; a < 3; ++a)
            if (varies(a, kFirst)) c[a] = V::add(V::splat(base[a]), V::mul(X, V::splat(p.m[a][2])));
    }
    template <class E, class P64, class T>
    static bool drift(const Params<E>& p, const P64& p64, const T base[3], const double base64[3], int a,
                      double xmax, double& drift, double& mag) {
        drift = std::fabs(static_cast<double>(base[a]) - base64[a]) +
                xmax * std::fabs(static_cast<double>(p.m[a][2]) - p64.m[a][2]);
        mag = std::fabs(base64[a]) + xmax * std::fabs(p64.m[a][2]) + 1.0;
        return true;
    }
};

// zoom and shift: c_r = (K_r + shift_r) * zoom_r, or with grid_mode
// ((K_r + shift_r) + 0.5) * zoom_r - 0.5, K_r the output index along r: only
// x varies along a row.
struct SeparableAxes {
    static constexpr bool kBoundPerLane = false;
    static constexpr bool varies(int a, int) { return a == 2; }

    template <class E, class T>
    static void base(const Params<E>& p, std::int64_t z, std::int64_t y, T base[3]) {
        base[0] = separable_coordinate(T(z), p.shift[0], p.zoom[0], p.grid_mode);
        base[1] = separable_coordinate(T(y), p.shift[1], p.zoom[1], p.grid_mode);
        base[2] = T(0);
    }
    template <class E>
    static std::int64_t row(const Params<E>&, std::int64_t, std::int64_t) { return 0; }
    template <class E, class T>
    static void at(const Params<E>& p, const T base[3], T X, T c[3], std::int64_t) {
        c[0] = base[0];
        c[1] = base[1];
        c[2] = separable_coordinate(X, p.shift[2], p.zoom[2], p.grid_mode);
    }
    template <class V, int kFirst, class E, class T>
    __attribute__((always_inline)) static void lanes(const Params<E>& p, const T[3], typename V::f32 X, std::int64_t,
                                                     std::int64_t, std::int64_t, typename V::f32 c[3]) {
        const typename V::f32 xs = V::add(X, V::splat(p.shift[2]));
        c[2] = p.grid_mode ? V::sub(V::mul(V::add(xs, V::splat(T(0.5))), V::splat(p.zoom[2])), V::splat(T(0.5)))
                           : V::mul(xs, V::splat(p.zoom[2]));
    }
    template <class E, class P64, class T>
    static bool drift(const Params<E>& p, const P64& p64, const T[3], const double[3], int a, double xmax,
                      double& drift, double& mag) {
        if (a < 2) return false;  // z and y: decided per row
        const double zoom = p64.zoom[2], shift = p64.shift[2];
        drift = std::fabs(static_cast<double>(p.shift[2]) - shift) * std::fabs(zoom) +
                std::fabs(static_cast<double>(p.zoom[2]) - zoom) * (xmax + std::fabs(shift) + 1.0);
        mag = (xmax + std::fabs(shift) + 1.0) * (std::fabs(zoom) + 1.0);
        return true;
    }
};

// Coordinates given per output voxel (map_coordinates), as binary64 arrays:
// every interpolated axis varies; the others are exact indices in the base (0).
struct GivenCoordinates {
    // The elements of each coordinate array asked for ahead of a block.
    static constexpr int kAhead = 512;
    static constexpr bool kBoundPerLane = true;
    static constexpr bool varies(int a, int first) { return a == 2 || a >= first; }

    template <class E, class T>
    static void base(const Params<E>&, std::int64_t, std::int64_t, T base[3]) {
        base[0] = base[1] = base[2] = T(0);
    }
    template <class E>
    static std::int64_t row(const Params<E>& p, std::int64_t z, std::int64_t y) {
        return z * p.coord_stride[0] + y * p.coord_stride[1];
    }
    template <class E, class T>
    static void at(const Params<E>& p, const T base[3], T X, T c[3], std::int64_t row) {
        const std::int64_t x = static_cast<std::int64_t>(X);
        for (int a = 0; a < 3; ++a) c[a] = a >= p.first_interp ? T(p.coord[a][row + x]) : base[a];
    }
    // The lanes' coordinates, converted to T; the last block of a row through a
    // copy, so that nothing past the arrays' ends is read.
    template <class V, int kFirst, class E, class T>
    __attribute__((always_inline)) static void lanes(const Params<E>& p, const T[3], typename V::f32, std::int64_t x0,
                                                     std::int64_t nx, std::int64_t crow, typename V::f32 c[3]) {
        constexpr int L = V::kLanes;
        const std::int64_t x = p.origin[2] + x0;
        const bool whole = x0 + L <= nx;
        for (int a = kFirst; a < 3; ++a) {
            const double* q = p.coord[a] + crow + x;
            if (whole) {
                // The coordinate streams, asked for ahead (a prefetch never faults, past
                // the end either): the loads otherwise wait on memory at every line.
                for (int k = 0; k < L; k += 8) __builtin_prefetch(q + kAhead + k, 0, 3);
                c[a] = V::load_coords(q);
            } else {
                alignas(64) double lanes[L] = {};
                std::memcpy(lanes, q, static_cast<std::size_t>(nx - x0) * sizeof(double));
                c[a] = V::load_coords(lanes);
            }
        }
    }
    template <class E, class P64, class T>
    static bool drift(const Params<E>&, const P64&, const T[3], const double[3], int, double, double&, double&) {
        return false;  // per lane (kBoundPerLane)
    }
};

// f.template operator()<Source>() for the call's coordinate source.
template <class E, class F>
__attribute__((always_inline)) inline decltype(auto) with_source(const Params<E>& p, F&& f) {
    if (p.given) return f.template operator()<GivenCoordinates>();
    if (p.separable) return f.template operator()<SeparableAxes>();
    return f.template operator()<MatrixRows>();
}

}  // namespace zentrova::ZENTROVA_ISA::resample

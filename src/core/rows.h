// The resampler's sampling arithmetic: scipy.ndimage's order-0 and order-1
// interpolation with its border modes, step for step, in the compute type of
// the element (binary32 or binary64; order 0 in binary64 for every element,
// Nearest64, since the coordinate alone decides which sample it copies).
//
// For output voxel (z, y, x), per input axis r of length n:
//   1. coordinate c (ResampleCall says how);
//   2. every mode but 'nearest' and 'grid-constant' maps c into the input
//      (map_coordinate); a mapped c that is not > -1 makes the voxel cval;
//   3. order 1: cell s = floor(c), f = c - s, w0 = 1 - f, w1 = 1 - w0;
//      order 0: s = floor(c + 0.5), no weights;
//   4. corner indices s + j are mapped again (map_index); with
//      'grid-constant' a corner outside [0, n) reads cval instead.
// The value is t = 0 + c_0 + c_1 + ... over the corners in C order (axis z
// slowest, lower neighbour first), c_k = ((v_k * w_z) * w_y) * w_x, every
// operation rounded. Axes that are not interpolated take no weight.
//
// Voxels whose corners all lie inside the input (c in [0, n - 1) for order 1,
// [0, n - 1] for order 0, on every axis, once a mirroring or wrapping mode has
// mapped c back: map_coordinate, the same on every path) need no index mapping;
// blocks of such voxels run in vector lanes, L at a time (binary32 or
// binary64), a row's blocks in runs whose positions are found before any of
// their reads. Every other voxel runs through `Voxel::value`, one at a time,
// with the same operations in the same order, so the result of a voxel never
// depends on which path computed it, nor on the lane width, the window or the
// number of threads.
//
// Included by each instruction-set file with ZENTROVA_ISA naming its
// namespace, like the fixed kernels' template.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <type_traits>
#include <utility>

#include "pool/parallel.h"
#include "core/call.h"
#include "core/elements.h"
#include "core/lanes.h"
#include "core/params.h"
#include "core/scalar.h"
#include "core/sources.h"

namespace zentrova::ZENTROVA_ISA::resample {

using namespace scalar;

// x / k for the weights' constant divisors k (6, 12, 24, 120), in lanes
// with a fused multiply-add without a division, which costs a vector lane
// 10 to 20 times as much: q = x * (1 / k) corrected by its residual, exact in
// a fused multiply-add, q + (x - q * k) * (1 / k), is the correctly rounded
// quotient (Markstein's correction; it was checked against the division for
// every binary32 x in [2^-102, 2^16) and 8e8 random binary64 ones, and the
// weights' numerators lie far inside). The one-lane type divides.
template <class T, class V>
__attribute__((always_inline)) inline typename V::f32 quotient(typename V::f32 x, int k) {
    if constexpr (HasFusedNegate<V>) {
        const typename V::f32 r = V::splat(T(1) / T(k));
        const typename V::f32 q = V::mul(x, r);
        return V::fmadd(V::fnmadd(q, V::splat(T(k)), x), r, q);
    } else {
        return V::div(x, V::splat(T(k)));
    }
}

// get_spline_interpolation_weights in lanes V, for an order known at compile time: the same
// expressions, operation for operation, so that a lane's weights are the
// one-voxel path's.
template <int kOrder, class T, class V>
__attribute__((always_inline)) inline void spline_weights_lanes(typename V::f32 x, typename V::f32* w) {
    using f = typename V::f32;
    auto c = [](double v) { return V::splat(static_cast<T>(v)); };
    const f one = c(1);
    x = V::sub(x, V::floor((kOrder & 1) ? x : V::add(x, c(0.5))));
    f y = x, z = V::sub(one, x), t;
    if constexpr (kOrder == 2) {
        w[1] = V::sub(c(0.75), V::mul(x, x));
        y = V::sub(c(0.5), x);
        w[0] = V::mul(V::mul(c(0.5), y), y);
    } else if constexpr (kOrder == 3) {
        w[1] = quotient<T, V>(V::add(V::mul(V::mul(V::mul(y, y), V::sub(y, c(2))), c(3)), c(4)), 6);
        w[2] = quotient<T, V>(V::add(V::mul(V::mul(V::mul(z, z), V::sub(z, c(2))), c(3)), c(4)), 6);
        w[0] = quotient<T, V>(V::mul(V::mul(z, z), z), 6);
    } else if constexpr (kOrder == 4) {
        t = V::mul(x, x);
        w[2] = V::add(V::mul(t, V::sub(V::mul(t, c(0.25)), c(0.625))), c(115.0 / 192.0));
        y = V::add(one, x);
        w[1] = V::add(V::mul(y, V::add(V::mul(y, V::sub(quotient<T, V>(V::mul(y, V::sub(c(5), y)), 6), c(1.25))),
                                       c(5.0 / 24.0))),
                      c(55.0 / 96.0));
        w[3] = V::add(V::mul(z, V::add(V::mul(z, V::sub(quotient<T, V>(V::mul(z, V::sub(c(5), z)), 6), c(1.25))),
                                       c(5.0 / 24.0))),
                      c(55.0 / 96.0));
        y = V::sub(c(0.5), x);
        t = V::mul(y, y);
        w[0] = quotient<T, V>(V::mul(t, t), 24);
    } else {  // 5
        t = V::mul(y, y);
        w[2] = V::add(V::mul(t, V::sub(V::mul(t, V::sub(c(0.25), quotient<T, V>(y, 12))), c(0.5))), c(0.55));
        t = V::mul(z, z);
        w[3] = V::add(V::mul(t, V::sub(V::mul(t, V::sub(c(0.25), quotient<T, V>(z, 12))), c(0.5))), c(0.55));
        y = V::add(y, one);
        auto quintic = [&](f u) {
            return V::add(
                V::mul(u, V::add(V::mul(u, V::sub(V::mul(u, V::add(V::mul(u, V::sub(quotient<T, V>(u, 24), c(0.375))),
                                                                   c(1.25))),
                                                  c(1.75))),
                                 c(0.625))),
                c(0.425));
        };
        w[1] = quintic(y);
        z = V::add(z, one);
        w[4] = quintic(z);
        y = V::sub(one, x);
        t = V::mul(y, y);
        w[0] = quotient<T, V>(V::mul(V::mul(y, t), t), 120);
    }
    w[kOrder] = one;
    for (int i = 0; i < kOrder; ++i) w[kOrder] = V::sub(w[kOrder], w[i]);
}

// The rows ahead whose input lines are prefetched, and the run along one input
// row past which the hardware prefetcher needs no help.
inline constexpr std::int64_t kPrefetchRows = 2;
inline constexpr int kPrefetchRunLength = 64;
// The input box from which rows that cross input rows prefetch (see row_of and
// vector_row). Below it the box mostly stays in the caches and the requests
// only cost (small rotations were measured slower with them, linear and
// nearest alike); from 8 MiB they pay. PERFORMANCE.md has the numbers.
inline constexpr std::int64_t kPrefetchBoxBytes = std::int64_t{8} << 20;

// The coordinates whose footprints the vector blocks move into a margin
// (Params::margin): far inside the range where the cells fit in 32 bits and
// x + 0.5 is exact in binary32.
template <class T>
inline constexpr T kMarginReach = T(1 << 22);

// ---- one voxel, any position -----------------------------------------------------

template <class E>
struct Voxel {
    using T = typename E::compute;
    using raw = typename E::raw;

    // The value of the voxel whose coordinates are c (cval outright where the
    // mode says so). False when it needed input outside the box.
    static bool value(const Params<E>& p, const T c[3], T* out) {
        const scalar::Grid<T> g{3, p.first_interp, p.order, p.mode, p.cval, p.pad, p.n, p.lo, p.hi, p.in_stride};
        return scalar::sample_point<3>(g, c, [&](std::int64_t at) { return E::widen(load_raw(p.in + at)); }, out);
    }
};

// The row base, the coordinates arrays' row offset and one voxel's coordinates
// of whatever source the call has (the one-voxel path and the box, which are
// not compiled per source).
template <class E>
inline void row_base(const Params<E>& p, std::int64_t z, std::int64_t y, typename E::compute base[3]) {
    with_source(p, [&]<class Src>() { Src::base(p, z, y, base); });
}

template <class E>
inline std::int64_t coord_row(const Params<E>& p, std::int64_t z, std::int64_t y) {
    return with_source(p, [&]<class Src>() { return Src::row(p, z, y); });
}

template <class E>
inline void coordinates(const Params<E>& p, const typename E::compute base[3], typename E::compute X,
                        typename E::compute c[3], std::int64_t row = 0) {
    with_source(p, [&]<class Src>() { Src::at(p, base, X, c, row); });
}

// ---- vector blocks --------------------------------------------------

template <class E, class V>
struct VectorRows {
    using raw = typename E::raw;
    using T = typename E::compute;
    using f32 = typename V::f32;  // lanes of the compute type
    using i32 = typename V::i32;
    static constexpr int L = V::kLanes;

    // What a row knows before its blocks: the cells of the axes whose
    // coordinate is the same along the row (axes that are not interpolated,
    // and z and y of a separable call), whether they allow vector blocks, and
    // whether they make the whole row cval ('constant').
    struct RowState {
        std::int64_t cell[2] = {0, 0};
        // The coordinate the row's blocks sample along those interpolated axes:
        // the padding added, mapped back into the input by a folding mode.
        T coord[3] = {T(0), T(0), T(0)};
        bool vector = true;
        bool all_cval = false;
    };

    // Order 0 of the types computed in binary32 takes scipy's decisions, which
    // scipy makes in binary64 (see Nearest64). Every decision of order 0 (the
    // nearest sample, the input's edges, the folds and seams of the border
    // modes) changes only where the coordinate is a multiple of 0.5. The
    // binary32 lanes take them wherever their coordinate lies farther from
    // every such point than it can lie from the binary64 one (`bound`, per row
    // and axis); the others, near such a point (about 1e-4 of the voxels per
    // axis), and every voxel of the one-voxel path are computed in binary64,
    // and so are the coordinates that a folding mode maps back into the input
    // (mapped_exactly) and the row's own decisions (row_state).
    static constexpr bool kDecides64 = std::is_same_v<T, float>;
    struct Exact {
        const Params<Nearest64<E>>* p64 = nullptr;  // nullptr: the lanes' arithmetic decides alone
        double base[3] = {0.0, 0.0, 0.0};           // the row's base in binary64
        T bound[3] = {T(0), T(0), T(0)};            // per axis varying along the row (not for given coordinates)
    };

    template <class Src>
    [[gnu::noinline]] static Exact exact_row(const Params<E>& p, std::int64_t z, std::int64_t y, const T base[3]) {
        Exact ex;
        if constexpr (kDecides64) {
            if (p.nearest64 == nullptr) return ex;
            const Params<Nearest64<E>>& p64 = *static_cast<const Params<Nearest64<E>>*>(p.nearest64);
            ex.p64 = &p64;
            Src::base(p64, z, y, ex.base);
            const double xmax = static_cast<double>(p.origin[2] + p.out_n[2] - 1);
            for (int a = p.first_interp; a < 3; ++a) {
                // How far the binary32 parameters and base lie from the binary64 ones (their
                // drift along the row), and the largest coordinate magnitude along it.
                double drift = 0.0, mag = 0.0;
                if (!Src::drift(p, p64, base, ex.base, a, xmax, drift, mag)) continue;  // per lane, or per row
                // Each binary32 operation (at most four) rounds by at most 2^-24 of what it gives,
                // and so does x + 0.5 in the decision itself: 2^-21 of the largest magnitude covers
                // them with room to spare, binary64's own roundings included.
                ex.bound[a] = static_cast<T>(2.0 * drift + 0x1p-21 * mag);
            }
        }
        return ex;
    }

    template <class Src>
    [[gnu::noinline]] static RowState row_state(const Params<E>& p, const T base[3]) {
        RowState r;
        // An empty box (a window that reads nothing) never reaches the vector
        // blocks: its voxels are cval, or with 'grid-constant' cval weighted,
        // which the one-voxel path computes without a read.
        r.vector = p.pos32 && p.hi[0] > p.lo[0] && p.hi[1] > p.lo[1] && p.hi[2] > p.lo[2];
        for (int a = 0; a < 2; ++a) {
            const bool interp = a >= p.first_interp;
            if (interp && Src::varies(a, p.first_interp)) continue;  // varies along the row
            T c = interp && p.pad != T(0) ? base[a] + p.pad : base[a];
            if (interp && folds(p.mode)) c = map_coordinate(c, p.n[a], p.mode);
            r.coord[a] = c;
            // The first sample of the footprint: the cell (orders 0 and 1), or
            // order / 2 samples before it.
            const std::int64_t s = interp ? footprint_start(c, p.order) : to_index(std::floor(c));
            r.cell[a] = s;
            if (!interp) {
                r.vector = r.vector && s >= p.lo[a] && s < p.hi[a];
                continue;
            }
            if (p.margin[a] > 0 && p.clamps) {  // the footprint moved into the margin (see locate)
                r.cell[a] = std::clamp(s, -p.margin[a], p.n[a] - 1 - p.order + p.margin[a]);
                r.vector = r.vector && std::fabs(c) < kMarginReach<T>;
                continue;
            }
            const bool inside = c >= T(0) && c <= T(p.n[a] - 1);
            if (!inside && p.mode == Mode::kConstant) r.all_cval = true;
            r.vector = r.vector && inside && s >= p.lo[a] - p.margin[a] && s + p.order < p.hi[a] + p.margin[a];
        }
        return r;
    }

    // The footprints of the orders, the row driver's other policy: how a
    // block's fast lanes are read and weighted (value), and what the first pass
    // keeps per lane for it (kOrder: 0 nothing, 1 the fractions c - floor(c),
    // kSpline the coordinates). Orders 2 to 5 share one footprint whose length
    // the kernel reads at run time (their footprints differ only in length).
    struct Nearest {
        static constexpr int kOrder = 0;
        template <int kFirst, class Src>
        __attribute__((always_inline)) static f32 value(const Params<E>& p, const T*, const std::int32_t* at,
                                                        const f32*) {
            return V::add(V::splat(T(0)), V::load_singles(p.in, [&](int k) { return at[k]; }));
        }
    };
    // kPairs: x neighbours adjacent in memory, read as pairs in one load (a
    // kernel of its own: a test per block cost order 1 some 6 to 12% more
    // instructions; one lane reads a pair as two elements anyway).
    template <bool kPairs>
    struct Linear {
        static constexpr int kOrder = 1;
        template <int kFirst, class Src>
        __attribute__((always_inline)) static f32 value(const Params<E>& p, const T coord[3], const std::int32_t* at,
                                                        const f32 frac[3]) {
            return linear_value<kFirst, Src, kPairs>(p, coord, at, frac);
        }
    };
    struct Spline {
        static constexpr int kOrder = 2;  // kSpline
        template <int kFirst, class Src>
        __attribute__((always_inline)) static f32 value(const Params<E>& p, const T coord[3], const std::int32_t* at,
                                                        const f32 frac[3]) {
            return spline_value<kFirst, Src>(p, coord, at, frac);
        }
    };

    // One output row. The footprint, the number of interpolated axes and the
    // coordinate source are template arguments, so that a block's loops over
    // axes and corners unroll.
    static bool row(const Params<E>& p, std::int64_t z, std::int64_t y, raw* out_row) {
        const int interp = 3 - p.first_interp;
        if (p.order == 0) return row_for_footprint<Nearest>(p, interp, z, y, out_row);
        if (p.order == 1)
            return L > 1 && p.in_stride[2] == 1 ? row_for_footprint<Linear<true>>(p, interp, z, y, out_row)
                                                : row_for_footprint<Linear<false>>(p, interp, z, y, out_row);
        return row_for_footprint<Spline>(p, interp, z, y, out_row);
    }

    template <class Fp>
    static bool row_for_footprint(const Params<E>& p, int interp, std::int64_t z, std::int64_t y, raw* out_row) {
        if (interp == 3) return row_for_axes<Fp, 3>(p, z, y, out_row);
        if (interp == 2) return row_for_axes<Fp, 2>(p, z, y, out_row);
        return row_for_axes<Fp, 1>(p, z, y, out_row);
    }

    template <class Fp, int kInterp>
    static bool row_for_axes(const Params<E>& p, std::int64_t z, std::int64_t y, raw* out_row) {
        // Orders 2 to 5 test whether x neighbours are adjacent where a block reads them (in runs): a
        // kernel per stride would double their code for little gain.
        return with_source(p, [&]<class Src>() { return row_of<Fp, kInterp, Src>(p, z, y, out_row); });
    }

    template <class Fp, int kInterp, class Src>
    static bool row_of(const Params<E>& p, std::int64_t z, std::int64_t y, raw* out_row) {
        constexpr int kOrder = Fp::kOrder;
        T base[3];
        Src::base(p, z, y, base);
        const std::int64_t nx = p.out_n[2];
        const std::int64_t crow = Src::row(p, z, y);
        RowState state = row_state<Src>(p, base);
        const Exact ex = kOrder == 0 ? exact_row<Src>(p, z, y, base) : Exact{};
        if constexpr (kOrder == 0 && kDecides64) {
            if (ex.p64 != nullptr) {  // the row's own decisions in binary64
                const auto exact = VectorRows<Nearest64<E>, V>::template row_state<Src>(*ex.p64, ex.base);
                state.cell[0] = exact.cell[0];
                state.cell[1] = exact.cell[1];
                state.vector = exact.vector;
                state.all_cval = exact.all_cval;
            }
        }
        // Where the row kPrefetchRows further down starts, for prefetching:
        // a row that crosses input rows or planes walks a slanted line through
        // memory that the hardware prefetcher does not follow.
        // Prefetching costs about as much arithmetic as locating the block does,
        // and the reads of a run are in flight together anyway (see vector_row):
        // measured, it pays only for linear float32 blocks, not for
        // nearest-neighbour blocks, 8- and 16-bit elements or binary64.
        T ahead[3] = {T(0), T(0), T(0)};
        constexpr bool kPrefetchable = kOrder == 1 && sizeof(T) == 4 && sizeof(raw) == 4;
        const bool prefetch = kPrefetchable && p.prefetch && state.vector;
        if (prefetch) Src::base(p, z, y + kPrefetchRows, ahead);

        // The lanes left to the one-voxel path, then the block's store.
        auto finish = [&](std::int64_t x0, f32 t, unsigned left) __attribute__((always_inline)) {
            const bool full = x0 + L <= nx;
            const int count = full ? L : static_cast<int>(nx - x0);
            left &= (1u << count) - 1;
            if (left != 0) {
                alignas(64) T vals[L];
                V::store(vals, t);
                if (!one_voxel_lanes(p, ex, base, x0, crow, count, left, vals)) return false;
                t = V::load(vals);
            }
            if (full) {
                E::template store<V>(out_row + x0, t);
            } else {
                alignas(64) raw tail[L];
                E::template store<V>(tail, t);
                std::memcpy(out_row + x0, tail, static_cast<std::size_t>(count) * sizeof(raw));
            }
            return true;
        };
        if (state.vector && !state.all_cval)
            return vector_row<Fp, kInterp, Src>(p, base, state, ex, nx, crow, ahead, prefetch, finish);
        // Every voxel cval outright, or every voxel through the one-voxel path.
        const unsigned left = state.all_cval ? 0u : ~0u;
        for (std::int64_t x0 = 0; x0 < nx; x0 += L)
            if (!finish(x0, V::splat(p.cval), left)) return false;
        return true;
    }

    // The lanes `left` of the block at x0 (of `count` in the row) through the
    // one-voxel path, into vals. Out of line: every row kernel of E shares it,
    // and it is the rare path (inlined, it made each kernel some 6 KB larger).
    [[gnu::noinline]] static bool one_voxel_lanes(const Params<E>& p, const Exact& ex, const T base[3], std::int64_t x0,
                                                  std::int64_t crow, int count, unsigned left, T* vals) {
        for (int k = 0; k < count; ++k) {
            if ((left >> k & 1u) == 0) continue;
            if constexpr (kDecides64) {
                if (ex.p64 != nullptr) {  // order 0: a sample, or cval (exact in T: Params::nearest64)
                    double c64[3], t64;
                    coordinates(*ex.p64, ex.base, static_cast<double>(p.origin[2] + x0 + k), c64, crow);
                    if (!Voxel<Nearest64<E>>::value(*ex.p64, c64, &t64)) return false;
                    vals[k] = static_cast<T>(t64);
                    continue;
                }
            }
            T c[3];
            coordinates(p, base, T(p.origin[2] + x0 + k), c, crow);
            if (!Voxel<E>::value(p, c, &vals[k])) return false;
        }
        return true;
    }

    // A row in runs of kRunBlocks blocks, in two passes: where the lanes of a
    // whole run read first, then the reads and the weighting. The reads of a
    // run then wait on nothing but the positions, so the processor keeps many
    // of them in flight (a rotated row misses the cache at almost every step);
    // computed block by block, the arithmetic in between leaves it only a few.
    static constexpr int kRunBlocks = 16;
    static constexpr int kSpline = 2;  // the kOrder of orders 2 to 5

    template <class Fp, int kInterp, class Src, class Finish>
    static bool vector_row(const Params<E>& p, const T base[3], const RowState& state, const Exact& ex,
                           std::int64_t nx, std::int64_t crow, const T ahead[3], bool prefetch, Finish& finish) {
        constexpr int kOrder = Fp::kOrder;
        constexpr int kFirst = 3 - kInterp;
        constexpr bool kPerLane[3] = {Src::varies(0, kFirst), Src::varies(1, kFirst), Src::varies(2, kFirst)};
        alignas(64) std::int32_t at[kRunBlocks * L], fast[kRunBlocks * L];
        // Order 1: the fractions c - floor(c); orders 2 to 5: the coordinates,
        // whose weights are computed in the second pass.
        alignas(64) T frac[kOrder >= 1 ? 3 : 1][kOrder >= 1 ? kRunBlocks * L : 1];
        unsigned fast_bits[kRunBlocks], left[kRunBlocks];
        constexpr unsigned kAllLanes = (1u << L) - 1;
        const f32 cval = V::splat(p.cval);
        for (std::int64_t r0 = 0; r0 < nx; r0 += kRunBlocks * L) {
            const std::int64_t rest = (nx - r0 + L - 1) / L;
            const int blocks = rest < kRunBlocks ? static_cast<int>(rest) : kRunBlocks;
            for (int b = 0; b < blocks; ++b) {
                if constexpr (kOrder == 1)  // only linear float32 rows prefetch ahead (see row_of)
                    if (prefetch) prefetch_ahead<kOrder>(p, ahead, r0 + b * L);
                const Located w = locate<Fp, kInterp, Src>(p, base, state, ex, r0 + b * L, nx, crow);
                V::store(at + b * L, V::and_i(w.fast, position(p, w.cell)));
                if constexpr (kOrder == 0) {
                    // A request retires at once, where a load that misses holds its
                    // place until the line comes: asked for here, the elements of a
                    // whole run are on their way while the rest is located (large
                    // rotations: PERFORMANCE.md).
                    if (p.prefetch_reads)
                        for (int k = 0; k < L; ++k) __builtin_prefetch(p.in + at[b * L + k], 0, 3);
                }
                V::store(fast + b * L, w.fast);
                if constexpr (kOrder == 1) {
                    for_axes([&]<int A>() {
                        if constexpr (A >= kFirst && kPerLane[A]) V::store(frac[A] + b * L, V::sub(w.c[A], w.fl[A]));
                    });
                } else if constexpr (kOrder > 1) {
                    for_axes([&]<int A>() {
                        if constexpr (A >= kFirst && kPerLane[A]) V::store(frac[A] + b * L, w.c[A]);
                    });
                }
                fast_bits[b] = w.fast_bits;
                left[b] = w.left;
            }
            for (int b = 0; b < blocks; ++b) {
                f32 t = cval;
                if (fast_bits[b] != 0) {  // otherwise the box may be empty: nothing is read
                    f32 f[3];
                    if constexpr (kOrder >= 1) {
                        for_axes([&]<int A>() {
                            if constexpr (A >= kFirst && kPerLane[A]) f[A] = V::load(frac[A] + b * L);
                        });
                    }
                    const f32 value = Fp::template value<3 - kInterp, Src>(p, state.coord, at + b * L, f);
                    t = fast_bits[b] == kAllLanes ? value : V::select(V::load_i(fast + b * L), value, cval);
                }
                if (!finish(r0 + b * L, t, left[b])) return false;
            }
        }
        return true;
    }

    // The number of cells along axis a of the box whose `reach` neighbours
    // above lie in the box too (with `margin`, one the footprints read unmoved
    // counted in, rel then shifted by it: Params::reach_margin, orders 2 to 5):
    // the bound of the fast-lane test. The sign bit
    // of ~rel & (rel - span) is set exactly when 0 <= rel < span as long as
    // rel - span cannot overflow, which holds for span >= 0; a box shorter
    // than the footprint (an empty one too) has no fast cell, and its span is
    // 0, never negative (rel = INT32_MAX against -1 would wrap and pass).
    static std::int32_t fast_span(const Params<E>& p, int a, std::int64_t reach, bool margin = false) {
        const std::int64_t span = p.hi[a] - p.lo[a] - reach + (margin ? 2 * p.reach_margin[a] : 0);
        return span > 0 ? static_cast<std::int32_t>(span) : 0;
    }

    // Flat positions of cells relative to the box (they fit in 32 bits: p.pos32).
    static i32 position(const Params<E>& p, const i32 cell[3]) {
        auto times = [&](int a) {
            return p.in_stride[a] == 1 ? cell[a]
                                       : V::mullo_i(cell[a], V::splat_i(static_cast<std::int32_t>(p.in_stride[a])));
        };
        return V::add_i(V::add_i(times(0), times(1)), times(2));
    }

    // Asks for the input lines that the same block of a row further down will
    // read (the lower corners of every other lane, and with order 1 their
    // neighbours in y and z). No value changes.
    template <int kOrder>
    static void prefetch_ahead(const Params<E>& p, const T ahead[3], std::int64_t x0) {
        const f32 X = V::lane_indices(static_cast<std::uint32_t>(p.origin[2] + x0));
        i32 ok = V::splat_i(-1), cell[3];
        for (int r = 0; r < 3; ++r) {
            const f32 c = V::add(V::splat(ahead[r]), V::mul(X, V::splat(p.m[r][2])));
            const i32 rel = V::sub_i(V::truncate(V::floor(c)), V::splat_i(static_cast<std::int32_t>(p.lo[r])));
            // 0 <= rel < box length - 1 (so the next row and plane exist too):
            // the sign bit of ~rel & (rel - span)
            const i32 span = V::splat_i(fast_span(p, r, 1));
            ok = V::and_i(ok, V::andnot_i(rel, V::sub_i(rel, span)));
            cell[r] = rel;
        }
        ok = V::sign_mask(ok);
        const i32 pos = position(p, cell);
        alignas(64) std::int32_t at[L];
        V::store(at, V::and_i(pos, ok));
        const std::size_t row = static_cast<std::size_t>(p.in_stride[1]) * sizeof(raw);
        const std::size_t plane = static_cast<std::size_t>(p.in_stride[0]) * sizeof(raw);
        for (int k = 0; k < L; k += 2) {
            const char* q = reinterpret_cast<const char*>(p.in + at[k]);
            __builtin_prefetch(q, 0, 3);
            if constexpr (kOrder == 1) {
                __builtin_prefetch(q + row, 0, 3);
                __builtin_prefetch(q + plane, 0, 3);
                __builtin_prefetch(q + plane + row, 0, 3);
            }
        }
    }

    // Where the lanes of a block read: their coordinates, cells (relative to
    // the box) and floors, and which lanes are fast.
    struct Located {
        f32 c[3], fl[3];
        i32 cell[3];
        i32 fast;             // all ones in the fast lanes
        unsigned fast_bits;   // the same, a bit per lane
        unsigned left;        // the lanes for the one-voxel path
    };

    // The lanes of a block that need no border mode: their corners all lie
    // inside the input and the box. With 'constant', lanes outside the input
    // are cval outright; the other lanes are left to the one-voxel path.
    template <class Fp, int kInterp, class Src>
    __attribute__((always_inline)) static Located locate(const Params<E>& p, const T base[3], const RowState& row,
                                                         const Exact& ex, std::int64_t x0, std::int64_t nx,
                                                         std::int64_t crow) {
        constexpr int kOrder = Fp::kOrder;
        Located at;
        constexpr int kFirst = 3 - kInterp;  // axes before it are not interpolated
        // Axes whose coordinate varies along the row: x, and the interpolated
        // z and y of a general matrix.
        constexpr bool kPerLane[3] = {Src::varies(0, kFirst), Src::varies(1, kFirst), Src::varies(2, kFirst)};
        const f32 X = V::lane_indices(static_cast<std::uint32_t>(p.origin[2] + x0));
        f32* c = at.c;
        Src::template lanes<V, kFirst>(p, base, X, x0, nx, crow, c);
        if constexpr (kOrder > 1) {
            // The coefficients' padding, added after the coordinate is made. Added when it is 0 too
            // (the one-voxel path skips it then): that turns a -0 coordinate into +0, which reads the
            // same samples with the same weights.
            for_axes([&]<int A>() {
                if constexpr (kPerLane[A]) c[A] = V::add(c[A], V::splat(p.pad));
            });
        }
        // With Exact: per axis, the lanes whose coordinate is replaced by an exact
        // one (mapped_exactly) or clamped from clearly past an edge ('nearest'),
        // which are decided whatever their value; a bit per lane (vectors would
        // cost registers that the block's arithmetic needs). (run() gives every
        // order-0 call of these types its binary64 parameters.)
        constexpr bool exact = kOrder == 0 && kDecides64;
        unsigned decided[3] = {0u, 0u, 0u};
        if constexpr (exact) {
            if (p.mode == Mode::kNearest) {
                for_axes([&]<int A>() {
                    if constexpr (kPerLane[A] && A >= kFirst) {
                        const f32 r = reach_of<Src>(ex, A, c[A]);
                        decided[A] = V::movemask(V::or_i(V::gt(V::sub(V::splat(T(0)), r), c[A]),
                                                         V::gt(c[A], V::add(V::splat(T(p.n[A] - 1)), r))));
                    }
                });
            }
        }
        if (folds(p.mode)) {
            for_axes([&]<int A>() {
                if constexpr (kPerLane[A] && A >= kFirst) {
                    if constexpr (kOrder == 0 && kDecides64) {
                        if constexpr (exact) {
                            c[A] = mapped_exactly<A>(p, ex, c[A], x0, crow, decided[A]);
                            return;
                        }
                    }
                    c[A] = outside_lanes(c[A], p.n[A], [&](T x) { return map_coordinate(x, p.n[A], p.mode); });
                }
            });
        }
        if constexpr (kOrder == 0) {
            // 'nearest' reads the edge sample for a coordinate past it (the
            // one-voxel path clamps the index): the coordinate clamped to the
            // edge reads the same. Not beyond 2^22, where x + 0.5 rounds in
            // binary32, nor for the absurd coordinates whose index conversion
            // overflows (scipy reads sample 0 for those).
            if (p.mode == Mode::kNearest) {
                for_axes([&]<int A>() {
                    constexpr T kFar = T(1 << 22);
                    if constexpr (kPerLane[A] && A >= kFirst) {
                        if (p.n[A] >= (1 << 22)) return;
                        const T last = T(p.n[A] - 1);
                        c[A] = outside_lanes(c[A], p.n[A], [&](T x) {
                            if (x < T(0)) return x > -kFar ? T(0) : x;
                            return x < kFar ? last : x;
                        });
                    }
                });
            }
        }
        const i32 all = V::splat_i(-1);
        // A margin around the input (Params::margin, the same along every
        // interpolated axis): 'nearest' and 'grid-constant' move footprints into
        // it; with 'constant' a lane outside the input may have its footprint in
        // the margin, and is cval all the same.
        const bool margins = kOrder >= 1 && p.margin[2] > 0;
        const bool clamping = margins && p.clamps;
        const bool cval_outside = kOrder >= kSpline && margins && p.mode == Mode::kConstant;
        i32* cell = at.cell;
        f32* fl = at.fl;
        // Fast lanes: the cell relative to the box, rel = s - lo, satisfies
        // 0 <= rel < hi - lo - order (the upper corner inside the box too); the
        // sign bit of ~rel & (rel - span) is set exactly then. The box lies
        // inside the input, so then 0 <= s and s + order <= n - 1, which for
        // order 1 also means 0 <= c < n - 1. Order 0 needs c itself in
        // [0, n - 1] (s = floor(c + 0.5) is in range a half step further).
        i32 fast_sign = all, in_input = all;
        unsigned near = 0;  // with Exact: lanes that binary32 cannot decide
        for_axes([&]<int A>() {
            if constexpr (!kPerLane[A]) {
                cell[A] = V::splat_i(static_cast<std::int32_t>(row.cell[A] - p.lo[A]));
            } else {
                const int order = kOrder < kSpline ? kOrder : p.order;
                fl[A] = (order & 1) ? V::floor(c[A]) : V::floor(V::add(c[A], V::splat(T(0.5))));
                if constexpr (exact) {  // near a sample (c - fl near 0) or a .5 tie (near +-0.5)
                    const f32 e = V::sub(c[A], fl[A]);  // in [-0.5, 0.5)
                    const f32 dist = V::max(e, V::sub(V::splat(T(0)), e));
                    const f32 apart = V::min(dist, V::sub(V::splat(T(0.5)), dist));  // from the nearest multiple
                    near |= V::movemask(V::le(apart, reach_of<Src>(ex, A, c[A]))) & ~decided[A];
                }
                // The footprint's first sample, relative to the box.
                const i32 rel = V::sub_i(V::truncate(fl[A]), V::splat_i(static_cast<std::int32_t>(p.lo[A] + order / 2)));
                if (clamping) {
                    // 'nearest' and 'grid-constant' with a margin (the box is the whole
                    // axis): a footprint past an edge, moved to start at most the margin
                    // before the first sample or end the margin after the last, reads the
                    // edge sample, or cval, as the one-voxel path does (the margin is
                    // larger than the footprint). The weights still come from the
                    // coordinate. Only coordinates of a sane size: the others, NaN too,
                    // take the one-voxel path.
                    const i32 first = V::splat_i(static_cast<std::int32_t>(-p.margin[A]));
                    const i32 last = V::splat_i(static_cast<std::int32_t>(p.n[A] - 1 - order + p.margin[A]));
                    const f32 reach = V::splat(kMarginReach<T>);
                    in_input = V::and_i(in_input, V::and_i(V::gt(reach, c[A]), V::gt(c[A], V::sub(V::splat(T(0)), reach))));
                    cell[A] = V::clamp_i(rel, first, last);
                    return;
                }
                // The other modes read a margin where there is one (orders 2 to 5): the
                // test shifted by it.
                i32 shifted = rel;
                if constexpr (kOrder >= kSpline)
                    shifted = V::add_i(rel, V::splat_i(static_cast<std::int32_t>(p.reach_margin[A])));
                const i32 span = V::splat_i(fast_span(p, A, order, kOrder >= kSpline));
                fast_sign = V::and_i(fast_sign, V::andnot_i(shifted, V::sub_i(shifted, span)));
                if (kOrder == 0 || cval_outside)
                    in_input = V::and_i(in_input, V::and_i(V::ge(c[A], V::splat(T(0))),
                                                           V::le(c[A], V::splat(T(p.n[A] - 1)))));
                cell[A] = rel;
            }
        });
        i32 fast = kOrder == 0 || margins ? V::and_i(V::sign_mask(fast_sign), in_input) : V::sign_mask(fast_sign);
        constexpr unsigned kAllLanes = (1u << L) - 1;
        // A near lane may stay fast in `fast` (its position is one a fast lane may read): only the
        // one-voxel path, which takes every lane left, decides its value.
        const unsigned fast_bits = V::movemask(fast) & ~near;
        unsigned left = ~fast_bits & kAllLanes;
        if (left != 0 && p.mode == Mode::kConstant) {  // lanes outside the input are cval outright
            i32 outside = V::splat_i(0);
            for_axes([&]<int A>() {
                if constexpr (kPerLane[A]) {
                    const i32 inside = V::and_i(V::ge(c[A], V::splat(T(0))), V::le(c[A], V::splat(T(p.n[A] - 1))));
                    outside = V::or_i(outside, V::andnot_i(inside, all));
                }
            });
            left &= ~(V::movemask(outside) & ~near);  // near an edge: decided in binary64
        }
        at.fast = fast;
        at.fast_bits = fast_bits;
        at.left = left;
        return at;
    }

    // With Exact: how far from a multiple of 0.5 a lane's coordinate c along
    // axis a must lie for binary32 to decide as binary64 would: the row's bound,
    // or for given coordinates that of their conversion to T (2^-24 of them)
    // and of x + 0.5, with room to spare.
    template <class Src>
    __attribute__((always_inline)) static f32 reach_of(const Exact& ex, int a, f32 c) {
        if constexpr (Src::kBoundPerLane)
            return V::mul(V::add(V::max(c, V::sub(V::splat(T(0)), c)), V::splat(T(1))), V::splat(T(0x1p-21)));
        else
            return V::splat(ex.bound[a]);
    }

    // With Exact, a folding mode: the lanes of c outside [0, n - 1] replaced by
    // the index of the sample that their binary64 coordinate, mapped back by
    // the mode, reads (an exact integer: the lanes' decisions keep it), or NaN
    // where that is not a sample of the axis (the one-voxel path then decides);
    // they are marked `decided`. Lanes inside keep their coordinate.
    template <int A>
    static f32 mapped_exactly(const Params<E>& p, const Exact& ex, f32 c, std::int64_t x0, std::int64_t crow,
                              unsigned& decided) {
        unsigned outside = V::movemask(V::or_i(V::gt(V::splat(T(0)), c), V::gt(c, V::splat(T(p.n[A] - 1)))));
        if (outside == 0) return c;
        decided = outside;
        alignas(64) T lanes[L];
        V::store(lanes, c);
        for (; outside != 0; outside &= outside - 1) {
            const int k = __builtin_ctz(outside);
            double c64[3];
            coordinates(*ex.p64, ex.base, static_cast<double>(p.origin[2] + x0 + k), c64, crow);
            const double m = map_coordinate(c64[A], p.n[A], p.mode);
            const double s = std::floor(m + 0.5);
            lanes[k] = m > -1.0 && s >= 0.0 && s <= static_cast<double>(p.n[A] - 1) ? static_cast<T>(s)
                                                                                   : std::numeric_limits<T>::quiet_NaN();
        }
        return V::load(lanes);
    }

    // The lanes of c outside [0, n - 1] replaced by map(c) (a folding mode's
    // map_coordinate itself, a lane at a time: the one-voxel path's coordinate
    // to the bit), and only blocks that reach outside pay for it (a rotation's
    // corners: a sixth of its voxels, each otherwise a voxel of the one-voxel
    // path).
    template <class Map>
    static f32 outside_lanes(f32 c, std::int64_t n, Map map) {
        unsigned outside = V::movemask(V::or_i(V::gt(V::splat(T(0)), c), V::gt(c, V::splat(T(n - 1)))));
        if (outside == 0) return c;
        alignas(64) T lanes[L];
        V::store(lanes, c);
        for (; outside != 0; outside &= outside - 1) {
            const int k = __builtin_ctz(outside);
            lanes[k] = map(lanes[k]);
        }
        return V::load(lanes);
    }

    // The value of a block's fast lanes from their positions `at` (relative to
    // p.in; the other lanes read element 0 and its neighbours, which exist: a
    // fast lane needs two samples along every interpolated axis), the row's
    // coordinates along the axes constant along it (RowState::coord) and, per
    // axis that varies along the row, what the first pass kept: order 1's
    // fractions c - floor(c), the coordinates of orders 2 to 5.
    template <int kFirst, class Src, bool kPairs>
    __attribute__((always_inline)) static f32 linear_value(const Params<E>& p, const T coord[3], const std::int32_t* at,
                                                           const f32 frac[3]) {
        constexpr bool kPerLane[3] = {Src::varies(0, kFirst), Src::varies(1, kFirst), Src::varies(2, kFirst)};
        const f32 zero = V::splat(T(0));
        const f32 one = V::splat(T(1));
        f32 w[3][2];  // weights of the lower and upper corner per interpolated axis
        for_axes([&]<int A>() {
            if constexpr (A >= kFirst && kPerLane[A]) {
                w[A][0] = V::sub(one, frac[A]);
                w[A][1] = V::sub(one, w[A][0]);
            } else if constexpr (A >= kFirst) {  // separable z or y: one weight per row
                const T f = coord[A] - std::floor(coord[A]);
                const T w0 = T(1) - f;
                w[A][0] = V::splat(w0);
                w[A][1] = V::splat(T(1) - w0);
            }
        });
        const std::int64_t sz = p.in_stride[0], sy = p.in_stride[1], sx = p.in_stride[2];
        f32 value = zero;
        // Corners in C order: z, then y, then the x pair.
        auto rows = [&](int jz, int jy) __attribute__((always_inline)) {
            const std::int64_t step = jz * sz + jy * sy;
            f32 pair[2];
            if constexpr (kPairs) {
                V::load_pairs(p.in, [&](int k) { return at[k] + step; }, V::splat_i(0), pair);
            } else {
                pair[0] = V::load_singles(p.in, [&](int k) { return at[k] + step; });
                pair[1] = V::load_singles(p.in, [&](int k) { return at[k] + step + sx; });
            }
            for (int jx = 0; jx < 2; ++jx) {
                f32 v = pair[jx];
                if constexpr (kFirst <= 0) v = V::mul(v, w[0][jz]);
                if constexpr (kFirst <= 1) v = V::mul(v, w[1][jy]);
                v = V::mul(v, w[2][jx]);
                value = V::add(value, v);
            }
        };
        if constexpr (kFirst == 0) {
            rows(0, 0);
            rows(0, 1);
            rows(1, 0);
            rows(1, 1);
        } else if constexpr (kFirst == 1) {
            rows(0, 0);
            rows(0, 1);
        } else {
            rows(0, 0);
        }
        return value;
    }

    template <int kFirst, class Src>
    __attribute__((always_inline)) static f32 spline_value(const Params<E>& p, const T coord[3], const std::int32_t* at,
                                                           const f32 frac[3]) {
        constexpr bool kPerLane[3] = {Src::varies(0, kFirst), Src::varies(1, kFirst), Src::varies(2, kFirst)};
        const int K = p.order + 1;
        f32 w[3][kMaxOrder + 1];
        for_axes([&]<int A>() {
            if constexpr (A >= kFirst && kPerLane[A]) {
                switch (p.order) {
                    case 2: spline_weights_lanes<2, T, V>(frac[A], w[A]); break;
                    case 3: spline_weights_lanes<3, T, V>(frac[A], w[A]); break;
                    case 4: spline_weights_lanes<4, T, V>(frac[A], w[A]); break;
                    default: spline_weights_lanes<5, T, V>(frac[A], w[A]); break;
                }
            } else if constexpr (A >= kFirst) {  // separable z or y: one set of weights per row
                T ws[kMaxOrder + 1];
                get_spline_interpolation_weights(coord[A], p.order, ws);
                for (int j = 0; j < K; ++j) w[A][j] = V::splat(ws[j]);
            }
        });
        if constexpr (kFactoredSum<T>) {
            return factored_value<kFirst>(p, at, w);
        } else {
            switch (p.order) {  // the footprint's length known at compile time: its loops unroll
                case 2: return ordered_sum<kFirst, 3>(p, at, w);
                case 3: return ordered_sum<kFirst, 4>(p, at, w);
                case 4: return ordered_sum<kFirst, 5>(p, at, w);
                default: return ordered_sum<kFirst, 6>(p, at, w);
            }
        }
    }

    // The sum of a block's fast lanes in scipy's order (binary64) from their
    // weights: t = t + ((v * w_z) * w_y) * w_x over the footprint's samples in
    // C order (z, then y, then x), for a footprint of K samples per axis.
    template <int kFirst, int K>
    static f32 ordered_sum(const Params<E>& p, const std::int32_t* at, const f32 (&w)[3][kMaxOrder + 1]) {
        constexpr int nz = kFirst <= 0 ? K : 1, ny = kFirst <= 1 ? K : 1;
        const std::int64_t sz = p.in_stride[0], sy = p.in_stride[1], sx = p.in_stride[2];
        f32 value = V::splat(T(0));
#pragma GCC unroll 1
        for (int jz = 0; jz < nz; ++jz) {
#pragma GCC unroll 1
            for (int jy = 0; jy < ny; ++jy) {
                const std::int64_t step = jz * sz + jy * sy;
                f32 v[K];
                int read = 0;
                if constexpr (HasTapRuns<V, raw> && K >= 4) {
                    if (sx == 1) {  // each lane's first four samples in vector loads (V::tap_runs)
                        V::tap_runs(p.in + step, [&](int k) -> std::int64_t { return at[k]; }, v);
                        read = 4;
                    }
                }
                for (int jx = read; jx < K; ++jx)
                    v[jx] = V::load_singles(p.in, [&](int k) { return at[k] + step + jx * sx; });
                for (int jx = 0; jx < K; ++jx) {
                    f32 c = v[jx];
                    if constexpr (kFirst <= 0) c = V::mul(c, w[0][jz]);
                    if constexpr (kFirst <= 1) c = V::mul(c, w[1][jy]);
                    value = V::add(value, V::mul(c, w[2][jx]));
                }
            }
        }
        return value;
    }

    // The factored sum of a block's fast lanes (kFactoredSum) from their weights,
    // in a loop per footprint length, so that its sums stay in registers.
    template <int kFirst>
    __attribute__((always_inline)) static f32 factored_value(const Params<E>& p, const std::int32_t* at,
                                                             const f32 (&w)[3][kMaxOrder + 1]) {
        switch (p.order) {
            case 2: return factored_sum<kFirst, 3>(p, at, w);
            case 3: return factored_sum<kFirst, 4>(p, at, w);
            case 4: return factored_sum<kFirst, 5>(p, at, w);
            default: return factored_sum<kFirst, 6>(p, at, w);
        }
    }

    template <int kFirst, int K>
    static f32 factored_sum(const Params<E>& p, const std::int32_t* at, const f32 (&w)[3][kMaxOrder + 1]) {
        constexpr int nz = kFirst <= 0 ? K : 1, ny = kFirst <= 1 ? K : 1;
        constexpr int kChunks = (K + 3) / 4;
        const std::int64_t sz = p.in_stride[0], sy = p.in_stride[1], sx = p.in_stride[2];
        const f32 zero = V::splat(T(0));
        f32 s[K];
        for (int jx = 0; jx < K; ++jx) s[jx] = zero;
        // With runs: the sums of group g, elements c * 4 to c * 4 + 3 (see V::run_group).
        f32 groups[kChunks][4];
        for (auto& chunk : groups)
            for (f32& g : chunk) g = zero;
        auto lead_of = [&](int jz, int jy) __attribute__((always_inline)) {
            if constexpr (kFirst <= 0) return V::mul(w[0][jz], w[1][jy]);
            else if constexpr (kFirst <= 1) return w[1][jy];
            else return V::splat(T(1));
        };
        const bool runs = HasRuns<V, raw> && sx == 1;
        if constexpr (HasRuns<V, raw>) {
            if (runs) {
                // Each lane's K samples along x in vector loads (a test per row rather than a
                // kernel per stride, which would double the code), summed in groups of lanes and
                // transposed once at the end. Two groups at a time over the footprint's rows: their
                // lane positions stay in registers, and the two chains of fused multiply-adds (one
                // per group, dependent row after row) overlap; each lane still sums its rows in C
                // order.
                // A lane's sample is read at its row's first element plus the lane's position,
                // which x86 addressing adds in the load itself. A row's factor, spread over the
                // groups, is the product of the spread weights (spreading moves lanes, so the product
                // is the same): computed in registers from 2K spread weights per group, where
                // spreading each row's product would cost a shuffle and a load per row and group.
                const auto start = [&](int k) -> std::int64_t { return at[k]; };
                auto pair = [&]<int G>() __attribute__((always_inline)) {
                    f32 wz[2][nz], wy[2][ny];
                    if constexpr (kFirst <= 0)
                        for (int j = 0; j < nz; ++j) {
                            wz[0][j] = V::template spread_group<G>(w[0][j]);
                            wz[1][j] = V::template spread_group<G + 1>(w[0][j]);
                        }
                    if constexpr (kFirst <= 1)
                        for (int j = 0; j < ny; ++j) {
                            wy[0][j] = V::template spread_group<G>(w[1][j]);
                            wy[1][j] = V::template spread_group<G + 1>(w[1][j]);
                        }
                    auto lead = [&](int g, int jz, int jy) __attribute__((always_inline)) {
                        if constexpr (kFirst <= 0) return V::mul(wz[g][jz], wy[g][jy]);
                        else if constexpr (kFirst <= 1) return wy[g][jy];
                        else return V::splat(T(1));
                    };
#pragma GCC unroll 8
                    for (int jz = 0; jz < nz; ++jz) {
#pragma GCC unroll 8
                        for (int jy = 0; jy < ny; ++jy) {
                            const raw* row = p.in + (jz * sz + jy * sy);
                            const f32 lead0 = lead(0, jz, jy), lead1 = lead(1, jz, jy);
                            for (int c = 0; c < kChunks; ++c) {
                                groups[c][G] = V::fmadd(lead0, V::template run_group<G>(row, start, 4 * c, K - 4 * c),
                                                        groups[c][G]);
                                groups[c][G + 1] = V::fmadd(
                                    lead1, V::template run_group<G + 1>(row, start, 4 * c, K - 4 * c), groups[c][G + 1]);
                            }
                        }
                    }
                };
                pair.template operator()<0>();
                pair.template operator()<2>();
            }
        }
        if (!runs) {
#pragma GCC unroll 1
            for (int jz = 0; jz < nz; ++jz) {
#pragma GCC unroll 1
                for (int jy = 0; jy < ny; ++jy) {
                    const std::int64_t step = jz * sz + jy * sy;
                    const f32 lead = lead_of(jz, jy);
                    for (int jx = 0; jx < K; ++jx)
                        s[jx] = V::fmadd(lead, V::load_singles(p.in, [&](int k) { return at[k] + step + jx * sx; }), s[jx]);
                }
            }
        }
        if constexpr (HasRuns<V, raw>)
            if (runs)
                for (int c = 0; c < kChunks; ++c) V::transpose_groups(groups[c], K - 4 * c, s + 4 * c);
        f32 value = zero;
        for (int jx = 0; jx < K; ++jx) value = V::fmadd(w[2][jx], s[jx], value);
        return value;
    }

    // Calls f.template operator()<A>() for A = 0, 1, 2.
    template <class F>
    __attribute__((always_inline)) static void for_axes(F&& f) {
        f.template operator()<0>();
        f.template operator()<1>();
        f.template operator()<2>();
    }
};

// ---- driver ------------------------------------------------------------------------

// One task: rows [y0, y1) of the output planes [z0, z1), visited row index by
// row index across those planes (row y of every plane, then row y + 1): the
// rows at one index in neighbouring planes sample neighbouring input, which is
// still in cache when the next plane's row needs it. The order changes no value.
template <class E, class Rows>
struct Task {
    static void run(const void* ctx, std::size_t task) noexcept {
        const Params<E>& p = *static_cast<const Params<E>*>(ctx);
        const std::int64_t group = static_cast<std::int64_t>(task) / p.row_parts;
        const std::int64_t part = static_cast<std::int64_t>(task) % p.row_parts;
        const std::int64_t z0 = group * p.planes_per_task;
        const std::int64_t z1 = z0 + p.planes_per_task < p.out_n[0] ? z0 + p.planes_per_task : p.out_n[0];
        const std::int64_t y0 = part * p.rows_per_task;
        const std::int64_t y1 = y0 + p.rows_per_task < p.out_n[1] ? y0 + p.rows_per_task : p.out_n[1];
        for (std::int64_t y = y0; y < y1; ++y)
            for (std::int64_t z = z0; z < z1; ++z) {
                typename E::raw* row = p.out + z * p.out_stride[0] + y * p.out_stride[1];
                if (!Rows::row(p, p.origin[0] + z, p.origin[1] + y, row)) {
                    __atomic_store_n(&p.outside_box, 1, __ATOMIC_RELAXED);
                    return;
                }
            }
    }
};

template <class E>
Params<E> params_of(const ResampleCall& call) {
    using T = typename E::compute;
    Params<E> p;
    p.in = static_cast<const typename E::raw*>(call.in);
    p.out = static_cast<typename E::raw*>(call.out);
    for (int a = 0; a < 3; ++a) {
        p.lo[a] = call.box_origin[a];
        p.hi[a] = call.box_origin[a] + call.in_shape[a];
        p.n[a] = call.full_shape[a];
        p.out_n[a] = call.out_shape[a];
        p.origin[a] = call.out_origin[a];
        p.o[a] = T(call.offset[a]);
        p.zoom[a] = T(call.zoom[a]);
        p.shift[a] = T(call.shift[a]);
        for (int b = 0; b < 3; ++b) p.m[a][b] = T(call.matrix[a][b]);
    }
    for (int a = 0; a < 3; ++a) p.in_stride[a] = call.in_strides[a];
    p.out_stride[0] = call.out_strides[0];
    p.out_stride[1] = call.out_strides[1];
    p.out_stride[2] = 1;
    p.separable = call.separable;
    p.grid_mode = call.grid_mode;
    p.given = call.coords[2] != nullptr;
    for (int a = 0; a < 3; ++a) p.coord[a] = call.coords[a];
    p.coord_stride[0] = call.coord_strides[0];
    p.coord_stride[1] = call.coord_strides[1];
    p.first_interp = 3 - call.interpolated;
    p.order = call.order;
    p.mode = call.mode;
    p.cval = T(call.cval);
    p.pad = T(call.pad);
    for (int a = 0; a < 3; ++a) p.margin[a] = a >= p.first_interp ? call.margin : 0;
    p.clamps = p.mode == Mode::kNearest || p.mode == Mode::kGridConstant;
    for (int a = 0; a < 3; ++a) p.reach_margin[a] = p.clamps ? 0 : p.margin[a];
    p.outside_box = 0;
    p.nearest64 = nullptr;
    std::int64_t reach = 0;  // the largest distance of a box element from the first, margins on both sides
    for (int a = 0; a < 3; ++a)
        reach += (call.in_shape[a] > 0 ? call.in_shape[a] - 1 + 4 * p.margin[a] : 0) *
                 (p.in_stride[a] < 0 ? -p.in_stride[a] : p.in_stride[a]);
    p.pos32 = reach < INT32_MAX && p.n[0] < INT32_MAX && p.n[1] < INT32_MAX && p.n[2] < INT32_MAX &&
              p.origin[2] + p.out_n[2] < INT32_MAX;

    // In double: the shape of a view with zero strides may be far larger than its memory.
    const double box_bytes = static_cast<double>(call.in_shape[0]) * static_cast<double>(call.in_shape[1]) *
                             static_cast<double>(call.in_shape[2]) * static_cast<double>(sizeof(typename E::raw));
    // A row that stays within one input row for kPrefetchRunLength voxels or
    // more is followed well enough by the hardware prefetcher.
    p.prefetch = !p.separable && !p.given && p.first_interp == 0 &&
                 std::fabs(p.m[0][2]) + std::fabs(p.m[1][2]) >= T(1) / T(kPrefetchRunLength) &&
                 box_bytes >= static_cast<double>(kPrefetchBoxBytes);
    // Given coordinates may send neighbouring voxels anywhere: their reads are asked for too.
    p.prefetch_reads = p.order == 0 && (p.prefetch || (p.given && box_bytes >= static_cast<double>(kPrefetchBoxBytes)));
    return p;
}

// About how long one thread takes for an output voxel, in nanoseconds: what
// decides how many threads a call is worth (parallel::threads_for). A voxel
// reads (order + 1)^k samples for k interpolated axes (one at order 0); lanes
// of binary64 hold half as many voxels, and one lane (the portable target)
// computes a voxel at a time. Measured on rotations at 64^3, single thread.
template <class E, int kLanes>
double voxel_ns(const Params<E>& p) {
    double samples = 1.0;
    for (int a = p.first_interp; a < 3; ++a) samples *= p.order + 1;
    double ns = 1.0 + 0.4 * samples;
    if (sizeof(typename E::compute) == 8) ns *= 1.6;
    return kLanes == 1 ? 4.0 * ns : ns;
}

template <class E, class Rows>
ResampleStatus run_tasks(Params<E>& p) noexcept;

template <class E, class Rows>
ResampleStatus run(const ResampleCall& call) noexcept {
    Params<E> p = params_of<E>(call);
    if (p.out_n[0] <= 0 || p.out_n[1] <= 0 || p.out_n[2] <= 0) return ResampleStatus::kOk;
    if constexpr (std::is_same_v<typename E::compute, float>) {
        if (call.order == 0) {
            // Order 0 decides in binary64 (VectorRows::Exact). Its results are
            // samples and cval, cval rounded into E once, as scipy rounds it:
            // exact in binary32, so the lanes store it unchanged.
            Params<Nearest64<E>> p64 = params_of<Nearest64<E>>(call);
            p.cval = E::widen(E::from_binary64(call.cval));
            p64.cval = static_cast<double>(p.cval);
            p.nearest64 = &p64;
            return run_tasks<E, Rows>(p);
        }
    }
    return run_tasks<E, Rows>(p);
}

template <class E, class Rows>
ResampleStatus run_tasks(Params<E>& p) noexcept {
    const double voxels = static_cast<double>(p.out_n[0]) * static_cast<double>(p.out_n[1]) * static_cast<double>(p.out_n[2]);
    std::size_t threads = parallel::threads_for(voxels * voxel_ns<E, Rows::L>(p));
    threads = threads < parallel::size() ? threads : parallel::size();
    // Tasks of parallel::kMaxPlanesPerTask planes, whose rows are cut into parts
    // where there are too few such groups to give every thread several tasks:
    // a thin window (a few planes of a large grid, as a chunk of a larger
    // volume) keeps the cache reuse between neighbouring planes instead of
    // being cut into tasks of a plane or two (twice as fast for 32 of 512).
    const std::int64_t target = static_cast<std::int64_t>(parallel::kMinTasksPerWorker * threads + 1);
    const std::int64_t most = static_cast<std::int64_t>(parallel::kMaxPlanesPerTask);
    p.planes_per_task = p.out_n[0] < most ? p.out_n[0] : most;
    const std::int64_t groups = (p.out_n[0] + p.planes_per_task - 1) / p.planes_per_task;
    std::int64_t parts = groups >= target ? 1 : (target + groups - 1) / groups;
    parts = parts < p.out_n[1] ? parts : p.out_n[1];
    p.rows_per_task = (p.out_n[1] + parts - 1) / parts;
    p.row_parts = (p.out_n[1] + p.rows_per_task - 1) / p.rows_per_task;
    const std::int64_t tasks = (p.out_n[0] + p.planes_per_task - 1) / p.planes_per_task * p.row_parts;
    if (parallel::for_each(static_cast<std::size_t>(tasks), &Task<E, Rows>::run, &p, parallel::Caller::kWorks,
                           threads) != Status::kOk)
        return ResampleStatus::kPoolUnavailable;
    return p.outside_box != 0 ? ResampleStatus::kOutsideBox : ResampleStatus::kOk;
}

// ---- storing computed values -------------------------------------------------

// n values of E's compute type stored as E, exactly as the kernels store their
// results (the same lanes, the same code): what a result computed in a wider
// type than the caller's output goes through.
template <class E, class V>
void store_values(const void* src, void* dst, std::int64_t n) noexcept {
    using T = typename E::compute;
    using raw = typename E::raw;
    constexpr int L = V::kLanes;
    const T* from = static_cast<const T*>(src);
    raw* to = static_cast<raw*>(dst);
    alignas(64) T lanes[L];
    alignas(64) raw tail[L];
    std::int64_t i = 0;
    // One unaligned vector load: a copy into `lanes` was compiled to two half-width stores and a
    // load across both, which the processor cannot forward (a stall every block, a store into
    // uint16 at 2 ns an element).
    for (; i + L <= n; i += L) E::template store<V>(to + i, V::load_unaligned(from + i));
    if (i < n) {
        const int count = static_cast<int>(n - i);
        std::memcpy(lanes, from + i, static_cast<std::size_t>(count) * sizeof(T));
        for (int k = count; k < L; ++k) lanes[k] = T(0);
        E::template store<V>(tail, V::load(lanes));
        std::memcpy(to + i, tail, static_cast<std::size_t>(count) * sizeof(raw));
    }
}

// n binary64 values stored as E one at a time by E::from_binary64: a wide
// input resampled into an output of the binary32 family, or into bool. With
// From = float, binary32 values widened exactly first: stored by the binary64
// rule, as scipy stores a sample.
template <class E, class From = double>
void store_from_binary64(const void* src, void* dst, std::int64_t n) noexcept {
    const From* from = static_cast<const From*>(src);
    typename E::raw* to = static_cast<typename E::raw*>(dst);
    for (std::int64_t i = 0; i < n; ++i) {
        const typename E::raw r = E::from_binary64(from[i]);
        std::memcpy(to + i, &r, sizeof r);
    }
}

// The kernel of element type E in lanes V: what each per-type entry point runs.
template <class E, class V>
ResampleStatus run_lanes(const ResampleCall& call) noexcept {
    return run<E, VectorRows<E, V>>(call);
}

}  // namespace zentrova::ZENTROVA_ISA::resample

// The sampling arithmetic of every kernel, written once.
//
// For output voxel (z, y, x) the input coordinate along axis r is
//     c_r = (((Y*M[r][1]) + Z*M[r][0]) + o[r]) + X*M[r][2]
// in binary32, the per-plane and per-row parts computed once. Each row is cut
// into blocks of L voxels (L = the vector width) and a remainder; the two forms
// round differently and both roundings are part of the result:
//   block:     c = fma(X, M, B); cell = truncate(floor(c)) with NaN/overflow ->
//              INT32_MIN (outside); weights w_k = zf * (yf * xf); value
//              (((v0*w0 + v1*w1) + v2*w2) ... + v7*w7), each step rounded.
//   remainder: c = B + X*M (two roundings); saturating cell (NaN -> 0, so a NaN
//              coordinate can be inside and give NaN); value
//              ((t0 + t1) + t2) ... + t7 with t_k = ((v_k * xf) * yf) * zf.
// A sample is outside when a cell index is < 0 or >= n on any axis; it then
// takes cval whole. The upper neighbour is min(i + 1, n - 1).
//
// The template is instantiated per element type (E: how a value is widened to
// binary32 and a result narrowed back) and per vector type (V: the lane width
// and the instructions). Each instruction-set file defines ZENTROVA_ISA before
// including this header, which puts every function here in that instruction
// set's own namespace: no inline helper compiled for AVX-512 can be shared with
// (and picked by the linker for) the AVX2 code or the baseline code.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fixed/half.h"
#include "pool/parallel.h"
#include "core/view.h"

namespace zentrova::ZENTROVA_ISA {

// ---- element types ----------------------------------------------------------

struct F32 {
    using raw = float;
    using cval_arg = double;
    static float widen(float v) { return v; }
    static float narrow(float r) { return r; }
    static float cval_raw(double c) { return static_cast<float>(c); }
};

struct U8 {
    using raw = std::uint8_t;
    using cval_arg = std::uint8_t;
    static float widen(std::uint8_t v) { return static_cast<float>(v); }
    // trunc(min(max(r, 0), 255)), never rounded to nearest. The comparisons are
    // written so that a NaN passes both clamps, and its truncation yields
    // INT32_MIN as the vector instruction does, whose low byte stores 0.
    static std::uint8_t narrow(float r) {
        const float lo = (0.0f > r) ? 0.0f : r;
        const float hi = (255.0f < lo) ? 255.0f : lo;
        const std::int32_t t = (hi != hi) ? INT32_MIN : static_cast<std::int32_t>(hi);
        return static_cast<std::uint8_t>(static_cast<std::uint32_t>(t) & 0xFFu);
    }
    static std::uint8_t cval_raw(std::uint8_t c) { return c; }
};

struct F16 {
    using raw = std::uint16_t;
    using cval_arg = double;
    static float widen(std::uint16_t v) { return f16_to_f32(v); }
    static std::uint16_t narrow(float r) { return f32_to_f16(r); }
    static std::uint16_t cval_raw(double c) { return f64_to_f16(c); }
};

// ---- per-call parameter block -------------------------------------------------

template <class E>
struct Params {
    using raw = typename E::raw;
    const raw* in;
    std::uint64_t nz, ny, nx;  // of the input, and of the output, which has its shape
    std::uint64_t plane_stride, row_stride;
    float m[9];
    float o[3];
    raw cval;      // the stored pattern of cval
    float cval32;  // cval widened to binary32, what an outside lane holds
    std::uint64_t planes_per_task;
    bool prefetch;  // rows cross input rows or planes: prefetch rows ahead
    raw* out;
};

// Unaligned-safe element load: NumPy buffers need not be aligned.
template <class T>
inline T load(const T* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Remainder cell index: a saturating conversion (NaN -> 0).
inline std::int32_t saturate_i32(float f) {
    if (f != f) return 0;
    if (f >= 2147483648.0f) return INT32_MAX;
    if (f < -2147483648.0f) return INT32_MIN;
    return static_cast<std::int32_t>(f);
}

inline float floor_f32(float f) { return __builtin_floorf(f); }

// ---- one task of output planes ---------------------------------------------------------

// How flat input positions are formed: in 32-bit vector lanes, or lane by lane
// in 64 bits when the input has more than 2^31 - 1 elements.
enum class Positions { k32, k64 };

// The rows ahead whose input lines are prefetched.
inline constexpr float kPrefetchRowsAhead = 2.0f;
// A row that stays within one input row for this many voxels or more is
// followed well enough by the hardware prefetcher.
inline constexpr float kPrefetchRunLength = 64.0f;

template <class E, class V>
struct Plane {
    using raw = typename E::raw;
    using f32 = typename V::f32;
    using i32 = typename V::i32;
    static constexpr int L = V::kLanes;

    // All ones in the lanes where 0 <= i < n on every axis: the sign bit of
    // (i - n) & ~i is set exactly then (n < 2^31, so i - n cannot wrap for i >= 0).
    static i32 within(i32 iz, i32 iy, i32 ix, std::int64_t nz, std::int64_t ny, std::int64_t nx) {
        auto axis = [](i32 i, std::int64_t n) { return V::andnot_i(i, V::sub_i(i, V::splat_i(static_cast<std::int32_t>(n)))); };
        return V::sign_mask(V::and_i(V::and_i(axis(iz, nz), axis(iy, ny)), axis(ix, nx)));
    }

    // Asks for the input lines that the same block of a row further down will
    // read. A row that crosses input rows or planes walks a slanted line through
    // memory that the hardware prefetcher does not follow, and without this the
    // loads wait for memory one miss at a time. Only every other lane is
    // looked at: neighbouring lanes mostly share their lines. No value changes.
    static void prefetch_ahead(const Params<E>& p, f32 X, const float ahead[3], std::int32_t* scratch) {
        const i32 iz = V::truncate(V::floor(V::fmadd(X, V::splat(p.m[2]), V::splat(ahead[0]))));
        const i32 iy = V::truncate(V::floor(V::fmadd(X, V::splat(p.m[5]), V::splat(ahead[1]))));
        const i32 ix = V::truncate(V::floor(V::fmadd(X, V::splat(p.m[8]), V::splat(ahead[2]))));
        // Lanes whose lines all lie inside the input (the next row and plane
        // too); the others ask for element 0.
        const i32 ok = within(iz, iy, ix, static_cast<std::int64_t>(p.nz) - 1, static_cast<std::int64_t>(p.ny) - 1,
                              static_cast<std::int64_t>(p.nx));
        const i32 at = V::add_i(V::add_i(V::mullo_i(iz, V::splat_i(static_cast<std::int32_t>(p.plane_stride))),
                                         V::mullo_i(iy, V::splat_i(static_cast<std::int32_t>(p.row_stride)))),
                                ix);
        V::store(scratch, V::and_i(at, ok));
        for (int k = 0; k < L; k += 2) {
            const char* c = reinterpret_cast<const char*>(p.in + scratch[k]);
            const std::size_t row = p.row_stride * sizeof(raw), plane = p.plane_stride * sizeof(raw);
            _mm_prefetch(c, _MM_HINT_T0);
            _mm_prefetch(c + row, _MM_HINT_T0);
            _mm_prefetch(c + plane, _MM_HINT_T0);
            _mm_prefetch(c + plane + row, _MM_HINT_T0);
        }
    }

    // The eight corner values of every lane as binary32, positions formed in
    // 32-bit lanes. Outside lanes read element 0 (their value is not used).
    static void fetch_corners_pos32(const Params<E>& p, i32 iz, i32 iy, i32 ix, i32 inside, f32 v[8]) {
        alignas(64) std::int32_t pos[3][L];  // first element of the x pair, z step, y step
        const i32 one = V::splat_i(1);
        // Upper neighbour min(i + 1, n - 1): a step of one stride while
        // i < n - 1, none on the last index.
        const i32 plane = V::splat_i(static_cast<std::int32_t>(p.plane_stride));
        const i32 row = V::splat_i(static_cast<std::int32_t>(p.row_stride));
        const i32 at = V::add_i(V::add_i(V::mullo_i(iz, plane), V::mullo_i(iy, row)), ix);
        auto below_last = [](i32 i, std::uint64_t n) {
            return V::sign_mask(V::sub_i(i, V::splat_i(static_cast<std::int32_t>(n - 1))));
        };
        const i32 step_x = V::and_i(below_last(ix, p.nx), one);
        V::store(pos[1], V::and_i(V::and_i(below_last(iz, p.nz), plane), inside));
        V::store(pos[2], V::and_i(V::and_i(below_last(iy, p.ny), row), inside));
        // The two x neighbours are adjacent in memory: one load of two
        // elements from (c + dx - 1) reads both. With dx = 1 that is
        // (c, c + 1); on the last column (dx = 0) it is (c - 1, c), and
        // both neighbours are the second element. Outside lanes take
        // dx = 1 so as not to read before the buffer.
        const i32 dx_pair = V::or_i(V::and_i(step_x, inside), V::andnot_i(inside, one));
        V::store(pos[0], V::sub_i(V::add_i(V::and_i(at, inside), dx_pair), one));
        // The four pairs: rows (y, z) = (0, 0), (1, 0), (0, 1), (1, 1).
        const i32 second_only = V::is_zero(dx_pair);
        const std::int32_t *first = pos[0], *dz = pos[1], *dy = pos[2];
        V::load_pairs(p.in, [&](int k) { return first[k]; }, second_only, &v[0]);
        V::load_pairs(p.in, [&](int k) { return first[k] + dy[k]; }, second_only, &v[2]);
        V::load_pairs(p.in, [&](int k) { return first[k] + dz[k]; }, second_only, &v[4]);
        V::load_pairs(p.in, [&](int k) { return first[k] + dz[k] + dy[k]; }, second_only, &v[6]);
    }

    // The same with 64-bit positions, lane by lane.
    static void fetch_corners_pos64(const Params<E>& p, i32 iz, i32 iy, i32 ix, f32 v[8]) {
        alignas(64) std::int32_t cell[3][L];
        alignas(64) raw corner[8][L];
        V::store(cell[0], iz);
        V::store(cell[1], iy);
        V::store(cell[2], ix);
        for (int k = 0; k < L; ++k) {
            const std::uint32_t a = static_cast<std::uint32_t>(cell[0][k]);
            const std::uint32_t b = static_cast<std::uint32_t>(cell[1][k]);
            const std::uint32_t c = static_cast<std::uint32_t>(cell[2][k]);
            std::uint64_t at = 0, dz = 0, dy = 0, dx = 0;
            if (a < p.nz && b < p.ny && c < p.nx) {
                at = a * p.plane_stride + b * p.row_stride + c;
                dz = (a + 1 < p.nz) ? p.plane_stride : 0;
                dy = (b + 1 < p.ny) ? p.row_stride : 0;
                dx = (c + 1 < p.nx) ? 1 : 0;
            }
            // Corner j has bits (z, y, x), 1 meaning the upper neighbour.
            const raw* q = p.in + at;
            corner[0][k] = load(q);
            corner[1][k] = load(q + dx);
            corner[2][k] = load(q + dy);
            corner[3][k] = load(q + dy + dx);
            corner[4][k] = load(q + dz);
            corner[5][k] = load(q + dz + dx);
            corner[6][k] = load(q + dz + dy);
            corner[7][k] = load(q + dz + dy + dx);
        }
        for (int j = 0; j < 8; ++j) v[j] = V::widen(corner[j]);
    }

    // Vector blocks of one row.
    template <Positions kPositions>
    static void row_blocks(const Params<E>& p, raw* row, std::uint64_t blocks_end, const float base[3],
                           const float ahead[3]) {
        const f32 b0 = V::splat(base[0]), b1 = V::splat(base[1]), b2 = V::splat(base[2]);
        const f32 m0 = V::splat(p.m[2]), m1 = V::splat(p.m[5]), m2 = V::splat(p.m[8]);
        const f32 one = V::splat(1.0f);
        const f32 cval = V::splat(p.cval32);
        alignas(64) std::int32_t scratch[L];

        for (std::uint64_t x0 = 0; x0 < blocks_end; x0 += L) {
            // Coordinates: one fused multiply-add per axis, rounded once.
            const f32 X = V::lane_indices(static_cast<std::uint32_t>(x0));
            const f32 cz = V::fmadd(X, m0, b0);
            const f32 cy = V::fmadd(X, m1, b1);
            const f32 cx = V::fmadd(X, m2, b2);
            const f32 lz = V::floor(cz), ly = V::floor(cy), lx = V::floor(cx);
            const f32 fz = V::sub(cz, lz), fy = V::sub(cy, ly), fx = V::sub(cx, lx);
            const f32 gz = V::sub(one, fz), gy = V::sub(one, fy), gx = V::sub(one, fx);
            // Truncation of the floors: NaN and out-of-range give INT32_MIN,
            // which the outside test rejects.
            const i32 iz = V::truncate(lz), iy = V::truncate(ly), ix = V::truncate(lx);
            const i32 inside = within(iz, iy, ix, static_cast<std::int64_t>(p.nz), static_cast<std::int64_t>(p.ny),
                                      static_cast<std::int64_t>(p.nx));

            f32 v[8];
            if constexpr (kPositions == Positions::k32) {
                if (ahead != nullptr) prefetch_ahead(p, X, ahead, scratch);
                fetch_corners_pos32(p, iz, iy, ix, inside, v);
            } else {
                fetch_corners_pos64(p, iz, iy, ix, v);
            }

            // Weights: y factor times x factor first, then the z factor. The sum
            // runs left to right, each product and sum rounded; lanes are
            // independent, so this is the per-voxel sum done L voxels at a time.
            const f32 yx0 = V::mul(gy, gx), yx1 = V::mul(gy, fx);
            const f32 yx2 = V::mul(fy, gx), yx3 = V::mul(fy, fx);
            f32 acc = V::mul(v[0], V::mul(gz, yx0));
            acc = V::add(acc, V::mul(v[1], V::mul(gz, yx1)));
            acc = V::add(acc, V::mul(v[2], V::mul(gz, yx2)));
            acc = V::add(acc, V::mul(v[3], V::mul(gz, yx3)));
            acc = V::add(acc, V::mul(v[4], V::mul(fz, yx0)));
            acc = V::add(acc, V::mul(v[5], V::mul(fz, yx1)));
            acc = V::add(acc, V::mul(v[6], V::mul(fz, yx2)));
            acc = V::add(acc, V::mul(v[7], V::mul(fz, yx3)));
            // Outside lanes take cval (as binary32; it narrows back to the
            // stored cval pattern exactly).
            V::narrow_store(row + x0, V::select(inside, acc, cval));
        }
    }

    static void row_remainder(const Params<E>& p, raw* row, std::uint64_t from, std::uint64_t nx_out,
                              const float base[3]) {
        const std::int64_t nz = static_cast<std::int64_t>(p.nz);
        const std::int64_t ny = static_cast<std::int64_t>(p.ny);
        const std::int64_t nx = static_cast<std::int64_t>(p.nx);
        for (std::uint64_t x = from; x < nx_out; ++x) {
            const float X = static_cast<float>(x);
            // Multiplication, then addition: two roundings (no contraction).
            const float cz = base[0] + X * p.m[2];
            const float cy = base[1] + X * p.m[5];
            const float cx = base[2] + X * p.m[8];
            const float lz = floor_f32(cz), ly = floor_f32(cy), lx = floor_f32(cx);
            const std::int64_t iz = saturate_i32(lz), iy = saturate_i32(ly), ix = saturate_i32(lx);
            if (iz < 0 || iz >= nz || iy < 0 || iy >= ny || ix < 0 || ix >= nx) {
                row[x] = p.cval;
                continue;
            }
            const float fz = cz - lz, fy = cy - ly, fx = cx - lx;
            const float gz = 1.0f - fz, gy = 1.0f - fy, gx = 1.0f - fx;
            const std::uint64_t at = static_cast<std::uint64_t>(iz) * p.plane_stride +
                                     static_cast<std::uint64_t>(iy) * p.row_stride + static_cast<std::uint64_t>(ix);
            const std::uint64_t dz = (iz + 1 < nz) ? p.plane_stride : 0;
            const std::uint64_t dy = (iy + 1 < ny) ? p.row_stride : 0;
            const std::uint64_t dx = (ix + 1 < nx) ? 1 : 0;
            const raw* c = p.in + at;
            const float t0 = ((E::widen(load(c)) * gx) * gy) * gz;
            const float t1 = ((E::widen(load(c + dx)) * fx) * gy) * gz;
            const float t2 = ((E::widen(load(c + dy)) * gx) * fy) * gz;
            const float t3 = ((E::widen(load(c + dy + dx)) * fx) * fy) * gz;
            const float t4 = ((E::widen(load(c + dz)) * gx) * gy) * fz;
            const float t5 = ((E::widen(load(c + dz + dx)) * fx) * gy) * fz;
            const float t6 = ((E::widen(load(c + dz + dy)) * gx) * fy) * fz;
            const float t7 = ((E::widen(load(c + dz + dy + dx)) * fx) * fy) * fz;
            row[x] = E::narrow(((((((t0 + t1) + t2) + t3) + t4) + t5) + t6) + t7);
        }
    }

    // One output row: vector blocks from x = 0, then the remainder voxels.
    static void row(const Params<E>& p, raw* out_row, float Y, const float P[3], Positions positions) {
        // Row base: product, plus the plane term, plus the offset, in this order.
        const float base[3] = {((Y * p.m[1]) + P[0]) + p.o[0],
                               ((Y * p.m[4]) + P[1]) + p.o[1],
                               ((Y * p.m[7]) + P[2]) + p.o[2]};
        // Where a row further down starts (for prefetching only).
        const float Ya = Y + kPrefetchRowsAhead;
        const float ahead[3] = {((Ya * p.m[1]) + P[0]) + p.o[0],
                                ((Ya * p.m[4]) + P[1]) + p.o[1],
                                ((Ya * p.m[7]) + P[2]) + p.o[2]};
        const std::uint64_t blocks_end = (p.nx / L) * L;
        if (positions == Positions::k64)
            row_blocks<Positions::k64>(p, out_row, blocks_end, base, nullptr);
        else
            row_blocks<Positions::k32>(p, out_row, blocks_end, base, p.prefetch ? ahead : nullptr);
        row_remainder(p, out_row, blocks_end, p.nx, base);
    }

    // One task: the whole planes [z0, z1). Its rows are visited row index by row
    // index across those planes (row y of every plane, then row y + 1): the rows
    // at one index in neighbouring planes sample neighbouring input, which is
    // still in cache when the next plane's row needs it. Each voxel's value
    // depends on its own indices only, so the visiting order changes nothing
    // but speed.
    static void run(const void* ctx, std::size_t task) noexcept {
        const Params<E>& p = *static_cast<const Params<E>*>(ctx);
        const std::uint64_t plane_len = p.ny * p.nx;
        const Positions positions =
            p.nz * p.plane_stride > static_cast<std::uint64_t>(INT32_MAX) ? Positions::k64 : Positions::k32;
        const std::uint64_t z0 = task * p.planes_per_task;
        const std::uint64_t z1 = z0 + p.planes_per_task < p.nz ? z0 + p.planes_per_task : p.nz;
        float P[parallel::kMaxPlanesPerTask][3];  // the plane terms, once per plane
        for (std::uint64_t z = z0; z < z1; ++z) {
            const float Z = static_cast<float>(z);
            P[z - z0][0] = Z * p.m[0];
            P[z - z0][1] = Z * p.m[3];
            P[z - z0][2] = Z * p.m[6];
        }
        for (std::uint64_t y = 0; y < p.ny; ++y) {
            const float Y = static_cast<float>(y);
            for (std::uint64_t z = z0; z < z1; ++z) row(p, p.out + z * plane_len + y * p.nx, Y, P[z - z0], positions);
        }
    }
};

// ---- driver ---------------------------------------------------------------------

template <class T>
bool c_contiguous_exact(const View3<T>& v) {
    return v.strides[2] == 1 && v.strides[1] == static_cast<std::ptrdiff_t>(v.shape[2]) &&
           v.strides[0] == static_cast<std::ptrdiff_t>(v.shape[1] * v.shape[2]);
}

// C order, where the stride of an axis of length 1 does not matter.
template <class T>
bool c_ordered(const View3<T>& v) {
    std::size_t expect = 1;
    for (int a = 2; a >= 0; --a) {
        if (v.shape[a] != 1 && v.strides[a] != static_cast<std::ptrdiff_t>(expect)) return false;
        expect *= v.shape[a];
    }
    return true;
}

template <class E, class V>
Status run_kernel(const View3<const typename E::raw>& in, const View3<typename E::raw>& out,
                  const double matrix[9], const double offset[3], typename E::cval_arg cval) noexcept {
    if (out.shape[0] != in.shape[0] || out.shape[1] != in.shape[1] || out.shape[2] != in.shape[2])
        return Status::kOutputShape;
    // Nothing to interpolate between: the output keeps its cval fill, whatever
    // the layout of the input.
    if (in.shape[0] < 2 || in.shape[1] < 2 || in.shape[2] < 2) return Status::kOk;
    if (!c_contiguous_exact(in)) return Status::kInputNotContiguous;
    if (!c_ordered(out)) return Status::kOutputNotContiguous;

    Params<E> p;
    p.in = in.data;
    p.nz = in.shape[0];
    p.ny = in.shape[1];
    p.nx = in.shape[2];
    p.plane_stride = in.shape[1] * in.shape[2];
    p.row_stride = in.shape[2];
    for (int i = 0; i < 9; ++i) p.m[i] = static_cast<float>(matrix[i]);
    for (int i = 0; i < 3; ++i) p.o[i] = static_cast<float>(offset[i]);
    p.cval = E::cval_raw(cval);
    p.cval32 = E::widen(p.cval);
    p.out = out.data;
    p.prefetch = __builtin_fabsf(p.m[2]) + __builtin_fabsf(p.m[5]) >= 1.0f / kPrefetchRunLength;

    if (p.ny * p.nx == 0) return Status::kZeroChunk;  // the plane is the unit of work
    // Up to parallel::kMaxPlanesPerTask whole planes per task for cache reuse between
    // neighbouring planes, but at least about parallel::kMinTasksPerWorker tasks per worker.
    const std::uint64_t per_worker = p.nz / (parallel::kMinTasksPerWorker * parallel::num_threads() + 1);
    p.planes_per_task = per_worker < 1 ? 1 : (per_worker > parallel::kMaxPlanesPerTask ? parallel::kMaxPlanesPerTask : per_worker);
    const std::uint64_t tasks = (p.nz + p.planes_per_task - 1) / p.planes_per_task;
    return parallel::for_each(tasks, &Plane<E, V>::run, &p);
}

}  // namespace zentrova::ZENTROVA_ISA

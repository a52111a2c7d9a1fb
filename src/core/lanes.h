// The lane contract: what the resampler's templates ask of a lane type, the
// policy that every target supplies (targets/<name>/vec*.h). `Lanes<V, T>`
// is required of each target's binary32 (T = float) and binary64 (T = double)
// lanes; the capabilities below it are optional, and the templates take a
// faster way where a lane type has them.
//
// Every operation must give, lane by lane, the bits the portable target's
// one-lane type gives (targets/portable/vec.h states them operation by
// operation: the x86 instructions' results, NaN and overflow included), so
// that no voxel depends on the target. The tests compare the targets bit for
// bit; the concept only states the shape.
//
// Masks are int32 lanes (i32) of all ones or all zeros: comparisons make
// them, select and movemask read their sign bit, and they combine with the
// int32 operations. How a result is stored into each element type (rounded,
// clamped, narrowed) is asked of the lanes by that type (core/elements.h).
#pragma once

#include <concepts>
#include <cstdint>

namespace zentrova {

namespace lanes_detail {
// A lane-position function as the templates pass one: element offsets per lane.
struct Start {
    std::int64_t operator()(int) const;
};
}  // namespace lanes_detail

template <class V, class T>
concept Lanes = requires(typename V::f32 a, typename V::i32 m, T scalar, T* out, const T* in, std::int32_t i,
                         std::int32_t* iout, const std::int32_t* iin, const double* coords, std::uint32_t x0) {
    { V::kLanes } -> std::convertible_to<int>;
    // ---- compute lanes: each operation rounded once, as IEEE 754 says (no contraction)
    { V::splat(scalar) } -> std::same_as<typename V::f32>;
    { V::lane_indices(x0) } -> std::same_as<typename V::f32>;  // x0, x0 + 1, ... converted to T
    { V::add(a, a) } -> std::same_as<typename V::f32>;
    { V::sub(a, a) } -> std::same_as<typename V::f32>;
    { V::mul(a, a) } -> std::same_as<typename V::f32>;
    { V::div(a, a) } -> std::same_as<typename V::f32>;
    { V::fmadd(a, a, a) } -> std::same_as<typename V::f32>;  // a * b + c rounded once
    { V::min(a, a) } -> std::same_as<typename V::f32>;       // b where either is NaN
    { V::max(a, a) } -> std::same_as<typename V::f32>;
    { V::floor(a) } -> std::same_as<typename V::f32>;
    { V::truncate(a) } -> std::same_as<typename V::i32>;     // NaN, out of range: INT32_MIN
    // ---- masks
    { V::gt(a, a) } -> std::same_as<typename V::i32>;
    { V::ge(a, a) } -> std::same_as<typename V::i32>;
    { V::le(a, a) } -> std::same_as<typename V::i32>;
    { V::select(m, a, a) } -> std::same_as<typename V::f32>;
    { V::movemask(m) } -> std::convertible_to<unsigned>;     // a bit per lane, lane 0 lowest
    // ---- int32 lanes, wrapping
    { V::splat_i(i) } -> std::same_as<typename V::i32>;
    { V::add_i(m, m) } -> std::same_as<typename V::i32>;
    { V::sub_i(m, m) } -> std::same_as<typename V::i32>;
    { V::mullo_i(m, m) } -> std::same_as<typename V::i32>;
    { V::clamp_i(m, m, m) } -> std::same_as<typename V::i32>;
    { V::and_i(m, m) } -> std::same_as<typename V::i32>;
    { V::andnot_i(m, m) } -> std::same_as<typename V::i32>;  // ~a & b
    { V::or_i(m, m) } -> std::same_as<typename V::i32>;
    { V::sign_mask(m) } -> std::same_as<typename V::i32>;    // all ones where negative
    // ---- memory: `load`/`store` aligned to the vector, the others not
    { V::load(in) } -> std::same_as<typename V::f32>;
    V::store(out, a);
    { V::load_unaligned(in) } -> std::same_as<typename V::f32>;
    { V::load_i(iin) } -> std::same_as<typename V::i32>;
    V::store(iout, m);
    { V::load_coords(coords) } -> std::same_as<typename V::f32>;  // binary64 rounded to T
    // one element per lane at base + start(k), widened to T
    { V::load_singles(in, lanes_detail::Start{}) } -> std::same_as<typename V::f32>;
};

// Optional capabilities.

// a * b - c negated (c - a * b) rounded once: divisions by the spline weights'
// constants become a product and its correction (rows.h, quotient).
template <class V>
concept HasFusedNegate = requires(typename V::f32 a) { V::fnmadd(a, a, a); };

// A lane's neighbouring elements along x read in one vector load (V::tap_runs)
// for the sums in scipy's order.
template <class V, class Raw>
concept HasTapRuns = requires(const Raw* base, typename V::f32* out) { V::tap_runs(base, lanes_detail::Start{}, out); };

// Runs of neighbouring Raw elements per lane read in vector loads, in groups
// of lanes (V::run_group), for the factored sums of orders 2 to 5.
template <class V, class Raw>
concept HasRuns = requires(const Raw* base, typename V::f32 x, const typename V::f32* groups, typename V::f32* out) {
    V::template run_group<0>(base, lanes_detail::Start{}, 0, 4);
    V::template spread_group<0>(x);
    V::transpose_groups(groups, 4, out);
};

}  // namespace zentrova

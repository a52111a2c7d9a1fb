// The resampler's kernels, one per element type and target (instruction set),
// and the table that picks them: the target this processor runs best, or the
// one ZENTROVA_TARGET names.
#pragma once

#include <cstdint>

#include "core/call.h"

namespace zentrova {

using ResampleKernel = ResampleStatus (*)(const ResampleCall& call) noexcept;
// The box [lo, hi) of the whole input that the call's output window reads;
// false when it reads none. The call's input and output pointers are not used.
using WindowBox = bool (*)(const ResampleCall& call, std::int64_t lo[3], std::int64_t hi[3]) noexcept;

// Stores n values of a compute type (binary32 or binary64) into elements of
// one type, as the kernels store their results.
using CastKernel = void (*)(const void* src, void* dst, std::int64_t n) noexcept;
using PointsKernel = ResampleStatus (*)(const PointsCall& call) noexcept;
// scipy's B-spline prefilter (orders 2 to 5) along one axis of a C-contiguous
// binary32 or binary64 array, computed in binary64, into one of either type
// (the same array, or one that does not overlap it).
// `window`: nullptr, or the element strides of a 3-D window of a larger array
// that src and dst both are (filtered in place).
using SplineFilter = ResampleStatus (*)(const void* src, bool src_f32, void* dst, bool dst_f32,
                                        const std::int64_t* shape, int ndim, int axis, int order, Mode mode,
                                        const std::int64_t* window) noexcept;
// The same along the last two axes (ndim >= 2), a plane at a time: along
// ndim - 2 from src into mid, then along ndim - 1 from mid into dst.
using SplinePlanes = ResampleStatus (*)(const void* src, bool src_f32, void* mid, bool mid_f32, void* dst,
                                        bool dst_f32, const std::int64_t* shape, int ndim, int order, Mode mode,
                                        const std::int64_t* window, const MarginFill* fill) noexcept;

// Fills the margins of an array in place (MarginCall).
using MarginKernel = ResampleStatus (*)(const MarginCall& call) noexcept;

inline constexpr int kElementCount = static_cast<int>(Element::kBool) + 1;

// Everything one target (an instruction set) provides, indexed by element
// type: each target's folder makes its table from one template (core/table.h)
// with its lane types. A null entry is the target below's: a target builds
// only what gains from its lanes, and the lowest (portable) has everything.
struct TargetTable {
    const char* name;              // as ZENTROVA_TARGET and backend() spell it
    // What this processor lacks to run it, or nullptr where it runs it (baseline code).
    const char* (*lacks)() noexcept;
    ResampleKernel rows[kElementCount];          // the output grid row by row
    PointsKernel points[kElementCount];          // samples at given coordinates
    // Order 0 of the types computed in binary32 at given points, on binary64 coordinates.
    PointsKernel nearest_points[kElementCount];
    // Values of binary32 (binary64) stored into each element type as the kernels store theirs.
    CastKernel cast_binary32[kElementCount];
    CastKernel cast_binary64[kElementCount];
    // binary32 values stored by the binary64 rule (order-0 results, which scipy stores from binary64).
    CastKernel cast_binary32_by_binary64_rule[kElementCount];
    WindowBox box_binary32, box_binary64;
    SplineFilter spline_filter;
    SplinePlanes spline_planes;
    MarginKernel fill_margin;
};

// The targets this build has, lowest first (the list CMake writes for the
// processor family: portable, then its instruction sets).
int target_count() noexcept;

struct ResampleBackend {
    const char* name;  // the target's: "portable", "avx2", "avx512" or "neon"
    ResampleKernel run;
    WindowBox box;     // the same arithmetic as run, whatever the lane width
};

// The target in use: the one ZENTROVA_TARGET names ("portable", "avx2",
// "avx512" or "neon", read once per process; unset or empty: the highest target this
// processor runs). `error` is set, and the module must not import, when the
// variable names no target or one this processor cannot run.
struct TargetChoice {
    int target;  // index into the targets, lowest first
    const char* error;  // nullptr, or why the choice failed
};
const TargetChoice& target_choice() noexcept;

const char* target_name(int target) noexcept;
// Whether this processor (and its operating system) runs the target's kernels.
bool target_usable(int target) noexcept;

// The kernels of the target in use for an element type at an order (order 0
// of the types computed in binary32 reads the input box of binary64
// coordinates, as its kernel decides). A target without a kernel of its own
// for a type (AVX-512 for most) runs that of the highest target below it that
// has one.
ResampleBackend resample_backend(Element element, int order) noexcept;
// How values of the compute type (binary64 when `from_binary64`, else binary32)
// are stored into an element type; nullptr where binary32 values never are.
// `binary64_rule`: binary32 values stored as their binary64 values would be
// (order-0 results, which scipy stores from binary64).
CastKernel cast_kernel(Element element, bool from_binary64, bool binary64_rule = false) noexcept;
// The kernel of samples at given coordinates for an element type at an order; nullptr for bool.
PointsKernel points_kernel(Element element, int order) noexcept;
SplineFilter spline_filter() noexcept;
SplinePlanes spline_planes() noexcept;
MarginKernel margin_kernel() noexcept;

// The target's own kernel for an element type (tests and benchmarks compare the
// targets); run == nullptr where it has none, or where this processor cannot run it.
ResampleBackend target_resample_backend(int target, Element element, int order) noexcept;

}  // namespace zentrova

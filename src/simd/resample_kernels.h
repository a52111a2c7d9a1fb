// The resampler's kernels, one per element type and instruction set, and the
// table that picks them for this processor.
#pragma once

#include <cstdint>

#include "simd/resample_call.h"

namespace zentrova {

using ResampleKernel = ResampleStatus (*)(const ResampleCall& call) noexcept;
// The box [lo, hi) of the whole input that the call's output window reads;
// false when it reads none. The call's input and output pointers are not used.
using WindowBox = bool (*)(const ResampleCall& call, std::int64_t lo[3], std::int64_t hi[3]) noexcept;

// Stores n values of a compute type (binary32 or binary64) into elements of
// one type, as the kernels store their results.
using CastKernel = void (*)(const void* src, void* dst, std::int64_t n) noexcept;
using PointsKernel = ResampleStatus (*)(const PointsCall& call) noexcept;

namespace avx2 {
ResampleStatus resample_u8_avx2(const ResampleCall& call) noexcept;
ResampleStatus resample_i8_avx2(const ResampleCall& call) noexcept;
ResampleStatus resample_u16_avx2(const ResampleCall& call) noexcept;
ResampleStatus resample_i16_avx2(const ResampleCall& call) noexcept;
ResampleStatus resample_f16_avx2(const ResampleCall& call) noexcept;
ResampleStatus resample_f32_avx2(const ResampleCall& call) noexcept;
ResampleStatus resample_f64_avx2(const ResampleCall& call) noexcept;
ResampleStatus resample_i32_avx2(const ResampleCall& call) noexcept;
ResampleStatus resample_u32_avx2(const ResampleCall& call) noexcept;
ResampleStatus resample_i64_avx2(const ResampleCall& call) noexcept;
ResampleStatus resample_u64_avx2(const ResampleCall& call) noexcept;
bool window_box_binary32_avx2(const ResampleCall& call, std::int64_t lo[3], std::int64_t hi[3]) noexcept;
bool window_box_binary64_avx2(const ResampleCall& call, std::int64_t lo[3], std::int64_t hi[3]) noexcept;
// nullptr for an element that binary32 values are never stored into.
CastKernel cast_binary32_avx2(Element element) noexcept;
CastKernel cast_binary64_avx2(Element element) noexcept;
// Samples at given coordinates, any number of axes; nullptr for bool.
PointsKernel points_binary32_avx2(Element element) noexcept;
PointsKernel points_binary64_avx2(Element element) noexcept;
// scipy's B-spline prefilter (orders 2 to 5) along one axis of a C-contiguous
// binary64 array, in place.
ResampleStatus spline_filter_f64_avx2(double* data, const std::int64_t* shape, int ndim, int axis, int order,
                                      Mode mode) noexcept;
}  // namespace avx2

namespace avx512 {
ResampleStatus resample_f32_avx512(const ResampleCall& call) noexcept;
ResampleStatus resample_f16_avx512(const ResampleCall& call) noexcept;
ResampleStatus resample_u16_avx512(const ResampleCall& call) noexcept;
ResampleStatus resample_i16_avx512(const ResampleCall& call) noexcept;
}  // namespace avx512

struct ResampleBackend {
    const char* name;  // "avx512" or "avx2"
    ResampleKernel run;
    WindowBox box;     // the same arithmetic as run, whatever the lane width
};

// How values of the compute type (binary64 when `from_binary64`, else binary32)
// are stored into an element type; nullptr where binary32 values never are.
CastKernel cast_kernel(Element element, bool from_binary64) noexcept;
// The kernel of samples at given coordinates for an element type; nullptr for bool.
PointsKernel points_kernel(Element element) noexcept;

// The kernel for an element type on this processor.
ResampleBackend resample_backend(Element element) noexcept;
// The 8-lane kernel for an element type (every processor that imports runs it).
ResampleBackend resample_backend_avx2(Element element) noexcept;
// The 16-lane kernel for an element type; run == nullptr where there is none, or
// where this processor cannot run it.
ResampleBackend resample_backend_avx512(Element element) noexcept;

}  // namespace zentrova

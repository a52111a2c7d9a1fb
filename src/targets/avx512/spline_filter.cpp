// spline_filter_f64_avx512: scipy's B-spline prefilter along one axis, in
// binary64, from and into binary32 or binary64 arrays, eight lines at a time in F64x8 lanes.
#define ZENTROVA_ISA avx512
#include "targets/avx512/vec_f64.h"
#include "core/spline_filter.h"
#include "dispatch/targets.h"

namespace zentrova::avx512 {

ResampleStatus spline_filter_f64_avx512(const void* src, bool src_f32, void* dst, bool dst_f32,
                                          const std::int64_t* shape, int ndim, int axis, int order,
                                          Mode mode, const std::int64_t* window) noexcept {
    return spline::filter<F64x8>(src, src_f32, dst, dst_f32, shape, ndim, axis, order, mode, window);
}

ResampleStatus spline_planes_f64_avx512(const void* src, bool src_f32, void* mid, bool mid_f32, void* dst, bool dst_f32,
                                          const std::int64_t* shape, int ndim, int order, Mode mode, const std::int64_t* window,
                                          const MarginFill* fill) noexcept {
    return spline::filter_planes<F64x8>(src, src_f32, mid, mid_f32, dst, dst_f32, shape, ndim, order, mode, window, fill);
}

}  // namespace zentrova::avx512

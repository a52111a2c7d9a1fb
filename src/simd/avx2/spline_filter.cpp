// spline_filter_f64_avx2: scipy's B-spline prefilter along one axis of a
// binary64 array, four lines at a time in F64x4 lanes.
#define ZENTROVA_ISA avx2
#include "simd/avx2/vec_f64.h"
#include "simd/spline_filter.h"
#include "simd/resample_kernels.h"

namespace zentrova::avx2 {

ResampleStatus spline_filter_f64_avx2(double* data, const std::int64_t* shape, int ndim, int axis, int order,
                                      Mode mode) noexcept {
    return spline::filter<F64x4>(data, shape, ndim, axis, order, mode);
}

}  // namespace zentrova::avx2

// spline_filter_f64_portable: scipy's B-spline prefilter along one axis of a binary64 array, one
// line per lane, at the x86-64 baseline.
#define ZENTROVA_ISA portable
#include "simd/portable/vec.h"
#include "simd/spline_filter.h"
#include "simd/resample_kernels.h"

namespace zentrova::portable {

ResampleStatus spline_filter_f64_portable(double* data, const std::int64_t* shape, int ndim, int axis, int order,
                                          Mode mode) noexcept {
    return spline::filter<F64x1>(data, shape, ndim, axis, order, mode);
}

}  // namespace zentrova::portable

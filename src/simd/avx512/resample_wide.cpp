// resample_f64_avx512: float64 in blocks of 8 voxels in F64x8 lanes where
// every corner is inside, one voxel at a time elsewhere. Orders 2 to 5 sum
// their footprint in scipy's order, one dependent addition after another, so
// the lanes of one register are what the sum's speed scales with. Order 0 of
// the types computed in binary32 runs here too, on its binary64 coordinates.
#define ZENTROVA_ISA avx512
#include "simd/avx512/vec_f64.h"
#include "simd/resample_tables.h"

namespace zentrova::avx512 {

ResampleStatus resample_f64_avx512(const ResampleCall& call) noexcept {
    return resample::run_lanes<resample::F64, F64x8>(call);
}

ResampleKernel nearest_binary64_avx512(Element element) noexcept { return resample::nearest_binary64<F64x8>(element); }

PointsKernel nearest_points_binary64_avx512(Element element) noexcept {
    return resample::nearest_points_binary64<F64x8>(element);
}

}  // namespace zentrova::avx512

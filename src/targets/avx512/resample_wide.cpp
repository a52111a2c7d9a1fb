// resample_f64_avx512: float64 in blocks of 8 voxels in F64x8 lanes where
// every corner is inside, one voxel at a time elsewhere. Orders 2 to 5 sum
// their footprint in scipy's order, one dependent addition after another, so
// the lanes of one register are what the sum's speed scales with.
#define ZENTROVA_ISA avx512
#include "targets/avx512/vec_f64.h"
#include "core/rows.h"
#include "dispatch/targets.h"

namespace zentrova::avx512 {

ResampleStatus resample_f64_avx512(const ResampleCall& call) noexcept {
    return resample::run_lanes<resample::F64, F64x8>(call);
}

}  // namespace zentrova::avx512

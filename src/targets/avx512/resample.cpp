// resample_<type>_avx512 for float32, float16 and the 16-bit integers: blocks
// of 16 voxels in F32x16 lanes where every corner is inside, one voxel at a
// time elsewhere.
#define ZENTROVA_ISA avx512
#include "targets/avx512/vec.h"
#include "core/rows.h"
#include "dispatch/targets.h"

namespace zentrova::avx512 {

ResampleStatus resample_f32_avx512(const ResampleCall& call) noexcept {
    return resample::run_lanes<resample::F32, F32x16>(call);
}

ResampleStatus resample_u16_avx512(const ResampleCall& call) noexcept {
    return resample::run_lanes<resample::U16, F32x16>(call);
}

ResampleStatus resample_i16_avx512(const ResampleCall& call) noexcept {
    return resample::run_lanes<resample::I16, F32x16>(call);
}

ResampleStatus resample_f16_avx512(const ResampleCall& call) noexcept {
    return resample::run_lanes<resample::F16, F32x16>(call);
}

}  // namespace zentrova::avx512

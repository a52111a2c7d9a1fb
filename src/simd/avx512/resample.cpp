// resample_f32_avx512 and resample_f16_avx512: blocks of 16 voxels in F32x16
// lanes where every corner is inside, one voxel at a time elsewhere.
#define ZENTROVA_ISA avx512
#include "simd/avx512/vec.h"
#include "simd/resample.h"
#include "simd/resample_kernels.h"

namespace zentrova::avx512 {

ResampleStatus resample_f32_avx512(const ResampleCall& call) noexcept {
    return resample::run<resample::F32, resample::VectorRows<resample::F32, F32x16>>(call);
}

ResampleStatus resample_f16_avx512(const ResampleCall& call) noexcept {
    return resample::run<resample::F16, resample::VectorRows<resample::F16, F32x16>>(call);
}

}  // namespace zentrova::avx512

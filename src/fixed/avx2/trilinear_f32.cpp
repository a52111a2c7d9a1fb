// trilinear_3d_f32_avx2: trilinear resampling of float32 volumes,
// 8 voxels per vector block (F32x8), output planes on the worker pool.
#define ZENTROVA_ISA avx2
#include "targets/avx2/vec.h"
#include "fixed/kernels.h"
#include "fixed/model.h"

namespace zentrova::avx2 {

Status trilinear_3d_f32_avx2(const View3<const float>& input, const View3<float>& output,
                             const double matrix[9], const double offset[3], double cval) noexcept {
    return run_kernel<F32, F32x8>(input, output, matrix, offset, cval);
}

}  // namespace zentrova::avx2

// trilinear_3d_f32_avx512: trilinear resampling of float32 volumes,
// 16 voxels per vector block (F32x16), output planes on the worker pool.
#define ZENTROVA_ISA avx512
#include "targets/avx512/vec.h"
#include "fixed/kernels.h"
#include "fixed/model.h"

namespace zentrova::avx512 {

Status trilinear_3d_f32_avx512(const View3<const float>& input, const View3<float>& output,
                               const double matrix[9], const double offset[3], double cval) noexcept {
    return run_kernel<F32, F32x16>(input, output, matrix, offset, cval);
}

}  // namespace zentrova::avx512

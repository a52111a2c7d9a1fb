// trilinear_3d_u8_avx2: trilinear resampling of uint8 volumes (results clamped to [0, 255] and truncated),
// 8 voxels per vector block (F32x8), output planes on the worker pool.
#define ZENTROVA_ISA avx2
#include "targets/avx2/vec.h"
#include "fixed/kernels.h"
#include "fixed/model.h"

namespace zentrova::avx2 {

Status trilinear_3d_u8_avx2(const View3<const std::uint8_t>& input, const View3<std::uint8_t>& output,
                            const double matrix[9], const double offset[3], std::uint8_t cval) noexcept {
    return run_kernel<U8, F32x8>(input, output, matrix, offset, cval);
}

}  // namespace zentrova::avx2

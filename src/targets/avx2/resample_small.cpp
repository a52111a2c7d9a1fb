// resample_<type>_avx2 for the types computed in binary32 (8- and 16-bit
// integers, float16, float32): blocks of 8 voxels in F32x8 lanes where every
// corner is inside, one voxel at a time elsewhere.
#define ZENTROVA_ISA avx2
#include "targets/avx2/vec.h"
#include "core/table.h"

namespace zentrova::avx2 {

ResampleStatus resample_u8_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U8, F32x8>(call); }
ResampleStatus resample_i8_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I8, F32x8>(call); }
ResampleStatus resample_u16_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U16, F32x8>(call); }
ResampleStatus resample_i16_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I16, F32x8>(call); }
ResampleStatus resample_f16_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::F16, F32x8>(call); }
ResampleStatus resample_f32_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::F32, F32x8>(call); }

CastKernel cast_binary32_avx2(Element element) noexcept { return resample::binary32_cast<F32x8>(element); }

PointsKernel points_binary32_avx2(Element element) noexcept {
    return resample::binary32_points<F32x8>(element);
}

bool window_box_binary32_avx2(const ResampleCall& call, std::int64_t lo[3], std::int64_t hi[3]) noexcept {
    return resample::window_box<resample::F32>(call, lo, hi);
}

}  // namespace zentrova::avx2

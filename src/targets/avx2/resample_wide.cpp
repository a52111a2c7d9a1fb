// resample_<type>_avx2 for the types computed in binary64 (float64, 32- and
// 64-bit integers): blocks of 4 voxels in F64x4 lanes where every corner is
// inside, one voxel at a time elsewhere. Order 0 of the types computed in
// binary32 runs here too, on its binary64 coordinates.
#define ZENTROVA_ISA avx2
#include "targets/avx2/vec_f64.h"
#include "core/table.h"

namespace zentrova::avx2 {

ResampleStatus resample_f64_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::F64, F64x4>(call); }
ResampleStatus resample_i32_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I32, F64x4>(call); }
ResampleStatus resample_u32_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U32, F64x4>(call); }
ResampleStatus resample_i64_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I64, F64x4>(call); }
ResampleStatus resample_u64_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U64, F64x4>(call); }

CastKernel cast_binary64_avx2(Element element) noexcept { return resample::binary64_cast<F64x4>(element); }

PointsKernel points_binary64_avx2(Element element) noexcept {
    return resample::binary64_points<F64x4>(element);
}

PointsKernel nearest_points_binary64_avx2(Element element) noexcept {
    return resample::nearest_points_binary64<F64x4>(element);
}

bool window_box_binary64_avx2(const ResampleCall& call, std::int64_t lo[3], std::int64_t hi[3]) noexcept {
    return resample::window_box<resample::F64>(call, lo, hi);
}

}  // namespace zentrova::avx2

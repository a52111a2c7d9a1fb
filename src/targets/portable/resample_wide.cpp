// resample_<type>_portable for the types computed in binary64 (float64, 32- and 64-bit integers):
// the AVX2 kernels' arithmetic one lane at a time, at the x86-64 baseline. Order 0 of the types
// computed in binary32 at given points runs here too, on binary64 coordinates.
#define ZENTROVA_ISA portable
#include "targets/portable/vec.h"
#include "core/table.h"

namespace zentrova::portable {

ResampleStatus resample_f64_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::F64, F64x1>(call); }
ResampleStatus resample_i32_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I32, F64x1>(call); }
ResampleStatus resample_u32_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U32, F64x1>(call); }
ResampleStatus resample_i64_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I64, F64x1>(call); }
ResampleStatus resample_u64_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U64, F64x1>(call); }

CastKernel cast_binary64_portable(Element element) noexcept { return resample::binary64_cast<F64x1>(element); }

PointsKernel points_binary64_portable(Element element) noexcept {
    return resample::binary64_points<F64x1>(element);
}

PointsKernel nearest_points_binary64_portable(Element element) noexcept {
    return resample::nearest_points_binary64<F64x1>(element);
}

bool window_box_binary64_portable(const ResampleCall& call, std::int64_t lo[3], std::int64_t hi[3]) noexcept {
    return resample::window_box<resample::F64>(call, lo, hi);
}

}  // namespace zentrova::portable

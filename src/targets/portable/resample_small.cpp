// resample_<type>_portable for the types computed in binary32 (8- and 16-bit integers, float16,
// float32): the AVX2 kernels' arithmetic one lane at a time, at the x86-64 baseline.
#define ZENTROVA_ISA portable
#include "targets/portable/vec.h"
#include "core/table.h"

namespace zentrova::portable {

ResampleStatus resample_u8_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U8, F32x1>(call); }
ResampleStatus resample_i8_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I8, F32x1>(call); }
ResampleStatus resample_u16_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U16, F32x1>(call); }
ResampleStatus resample_i16_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I16, F32x1>(call); }
ResampleStatus resample_f16_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::F16, F32x1>(call); }
ResampleStatus resample_f32_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::F32, F32x1>(call); }

CastKernel cast_binary32_portable(Element element) noexcept { return resample::binary32_cast<F32x1>(element); }

CastKernel cast_binary32_by_binary64_rule_portable(Element element) noexcept {
    return resample::binary32_cast_by_binary64_rule(element);
}

PointsKernel points_binary32_portable(Element element) noexcept {
    return resample::binary32_points<F32x1>(element);
}

bool window_box_binary32_portable(const ResampleCall& call, std::int64_t lo[3], std::int64_t hi[3]) noexcept {
    return resample::window_box<resample::F32>(call, lo, hi);
}

}  // namespace zentrova::portable

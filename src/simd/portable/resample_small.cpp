// resample_<type>_portable for the types computed in binary32 (8- and 16-bit integers, float16,
// float32): the AVX2 kernels' arithmetic one lane at a time, at the x86-64 baseline.
#define ZENTROVA_ISA portable
#include "simd/portable/vec.h"
#include "simd/resample.h"
#include "simd/resample_points.h"
#include "simd/resample_kernels.h"

namespace zentrova::portable {

ResampleStatus resample_u8_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U8, F32x1>(call); }
ResampleStatus resample_i8_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I8, F32x1>(call); }
ResampleStatus resample_u16_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U16, F32x1>(call); }
ResampleStatus resample_i16_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I16, F32x1>(call); }
ResampleStatus resample_f16_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::F16, F32x1>(call); }
ResampleStatus resample_f32_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::F32, F32x1>(call); }

CastKernel cast_binary32_portable(Element element) noexcept {
    using namespace resample;
    switch (element) {
        case Element::kU8: return store_values<U8, F32x1>;
        case Element::kI8: return store_values<I8, F32x1>;
        case Element::kU16: return store_values<U16, F32x1>;
        case Element::kI16: return store_values<I16, F32x1>;
        case Element::kF16: return store_values<F16, F32x1>;
        case Element::kF32: return store_values<F32, F32x1>;
        default: return nullptr;
    }
}

PointsKernel points_binary32_portable(Element element) noexcept {
    using namespace resample;
    switch (element) {
        case Element::kU8: return run_points<U8, F32x1>;
        case Element::kI8: return run_points<I8, F32x1>;
        case Element::kU16: return run_points<U16, F32x1>;
        case Element::kI16: return run_points<I16, F32x1>;
        case Element::kF16: return run_points<F16, F32x1>;
        case Element::kF32: return run_points<F32, F32x1>;
        default: return nullptr;
    }
}

bool window_box_binary32_portable(const ResampleCall& call, std::int64_t lo[3], std::int64_t hi[3]) noexcept {
    return resample::window_box<resample::F32>(call, lo, hi);
}

}  // namespace zentrova::portable

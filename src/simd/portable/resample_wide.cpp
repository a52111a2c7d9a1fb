// resample_<type>_portable for the types computed in binary64 (float64, 32- and 64-bit integers):
// the AVX2 kernels' arithmetic one lane at a time, at the x86-64 baseline.
#define ZENTROVA_ISA portable
#include "simd/portable/vec.h"
#include "simd/resample.h"
#include "simd/resample_points.h"
#include "simd/resample_kernels.h"

namespace zentrova::portable {

ResampleStatus resample_f64_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::F64, F64x1>(call); }
ResampleStatus resample_i32_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I32, F64x1>(call); }
ResampleStatus resample_u32_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U32, F64x1>(call); }
ResampleStatus resample_i64_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I64, F64x1>(call); }
ResampleStatus resample_u64_portable(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U64, F64x1>(call); }

CastKernel cast_binary64_portable(Element element) noexcept {
    using namespace resample;
    switch (element) {
        case Element::kF64: return store_values<F64, F64x1>;
        case Element::kI32: return store_values<I32, F64x1>;
        case Element::kU32: return store_values<U32, F64x1>;
        case Element::kI64: return store_values<I64, F64x1>;
        case Element::kU64: return store_values<U64, F64x1>;
        case Element::kU8: return store_from_binary64<U8>;
        case Element::kI8: return store_from_binary64<I8>;
        case Element::kU16: return store_from_binary64<U16>;
        case Element::kI16: return store_from_binary64<I16>;
        case Element::kF16: return store_from_binary64<F16>;
        case Element::kF32: return store_from_binary64<F32>;
        case Element::kBool: return store_from_binary64<Bool>;
    }
    return nullptr;
}

PointsKernel points_binary64_portable(Element element) noexcept {
    using namespace resample;
    switch (element) {
        case Element::kF64: return run_points<F64, F64x1>;
        case Element::kI32: return run_points<I32, F64x1>;
        case Element::kU32: return run_points<U32, F64x1>;
        case Element::kI64: return run_points<I64, F64x1>;
        case Element::kU64: return run_points<U64, F64x1>;
        default: return nullptr;
    }
}

bool window_box_binary64_portable(const ResampleCall& call, std::int64_t lo[3], std::int64_t hi[3]) noexcept {
    return resample::window_box<resample::F64>(call, lo, hi);
}

}  // namespace zentrova::portable

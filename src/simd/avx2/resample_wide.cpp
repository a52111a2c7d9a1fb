// resample_<type>_avx2 for the types computed in binary64 (float64, 32- and
// 64-bit integers): blocks of 4 voxels in F64x4 lanes where every corner is
// inside, one voxel at a time elsewhere.
#define ZENTROVA_ISA avx2
#include "simd/avx2/vec_f64.h"
#include "simd/resample.h"
#include "simd/resample_points.h"
#include "simd/resample_kernels.h"

namespace zentrova::avx2 {

ResampleStatus resample_f64_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::F64, F64x4>(call); }
ResampleStatus resample_i32_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I32, F64x4>(call); }
ResampleStatus resample_u32_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U32, F64x4>(call); }
ResampleStatus resample_i64_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::I64, F64x4>(call); }
ResampleStatus resample_u64_avx2(const ResampleCall& call) noexcept { return resample::run_lanes<resample::U64, F64x4>(call); }

CastKernel cast_binary64_avx2(Element element) noexcept {
    using namespace resample;
    switch (element) {
        case Element::kF64: return store_values<F64, F64x4>;
        case Element::kI32: return store_values<I32, F64x4>;
        case Element::kU32: return store_values<U32, F64x4>;
        case Element::kI64: return store_values<I64, F64x4>;
        case Element::kU64: return store_values<U64, F64x4>;
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

PointsKernel points_binary64_avx2(Element element) noexcept {
    using namespace resample;
    switch (element) {
        case Element::kF64: return run_points<F64, F64x4>;
        case Element::kI32: return run_points<I32, F64x4>;
        case Element::kU32: return run_points<U32, F64x4>;
        case Element::kI64: return run_points<I64, F64x4>;
        case Element::kU64: return run_points<U64, F64x4>;
        default: return nullptr;
    }
}

bool window_box_binary64_avx2(const ResampleCall& call, std::int64_t lo[3], std::int64_t hi[3]) noexcept {
    return resample::window_box<resample::F64>(call, lo, hi);
}

}  // namespace zentrova::avx2

// resample_<type>_avx2 for the types computed in binary64 (float64, 32- and
// 64-bit integers): blocks of 4 voxels in F64x4 lanes where every corner is
// inside, one voxel at a time elsewhere.
#define ZENTROVA_ISA avx2
#include "simd/avx2/vec_f64.h"
#include "simd/resample.h"
#include "simd/resample_kernels.h"

namespace zentrova::avx2 {

template <class E>
ResampleStatus run_vector(const ResampleCall& call) noexcept {
    return resample::run<E, resample::VectorRows<E, F64x4>>(call);
}

ResampleStatus resample_f64_avx2(const ResampleCall& call) noexcept { return run_vector<resample::F64>(call); }
ResampleStatus resample_i32_avx2(const ResampleCall& call) noexcept { return run_vector<resample::I32>(call); }
ResampleStatus resample_u32_avx2(const ResampleCall& call) noexcept { return run_vector<resample::U32>(call); }
ResampleStatus resample_i64_avx2(const ResampleCall& call) noexcept { return run_vector<resample::I64>(call); }
ResampleStatus resample_u64_avx2(const ResampleCall& call) noexcept { return run_vector<resample::U64>(call); }

bool window_box_binary64_avx2(const ResampleCall& call, std::int64_t lo[3], std::int64_t hi[3]) noexcept {
    return resample::window_box<resample::F64>(call, lo, hi);
}

}  // namespace zentrova::avx2

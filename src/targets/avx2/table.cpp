// The AVX2 target (x86-64-v3: AVX2, FMA, F16C): 8 binary32 or 4 binary64 lanes in 256-bit
// registers, for every element type.
#define ZENTROVA_ISA avx2
#include "targets/avx2/vec.h"
#include "targets/avx2/vec_f64.h"
#include "core/table.h"
#include "platform/cpu_features.h"

namespace zentrova {
extern const TargetTable avx2_table;
constexpr TargetTable avx2_table =
    avx2::resample::make_table<avx2::F32x8, avx2::F64x4>("avx2", cpu::missing_required_features);
}  // namespace zentrova

// The NEON target (AArch64's Advanced SIMD, part of every AArch64 processor): 4 binary32 or 2
// binary64 lanes in 128-bit registers, for every element type.
#define ZENTROVA_ISA neon
#include "targets/neon/vec.h"
#include "targets/neon/vec_f64.h"
#include "core/table.h"

namespace zentrova {
namespace {
const char* nothing() noexcept { return nullptr; }  // the AArch64 baseline has it
}  // namespace

extern const TargetTable neon_table;
constexpr TargetTable neon_table = neon::resample::make_table<neon::F32x4, neon::F64x2>("neon", nothing);
}  // namespace zentrova

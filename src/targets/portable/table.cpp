// The portable target: one lane of binary32 or binary64 in plain C++ at the x86-64 baseline (or
// any processor's), for processors without the instruction sets above it, and the lowest target,
// which has every kernel: the input boxes, the stores by the binary64 rule and the margins, which
// need no lanes, are compiled here once for every target.
#define ZENTROVA_ISA portable
#include "targets/portable/vec.h"
#include "core/table.h"

namespace zentrova {
namespace {
const char* nothing() noexcept { return nullptr; }
}  // namespace

extern const TargetTable portable_table;
constexpr TargetTable portable_table = portable::resample::make_table<portable::F32x1, portable::F64x1,
                                                                           {.scalar_only = true}>("portable", nothing);
}  // namespace zentrova

// The AVX-512 target (x86-64-v3 and AVX-512F alone): 16 binary32 or 8 binary64 lanes in 512-bit
// registers, for the types that gain from them (rotations of 128^3 and 256^3, PERFORMANCE.md):
// float32, float16, the 16-bit integers and float64 (orders 0 and 1 about 0.75x the time of
// AVX2's 4 lanes at 192^3, order 3 0.94x), and the prefilter. The rest is AVX2's.
#define ZENTROVA_ISA avx512
#include "targets/avx512/vec.h"
#include "targets/avx512/vec_f64.h"
#include "core/table.h"
#include "platform/cpu_features.h"

namespace zentrova {
extern const TargetTable avx512_table;
constexpr TargetTable avx512_table = avx512::resample::make_table<
    avx512::F32x16, avx512::F64x8,
    {.rows = avx512::resample::elements({Element::kF32, Element::kF16, Element::kU16, Element::kI16, Element::kF64}),
     .points = false,
     .casts = false}>("avx512", cpu::missing_for_avx512_target);
}  // namespace zentrova

// The cval half for the Python boundary, which is compiled without F16C: it
// fills the float16 output with this pattern before a kernel runs.
#define ZENTROVA_ISA avx2
#include "fixed/half.h"
#include "fixed/kernels.h"

namespace zentrova::avx2 {

std::uint16_t cval_half(double cval) noexcept { return f64_to_f16(cval); }

}  // namespace zentrova::avx2

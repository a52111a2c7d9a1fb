#include "fixed/backends.h"

#include "platform/cpu_features.h"
#include "fixed/kernels.h"

namespace zentrova {

const Backends& backends() noexcept {
    // The 16-lane kernels where the processor and the operating system allow
    // them. Bytes have a single kernel, the 8-lane one.
    static const Backends table = cpu::avx512f_usable()
        ? Backends{{"avx512", avx512::trilinear_3d_f32_avx512},
                   {"avx512", avx512::trilinear_3d_f16_avx512},
                   {"avx2", avx2::trilinear_3d_u8_avx2}}
        : Backends{{"avx2", avx2::trilinear_3d_f32_avx2},
                   {"avx2", avx2::trilinear_3d_f16_avx2},
                   {"avx2", avx2::trilinear_3d_u8_avx2}};
    return table;
}

}  // namespace zentrova

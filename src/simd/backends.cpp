#include "simd/backends.h"

#include "platform/cpu_features.h"
#include "simd/kernels.h"
#include "simd/resample_kernels.h"

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

namespace zentrova {

ResampleBackend resample_backend(Element element) noexcept {
    // Measured on rotations of 128^3 and 256^3: float32, float16 and the 16-bit
    // integers gain from 16 lanes (5-14% for float32, about 15% for the 16-bit
    // integers at 256^3, with rows computed in two passes); the other types
    // have no 16-lane kernel.
    if (element == Element::kF16 || element == Element::kF32 || element == Element::kU16 ||
        element == Element::kI16) {
        const ResampleBackend wide = resample_backend_avx512(element);
        if (wide.run != nullptr) return wide;
    }
    return resample_backend_avx2(element);
}

ResampleBackend resample_backend_avx512(Element element) noexcept {
    static const bool usable = cpu::avx512f_usable();
    if (usable && element == Element::kF32) return {"avx512", avx512::resample_f32_avx512, avx2::window_box_binary32_avx2};
    if (usable && element == Element::kF16) return {"avx512", avx512::resample_f16_avx512, avx2::window_box_binary32_avx2};
    if (usable && element == Element::kU16) return {"avx512", avx512::resample_u16_avx512, avx2::window_box_binary32_avx2};
    if (usable && element == Element::kI16) return {"avx512", avx512::resample_i16_avx512, avx2::window_box_binary32_avx2};
    return {"avx512", nullptr, nullptr};
}

ResampleBackend resample_backend_avx2(Element element) noexcept {
    switch (element) {
        case Element::kF32: return {"avx2", avx2::resample_f32_avx2, avx2::window_box_binary32_avx2};
        case Element::kF16: return {"avx2", avx2::resample_f16_avx2, avx2::window_box_binary32_avx2};
        case Element::kU8: return {"avx2", avx2::resample_u8_avx2, avx2::window_box_binary32_avx2};
        case Element::kI8: return {"avx2", avx2::resample_i8_avx2, avx2::window_box_binary32_avx2};
        case Element::kU16: return {"avx2", avx2::resample_u16_avx2, avx2::window_box_binary32_avx2};
        case Element::kI16: return {"avx2", avx2::resample_i16_avx2, avx2::window_box_binary32_avx2};
        case Element::kF64: return {"avx2", avx2::resample_f64_avx2, avx2::window_box_binary64_avx2};
        case Element::kI32: return {"avx2", avx2::resample_i32_avx2, avx2::window_box_binary64_avx2};
        case Element::kU32: return {"avx2", avx2::resample_u32_avx2, avx2::window_box_binary64_avx2};
        case Element::kI64: return {"avx2", avx2::resample_i64_avx2, avx2::window_box_binary64_avx2};
        case Element::kU64: return {"avx2", avx2::resample_u64_avx2, avx2::window_box_binary64_avx2};
    }
    return {"avx2", nullptr, nullptr};
}

}  // namespace zentrova

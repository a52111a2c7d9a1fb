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
    // Every type with a 16-lane kernel gains from it (measured on rotations of
    // 128^3 and 256^3, PERFORMANCE.md); the others have none.
    const ResampleBackend wide = resample_backend_avx512(element);
    return wide.run != nullptr ? wide : resample_backend_avx2(element);
}

ResampleBackend resample_backend_avx512(Element element) noexcept {
    static const bool usable = cpu::avx512f_usable();
    ResampleKernel run = nullptr;
    if (usable) {
        switch (element) {
            case Element::kF32: run = avx512::resample_f32_avx512; break;
            case Element::kF16: run = avx512::resample_f16_avx512; break;
            case Element::kU16: run = avx512::resample_u16_avx512; break;
            case Element::kI16: run = avx512::resample_i16_avx512; break;
            default: break;
        }
    }
    return {"avx512", run, run != nullptr ? avx2::window_box_binary32_avx2 : nullptr};
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
        case Element::kBool: break;  // no kernel: bool is computed in binary64
    }
    return {"avx2", nullptr, nullptr};
}

PointsKernel points_kernel(Element element) noexcept {
    const PointsKernel narrow = avx2::points_binary32_avx2(element);
    return narrow != nullptr ? narrow : avx2::points_binary64_avx2(element);
}

CastKernel cast_kernel(Element element, bool from_binary64) noexcept {
    return from_binary64 ? avx2::cast_binary64_avx2(element) : avx2::cast_binary32_avx2(element);
}

}  // namespace zentrova

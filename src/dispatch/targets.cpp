#include "dispatch/targets.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/cpu_features.h"

namespace zentrova {
namespace {

// The kernel of each element type of one target; nullptr where it has none.
ResampleKernel portable_kernel(Element element) noexcept {
    switch (element) {
        case Element::kF32: return portable::resample_f32_portable;
        case Element::kF16: return portable::resample_f16_portable;
        case Element::kU8: return portable::resample_u8_portable;
        case Element::kI8: return portable::resample_i8_portable;
        case Element::kU16: return portable::resample_u16_portable;
        case Element::kI16: return portable::resample_i16_portable;
        case Element::kF64: return portable::resample_f64_portable;
        case Element::kI32: return portable::resample_i32_portable;
        case Element::kU32: return portable::resample_u32_portable;
        case Element::kI64: return portable::resample_i64_portable;
        case Element::kU64: return portable::resample_u64_portable;
        case Element::kBool: break;  // no kernel: bool is computed in binary64
    }
    return nullptr;
}

ResampleKernel avx2_kernel(Element element) noexcept {
    switch (element) {
        case Element::kF32: return avx2::resample_f32_avx2;
        case Element::kF16: return avx2::resample_f16_avx2;
        case Element::kU8: return avx2::resample_u8_avx2;
        case Element::kI8: return avx2::resample_i8_avx2;
        case Element::kU16: return avx2::resample_u16_avx2;
        case Element::kI16: return avx2::resample_i16_avx2;
        case Element::kF64: return avx2::resample_f64_avx2;
        case Element::kI32: return avx2::resample_i32_avx2;
        case Element::kU32: return avx2::resample_u32_avx2;
        case Element::kI64: return avx2::resample_i64_avx2;
        case Element::kU64: return avx2::resample_u64_avx2;
        case Element::kBool: break;
    }
    return nullptr;
}

// Every type with a 16-lane kernel gains from it (measured on rotations of
// 128^3 and 256^3, PERFORMANCE.md), and float64 from its 8-lane one (orders
// 0 and 1 about 0.75x the time of AVX2's 4 lanes at 192^3, order 3 0.94x);
// the other binary64 types have none.
ResampleKernel avx512_kernel(Element element) noexcept {
    switch (element) {
        case Element::kF32: return avx512::resample_f32_avx512;
        case Element::kF16: return avx512::resample_f16_avx512;
        case Element::kU16: return avx512::resample_u16_avx512;
        case Element::kI16: return avx512::resample_i16_avx512;
        case Element::kF64: return avx512::resample_f64_avx512;
        default: return nullptr;
    }
}

// What a target has. A null entry is the target below's: the AVX-512 target
// has its 16-lane kernels and float64's and the prefilter's 8-lane ones,
// nothing else.
struct TargetKernels {
    const char* name;
    ResampleKernel (*kernel)(Element) noexcept;
    WindowBox box_binary32, box_binary64;
    CastKernel (*cast_binary32)(Element) noexcept;
    CastKernel (*cast_binary64)(Element) noexcept;
    PointsKernel (*points_binary32)(Element) noexcept;
    PointsKernel (*points_binary64)(Element) noexcept;
    // Order 0 of the types computed in binary32 at given points (binary64 coordinates).
    PointsKernel (*nearest_points)(Element) noexcept;
    SplineFilter spline_filter;
    SplinePlanes spline_planes;
};

// By Target, lowest first; the lowest has everything.
constexpr TargetKernels kTargets[kTargetCount] = {
    {"portable", portable_kernel, portable::window_box_binary32_portable, portable::window_box_binary64_portable,
     portable::cast_binary32_portable, portable::cast_binary64_portable, portable::points_binary32_portable,
     portable::points_binary64_portable, portable::nearest_points_binary64_portable,
     portable::spline_filter_f64_portable, portable::spline_planes_f64_portable},
    {"avx2", avx2_kernel, avx2::window_box_binary32_avx2, avx2::window_box_binary64_avx2, avx2::cast_binary32_avx2,
     avx2::cast_binary64_avx2, avx2::points_binary32_avx2, avx2::points_binary64_avx2,
     avx2::nearest_points_binary64_avx2, avx2::spline_filter_f64_avx2, avx2::spline_planes_f64_avx2},
    {"avx512", avx512_kernel, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
     avx512::spline_filter_f64_avx512, avx512::spline_planes_f64_avx512},
};

// The highest target from `from` down that has `member` (the lowest has all).
template <class Member>
const TargetKernels& provider(int from, Member TargetKernels::*member) noexcept {
    while (from > 0 && kTargets[from].*member == nullptr) --from;
    return kTargets[from];
}

template <class Member>
const TargetKernels& provider(Member TargetKernels::*member) noexcept {
    return provider(static_cast<int>(target_choice().target), member);
}

// Whether the element type is computed in binary32 (its box is that family's).
bool binary32_family(Element element) noexcept {
    switch (element) {
        case Element::kU8:
        case Element::kI8:
        case Element::kU16:
        case Element::kI16:
        case Element::kF16:
        case Element::kF32: return true;
        default: return false;
    }
}

// Whether the element type decides in binary64 at the order though it is
// computed in binary32 (order 0 of the binary32 family: its coordinate alone
// picks the sample, as scipy's binary64 one does).
bool nearest_in_binary64(Element element, int order) noexcept { return order == 0 && binary32_family(element); }

// The box of the kernel's own decisions: binary32 or binary64 coordinates.
WindowBox box_of(int target, Element element, int order) noexcept {
    return binary32_family(element) && !nearest_in_binary64(element, order)
               ? provider(target, &TargetKernels::box_binary32).box_binary32
               : provider(target, &TargetKernels::box_binary64).box_binary64;
}

TargetChoice choose_target() noexcept {
    static char message[256];
    const char* forced = std::getenv("ZENTROVA_TARGET");
    if (forced == nullptr || forced[0] == '\0') {
        for (int t = kTargetCount - 1; t > 0; --t)
            if (target_usable(static_cast<Target>(t))) return {static_cast<Target>(t), nullptr};
        return {Target::kPortable, nullptr};
    }
    for (int t = 0; t < kTargetCount; ++t) {
        if (std::strcmp(forced, kTargets[t].name) != 0) continue;
        const Target target = static_cast<Target>(t);
        if (target_usable(target)) return {target, nullptr};
        const char* missing = cpu::missing_required_features();
        std::snprintf(message, sizeof message,
                      "ZENTROVA_TARGET=%s: this processor cannot run that target; it lacks %s", forced,
                      missing != nullptr ? missing : "AVX-512F (or the operating system's support for it)");
        return {target, message};
    }
    std::snprintf(message, sizeof message,
                  "ZENTROVA_TARGET=%.40s%s is not a target: use portable, avx2 or avx512 (or leave it unset for the "
                  "best this processor runs)",
                  forced, std::strlen(forced) > 40 ? "..." : "");
    return {Target::kPortable, message};
}

}  // namespace

const TargetChoice& target_choice() noexcept {
    static const TargetChoice choice = choose_target();
    return choice;
}

const char* target_name(Target target) noexcept { return kTargets[static_cast<int>(target)].name; }

bool target_usable(Target target) noexcept {
    switch (target) {
        case Target::kPortable: return true;
        case Target::kAvx2: return cpu::missing_required_features() == nullptr;
        case Target::kAvx512: return cpu::missing_required_features() == nullptr && cpu::avx512f_usable();
    }
    return false;
}

ResampleBackend resample_backend(Element element, int order) noexcept {
    for (int t = static_cast<int>(target_choice().target); t >= 0; --t)
        if (const ResampleKernel run = kTargets[t].kernel(element))
            return {kTargets[t].name, run, box_of(t, element, order)};
    return {kTargets[0].name, nullptr, nullptr};  // bool
}

ResampleBackend target_resample_backend(Target target, Element element, int order) noexcept {
    const int t = static_cast<int>(target);
    const ResampleKernel run = target_usable(target) ? kTargets[t].kernel(element) : nullptr;
    return {kTargets[t].name, run, run != nullptr ? box_of(t, element, order) : nullptr};
}

PointsKernel points_kernel(Element element, int order) noexcept {
    if (nearest_in_binary64(element, order))
        return provider(&TargetKernels::nearest_points).nearest_points(element);
    const PointsKernel narrow = provider(&TargetKernels::points_binary32).points_binary32(element);
    return narrow != nullptr ? narrow : provider(&TargetKernels::points_binary64).points_binary64(element);
}

CastKernel cast_kernel(Element element, bool from_binary64, bool binary64_rule) noexcept {
    if (binary64_rule && !from_binary64) return portable::cast_binary32_by_binary64_rule_portable(element);
    return from_binary64 ? provider(&TargetKernels::cast_binary64).cast_binary64(element)
                         : provider(&TargetKernels::cast_binary32).cast_binary32(element);
}

SplineFilter spline_filter() noexcept { return provider(&TargetKernels::spline_filter).spline_filter; }
SplinePlanes spline_planes() noexcept { return provider(&TargetKernels::spline_planes).spline_planes; }

}  // namespace zentrova

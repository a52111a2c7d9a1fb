#include "dispatch/targets.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// ZENTROVA_TARGET_TABLES(X): X(name) for each target this build has, lowest first; written by CMake
// for the processor family (dispatch/target_list.h.in).
#include "dispatch/target_list.h"

namespace zentrova {

#define ZENTROVA_DECLARE_TABLE(name) extern const TargetTable name##_table;
ZENTROVA_TARGET_TABLES(ZENTROVA_DECLARE_TABLE)
#undef ZENTROVA_DECLARE_TABLE

namespace {

#define ZENTROVA_TABLE_ADDRESS(name) &name##_table,
constexpr const TargetTable* kTables[] = {ZENTROVA_TARGET_TABLES(ZENTROVA_TABLE_ADDRESS)};
#undef ZENTROVA_TABLE_ADDRESS
constexpr int kTargetCount = static_cast<int>(sizeof kTables / sizeof kTables[0]);

// The rule of every entry: the target's own, else that of the highest target
// below it that has one (the lowest has all, but for bool's row and point kernels).
template <class Entry>
Entry from(int target, Entry TargetTable::*member) noexcept {
    for (int t = target; t >= 0; --t)
        if (kTables[t]->*member != nullptr) return kTables[t]->*member;
    return nullptr;
}

template <class Entry>
Entry from(int target, Entry (TargetTable::*member)[kElementCount], Element element) noexcept {
    const int i = static_cast<int>(element);
    for (int t = target; t >= 0; --t)
        if ((kTables[t]->*member)[i] != nullptr) return (kTables[t]->*member)[i];
    return nullptr;
}

int chosen() noexcept { return target_choice().target; }

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
    return binary32_family(element) && !nearest_in_binary64(element, order) ? from(target, &TargetTable::box_binary32)
                                                                            : from(target, &TargetTable::box_binary64);
}

TargetChoice choose_target() noexcept {
    static char message[256];
    const char* forced = std::getenv("ZENTROVA_TARGET");
    if (forced == nullptr || forced[0] == '\0') {
        for (int t = kTargetCount - 1; t > 0; --t)
            if (target_usable(t)) return {t, nullptr};
        return {0, nullptr};
    }
    for (int t = 0; t < kTargetCount; ++t) {
        if (std::strcmp(forced, kTables[t]->name) != 0) continue;
        if (target_usable(t)) return {t, nullptr};
        std::snprintf(message, sizeof message, "ZENTROVA_TARGET=%s: this processor cannot run that target; it lacks %s",
                      forced, kTables[t]->lacks());
        return {t, message};
    }
    char names[96] = "";
    for (int t = 0; t < kTargetCount; ++t) {
        std::strncat(names, t == 0 ? "" : (t == kTargetCount - 1 ? " or " : ", "), sizeof names - std::strlen(names) - 1);
        std::strncat(names, kTables[t]->name, sizeof names - std::strlen(names) - 1);
    }
    std::snprintf(message, sizeof message,
                  "ZENTROVA_TARGET=%.40s%s is not a target: use %s (or leave it unset for the best this processor runs)",
                  forced, std::strlen(forced) > 40 ? "..." : "", names);
    return {0, message};
}

}  // namespace

int target_count() noexcept { return kTargetCount; }

const TargetChoice& target_choice() noexcept {
    static const TargetChoice choice = choose_target();
    return choice;
}

const char* target_name(int target) noexcept { return kTables[target]->name; }

bool target_usable(int target) noexcept { return kTables[target]->lacks() == nullptr; }

ResampleBackend resample_backend(Element element, int order) noexcept {
    for (int t = chosen(); t >= 0; --t)
        if (const ResampleKernel run = kTables[t]->rows[static_cast<int>(element)])
            return {kTables[t]->name, run, box_of(t, element, order)};
    return {kTables[0]->name, nullptr, nullptr};  // bool
}

ResampleBackend target_resample_backend(int target, Element element, int order) noexcept {
    const ResampleKernel run = target_usable(target) ? kTables[target]->rows[static_cast<int>(element)] : nullptr;
    return {kTables[target]->name, run, run != nullptr ? box_of(target, element, order) : nullptr};
}

PointsKernel points_kernel(Element element, int order) noexcept {
    if (nearest_in_binary64(element, order)) return from(chosen(), &TargetTable::nearest_points, element);
    return from(chosen(), &TargetTable::points, element);
}

CastKernel cast_kernel(Element element, bool from_binary64, bool binary64_rule) noexcept {
    if (binary64_rule && !from_binary64) return from(chosen(), &TargetTable::cast_binary32_by_binary64_rule, element);
    return from(chosen(), from_binary64 ? &TargetTable::cast_binary64 : &TargetTable::cast_binary32, element);
}

SplineFilter spline_filter() noexcept { return from(chosen(), &TargetTable::spline_filter); }
SplinePlanes spline_planes() noexcept { return from(chosen(), &TargetTable::spline_planes); }
MarginKernel margin_kernel() noexcept { return from(chosen(), &TargetTable::fill_margin); }

}  // namespace zentrova

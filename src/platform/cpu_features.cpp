#include "platform/cpu_features.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <cstdint>
#include <cstring>

namespace zentrova::cpu {

#if !defined(__x86_64__)
// Another processor (the resampler builds anywhere): none of the x86 targets runs there.
bool avx512f_usable() noexcept { return false; }
const char* missing_required_features() noexcept { return "the x86-64 instruction set"; }
const char* missing_for_avx512_target() noexcept { return missing_required_features(); }
#else
namespace {

struct Regs {
    unsigned a = 0, b = 0, c = 0, d = 0;
};

// Feature bits, by the CPUID leaf and register that report them.
namespace leaf1_ecx {
constexpr int kFma = 12, kMovbe = 22, kXsave = 26, kOsxsave = 27, kAvx = 28, kF16c = 29;
}
namespace leaf7_ebx {
constexpr int kBmi1 = 3, kAvx2 = 5, kBmi2 = 8, kAvx512f = 16;
}
namespace ext1_ecx {
constexpr int kLzcnt = 5;
}
// Register state the operating system saves on a context switch (XCR0).
constexpr std::uint64_t kXcr0Sse = 1u << 1, kXcr0Ymm = 1u << 2;
constexpr std::uint64_t kXcr0Opmask = 1u << 5, kXcr0ZmmHigh256 = 1u << 6, kXcr0Zmm16To31 = 1u << 7;
constexpr std::uint64_t kXcr0Avx = kXcr0Sse | kXcr0Ymm;
constexpr std::uint64_t kXcr0Avx512 = kXcr0Opmask | kXcr0ZmmHigh256 | kXcr0Zmm16To31;

bool bit(unsigned reg, int n) { return ((reg >> n) & 1u) != 0; }

Regs cpuid(unsigned leaf, unsigned subleaf) {
    Regs r;
    __cpuid_count(leaf, subleaf, r.a, r.b, r.c, r.d);
    return r;
}

// What the processor and the operating system report, read once per process.
struct Report {
    Regs leaf1, leaf7, ext1;
    std::uint64_t xcr0 = 0;
};

Report read_report() {
    Report r;
    const unsigned max_leaf = cpuid(0, 0).a;
    if (max_leaf >= 1) r.leaf1 = cpuid(1, 0);
    if (max_leaf >= 7) r.leaf7 = cpuid(7, 0);
    if (cpuid(0x80000000u, 0).a >= 0x80000001u) r.ext1 = cpuid(0x80000001u, 0);
    // XGETBV is only defined when CPUID reports OSXSAVE.
    if (bit(r.leaf1.c, leaf1_ecx::kXsave) && bit(r.leaf1.c, leaf1_ecx::kOsxsave)) {
        unsigned lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        r.xcr0 = (static_cast<std::uint64_t>(hi) << 32) | lo;
    }
    return r;
}

const Report& report() {
    static const Report r = read_report();
    return r;
}

}  // namespace

bool avx512f_usable() noexcept {
    static const bool usable = [] {
        const Report& r = report();
        return (r.xcr0 & (kXcr0Avx | kXcr0Avx512)) == (kXcr0Avx | kXcr0Avx512) && bit(r.leaf1.c, leaf1_ecx::kFma) &&
               bit(r.leaf1.c, leaf1_ecx::kF16c) && bit(r.leaf7.b, leaf7_ebx::kAvx512f);
    }();
    return usable;
}

const char* missing_required_features() noexcept {
    static char missing[128];
    missing[0] = '\0';
    auto lacks = [](const char* name) {
        if (missing[0] != '\0') std::strcat(missing, ", ");
        std::strcat(missing, name);
    };
    const Report& r = report();
    if (!bit(r.leaf1.c, leaf1_ecx::kAvx)) lacks("AVX");
    if (!bit(r.leaf7.b, leaf7_ebx::kAvx2)) lacks("AVX2");
    if (!bit(r.leaf1.c, leaf1_ecx::kFma)) lacks("FMA");
    if (!bit(r.leaf1.c, leaf1_ecx::kF16c)) lacks("F16C");
    if (!bit(r.leaf7.b, leaf7_ebx::kBmi1)) lacks("BMI1");
    if (!bit(r.leaf7.b, leaf7_ebx::kBmi2)) lacks("BMI2");
    if (!bit(r.ext1.c, ext1_ecx::kLzcnt)) lacks("LZCNT");
    if (!bit(r.leaf1.c, leaf1_ecx::kMovbe)) lacks("MOVBE");
    if (bit(r.leaf1.c, leaf1_ecx::kAvx) && (r.xcr0 & kXcr0Avx) != kXcr0Avx)
        lacks("operating-system support for AVX registers");
    return missing[0] == '\0' ? nullptr : missing;
}

const char* missing_for_avx512_target() noexcept {
    if (const char* missing = missing_required_features()) return missing;
    return avx512f_usable() ? nullptr : "AVX-512F (or the operating system's support for it)";
}

#endif  // __x86_64__

}  // namespace zentrova::cpu

#include "python/cpu.h"

#include <cpuid.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace zentrova::cpu {
namespace {

struct Regs {
    unsigned a = 0, b = 0, c = 0, d = 0;
};

Regs cpuid(unsigned leaf, unsigned subleaf) {
    Regs r;
    __cpuid_count(leaf, subleaf, r.a, r.b, r.c, r.d);
    return r;
}

// XGETBV is only defined when CPUID reports OSXSAVE; callers check that first.
std::uint64_t xcr0() {
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

bool bit(unsigned reg, int n) { return ((reg >> n) & 1u) != 0; }

// Feature word layout. kMarker keeps a detected word non-zero even when no
// feature is found, so that 0 always means "not detected yet".
constexpr std::uint64_t kAvx512f = 1ull << 0;
constexpr std::uint64_t kMarker = 1ull << 63;

std::uint64_t detect() {
    std::uint64_t word = kMarker;
    const unsigned max_leaf = cpuid(0, 0).a;
    if (max_leaf == 0) return word;
    const Regs l1 = cpuid(1, 0);
    const Regs l7 = max_leaf >= 7 ? cpuid(7, 0) : Regs{};
    const bool xsave = bit(l1.c, 26) && bit(l1.c, 27);
    const std::uint64_t xcr = xsave ? xcr0() : 0;
    const bool avx_state = (xcr & 0x6) == 0x6;          // SSE and AVX (YMM) state
    const bool zmm_state = (xcr & 0xE0) == 0xE0;        // opmask, ZMM0-15 upper, ZMM16-31
    const bool fma_f16c = bit(l1.c, 12) && bit(l1.c, 29);
    if (xsave && avx_state && zmm_state && fma_f16c && bit(l7.b, 16)) word |= kAvx512f;
    return word;
}

// Written only by detect()'s callers, read with plain (relaxed) loads: racing
// first calls all compute and store the same word.
std::atomic<std::uint64_t> g_features{0};

}  // namespace

bool avx512f_usable() noexcept {
    std::uint64_t word = g_features.load(std::memory_order_relaxed);
    if (word == 0) {
        word = detect();
        g_features.store(word, std::memory_order_relaxed);
    }
    return (word & kAvx512f) != 0;
}

const char* missing_required_features() noexcept {
    static char missing[128];
    missing[0] = '\0';
    auto lacks = [](const char* name) {
        if (missing[0] != '\0') std::strcat(missing, ", ");
        std::strcat(missing, name);
    };
    const unsigned max_leaf = cpuid(0, 0).a;
    const Regs l1 = max_leaf >= 1 ? cpuid(1, 0) : Regs{};
    const Regs l7 = max_leaf >= 7 ? cpuid(7, 0) : Regs{};
    const unsigned max_ext = cpuid(0x80000000u, 0).a;
    const Regs e1 = max_ext >= 0x80000001u ? cpuid(0x80000001u, 0) : Regs{};
    const bool os_avx = bit(l1.c, 27) && (xcr0() & 0x6) == 0x6;

    if (!bit(l1.c, 28)) lacks("AVX");
    if (!bit(l7.b, 5)) lacks("AVX2");
    if (!bit(l1.c, 12)) lacks("FMA");
    if (!bit(l1.c, 29)) lacks("F16C");
    if (!bit(l7.b, 3)) lacks("BMI1");
    if (!bit(l7.b, 8)) lacks("BMI2");
    if (!bit(e1.c, 5)) lacks("LZCNT");
    if (!bit(l1.c, 22)) lacks("MOVBE");
    if (bit(l1.c, 28) && !os_avx) lacks("operating-system support for AVX registers");
    return missing[0] == '\0' ? nullptr : missing;
}

}  // namespace zentrova::cpu

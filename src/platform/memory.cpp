#include "platform/memory.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "pool/parallel.h"

namespace zentrova::platform {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kMapThreshold = std::size_t{4} << 20;

// Released mappings of unset buffers kept for the next buffer of the same
// length, at most kRecycleBytes together (the newest kept). A fresh mapping
// costs a page fault per huge page, the kernel clearing each one, which is a
// good part of a fast resampling's time (PERFORMANCE.md). A caller resampling
// volume after volume of one shape gets the last call's memory back instead:
// the budget holds a 256^3 float64 volume's coefficients and its result.
// They are unmapped once the worker pool has had no job for the time
// ZENTROVA_KEEP_RELEASED_MS gives (10 s when unset, as long as common
// allocators keep freed pages; 0 keeps none), so that an idle process holds
// none of them.
constexpr std::size_t kRecycleBytes = std::size_t{320} << 20;
constexpr int kRecycleSlots = 2;
constexpr std::uint64_t kDefaultKeepMs = 10'000;

struct Recycled {
    void* data = nullptr;
    std::size_t length = 0;
};

// Never waited for: a caller that finds it taken maps or unmaps as without the
// list. So the child of a fork never blocks on a lock that a thread of the
// parent held.
std::atomic_flag g_recycle_busy = ATOMIC_FLAG_INIT;
Recycled g_recycled[kRecycleSlots];  // the newest first

bool try_lock() { return !g_recycle_busy.test_and_set(std::memory_order_acquire); }
void unlock() { g_recycle_busy.clear(std::memory_order_release); }

// A kept mapping of `length` bytes, or nullptr.
void* take_recycled(std::size_t length) {
    if (!try_lock()) return nullptr;
    void* found = nullptr;
    for (int i = 0; i < kRecycleSlots; ++i) {
        if (g_recycled[i].data == nullptr || g_recycled[i].length != length) continue;
        found = g_recycled[i].data;
        for (int j = i; j + 1 < kRecycleSlots; ++j) g_recycled[j] = g_recycled[j + 1];
        g_recycled[kRecycleSlots - 1] = Recycled{};
        break;
    }
    unlock();
    return found;
}

// How long a released mapping is kept, in nanoseconds (0: not at all); read
// from the environment once.
std::uint64_t keep_ns() {
    static const std::uint64_t ns = [] {
        const char* s = std::getenv("ZENTROVA_KEEP_RELEASED_MS");
        if (s == nullptr || *s == '\0') return kDefaultKeepMs * 1'000'000u;
        std::uint64_t ms = 0;
        for (const char* p = s; *p != '\0'; ++p) {
            if (*p < '0' || *p > '9' || ms > 1'000'000'000u) return kDefaultKeepMs * 1'000'000u;  // junk: the default
            ms = ms * 10 + static_cast<std::uint64_t>(*p - '0');
        }
        return ms * 1'000'000u;
    }();
    return ns;
}

// Unmaps every kept mapping (called by the pool once it is idle); asks to be
// called again when another thread holds the list.
void release_kept() noexcept {
    if (!try_lock()) {
        parallel::call_when_idle(&release_kept, keep_ns());
        return;
    }
    Recycled dropped[kRecycleSlots];
    for (int i = 0; i < kRecycleSlots; ++i) {
        dropped[i] = g_recycled[i];
        g_recycled[i] = Recycled{};
    }
    unlock();
    for (const Recycled& r : dropped)
        if (r.data != nullptr) munmap(r.data, r.length);
}

// Keeps the mapping, with as many of the kept ones (newest first) as fit
// beside it; the others are unmapped. False when the caller unmaps it.
bool keep(void* data, std::size_t length) {
    if (length > kRecycleBytes || keep_ns() == 0 || !try_lock()) return false;
    Recycled kept[kRecycleSlots], dropped[kRecycleSlots];
    kept[0] = Recycled{data, length};
    std::size_t total = length;
    int nkept = 1, ndropped = 0;
    for (const Recycled& r : g_recycled) {
        if (r.data == nullptr) continue;
        if (nkept < kRecycleSlots && total + r.length <= kRecycleBytes) {
            kept[nkept++] = r;
            total += r.length;
        } else {
            dropped[ndropped++] = r;
        }
    }
    for (int i = 0; i < kRecycleSlots; ++i) g_recycled[i] = kept[i];
    unlock();
    for (int i = 0; i < ndropped; ++i) munmap(dropped[i].data, dropped[i].length);
    // Asked for after the mapping is on the list, so that a release running
    // now either sees it or is followed by the one asked for here. Without a
    // pool to call it (none has been started), nothing is kept.
    if (!parallel::call_when_idle(&release_kept, keep_ns())) release_kept();
    return true;
}

std::size_t mapping_length(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

Buffer Buffer::zeroed(std::size_t bytes) noexcept {
    if (bytes < kMapThreshold) {
        Buffer b;
        b.data_ = std::calloc(bytes == 0 ? 1 : bytes, 1);
        return b;
    }
    return mapped(bytes);
}

Buffer Buffer::unset(std::size_t bytes) noexcept {
    Buffer b;
    if (bytes < kMapThreshold) {
        b.data_ = std::malloc(bytes == 0 ? 1 : bytes);
        return b;
    }
    void* data = bytes > SIZE_MAX - 2 * kHugePage ? nullptr : take_recycled(mapping_length(bytes));
    if (data == nullptr) {
        b = mapped(bytes);
    } else {
        b.data_ = data;
        b.mapped_ = mapping_length(bytes);
    }
    b.recyclable_ = b.mapped_ != 0;
    return b;
}

Buffer Buffer::mapped(std::size_t bytes) noexcept {
    Buffer b;
    if (bytes > SIZE_MAX - 2 * kHugePage) return b;
    const std::size_t length = mapping_length(bytes);
    // Over-map by one huge page and trim, so that the buffer starts on a 2 MiB boundary.
    void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return b;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start) munmap(raw, aligned - start);
    const std::uintptr_t end = start + length + kHugePage;
    if (end > aligned + length) munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
    madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);  // a hint; failure is harmless
    b.data_ = reinterpret_cast<void*>(aligned);
    b.mapped_ = length;
    return b;
}

void Buffer::reset() noexcept {
    if (mapped_ != 0) {
        if (!(recyclable_ && keep(data_, mapped_))) munmap(data_, mapped_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    mapped_ = 0;
    recyclable_ = false;
}

}  // namespace zentrova::platform

#include "platform/memory.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace zentrova::platform {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kMapThreshold = std::size_t{4} << 20;

// Released mappings of unset buffers kept for the next buffer of the same
// length, at most kRecycleBytes together (the newest kept). A fresh mapping
// costs a page fault per huge page, the kernel clearing each one, which is a
// good part of a fast resampling's time (PERFORMANCE.md). A caller resampling
// volume after volume of one shape gets the last result's memory back instead.
constexpr std::size_t kRecycleBytes = std::size_t{128} << 20;
constexpr int kRecycleSlots = 2;

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

// Keeps the mapping, with as many of the kept ones (newest first) as fit
// beside it; the others are unmapped. False when the caller unmaps it.
bool keep(void* data, std::size_t length) {
    if (length > kRecycleBytes || !try_lock()) return false;
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

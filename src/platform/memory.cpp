#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace zentrova::platform {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kMapThreshold = std::size_t{4} << 20;

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
    if (bytes < kMapThreshold) {
        Buffer b;
        b.data_ = std::malloc(bytes == 0 ? 1 : bytes);
        return b;
    }
    return mapped(bytes);
}

Buffer Buffer::mapped(std::size_t bytes) noexcept {
    Buffer b;
    if (bytes > SIZE_MAX - 2 * kHugePage) return b;
    const std::size_t length = (bytes + kHugePage - 1) / kHugePage * kHugePage;
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
    if (mapped_ != 0)
        munmap(data_, mapped_);
    else
        std::free(data_);
    data_ = nullptr;
    mapped_ = 0;
}

}  // namespace zentrova::platform

// Output buffers. Large ones are mapped directly (zero pages from the kernel,
// 2 MiB aligned and marked for transparent huge pages, so a 64 MiB result costs
// 32 page faults instead of 16384); small ones come from calloc/malloc.
#pragma once

#include <cstddef>

namespace zentrova::py {

struct Buffer {
    void* data = nullptr;
    std::size_t mapped = 0;  // length of the mapping, or 0 for a malloc block
};

// A zero-filled buffer of at least `bytes` bytes (and at least one byte);
// data == nullptr when out of memory.
Buffer allocate_zeroed(std::size_t bytes) noexcept;

void release(const Buffer& buffer) noexcept;

}  // namespace zentrova::py

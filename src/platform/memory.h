// Output buffers. Large ones are mapped directly (zero pages from the kernel,
// 2 MiB aligned and marked for transparent huge pages, so a 64 MiB result costs
// 32 page faults instead of 16384); small ones come from calloc.
#pragma once

#include <cstddef>
#include <utility>

namespace zentrova::platform {

// An owning, move-only zero-filled block of memory; empty (data() == nullptr)
// when the allocation failed.
class Buffer {
public:
    Buffer() noexcept = default;
    // At least `bytes` bytes (and at least one byte), all zero.
    static Buffer zeroed(std::size_t bytes) noexcept;

    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), mapped_(std::exchange(other.mapped_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            mapped_ = std::exchange(other.mapped_, 0);
        }
        return *this;
    }
    ~Buffer() { reset(); }

    void* data() const noexcept { return data_; }
    explicit operator bool() const noexcept { return data_ != nullptr; }
    void reset() noexcept;

private:
    void* data_ = nullptr;
    std::size_t mapped_ = 0;  // length of the mapping, or 0 for a calloc block
};

}  // namespace zentrova::platform

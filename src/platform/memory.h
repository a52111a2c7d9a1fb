// Output buffers. Large ones are mapped directly (zero pages from the kernel,
// 2 MiB aligned and marked for transparent huge pages, so a 64 MiB result costs
// 32 page faults instead of 16384); small ones come from calloc, or from malloc
// when their values need not be set.
#pragma once

#include <cstddef>
#include <utility>

namespace zentrova::platform {

// An owning, move-only block of memory; empty (data() == nullptr) when the
// allocation failed.
class Buffer {
public:
    Buffer() noexcept = default;
    // At least `bytes` bytes (and at least one byte), all zero.
    static Buffer zeroed(std::size_t bytes) noexcept;
    // At least `bytes` bytes (and at least one byte) of unset values, for a
    // caller that writes every one: a small block is then not cleared first
    // (clearing a 1 MiB block costs about a tenth of resampling it), and a
    // large one may be the mapping of a released buffer of the same length
    // (see kRecycleBytes in memory.cpp), which costs no page faults.
    static Buffer unset(std::size_t bytes) noexcept;

    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          mapped_(std::exchange(other.mapped_, 0)),
          recyclable_(std::exchange(other.recyclable_, false)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            mapped_ = std::exchange(other.mapped_, 0);
            recyclable_ = std::exchange(other.recyclable_, false);
        }
        return *this;
    }
    ~Buffer() { reset(); }

    void* data() const noexcept { return data_; }
    explicit operator bool() const noexcept { return data_ != nullptr; }
    void reset() noexcept;

private:
    static Buffer mapped(std::size_t bytes) noexcept;  // zero pages, huge-page aligned

    void* data_ = nullptr;
    std::size_t mapped_ = 0;  // length of the mapping, or 0 for a malloc or calloc block
    bool recyclable_ = false;  // a mapping of unset values: kept for reuse when released
};

}  // namespace zentrova::platform

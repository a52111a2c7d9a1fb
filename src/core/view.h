// Plain descriptions of the arrays a kernel works on, and what a kernel reports.
//
// This header is shared by code compiled for different instruction sets, so it
// holds data only: no inline functions, whose single linked copy could come from
// an AVX-512 object file and then run on a processor without AVX-512.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zentrova {

// A strided 3-D view [z, y, x]. Strides count elements, not bytes. A stride that
// is not a whole number of elements is stored as kBadStride, which no layout
// check accepts.
template <class T>
struct View3 {
    T* data;
    std::size_t shape[3];
    std::ptrdiff_t strides[3];
};

inline constexpr std::ptrdiff_t kBadStride = PTRDIFF_MIN;

// NumPy's uint16 as an element type of its own, so that it is never taken for
// the bit pattern of a float16 (std::uint16_t).
enum class u16 : std::uint16_t {};

// How a kernel call ended. Everything but kOk is a broken invariant that the
// Python boundary reports as a fatal error with the matching message.
enum class Status : int {
    kOk = 0,
    kInputNotContiguous,   // "Input must be C-contiguous"
    kOutputNotContiguous,  // "Output must be C-contiguous"
    kOutputShape,          // "Output must have the input's shape"
    kZeroChunk,            // "chunk_size must not be zero"
    kPoolUnavailable,      // the worker threads could not be started
};

}  // namespace zentrova

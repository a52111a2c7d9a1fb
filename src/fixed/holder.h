// PySliceContainer: the small object that owns a result buffer and serves as the
// base of the NumPy array built over it. The buffer is freed with the holder,
// which lives as long as the array.
#pragma once

#include "platform/memory.h"
#include "pyutil/ref.h"

namespace zentrova::py {

// A holder that takes over `buffer`. On failure the buffer is freed and a fatal
// error ("Failed to create slice container: ...") is pending.
Ref make_slice_container(platform::Buffer&& buffer) noexcept;

}  // namespace zentrova::py

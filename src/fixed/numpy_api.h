// The fixed module's access to NumPy: a failure to load the C-API table is a
// fatal error there.
#pragma once

#include "pyutil/numpy.h"

namespace zentrova::py {

// True when the table is ready; otherwise a fatal error is pending whose message
// begins with "Failed to access NumPy array API capsule".
bool numpy_ready() noexcept;

}  // namespace zentrova::py

// NumPy's C-API, reached through its function table. The table is looked up on
// the first call that needs it, not at import, so that importing zentrova does
// not import NumPy.
#pragma once

#include "python/pyref.h"

#define PY_ARRAY_UNIQUE_SYMBOL zentrova_ARRAY_API
#ifndef ZENTROVA_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace zentrova::py {

// True when the table is ready; otherwise a fatal error is pending whose message
// begins with "Failed to access NumPy array API capsule".
bool numpy_ready() noexcept;

}  // namespace zentrova::py

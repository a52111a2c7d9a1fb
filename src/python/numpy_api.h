// NumPy's C-API, reached through its function table. The table is looked up on
// the first call that needs it, not at import, so that importing zentrova does
// not import NumPy.
#pragma once

#include "python/pyref.h"
#include "simd/view.h"

#define PY_ARRAY_UNIQUE_SYMBOL zentrova_ARRAY_API
#ifndef ZENTROVA_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace zentrova::py {

// True when the table is ready; otherwise a fatal error is pending whose message
// begins with "Failed to access NumPy array API capsule".
bool numpy_ready() noexcept;

// A kernel's view of a 3-D array: data, shape and strides in elements. A stride
// that is not a whole number of elements becomes kBadStride, which no layout
// check accepts (a NumPy view may have any byte strides).
template <class T>
View3<T> view_of(PyArrayObject* arr) {
    View3<T> v;
    v.data = static_cast<T*>(PyArray_DATA(arr));
    for (int a = 0; a < 3; ++a) {
        v.shape[a] = static_cast<std::size_t>(PyArray_DIM(arr, a));
        const npy_intp bytes = PyArray_STRIDE(arr, a);
        v.strides[a] = bytes % static_cast<npy_intp>(sizeof(T)) == 0 ? bytes / static_cast<npy_intp>(sizeof(T)) : kBadStride;
    }
    return v;
}

}  // namespace zentrova::py

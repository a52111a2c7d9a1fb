// NumPy's C-API, reached through its function table, which each extension
// module loads for itself on the first call that needs it (not at import, so
// that importing a module does not import NumPy).
#pragma once

#include "pyutil/ref.h"
#include "core/view.h"

#define PY_ARRAY_UNIQUE_SYMBOL zentrova_ARRAY_API
#ifndef ZENTROVA_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace zentrova::py {

// Loads the table once (numpy._core.multiarray for NumPy 2, else
// numpy.core.multiarray). False with the import's error pending.
bool load_numpy_api() noexcept;

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

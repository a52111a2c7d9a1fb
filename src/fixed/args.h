// Binding and conversion of the arguments of the transform functions.
//
// Every function returns false with a Python exception set on failure; a
// conversion TypeError names the parameter ("argument 'cval': ...").
#pragma once

#include <cstdint>

#include "fixed/numpy_api.h"

namespace zentrova::py {

struct Signature {
    const char* function;
    const char* const* names;
    int count;     // parameters
    int required;  // leading parameters without a default
};

// Binds fast-call arguments (positional, then keywords named by kwnames) to the
// parameters; out[i] is a borrowed reference, or nullptr when not given.
// Errors use CPython's own wording for Python functions.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept;

// An ndarray (or subclass) of `ndim` dimensions whose dtype NumPy finds
// equivalent to `type_num`; a new reference, or nullptr with the error
// "argument '<name>': '<type>' object cannot be cast as 'ndarray'".
Ref as_array(PyObject* obj, int ndim, int type_num, const char* name) noexcept;

// The offset sequence: every item converted to a float. Keeps the first three
// values and the length; the length itself is checked later.
struct Offset {
    bool given = false;
    Py_ssize_t length = 0;
    double values[3] = {0.0, 0.0, 0.0};
};
bool convert_offset(PyObject* obj, Offset* out) noexcept;

bool convert_float(PyObject* obj, const char* name, double* out) noexcept;
bool convert_u8(PyObject* obj, const char* name, std::uint8_t* out) noexcept;
bool convert_i32(PyObject* obj, const char* name, std::int32_t* out) noexcept;

}  // namespace zentrova::py

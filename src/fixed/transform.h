// C entry points of the transform functions (fast call with keywords).
#pragma once

#include "pyutil/ref.h"

namespace zentrova::py {

PyObject* affine_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* affine_transform_u8(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* affine_transform_f16(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* build_info(PyObject* self, PyObject* unused);

}  // namespace zentrova::py

#include "fixed/args.h"

#include <climits>
#include <cstring>

#include "fixed/errors.h"

namespace zentrova::py {
namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

bool raise_missing(const Signature& sig, PyObject** out) {
    int missing = 0;
    for (int i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
    // "'a'", "'a' and 'b'", "'a', 'b' and 'c'", as CPython words it.
    Ref names = Ref::steal(PyUnicode_FromString(""));
    int listed = 0;
    for (int i = 0; i < sig.required && names; ++i) {
        if (out[i] != nullptr) continue;
        ++listed;
        const char* sep = listed == 1 ? "" : (listed == missing ? (missing > 2 ? ", and " : " and ") : ", ");
        names = Ref::steal(PyUnicode_FromFormat("%U%s'%s'", names.get(), sep, sig.names[i]));
    }
    if (!names) return false;
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %U", sig.function, missing,
                 missing == 1 ? "" : "s", names.get());
    return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept {
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (nargs > sig.count) {
        PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd were given", sig.function,
                     sig.required, sig.count, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        for (int i = 0; i < sig.count && slot < 0; ++i)
            if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) slot = i;
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.function, key);
            return false;
        }
        if (out[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function, sig.names[slot]);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (int i = 0; i < sig.required; ++i)
        if (out[i] == nullptr) return raise_missing(sig, out);
    return true;
}

Ref as_array(PyObject* obj, int ndim, int type_num, const char* name) noexcept {
    if (PyArray_Check(obj)) {
        PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
        if (PyArray_NDIM(arr) == ndim) {
            PyArray_Descr* want = PyArray_DescrFromType(type_num);
            const bool same = want != nullptr && PyArray_EquivTypes(PyArray_DESCR(arr), want);
            Py_XDECREF(want);
            if (same) return Ref::borrow(obj);
        }
    }
    Ref qualname = type_qualname(obj);
    if (!qualname) return Ref();
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be cast as 'ndarray'", name, qualname.get());
    return Ref();
}

bool convert_offset(PyObject* obj, Offset* out) noexcept {
    if (obj == nullptr || obj == Py_None) return true;
    out->given = true;
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "argument 'offset': a str is not a sequence of numbers");
        return false;
    }
    if (!PySequence_Check(obj)) {
        Ref qualname = type_qualname(obj);
        if (qualname)
            PyErr_Format(PyExc_TypeError, "argument 'offset': '%U' object cannot be cast as 'Sequence'", qualname.get());
        return false;
    }
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) {
        prefix_argument_error("offset");
        return false;
    }
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iter.get()));
        if (!item) break;
        double v = 0.0;
        if (!convert_float(item.get(), "offset", &v)) return false;
        if (out->length < 3) out->values[out->length] = v;
        ++out->length;
    }
    if (PyErr_Occurred()) {
        prefix_argument_error("offset");
        return false;
    }
    return true;
}

bool convert_float(PyObject* obj, const char* name, double* out) noexcept {
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double v = PyFloat_AsDouble(obj);
    // -1.0 is also a valid value; only the error indicator tells them apart.
    if (v == -1.0 && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    *out = v;
    return true;
}

namespace {

bool convert_long(PyObject* obj, const char* name, long lo, long hi, long* out) {
    // Through __index__ only: Python 3.9's PyLong_AsLong still truncates a
    // float through __int__, which must be refused as on later versions.
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) {
        prefix_argument_error(name);
        return false;
    }
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) {
        prefix_argument_error(name);  // only a TypeError is prefixed
        return false;
    }
    if (v < lo || v > hi) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    *out = v;
    return true;
}

}  // namespace

bool convert_u8(PyObject* obj, const char* name, std::uint8_t* out) noexcept {
    long v = 0;
    if (!convert_long(obj, name, 0, 255, &v)) return false;
    *out = static_cast<std::uint8_t>(v);
    return true;
}

bool convert_i32(PyObject* obj, const char* name, std::int32_t* out) noexcept {
    long v = 0;
    if (!convert_long(obj, name, INT32_MIN, INT32_MAX, &v)) return false;
    *out = static_cast<std::int32_t>(v);
    return true;
}

}  // namespace zentrova::py

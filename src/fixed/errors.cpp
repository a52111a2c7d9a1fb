#include "fixed/errors.h"

namespace zentrova::py {
namespace {

PyObject* panic_type() noexcept {
    // Kept for the life of the process, like the module itself.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "A fatal internal error of a native extension: an invariant was broken.\n\n"
        "It derives from BaseException, not Exception, so that a generic\n"
        "`except Exception` does not silently swallow it.",
        PyExc_BaseException, nullptr);
    return type;
}

}  // namespace

PyObject* take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

void restore_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

void raise_panic(const char* message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the failure to create it is pending instead
    PyErr_SetString(type, message);
}

bool ok_or_raise(Status status) noexcept {
    switch (status) {
        case Status::kOk:
            return true;
        case Status::kInputNotContiguous:
            raise_panic("Input must be C-contiguous");
            break;
        case Status::kOutputNotContiguous:
            raise_panic("Output must be C-contiguous");
            break;
        case Status::kOutputShape:
            raise_panic("Output must have the input's shape");
            break;
        case Status::kZeroChunk:
            raise_panic("chunk_size must not be zero");
            break;
        case Status::kPoolUnavailable:
            raise_panic("could not start the worker threads");
            break;
    }
    return false;
}

void prefix_argument_error(const char* name) noexcept {
    PyObject* exc = take_exception();
    if (exc == nullptr) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_exception(exc);
        return;
    }
    PyObject* cause = PyException_GetCause(exc);
    Ref message = Ref::steal(PyObject_Str(exc));
    Py_DECREF(exc);
    if (!message) {
        Py_XDECREF(cause);
        return;
    }
    Ref text = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
    PyObject* replaced = text ? PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr) : nullptr;
    if (replaced == nullptr) {
        Py_XDECREF(cause);
        return;
    }
    if (cause != nullptr) PyException_SetCause(replaced, cause);  // steals cause
    restore_exception(replaced);
}

Ref type_qualname(PyObject* obj) noexcept {
    return Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
}

}  // namespace zentrova::py

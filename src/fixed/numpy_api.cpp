#include "fixed/numpy_api.h"

#include "fixed/errors.h"

namespace zentrova::py {

bool numpy_ready() noexcept {
    if (load_numpy_api()) return true;
    PyObject* cause = take_exception();
    Ref text = Ref::steal(cause != nullptr ? PyObject_Str(cause) : nullptr);
    PyErr_Clear();
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Failed to access NumPy array API capsule: %s: %S",
        cause != nullptr ? Py_TYPE(cause)->tp_name : "unknown error", text ? text.get() : Py_None));
    PyErr_Clear();
    raise_panic(message ? PyUnicode_AsUTF8(message.get()) : "Failed to access NumPy array API capsule");
    // Chain the lookup error so that its traceback is not lost.
    PyObject* panic = take_exception();
    if (panic != nullptr && cause != nullptr) {
        PyException_SetCause(panic, cause);  // steals cause
    } else {
        Py_XDECREF(cause);
    }
    if (panic != nullptr) restore_exception(panic);
    return false;
}

}  // namespace zentrova::py

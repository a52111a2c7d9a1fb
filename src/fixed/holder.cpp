#include "fixed/holder.h"

#include <utility>

#include "pyutil/buffer_owner.h"
#include "fixed/errors.h"

namespace zentrova::py {
namespace {

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_owner_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of the memory behind an array returned by zentrova.")},
    {0, nullptr},
};

// The name under which NumPy users of native extensions already know the owner
// of an array's memory.
PyType_Spec slice_container_spec = {
    "zentrova.PySliceContainer", sizeof(BufferOwner), 0, Py_TPFLAGS_DEFAULT, slice_container_slots,
};

PyTypeObject* slice_container_type() {
    static PyObject* type = PyType_FromSpec(&slice_container_spec);  // kept for the process
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

Ref make_slice_container(platform::Buffer&& buffer) noexcept {
    Ref holder = own_buffer(slice_container_type(), std::move(buffer));
    if (!holder) {
        PyObject* cause = take_exception();
        Ref text = Ref::steal(cause != nullptr ? PyObject_Str(cause) : nullptr);
        PyErr_Clear();
        Ref message = Ref::steal(PyUnicode_FromFormat("Failed to create slice container: %S", text ? text.get() : Py_None));
        PyErr_Clear();
        raise_panic(message ? PyUnicode_AsUTF8(message.get()) : "Failed to create slice container");
        Py_XDECREF(cause);
    }
    return holder;
}

}  // namespace zentrova::py

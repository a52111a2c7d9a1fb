#include "python/holder.h"

#include <new>
#include <utility>

#include "python/errors.h"

namespace zentrova::py {
namespace {

struct SliceContainer {
    PyObject_HEAD
    platform::Buffer buffer;  // constructed in place by make_slice_container
};

void slice_container_dealloc(PyObject* self) {
    reinterpret_cast<SliceContainer*>(self)->buffer.~Buffer();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // heap type: each instance holds a reference to it
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of the memory behind an array returned by zentrova.")},
    {0, nullptr},
};

// The name under which NumPy users of native extensions already know the owner
// of an array's memory.
PyType_Spec slice_container_spec = {
    "zentrova.PySliceContainer", sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT, slice_container_slots,
};

PyTypeObject* slice_container_type() {
    static PyObject* type = PyType_FromSpec(&slice_container_spec);  // kept for the process
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

Ref make_slice_container(platform::Buffer&& buffer) noexcept {
    PyTypeObject* type = slice_container_type();
    SliceContainer* holder = type != nullptr ? PyObject_New(SliceContainer, type) : nullptr;
    if (holder == nullptr) {
        buffer.reset();
        PyObject* cause = take_exception();
        Ref text = Ref::steal(cause != nullptr ? PyObject_Str(cause) : nullptr);
        PyErr_Clear();
        Ref message = Ref::steal(PyUnicode_FromFormat("Failed to create slice container: %S", text ? text.get() : Py_None));
        PyErr_Clear();
        raise_panic(message ? PyUnicode_AsUTF8(message.get()) : "Failed to create slice container");
        Py_XDECREF(cause);
        return Ref();
    }
    new (&holder->buffer) platform::Buffer(std::move(buffer));
    return Ref::steal(reinterpret_cast<PyObject*>(holder));
}

}  // namespace zentrova::py

#include "pyutil/buffer_owner.h"

#include <new>
#include <utility>

namespace zentrova::py {

void buffer_owner_dealloc(PyObject* self) {
    reinterpret_cast<BufferOwner*>(self)->buffer.~Buffer();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // heap type: each instance holds a reference to it
}

Ref own_buffer(PyTypeObject* type, platform::Buffer&& buffer) noexcept {
    BufferOwner* owner = type != nullptr ? PyObject_New(BufferOwner, type) : nullptr;
    if (owner == nullptr) {
        buffer.reset();
        return Ref();
    }
    new (&owner->buffer) platform::Buffer(std::move(buffer));
    return Ref::steal(reinterpret_cast<PyObject*>(owner));
}

}  // namespace zentrova::py

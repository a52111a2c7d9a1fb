// The owner of the memory behind a NumPy array that an extension made: a small
// object that holds a platform::Buffer and frees it when the array (its base)
// goes away. Each module gives the type its own name through its PyType_Spec.
#pragma once

#include "platform/memory.h"
#include "pyutil/ref.h"

namespace zentrova::py {

struct BufferOwner {
    PyObject_HEAD
    platform::Buffer buffer;  // constructed in place by own_buffer
};

// The tp_dealloc of every buffer-owner type.
void buffer_owner_dealloc(PyObject* self);

// A new owner of `type` (a heap type made by PyType_FromSpec, its dealloc buffer_owner_dealloc)
// that takes the buffer over; nullptr with an error set if it cannot be made,
// the buffer then freed.
Ref own_buffer(PyTypeObject* type, platform::Buffer&& buffer) noexcept;

}  // namespace zentrova::py

// How errors leave the module.
#pragma once

#include "pyutil/ref.h"
#include "core/view.h"

namespace zentrova::py {

// Raises the fatal-error exception (class PanicException of module
// pyo3_runtime, derived from BaseException so that `except Exception` does not
// hide a broken invariant). One class per process, made on first use. The
// class keeps the name and module under which callers of native extensions
// already catch fatal errors.
void raise_panic(const char* message) noexcept;

// True for kOk; otherwise raises the fatal error that matches the status and
// returns false.
bool ok_or_raise(Status status) noexcept;

// Rewrites a pending TypeError (exactly TypeError, not a subclass) as
// TypeError("argument '<name>': <message>"), keeping its cause. Other pending
// errors are left as they are.
void prefix_argument_error(const char* name) noexcept;

// The pending exception as one normalised object (nullptr if none), and back.
PyObject* take_exception() noexcept;
void restore_exception(PyObject* exc) noexcept;  // takes over exc

// The qualified name of obj's type, as a new str (nullptr with an error set).
Ref type_qualname(PyObject* obj) noexcept;

}  // namespace zentrova::py

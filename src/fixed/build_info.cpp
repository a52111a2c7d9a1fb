// build_info(): version, instruction-set features, the backend each element type
// runs on, and the size of the worker pool (the process's one pool, which
// zentrova_resample shares and may have resized).
#include "platform/cpu_features.h"
#include "fixed/errors.h"
#include "fixed/transform.h"
#include "fixed/backends.h"
#include "pool/parallel.h"

namespace zentrova::py {
namespace {

// Inserts key -> value (a new reference, taken over). False with the error set.
bool put(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    if (!owned) {
        raise_panic("build_info: could not create a value");
        return false;
    }
    Ref name = Ref::steal(PyUnicode_FromString(key));
    if (!name) {
        raise_panic("build_info: could not create a key");
        return false;
    }
    if (PyDict_SetItem(dict, name.get(), owned.get()) < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return false;
    }
    return true;
}

}  // namespace

PyObject* build_info(PyObject*, PyObject*) {
    Ref info = Ref::steal(PyDict_New());
    if (!info) {
        raise_panic("build_info: could not create a dict");
        return nullptr;
    }
    if (!put(info.get(), "version", PyUnicode_FromString(ZENTROVA_VERSION))) return nullptr;

    Ref simd = Ref::steal(PyDict_New());
    if (!simd) {
        raise_panic("build_info: could not create a dict");
        return nullptr;
    }
    // AVX2, FMA and F16C are required at import; only AVX-512F is looked up.
    if (!put(simd.get(), "avx2", PyBool_FromLong(1)) ||
        !put(simd.get(), "avx512f", PyBool_FromLong(cpu::avx512f_usable())) ||
        !put(simd.get(), "fma", PyBool_FromLong(1)) || !put(simd.get(), "f16c", PyBool_FromLong(1)))
        return nullptr;
    if (!put(info.get(), "simd", simd.release())) return nullptr;

    const Backends& table = backends();
    if (!put(info.get(), "parallel", PyBool_FromLong(1)) ||
        !put(info.get(), "backend_f32", PyUnicode_FromString(table.f32.name)) ||
        !put(info.get(), "backend_f16", PyUnicode_FromString(table.f16.name)) ||
        !put(info.get(), "backend_u8", PyUnicode_FromString(table.u8.name)))
        return nullptr;
    // Reading the size creates the pool if no transform has done so yet.
    if (!put(info.get(), "num_threads", PyLong_FromSize_t(parallel::num_threads()))) return nullptr;
    return info.release();
}

}  // namespace zentrova::py

// The zentrova module: its definition, the four functions and PyInit_zentrova.
//
// Compiled for the x86-64 baseline: the processor check below must be able to
// run (and refuse) on a machine without AVX2.
#include <atomic>
#include <cstdint>

#include "platform/cpu_features.h"
#include "fixed/errors.h"
#include "fixed/transform.h"

namespace zentrova::py {
namespace {

constexpr const char kModuleDoc[] =
    "Fast 3D affine transformations with trilinear interpolation using AVX2/AVX512 SIMD\n"
    "\n"
    "Supported data types:\n"
    "- f32: affine_transform() - Standard floating point\n"
    "- f16: affine_transform_f16() - Half precision, 2x less memory\n"
    "- u8: affine_transform_u8() - 2.2x faster, 4x less memory";

constexpr const char kAffineTransformDoc[] =
    "affine_transform(input, matrix, offset=None, cval=0.0, order=1)\n"
    "--\n"
    "\n"
    "Apply 3D affine transformation with trilinear interpolation (f32)\n"
    "\n"
    "Args:\n"
    "    input: 3D numpy array (f32)\n"
    "    matrix: 3x3 transformation matrix\n"
    "    offset: Translation vector [z, y, x]\n"
    "    cval: Constant value for out-of-bounds (default: 0.0)\n"
    "    order: Interpolation order (only 1 is supported)\n"
    "\n"
    "Returns:\n"
    "    Transformed 3D array";

constexpr const char kAffineTransformU8Doc[] =
    "affine_transform_u8(input, matrix, offset=None, cval=0)\n"
    "--\n"
    "\n"
    "Apply 3D affine transformation for u8 arrays\n"
    "\n"
    "2.2x faster than f32 due to 4x less memory traffic.\n"
    "Ideal for image data (microscopy, CT, MRI).\n"
    "\n"
    "Args:\n"
    "    input: 3D numpy array (uint8)\n"
    "    matrix: 3x3 transformation matrix\n"
    "    offset: Translation vector [z, y, x]\n"
    "    cval: Constant value for out-of-bounds (default: 0)\n"
    "\n"
    "Returns:\n"
    "    Transformed 3D array (uint8)";

constexpr const char kAffineTransformF16Doc[] =
    "affine_transform_f16(input, matrix, offset=None, cval=0.0, order=1)\n"
    "--\n"
    "\n"
    "Apply 3D affine transformation for f16 arrays\n"
    "\n"
    "Note: numpy float16 is stored as u16 bits, same as half::f16";

constexpr const char kBuildInfoDoc[] =
    "build_info()\n"
    "--\n"
    "\n"
    "Get build and runtime information\n"
    "\n"
    "Returns a dictionary with:\n"
    "- version: Package version\n"
    "- simd: Dict of available SIMD features (avx2, avx512, fma, f16c)\n"
    "- parallel: Whether parallel processing is enabled\n"
    "- backend_f32: Which backend will be used for f32\n"
    "- backend_f16: Which backend will be used for f16\n"
    "- backend_u8: Which backend will be used for u8";

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// In the order in which they are added to the module and to __all__.
PyMethodDef g_functions[] = {
    {"affine_transform", as_cfunction(affine_transform), METH_FASTCALL | METH_KEYWORDS, kAffineTransformDoc},
    {"affine_transform_f16", as_cfunction(affine_transform_f16), METH_FASTCALL | METH_KEYWORDS, kAffineTransformF16Doc},
    {"affine_transform_u8", as_cfunction(affine_transform_u8), METH_FASTCALL | METH_KEYWORDS, kAffineTransformU8Doc},
    {"build_info", as_cfunction(build_info), METH_NOARGS, kBuildInfoDoc},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "zentrova", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The first interpreter to import the module owns it; the module object is
// made once and kept for the life of the process.
std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;

bool add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!function) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;

    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), name.get()) < 0) {
        PyErr_Clear();
        raise_panic("could not append __name__ to __all__");
        return false;
    }
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* init_module() {
    if (const char* missing = cpu::missing_required_features()) {
        PyErr_Format(PyExc_ImportError,
                     "zentrova needs an x86-64 processor with AVX2, FMA and F16C (the x86-64-v3 level); "
                     "this one lacks: %s",
                     missing);
        return nullptr;
    }

    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "zentrova does not support sub-interpreters: it can only be imported by the interpreter "
                        "that imported it first");
        return nullptr;
    }

    if (g_module == nullptr) {
        Ref module = Ref::steal(PyModule_Create2(&g_module_def, PYTHON_API_VERSION));
        if (!module) return nullptr;
        for (PyMethodDef& def : g_functions)
            if (!add_function(module.get(), &def)) return nullptr;
        g_module = module.release();
    }
    Py_INCREF(g_module);
    return g_module;
}

}  // namespace
}  // namespace zentrova::py

PyMODINIT_FUNC PyInit_zentrova(void) { return zentrova::py::init_module(); }

// The zentrova module on a processor other than x86-64: its kernels are AVX2 and
// AVX-512 code, so a build for another processor (aarch64) has none of them, and
// the module is an import that refuses and says why, rather than no module at
// all. zentrova_resample (the scipy.ndimage resampler) builds everywhere.
#include "pyutil/ref.h"

#if defined(__x86_64__)
#error "the x86-64 build compiles the real module (fixed/module.cpp)"
#endif

#if defined(__aarch64__)
#define ZENTROVA_THIS_PROCESSOR "aarch64"
#else
#define ZENTROVA_THIS_PROCESSOR "a processor other than x86-64"
#endif

PyMODINIT_FUNC PyInit_zentrova(void) {
    PyErr_SetString(PyExc_ImportError,
                    "zentrova needs an x86-64 processor with AVX2, FMA and F16C (the x86-64-v3 level); this build "
                    "is for " ZENTROVA_THIS_PROCESSOR ", where only zentrova_resample (the scipy.ndimage "
                    "resampler) works");
    return nullptr;
}

// zentrova_kernels: a test-only extension that calls one named kernel directly,
// so that the 8-lane and 16-lane kernels of an element type can both be checked
// on one machine. Built only with -DZENTROVA_TEST_KERNELS=ON; never shipped.
//
//   run(kernel, input, matrix, offset, cval[, out]) -> new array, or `out`
//       filled in place (C-contiguous, input's shape and dtype; lets a benchmark
//       time the kernel alone)
//       kernel: "f32_avx2", "f32_avx512", "u8_avx2", "f16_avx2", "f16_avx512"
//       input:  C-contiguous 3-D float32 / uint8 / uint16 (binary16 patterns)
//       matrix: (3, 3) float64; offset: 3 floats; cval: float (int for u8)
//   avx512_usable() -> bool
//   pool_job(ntasks, caller_works, max_threads=0, gated=False) -> (caller's
//       thread id, [thread id of each task]): a job of the worker pool
//       (max_threads 0: no limit); gated tasks wait until pool_gate(True)
//   pool_gate(open), pool_waiting() -> tasks waiting at the gate
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/cpu_features.h"
#include "fixed/errors.h"
#include "fixed/numpy_api.h"
#include "fixed/kernels.h"
#include "pool/parallel.h"

namespace {

using zentrova::Status;
using zentrova::View3;
namespace py = zentrova::py;
using zentrova::py::view_of;

// Output of the input's shape filled with `fill`, then the kernel.
template <class T, class C, class K>
PyObject* run_kernel(PyArrayObject* in, int type_num, const double* m, const double* o, C cval, T fill, K kernel,
                     PyObject* given) {
    PyObject* out = given;
    if (out == nullptr) {
        out = PyArray_SimpleNew(3, PyArray_DIMS(in), type_num);
        if (out == nullptr) return nullptr;
    } else {
        PyArrayObject* g = reinterpret_cast<PyArrayObject*>(given);
        if (!PyArray_Check(given) || PyArray_TYPE(g) != type_num || !PyArray_IS_C_CONTIGUOUS(g) ||
            !PyArray_ISWRITEABLE(g) || PyArray_NDIM(g) != 3 || !PyArray_CompareLists(PyArray_DIMS(g), PyArray_DIMS(in), 3)) {
            PyErr_SetString(PyExc_ValueError, "out must be a writeable C-contiguous array of the input's shape and dtype");
            return nullptr;
        }
        Py_INCREF(out);
    }
    PyArrayObject* out_arr = reinterpret_cast<PyArrayObject*>(out);
    T* data = static_cast<T*>(PyArray_DATA(out_arr));
    if (given == nullptr)
        for (npy_intp i = 0; i < PyArray_SIZE(out_arr); ++i) data[i] = fill;
    const Status status = kernel(view_of<const T>(in), view_of<T>(out_arr), m, o, cval);
    if (!py::ok_or_raise(status)) {
        Py_DECREF(out);
        return nullptr;
    }
    return out;
}

PyObject* run(PyObject*, PyObject* args) {
    const char* name = nullptr;
    PyObject *input = nullptr, *matrix = nullptr, *offset = nullptr, *cval_obj = nullptr, *out = nullptr;
    if (!PyArg_ParseTuple(args, "sOOOO|O", &name, &input, &matrix, &offset, &cval_obj, &out)) return nullptr;
    if (out == Py_None) out = nullptr;
    if (!py::numpy_ready()) return nullptr;
    const std::string kernel(name);
    const bool avx512 = kernel.size() > 6 && kernel.compare(kernel.size() - 6, 6, "avx512") == 0;
    if (avx512 && !zentrova::cpu::avx512f_usable()) {
        PyErr_SetString(PyExc_RuntimeError, "this processor cannot run the AVX-512 kernels");
        return nullptr;
    }
    const int type_num = kernel.rfind("f32", 0) == 0 ? NPY_FLOAT32 : kernel.rfind("u8", 0) == 0 ? NPY_UINT8 : NPY_UINT16;
    py::Ref in = py::Ref::steal(PyArray_FROMANY(input, type_num, 3, 3, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
    py::Ref mat = py::Ref::steal(PyArray_FROMANY(matrix, NPY_FLOAT64, 2, 2, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
    py::Ref off = py::Ref::steal(PyArray_FROMANY(offset, NPY_FLOAT64, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
    if (!in || !mat || !off) return nullptr;
    PyArrayObject* in_arr = reinterpret_cast<PyArrayObject*>(in.get());
    if (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(mat.get())) != 9 ||
        PyArray_SIZE(reinterpret_cast<PyArrayObject*>(off.get())) != 3) {
        PyErr_SetString(PyExc_ValueError, "matrix must have 9 values and offset 3");
        return nullptr;
    }
    const double* m = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(mat.get())));
    const double* o = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(off.get())));

    if (kernel == "u8_avx2") {
        const long c = PyLong_AsLong(cval_obj);
        if (c == -1 && PyErr_Occurred()) return nullptr;
        const std::uint8_t cval = static_cast<std::uint8_t>(c);
        return run_kernel<std::uint8_t>(in_arr, type_num, m, o, cval, cval, zentrova::avx2::trilinear_3d_u8_avx2, out);
    }
    const double cval = PyFloat_AsDouble(cval_obj);
    if (cval == -1.0 && PyErr_Occurred()) return nullptr;
    if (kernel == "f32_avx2")
        return run_kernel<float>(in_arr, type_num, m, o, cval, static_cast<float>(cval), zentrova::avx2::trilinear_3d_f32_avx2,
                                 out);
    if (kernel == "f32_avx512")
        return run_kernel<float>(in_arr, type_num, m, o, cval, static_cast<float>(cval),
                                 zentrova::avx512::trilinear_3d_f32_avx512, out);
    const std::uint16_t half = zentrova::avx2::cval_half(cval);
    if (kernel == "f16_avx2") return run_kernel<std::uint16_t>(in_arr, type_num, m, o, cval, half, zentrova::avx2::trilinear_3d_f16_avx2, out);
    if (kernel == "f16_avx512")
        return run_kernel<std::uint16_t>(in_arr, type_num, m, o, cval, half, zentrova::avx512::trilinear_3d_f16_avx512, out);
    PyErr_Format(PyExc_ValueError, "unknown kernel %s", name);
    return nullptr;
}

PyObject* avx512_usable(PyObject*, PyObject*) { return PyBool_FromLong(zentrova::cpu::avx512f_usable()); }

std::atomic<bool> g_gate_open{true};
std::atomic<int> g_waiting{0};

struct PoolJob {
    std::vector<long>* tids;
    bool gated;
};

long thread_id() { return static_cast<long>(syscall(SYS_gettid)); }

void pool_task(const void* ctx, std::size_t task) noexcept {
    const PoolJob& job = *static_cast<const PoolJob*>(ctx);
    if (job.gated) {
        g_waiting.fetch_add(1);
        while (!g_gate_open.load()) usleep(200);
        g_waiting.fetch_sub(1);
    }
    (*job.tids)[task] = thread_id();
}

PyObject* pool_job(PyObject*, PyObject* args) {
    Py_ssize_t ntasks = 0, max_threads = 0;
    int works = 0, gated = 0;
    if (!PyArg_ParseTuple(args, "np|np", &ntasks, &works, &max_threads, &gated)) return nullptr;
    if (ntasks < 0 || max_threads < 0) {
        PyErr_SetString(PyExc_ValueError, "ntasks and max_threads must be non-negative");
        return nullptr;
    }
    std::vector<long> tids(static_cast<std::size_t>(ntasks), 0);
    PoolJob job{&tids, gated != 0};
    const long caller = thread_id();
    Status status;
    Py_BEGIN_ALLOW_THREADS
    status = zentrova::parallel::for_each(static_cast<std::size_t>(ntasks), pool_task, &job,
                                          works ? zentrova::parallel::Caller::kWorks : zentrova::parallel::Caller::kWaits,
                                          max_threads == 0 ? SIZE_MAX : static_cast<std::size_t>(max_threads));
    Py_END_ALLOW_THREADS
    if (!py::ok_or_raise(status)) return nullptr;
    py::Ref list = py::Ref::steal(PyList_New(ntasks));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < ntasks; ++i) {
        PyObject* tid = PyLong_FromLong(tids[static_cast<std::size_t>(i)]);
        if (tid == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, tid);
    }
    return Py_BuildValue("(lO)", caller, list.get());
}

PyObject* pool_gate(PyObject*, PyObject* arg) {
    const int open = PyObject_IsTrue(arg);
    if (open < 0) return nullptr;
    g_gate_open.store(open != 0);
    Py_RETURN_NONE;
}

PyObject* pool_waiting(PyObject*, PyObject*) { return PyLong_FromLong(g_waiting.load()); }

PyMethodDef methods[] = {
    {"run", run, METH_VARARGS, "run(kernel, input, matrix, offset, cval[, out]): resample with one named kernel"},
    {"avx512_usable", avx512_usable, METH_NOARGS, "Whether the AVX-512 kernels can run here"},
    {"pool_job", pool_job, METH_VARARGS,
     "pool_job(ntasks, caller_works, max_threads=0, gated=False) -> (caller's thread id, [each task's thread id])"},
    {"pool_gate", pool_gate, METH_O, "pool_gate(open): lets gated tasks go on (True) or holds them (False)"},
    {"pool_waiting", pool_waiting, METH_NOARGS, "pool_waiting() -> gated tasks waiting now"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "zentrova_kernels", "Test-only access to each zentrova kernel.", -1,
                          methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_zentrova_kernels(void) {
    if (zentrova::cpu::missing_required_features() != nullptr) {
        PyErr_SetString(PyExc_ImportError, "zentrova_kernels needs AVX2, FMA and F16C");
        return nullptr;
    }
    return PyModule_Create(&module_def);
}

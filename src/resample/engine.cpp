// zentrova_resample._engine: the private module under the zentrova_resample
// package. The package validates and normalises every argument (scipy's
// meaning, any layout, any byte order); this module takes well-behaved arrays
// only, checks what memory safety needs, releases the interpreter lock and
// runs the kernel for the element type.
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/memory.h"
#include "pyutil/buffer_owner.h"
#include "pyutil/numpy.h"
#include "pool/parallel.h"
#include "dispatch/targets.h"

namespace zentrova::resample_py {
namespace {

using py::Ref;

// The element type of a dtype the kernels take (with `bool_too`, bool as
// well, which results may be stored into), or false.
bool element_of(PyArray_Descr* d, Element* out, bool bool_too = false) {
    if (PyArray_ISNBO(d->byteorder) == 0) return false;
    const int size = static_cast<int>(PyDataType_ELSIZE(d));
    switch (d->kind) {
        case 'b':
            *out = Element::kBool;
            return bool_too && size == 1;
        case 'f':
            if (size == 2) *out = Element::kF16;
            else if (size == 4) *out = Element::kF32;
            else if (size == 8) *out = Element::kF64;
            else return false;
            return true;
        case 'u':
            if (size == 1) *out = Element::kU8;
            else if (size == 2) *out = Element::kU16;
            else if (size == 4) *out = Element::kU32;
            else if (size == 8) *out = Element::kU64;
            else return false;
            return true;
        case 'i':
            if (size == 1) *out = Element::kI8;
            else if (size == 2) *out = Element::kI16;
            else if (size == 4) *out = Element::kI32;
            else if (size == 8) *out = Element::kI64;
            else return false;
            return true;
        default:
            return false;
    }
}

// An array of one to three axes of a kernel element type, aligned, with
// whole-element strides (for an output: unit x stride, non-negative z and y
// strides), seen as three axes: fewer are the last ones, after axes of length
// one. Its shape and its strides in elements.
struct Array3 {
    PyArrayObject* arr = nullptr;
    Element element = Element::kF64;
    std::int64_t shape[3] = {1, 1, 1};
    std::int64_t strides[3] = {0, 0, 1};  // in elements
};

bool well_behaved(PyObject* obj, const char* name, bool is_output, Array3* view) {
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a numpy.ndarray", name);
        return false;
    }
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
    const int ndim = PyArray_NDIM(arr);
    if (ndim < 1 || ndim > 3) {
        PyErr_Format(PyExc_ValueError, "%s must have 1 to 3 dimensions", name);
        return false;
    }
    if (!element_of(PyArray_DESCR(arr), &view->element)) {
        PyErr_Format(PyExc_TypeError, "%s has an element type the kernels do not take", name);
        return false;
    }
    const npy_intp item = PyArray_ITEMSIZE(arr);
    bool ok = PyArray_ISALIGNED(arr);
    for (int a = 3 - ndim; a < 3 && ok; ++a) {
        const int axis = a - (3 - ndim);
        const npy_intp s = PyArray_STRIDE(arr, axis);
        const npy_intp n = PyArray_DIM(arr, axis);
        const bool single = n <= 1;
        ok = single || (s % item == 0 && (!is_output || (a == 2 ? s == item : s >= 0)));
        view->shape[a] = n;
        view->strides[a] = single ? (a == 2 ? 1 : 0) : s / item;
    }
    if (!ok) {
        PyErr_Format(PyExc_ValueError,
                     is_output ? "%s must be aligned, with unit stride along its last axis and non-negative strides"
                               : "%s must be aligned, with strides of whole elements",
                     name);
        return false;
    }
    view->arr = arr;
    return true;
}

// None for kOk, else the exception of the status (and nullptr).
PyObject* result_of(ResampleStatus status) {
    switch (status) {
        case ResampleStatus::kOk:
            Py_RETURN_NONE;
        case ResampleStatus::kOutsideBox:
            PyErr_SetString(PyExc_ValueError, "the input box does not hold every sample the output needs");
            return nullptr;
        case ResampleStatus::kPoolUnavailable:
            PyErr_SetString(PyExc_RuntimeError, "could not start the worker threads");
            return nullptr;
        case ResampleStatus::kNoMemory:
            return PyErr_NoMemory();
    }
    return nullptr;
}

PyObject* resample(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"input", "output", "matrix", "offset", "order", "mode", "cval",
                                     "interpolated", "box_origin", "full_shape", "out_origin",
                                     "separable", "zoom", "shift", "grid_mode", "isa", "pad", "coords", "margin",
                                     nullptr};
    PyObject *input = nullptr, *output = nullptr, *coords_obj = Py_None;
    ResampleCall call{};
    int order = 1, mode = 0, interpolated = 3, separable = 0, grid_mode = 0;
    const char* isa = nullptr;
    long long box[3] = {0, 0, 0}, full[3] = {-1, -1, -1}, origin[3] = {0, 0, 0}, margin = 0;
    double* m = &call.matrix[0][0];
    call.zoom[0] = call.zoom[1] = call.zoom[2] = 1.0;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "OO(ddddddddd)(ddd)iid|i(LLL)(LLL)(LLL)p(ddd)(ddd)pzdOL", const_cast<char**>(keywords), &input,
            &output, &m[0], &m[1], &m[2], &m[3], &m[4], &m[5], &m[6], &m[7], &m[8], &call.offset[0],
            &call.offset[1], &call.offset[2], &order, &mode, &call.cval, &interpolated, &box[0], &box[1], &box[2],
            &full[0], &full[1], &full[2], &origin[0], &origin[1], &origin[2], &separable, &call.zoom[0],
            &call.zoom[1], &call.zoom[2], &call.shift[0], &call.shift[1], &call.shift[2], &grid_mode, &isa,
            &call.pad, &coords_obj, &margin))
        return nullptr;
    if (!py::load_numpy_api()) return nullptr;

    Array3 in_view, out_view;
    if (!well_behaved(input, "input", false, &in_view) || !well_behaved(output, "output", true, &out_view))
        return nullptr;
    if (in_view.element != out_view.element) {
        PyErr_SetString(PyExc_TypeError, "input and output must have the same element type");
        return nullptr;
    }
    PyArrayObject* in = in_view.arr;
    PyArrayObject* out = out_view.arr;
    const Element in_element = in_view.element;
    if (!PyArray_ISWRITEABLE(out)) {
        PyErr_SetString(PyExc_ValueError, "output is read-only");
        return nullptr;
    }
    if (order < 0 || order > 5) {
        PyErr_SetString(PyExc_ValueError, "order must be 0 to 5");
        return nullptr;
    }
    if (mode < 0 || mode > static_cast<int>(Mode::kGridWrap)) {
        PyErr_SetString(PyExc_ValueError, "unknown mode code");
        return nullptr;
    }
    if (interpolated < 1 || interpolated > 3) {
        PyErr_SetString(PyExc_ValueError, "interpolated must be 1, 2 or 3");
        return nullptr;
    }
    // A margin: the input array holds it around the whole input along the
    // interpolated axes, whose box is then the array without it. 'nearest' and
    // 'grid-constant' move footprints into it (it must be larger than they
    // are), at orders 1 to 5; the other modes read it at orders 2 to 5.
    const bool clamps = mode == static_cast<int>(Mode::kNearest) || mode == static_cast<int>(Mode::kGridConstant);
    if (margin != 0 && (margin <= order || margin > 64 || order < (clamps ? 1 : 2))) {
        PyErr_SetString(PyExc_ValueError, "margin must be 0, or more than the order and at most 64 (orders 1 to 5 "
                                          "with 'nearest' and 'grid-constant', 2 to 5 with the other modes)");
        return nullptr;
    }
    const char* in_data = static_cast<const char*>(PyArray_DATA(in));
    // The box must lie inside the whole input: reads are checked against the
    // box, the border modes against the whole.
    for (int a = 0; a < 3; ++a) {
        std::int64_t n = in_view.shape[a];
        if (margin > 0 && a >= 3 - interpolated) {
            if (n <= 2 * margin || box[a] != 0 || (full[a] >= 0 && full[a] != n - 2 * margin)) {
                PyErr_SetString(PyExc_ValueError, "an input with a margin must hold the whole input and more "
                                                  "than the margin along each interpolated axis");
                return nullptr;
            }
            n -= 2 * margin;
            in_data += margin * in_view.strides[a] * PyArray_ITEMSIZE(in);
        }
        if (full[a] < 0) full[a] = box[a] + n;
        if (box[a] < 0 || full[a] < box[a] + n || full[a] > (std::int64_t{1} << 62) || origin[a] < 0 ||
            origin[a] > (std::int64_t{1} << 62)) {
            PyErr_SetString(PyExc_ValueError, "the input box must lie inside the whole input");
            return nullptr;
        }
        call.in_shape[a] = n;
        call.box_origin[a] = box[a];
        call.full_shape[a] = full[a];
        call.out_shape[a] = out_view.shape[a];
        call.out_origin[a] = origin[a];
        // An empty box is fine (a window that reads nothing: every read is
        // checked against the box); an empty whole input has nothing to read.
        if (full[a] == 0 && PyArray_SIZE(out) > 0) {
            PyErr_SetString(PyExc_ValueError, "input has no voxels");
            return nullptr;
        }
    }
    if (coords_obj != Py_None) {
        // The coordinates of the output grid, one float64 array per interpolated axis: of shape
        // (interpolated, Z, Y, X), the grid the window lies in, or (interpolated, points...) of the
        // whole output (its three axes' voxels in order).
        PyArrayObject* c = PyArray_Check(coords_obj) ? reinterpret_cast<PyArrayObject*>(coords_obj) : nullptr;
        std::int64_t grid[3] = {0, 0, 0};
        bool ok = c != nullptr && PyArray_TYPE(c) == NPY_FLOAT64 && PyArray_ISNBO(PyArray_DESCR(c)->byteorder) &&
                  PyArray_IS_C_CONTIGUOUS(c) && PyArray_NDIM(c) >= 2 && PyArray_DIM(c, 0) == interpolated && !separable;
        if (ok && PyArray_NDIM(c) == 4) {
            for (int a = 0; a < 3; ++a) grid[a] = PyArray_DIM(c, a + 1);
        } else if (ok) {
            for (int a = 0; a < 3; ++a) grid[a] = out_view.shape[a];
            ok = origin[0] == 0 && origin[1] == 0 && origin[2] == 0 &&
                 PyArray_SIZE(c) == interpolated * PyArray_SIZE(out);
        }
        for (int a = 0; a < 3 && ok; ++a) ok = grid[a] >= origin[a] + out_view.shape[a];
        if (!ok) {
            PyErr_SetString(PyExc_ValueError, "coords must be a C-contiguous float64 array of shape (interpolated, "
                                              "Z, Y, X) covering the output window, or (interpolated, ...) of the "
                                              "whole output's voxels");
            return nullptr;
        }
        const double* base = static_cast<const double*>(PyArray_DATA(c));
        const std::int64_t plane = grid[0] * grid[1] * grid[2];
        for (int a = 0; a < interpolated; ++a) call.coords[3 - interpolated + a] = base + a * plane;
        call.coord_strides[0] = grid[1] * grid[2];
        call.coord_strides[1] = grid[2];
    }
    call.in = in_data;
    call.margin = margin;
    call.out = PyArray_DATA(out);
    for (int a = 0; a < 3; ++a) call.in_strides[a] = in_view.strides[a];
    call.out_strides[0] = out_view.strides[0];
    call.out_strides[1] = out_view.strides[1];
    call.order = order;
    call.mode = static_cast<Mode>(mode);
    call.interpolated = interpolated;
    call.separable = separable != 0;
    call.grid_mode = grid_mode != 0;

    ResampleBackend backend = resample_backend(in_element, order);
    if (isa != nullptr) {  // tests and benchmarks pick the target
        backend.run = nullptr;
        for (int t = 0; t < target_count(); ++t)
            if (std::strcmp(isa, target_name(t)) == 0) backend = target_resample_backend(t, in_element, order);
        if (backend.run == nullptr) {
            PyErr_Format(PyExc_ValueError, "no %s kernel for this element type on this processor", isa);
            return nullptr;
        }
    }
    ResampleStatus status;
    // The arrays stay referenced by the caller's arguments while the lock is off.
    Py_BEGIN_ALLOW_THREADS
    status = backend.run(call);
    Py_END_ALLOW_THREADS
    return result_of(status);
}

// input_box(dtype, matrix, offset, order, mode, out_shape, *, interpolated, full_shape, out_origin,
//           separable, zoom, shift, grid_mode, pad) -> ((lo, lo, lo), (hi, hi, hi)) or None
PyObject* input_box(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"dtype", "matrix", "offset", "order", "mode", "out_shape", "interpolated",
                                     "full_shape", "out_origin", "separable", "zoom", "shift", "grid_mode", "pad",
                                     nullptr};
    PyObject* dtype = nullptr;
    ResampleCall call{};
    int order = 1, mode = 0, interpolated = 3, separable = 0, grid_mode = 0;
    long long out_shape[3], full[3], origin[3] = {0, 0, 0};
    double* m = &call.matrix[0][0];
    call.zoom[0] = call.zoom[1] = call.zoom[2] = 1.0;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "O(ddddddddd)(ddd)ii(LLL)$i(LLL)(LLL)p(ddd)(ddd)pd", const_cast<char**>(keywords), &dtype,
            &m[0], &m[1], &m[2], &m[3], &m[4], &m[5], &m[6], &m[7], &m[8], &call.offset[0], &call.offset[1],
            &call.offset[2], &order, &mode, &out_shape[0], &out_shape[1], &out_shape[2], &interpolated, &full[0],
            &full[1], &full[2], &origin[0], &origin[1], &origin[2], &separable, &call.zoom[0], &call.zoom[1],
            &call.zoom[2], &call.shift[0], &call.shift[1], &call.shift[2], &grid_mode, &call.pad))
        return nullptr;
    if (!py::load_numpy_api()) return nullptr;
    PyArray_Descr* descr = nullptr;
    if (!PyArray_DescrConverter(dtype, &descr)) return nullptr;
    Ref owned = Ref::steal(reinterpret_cast<PyObject*>(descr));
    Element element;
    if (!element_of(descr, &element)) {
        PyErr_SetString(PyExc_TypeError, "no kernel for this dtype");
        return nullptr;
    }
    if (order < 0 || order > 5 || mode < 0 || mode > static_cast<int>(Mode::kGridWrap) || interpolated < 1 ||
        interpolated > 3) {
        PyErr_SetString(PyExc_ValueError, "order, mode or interpolated out of range");
        return nullptr;
    }
    for (int a = 0; a < 3; ++a) {
        if (out_shape[a] < 0 || full[a] < 1 || origin[a] < 0 || full[a] > (std::int64_t{1} << 62) ||
            origin[a] > (std::int64_t{1} << 62)) {
            PyErr_SetString(PyExc_ValueError, "shapes must be non-negative, the input not empty");
            return nullptr;
        }
        call.full_shape[a] = full[a];
        call.in_shape[a] = full[a];
        call.out_shape[a] = out_shape[a];
        call.out_origin[a] = origin[a];
    }
    call.order = order;
    call.mode = static_cast<Mode>(mode);
    call.interpolated = interpolated;
    call.separable = separable != 0;
    call.grid_mode = grid_mode != 0;
    std::int64_t lo[3], hi[3];
    if (!resample_backend(element, order).box(call, lo, hi)) Py_RETURN_NONE;
    return Py_BuildValue("(LLL)(LLL)", static_cast<long long>(lo[0]), static_cast<long long>(lo[1]),
                         static_cast<long long>(lo[2]), static_cast<long long>(hi[0]), static_cast<long long>(hi[1]),
                         static_cast<long long>(hi[2]));
}

// A cast split over the worker pool in runs of kCastRun elements: each element
// is stored alone, so the result does not depend on the split. One thread
// stores about 2 G float32 values a second into a 16-bit type: on two, the
// pass is nearly as fast as the memory.
constexpr std::int64_t kCastRun = std::int64_t{1} << 16;

struct CastJob {
    CastKernel kernel;
    const char* from;
    char* to;
    std::int64_t n, from_size, to_size;
};

void cast_run(const void* ctx, std::size_t task) noexcept {
    const CastJob& job = *static_cast<const CastJob*>(ctx);
    const std::int64_t first = static_cast<std::int64_t>(task) * kCastRun;
    const std::int64_t count = job.n - first < kCastRun ? job.n - first : kCastRun;
    job.kernel(job.from + first * job.from_size, job.to + first * job.to_size, count);
}

// cast(src, dst, binary64_rule=False): stores the values of `src` (float32 or
// float64, the compute type) into `dst` (a kernel dtype or bool, as many
// elements) as the kernels store their results; with binary64_rule, float32
// values as their binary64 values would be stored. Both C-contiguous.
PyObject* cast(PyObject*, PyObject* args) {
    PyObject *src_obj = nullptr, *dst_obj = nullptr;
    int binary64_rule = 0;
    if (!PyArg_ParseTuple(args, "OO|p", &src_obj, &dst_obj, &binary64_rule)) return nullptr;
    if (!py::load_numpy_api()) return nullptr;
    if (!PyArray_Check(src_obj) || !PyArray_Check(dst_obj)) {
        PyErr_SetString(PyExc_TypeError, "src and dst must be numpy.ndarray");
        return nullptr;
    }
    PyArrayObject* src = reinterpret_cast<PyArrayObject*>(src_obj);
    PyArrayObject* dst = reinterpret_cast<PyArrayObject*>(dst_obj);
    const int src_type = PyArray_TYPE(src);
    Element element;
    if ((src_type != NPY_FLOAT32 && src_type != NPY_FLOAT64) || !PyArray_ISNBO(PyArray_DESCR(src)->byteorder) ||
        !element_of(PyArray_DESCR(dst), &element, true)) {
        PyErr_SetString(PyExc_TypeError, "cast: src must be native float32 or float64, dst of a kernel dtype or bool");
        return nullptr;
    }
    if (!PyArray_IS_C_CONTIGUOUS(src) || !PyArray_IS_C_CONTIGUOUS(dst) || !PyArray_ISWRITEABLE(dst) ||
        PyArray_SIZE(src) != PyArray_SIZE(dst)) {
        PyErr_SetString(PyExc_ValueError, "cast: src and dst must be C-contiguous, of one size, dst writeable");
        return nullptr;
    }
    const CastKernel kernel = cast_kernel(element, src_type == NPY_FLOAT64, binary64_rule != 0);
    if (kernel == nullptr) {
        PyErr_SetString(PyExc_TypeError, "cast: float32 values are stored only into float16, float32 and 8- and "
                                         "16-bit integers");
        return nullptr;
    }
    const CastJob job{kernel, static_cast<const char*>(PyArray_DATA(src)), static_cast<char*>(PyArray_DATA(dst)),
                      PyArray_SIZE(src), static_cast<std::int64_t>(PyArray_ITEMSIZE(src)),
                      static_cast<std::int64_t>(PyArray_ITEMSIZE(dst))};
    const std::size_t runs = static_cast<std::size_t>((job.n + kCastRun - 1) / kCastRun);
    Py_BEGIN_ALLOW_THREADS
    // The calling thread stores a share; about half a nanosecond an element.
    parallel::for_each(runs, &cast_run, &job, parallel::Caller::kWorks,
                       parallel::threads_for(0.5 * static_cast<double>(job.n)));
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// A C-contiguous float64 array of `size` values from `obj` (an array or a
// sequence), or nullptr with the error set.
Ref float64_values(PyObject* obj, npy_intp size, const char* name) {
    Ref arr = Ref::steal(PyArray_FROMANY(obj, NPY_FLOAT64, 0, 2, NPY_ARRAY_CARRAY));
    if (arr && PyArray_SIZE(reinterpret_cast<PyArrayObject*>(arr.get())) != size) {
        PyErr_Format(PyExc_ValueError, "%s must hold %zd values", name, static_cast<Py_ssize_t>(size));
        return Ref();
    }
    return arr;
}

// The values of `obj` (float64_values), held in `held`, or zeros where it is
// None (at most kMaxPointAxes of them); false with the error set.
bool values_or_zeros(PyObject* obj, npy_intp size, const char* name, Ref* held, const double** values) {
    static const double kZeros[kMaxPointAxes] = {};
    if (obj == Py_None) {
        *values = kZeros;
        return true;
    }
    *held = float64_values(obj, size, name);
    if (!*held) return false;
    *values = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(held->get())));
    return true;
}

// resample_points(input, coords, output, order, mode, cval, pad, *, matrix,
// offset, zoom, shift, grid_mode, out_origin): output sampled from input
// (any number of axes) with the interpreter lock released. With coords
// (C-contiguous float64, one row per input axis): output[i] at coords[:, i]
// (output C-contiguous, one element per point). With coords None: output is
// the window of the output grid at out_origin (C-contiguous, its shape the
// window's), each voxel at the coordinates computed from its indices by the
// matrix (input.ndim x output.ndim) and offset, or by zoom and shift (and
// grid_mode) per axis, as PointsCall says.
PyObject* resample_points(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"", "", "", "", "", "", "", "matrix", "offset", "zoom", "shift", "grid_mode",
                                     "out_origin", nullptr};
    PyObject *input = nullptr, *coords_obj = nullptr, *output = nullptr;
    PyObject *matrix_obj = Py_None, *offset_obj = Py_None, *zoom_obj = Py_None, *shift_obj = Py_None;
    PyObject* origin_obj = Py_None;
    PointsCall call{};
    int order = 1, mode = 0, grid_mode = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOiidd|$OOOOpO", const_cast<char**>(keywords), &input,
                                     &coords_obj, &output, &order, &mode, &call.cval, &call.pad, &matrix_obj,
                                     &offset_obj, &zoom_obj, &shift_obj, &grid_mode, &origin_obj))
        return nullptr;
    if (!py::load_numpy_api()) return nullptr;
    const bool given = coords_obj != Py_None;
    if (!PyArray_Check(input) || (given && !PyArray_Check(coords_obj)) || !PyArray_Check(output)) {
        PyErr_SetString(PyExc_TypeError, "input, coords and output must be numpy.ndarray (coords may be None)");
        return nullptr;
    }
    PyArrayObject* in = reinterpret_cast<PyArrayObject*>(input);
    PyArrayObject* out = reinterpret_cast<PyArrayObject*>(output);
    Element in_element, out_element;
    const int ndim = PyArray_NDIM(in);
    if (!element_of(PyArray_DESCR(in), &in_element) || !element_of(PyArray_DESCR(out), &out_element) ||
        in_element != out_element) {
        PyErr_SetString(PyExc_TypeError, "input and output must have one element type the kernels take");
        return nullptr;
    }
    if (ndim < 1 || ndim > kMaxPointAxes || !PyArray_IS_C_CONTIGUOUS(out) || !PyArray_ISWRITEABLE(out) ||
        !PyArray_ISALIGNED(in)) {
        PyErr_SetString(PyExc_ValueError, "input must be aligned, of 1 to 32 axes; output C-contiguous and writeable");
        return nullptr;
    }
    if (order < 0 || order > 5 || mode < 0 || mode > static_cast<int>(Mode::kGridWrap)) {
        PyErr_SetString(PyExc_ValueError, "order or mode out of range");
        return nullptr;
    }
    Ref matrix, offset, zoom, shift;  // held while the kernel reads them
    if (given) {
        PyArrayObject* coords = reinterpret_cast<PyArrayObject*>(coords_obj);
        if (PyArray_TYPE(coords) != NPY_FLOAT64 || !PyArray_ISNBO(PyArray_DESCR(coords)->byteorder) ||
            !PyArray_IS_C_CONTIGUOUS(coords) || PyArray_NDIM(coords) != 2 || PyArray_DIM(coords, 0) != ndim ||
            PyArray_DIM(coords, 1) != PyArray_SIZE(out) || matrix_obj != Py_None || zoom_obj != Py_None) {
            PyErr_SetString(PyExc_ValueError, "coords must be C-contiguous float64 of shape (input.ndim, output.size), "
                                              "and comes without a matrix or zoom");
            return nullptr;
        }
        call.coords = static_cast<const double*>(PyArray_DATA(coords));
        call.coord_stride = PyArray_SIZE(out);
    } else {
        const int out_ndim = PyArray_NDIM(out);
        call.separable = zoom_obj != Py_None;
        if (out_ndim < 1 || out_ndim > kMaxPointAxes || (matrix_obj == Py_None) != call.separable ||
            (call.separable && (out_ndim != ndim || offset_obj != Py_None)) ||
            (!call.separable && (shift_obj != Py_None || grid_mode))) {
            PyErr_SetString(PyExc_ValueError, "without coords: a matrix and offset, or zoom and shift (output of "
                                              "input.ndim axes), and an output of 1 to 32 axes");
            return nullptr;
        }
        call.out_ndim = out_ndim;
        call.grid_mode = grid_mode != 0;
        const bool read = call.separable ? values_or_zeros(zoom_obj, ndim, "zoom", &zoom, &call.zoom) &&
                                               values_or_zeros(shift_obj, ndim, "shift", &shift, &call.shift)
                                         : values_or_zeros(matrix_obj, npy_intp{ndim} * out_ndim, "matrix", &matrix,
                                                           &call.matrix) &&
                                               values_or_zeros(offset_obj, ndim, "offset", &offset, &call.offset);
        if (!read) return nullptr;
        for (int b = 0; b < out_ndim; ++b) {
            call.out_shape[b] = PyArray_DIM(out, b);
            call.out_origin[b] = 0;
        }
        if (origin_obj != Py_None) {
            Ref seq = Ref::steal(PySequence_Fast(origin_obj, "out_origin must be a sequence of integers"));
            if (!seq) return nullptr;
            if (PySequence_Fast_GET_SIZE(seq.get()) != out_ndim) {
                PyErr_SetString(PyExc_ValueError, "out_origin must have one index per output axis");
                return nullptr;
            }
            for (int b = 0; b < out_ndim; ++b) {
                const long long v = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(seq.get(), b));
                if (v == -1 && PyErr_Occurred()) return nullptr;
                if (v < 0 || v > (std::int64_t{1} << 62)) {
                    PyErr_SetString(PyExc_ValueError, "out_origin must be non-negative");
                    return nullptr;
                }
                call.out_origin[b] = v;
            }
        }
    }
    const npy_intp item = PyArray_ITEMSIZE(in);
    for (int a = 0; a < ndim; ++a) {
        const npy_intp st = PyArray_STRIDE(in, a);
        if (st % item != 0) {
            PyErr_SetString(PyExc_ValueError, "input must have strides of whole elements");
            return nullptr;
        }
        call.shape[a] = PyArray_DIM(in, a);
        call.strides[a] = st / item;
        if (call.shape[a] == 0 && PyArray_SIZE(out) > 0) {
            PyErr_SetString(PyExc_ValueError, "input has no voxels");
            return nullptr;
        }
    }
    call.in = PyArray_DATA(in);
    call.ndim = ndim;
    call.npoints = PyArray_SIZE(out);
    call.out = PyArray_DATA(out);
    call.order = order;
    call.mode = static_cast<Mode>(mode);
    const PointsKernel kernel = points_kernel(in_element, order);
    ResampleStatus status;
    Py_BEGIN_ALLOW_THREADS
    status = kernel(call);
    Py_END_ALLOW_THREADS
    return result_of(status);
}

// fill_margin(array, lead, width, mode, value=None, last=None): the margins of
// `array` (any number of axes, a kernel dtype, aligned, strides of whole
// elements) along axes lead .. last filled in place (MarginCall), with the
// interpreter lock released.
PyObject* fill_margin(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"array", "lead", "width", "mode", "value", "last", nullptr};
    PyObject *array_obj = nullptr, *value_obj = Py_None, *last_obj = Py_None;
    int lead = 0, mode = 0;
    long long width = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OiLi|OO", const_cast<char**>(keywords), &array_obj, &lead, &width,
                                     &mode, &value_obj, &last_obj))
        return nullptr;
    if (!py::load_numpy_api()) return nullptr;
    Element element;
    if (!PyArray_Check(array_obj) || !element_of(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array_obj)), &element, true)) {
        PyErr_SetString(PyExc_TypeError, "array must be a numpy.ndarray of a kernel dtype or bool");
        return nullptr;
    }
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(array_obj);
    const int ndim = PyArray_NDIM(arr);
    int last = ndim - 1;
    if (last_obj != Py_None) {
        const long value = PyLong_AsLong(last_obj);
        if (value == -1 && PyErr_Occurred()) return nullptr;
        last = value < 0 || value >= ndim ? ndim : static_cast<int>(value);  // out of range: refused below
    }
    if (ndim > kMaxMarginAxes || lead < 0 || last >= ndim || width < 0 || width > kMaxMargin ||
        mode < 0 || mode > static_cast<int>(Mode::kGridWrap)) {
        PyErr_SetString(PyExc_ValueError, "fill_margin: lead, last, width (0 to 64) or mode out of range");
        return nullptr;
    }
    if (!PyArray_ISWRITEABLE(arr) || !PyArray_ISALIGNED(arr)) {
        PyErr_SetString(PyExc_ValueError, "array must be writeable and aligned");
        return nullptr;
    }
    MarginCall call{};
    call.data = PyArray_DATA(arr);
    call.ndim = ndim;
    call.element_size = static_cast<int>(PyArray_ITEMSIZE(arr));
    call.first = lead;
    call.last = last;
    call.width = width;
    call.mode = static_cast<Mode>(mode);
    const bool constant = value_obj != Py_None;
    for (int a = 0; a < ndim; ++a) {
        const npy_intp st = PyArray_STRIDE(arr, a);
        call.shape[a] = PyArray_DIM(arr, a);
        call.strides[a] = st / call.element_size;
        if (st % call.element_size != 0) {
            PyErr_SetString(PyExc_ValueError, "array must have strides of whole elements");
            return nullptr;
        }
        // The mode reads the axis's own samples: at least one inside the margins.
        if (a >= lead && a <= last && call.shape[a] < 2 * width + (constant ? 0 : 1)) {
            PyErr_SetString(PyExc_ValueError, "array must be longer than twice the width along every axis filled");
            return nullptr;
        }
    }
    if (!constant && call.mode == Mode::kGridConstant && width > 0 && lead <= last) {
        PyErr_SetString(PyExc_ValueError, "'grid-constant' reads cval past the edges: give its value");
        return nullptr;
    }
    Ref value;
    if (constant) {  // NumPy's cast of the value into the array's dtype, as an assignment stores it
        PyArray_Descr* descr = PyArray_DESCR(arr);
        Py_INCREF(descr);  // PyArray_FromAny steals it
        value = Ref::steal(PyArray_FromAny(value_obj, descr, 0, 0, NPY_ARRAY_FORCECAST | NPY_ARRAY_CARRAY, nullptr));
        if (!value) return nullptr;
        if (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(value.get())) != 1) {
            PyErr_SetString(PyExc_ValueError, "value must be one number");
            return nullptr;
        }
        call.value = PyArray_DATA(reinterpret_cast<PyArrayObject*>(value.get()));
    }
    ResampleStatus status;
    Py_BEGIN_ALLOW_THREADS
    status = margin_kernel()(call);
    Py_END_ALLOW_THREADS
    return result_of(status);
}

// The arrays of the spline filters: aligned, C-contiguous, native float32 or
// float64 arrays of one shape, the last writeable, every pair one array or
// two apart. False with the error set otherwise.
bool filter_arrays(PyObject* const* objs, int count, PyArrayObject** arrs) {
    for (int k = 0; k < count; ++k) {
        if (!PyArray_Check(objs[k])) {
            PyErr_SetString(PyExc_TypeError, "the arrays must be numpy.ndarray");
            return false;
        }
        arrs[k] = reinterpret_cast<PyArrayObject*>(objs[k]);
        const int type = PyArray_TYPE(arrs[k]);
        if ((type != NPY_FLOAT64 && type != NPY_FLOAT32) || !PyArray_ISNBO(PyArray_DESCR(arrs[k])->byteorder) ||
            !PyArray_IS_C_CONTIGUOUS(arrs[k]) || !PyArray_ISALIGNED(arrs[k]) ||
            (k > 0 && !PyArray_ISWRITEABLE(arrs[k]))) {
            PyErr_SetString(PyExc_TypeError, "the arrays must be aligned, C-contiguous native float32 or float64 "
                                             "arrays, the written ones writeable");
            return false;
        }
        if (!PyArray_SAMESHAPE(arrs[0], arrs[k])) {
            PyErr_SetString(PyExc_ValueError, "the arrays must have one shape");
            return false;
        }
    }
    for (int a = 0; a < count; ++a)
        for (int b = a + 1; b < count; ++b) {
            const char* pa = static_cast<const char*>(PyArray_DATA(arrs[a]));
            const char* pb = static_cast<const char*>(PyArray_DATA(arrs[b]));
            const bool same = pa == pb && PyArray_TYPE(arrs[a]) == PyArray_TYPE(arrs[b]);
            if (!same && pa < pb + PyArray_NBYTES(arrs[b]) && pb < pa + PyArray_NBYTES(arrs[a])) {
                PyErr_SetString(PyExc_ValueError, "the arrays must be the same array or not overlap");
                return false;
            }
        }
    return true;
}

bool filter_order_mode(int order, int mode) {
    if (order < 2 || order > 5 || mode < 0 || mode > static_cast<int>(Mode::kGridWrap)) {
        PyErr_SetString(PyExc_ValueError, "order or mode out of range");
        return false;
    }
    return true;
}

// With a margin: the arrays are one 3-D array filtered in place over its
// window without `margin` elements at both ends of every axis. The window's
// shape, element strides and first element; false with the error set when
// the margin does not fit.
bool filter_window(PyArrayObject* const* arrs, int count, long long margin, std::int64_t shape[3],
                   std::int64_t strides[3], char** first) {
    for (int k = 1; k < count; ++k)
        if (PyArray_DATA(arrs[k]) != PyArray_DATA(arrs[0]) || PyArray_TYPE(arrs[k]) != PyArray_TYPE(arrs[0])) {
            PyErr_SetString(PyExc_ValueError, "with a margin the arrays must be one array");
            return false;
        }
    if (PyArray_NDIM(arrs[0]) != 3 || margin < 0 || margin > 64) {
        PyErr_SetString(PyExc_ValueError, "a margin needs a 3-D array and 0 to 64 elements");
        return false;
    }
    *first = static_cast<char*>(PyArray_DATA(arrs[0]));
    for (int a = 0; a < 3; ++a) {
        shape[a] = PyArray_DIM(arrs[0], a) - 2 * margin;
        if (shape[a] < 1) {
            PyErr_SetString(PyExc_ValueError, "the array must be longer than twice the margin along every axis");
            return false;
        }
        strides[a] = PyArray_STRIDE(arrs[0], a) / PyArray_ITEMSIZE(arrs[0]);
        *first += margin * PyArray_STRIDE(arrs[0], a);
    }
    return true;
}

// spline_filter1d(src, dst, axis, order, mode, margin=0): scipy's B-spline
// prefilter of `order` (2 to 5) along `axis`, computed in binary64 from `src`
// into `dst` (see filter_arrays; filter_window with a margin), with the
// interpreter lock released. Values are rounded into a float32 `dst` as a C
// cast rounds them.
PyObject* spline_filter1d(PyObject*, PyObject* args) {
    PyObject* objs[2] = {nullptr, nullptr};
    int axis = 0, order = 3, mode = 0;
    long long margin = 0;
    if (!PyArg_ParseTuple(args, "OOiii|L", &objs[0], &objs[1], &axis, &order, &mode, &margin)) return nullptr;
    if (!py::load_numpy_api()) return nullptr;
    PyArrayObject* arrs[2];
    if (!filter_arrays(objs, 2, arrs) || !filter_order_mode(order, mode)) return nullptr;
    const int ndim = PyArray_NDIM(arrs[0]);
    if (axis < 0 || axis >= ndim) {
        PyErr_SetString(PyExc_ValueError, "axis out of range");
        return nullptr;
    }
    std::int64_t shape[NPY_MAXDIMS], window[3];
    for (int a = 0; a < ndim; ++a) shape[a] = PyArray_DIM(arrs[0], a);
    const bool src_f32 = PyArray_TYPE(arrs[0]) == NPY_FLOAT32, dst_f32 = PyArray_TYPE(arrs[1]) == NPY_FLOAT32;
    const void* from = PyArray_DATA(arrs[0]);
    void* into = PyArray_DATA(arrs[1]);
    if (margin != 0) {
        char* first = nullptr;
        if (!filter_window(arrs, 2, margin, shape, window, &first)) return nullptr;
        from = into = first;
    }
    ResampleStatus status;
    Py_BEGIN_ALLOW_THREADS
    status = spline_filter()(from, src_f32, into, dst_f32, shape, ndim, axis, order, static_cast<Mode>(mode),
                             margin != 0 ? window : nullptr);
    Py_END_ALLOW_THREADS
    return result_of(status);
}

// spline_filter_planes(src, mid, dst, order, mode, margin=0, fill=False,
// value=None): the prefilter along the last two axes (ndim >= 2), a plane at a
// time: along the first of them from `src` into `mid`, then along the last
// from `mid` into `dst` (see filter_arrays); the values of two spline_filter1d
// calls. With `fill` (and a margin), each plane's margins along y and x are
// filled once it is filtered: what the mode reads there, or `value`.
PyObject* spline_filter_planes(PyObject*, PyObject* args) {
    PyObject* objs[3] = {nullptr, nullptr, nullptr};
    PyObject* value_obj = Py_None;
    int order = 3, mode = 0, fill = 0;
    long long margin = 0;
    MarginFill margins{0, Mode::kConstant, false, 0.0};
    if (!PyArg_ParseTuple(args, "OOOii|LpO", &objs[0], &objs[1], &objs[2], &order, &mode, &margin, &fill, &value_obj))
        return nullptr;
    if (!py::load_numpy_api()) return nullptr;
    PyArrayObject* arrs[3];
    if (!filter_arrays(objs, 3, arrs) || !filter_order_mode(order, mode)) return nullptr;
    const int ndim = PyArray_NDIM(arrs[0]);
    if (ndim < 2) {
        PyErr_SetString(PyExc_ValueError, "the arrays must have two axes or more");
        return nullptr;
    }
    std::int64_t shape[NPY_MAXDIMS], window[3];
    for (int a = 0; a < ndim; ++a) shape[a] = PyArray_DIM(arrs[0], a);
    bool f32[3];
    void* data[3];
    for (int k = 0; k < 3; ++k) {
        f32[k] = PyArray_TYPE(arrs[k]) == NPY_FLOAT32;
        data[k] = PyArray_DATA(arrs[k]);
    }
    if (margin != 0) {
        char* first = nullptr;
        if (!filter_window(arrs, 3, margin, shape, window, &first)) return nullptr;
        data[0] = data[1] = data[2] = first;
    }
    if (fill != 0) {
        if (margin == 0 || (mode == static_cast<int>(Mode::kGridConstant) && value_obj == Py_None)) {
            PyErr_SetString(PyExc_ValueError, "fill needs a margin, and a value with 'grid-constant' (which reads "
                                              "cval past the edges)");
            return nullptr;
        }
        margins.width = margin;
        margins.mode = static_cast<Mode>(mode);
        margins.constant = value_obj != Py_None;
        if (margins.constant) {
            margins.value = PyFloat_AsDouble(value_obj);
            if (margins.value == -1.0 && PyErr_Occurred()) return nullptr;
        }
    }
    ResampleStatus status;
    Py_BEGIN_ALLOW_THREADS
    status = spline_planes()(data[0], f32[0], data[1], f32[1], data[2], f32[2], shape, ndim, order, static_cast<Mode>(mode),
                             margin != 0 ? window : nullptr, fill != 0 ? &margins : nullptr);
    Py_END_ALLOW_THREADS
    return result_of(status);
}

// {name: code} of the border modes, scipy's spelling.
PyObject* mode_table() {
    Ref table = Ref::steal(PyDict_New());
    if (!table) return nullptr;
    for (const ModeName& m : kModeNames) {
        Ref code = Ref::steal(PyLong_FromLong(static_cast<long>(m.mode)));
        if (!code || PyDict_SetItemString(table.get(), m.name, code.get()) < 0) return nullptr;
    }
    return table.release();
}

PyType_Slot buffer_owner_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::buffer_owner_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of the memory behind an array made by zentrova_resample.")},
    {0, nullptr},
};

PyType_Spec buffer_owner_spec = {
    "zentrova_resample._engine.BufferOwner", sizeof(py::BufferOwner), 0, Py_TPFLAGS_DEFAULT, buffer_owner_slots,
};

// empty(shape, dtype) -> a C-contiguous array of unset values. Large
// arrays are mapped on 2 MiB huge pages: a fresh 64 MiB result then costs 32 page
// faults instead of 16384, which is a good part of a fast resampling's time.
PyObject* empty(PyObject*, PyObject* args) {
    PyObject *shape_obj = nullptr, *dtype_obj = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &shape_obj, &dtype_obj)) return nullptr;
    if (!py::load_numpy_api()) return nullptr;
    Ref seq = Ref::steal(PySequence_Fast(shape_obj, "shape must be a sequence of integers"));
    if (!seq) return nullptr;
    const Py_ssize_t ndim = PySequence_Fast_GET_SIZE(seq.get());
    if (ndim > NPY_MAXDIMS) {
        PyErr_SetString(PyExc_ValueError, "too many dimensions");
        return nullptr;
    }
    npy_intp dims[NPY_MAXDIMS];
    PyArray_Descr* descr = nullptr;
    if (!PyArray_DescrConverter(dtype_obj, &descr)) return nullptr;
    Ref descr_ref = Ref::steal(reinterpret_cast<PyObject*>(descr));
    std::size_t bytes = static_cast<std::size_t>(PyDataType_ELSIZE(descr));
    for (Py_ssize_t i = 0; i < ndim; ++i) {
        const Py_ssize_t d = PyNumber_AsSsize_t(PySequence_Fast_GET_ITEM(seq.get(), i), PyExc_OverflowError);
        if (d == -1 && PyErr_Occurred()) return nullptr;
        if (d < 0) {
            PyErr_SetString(PyExc_ValueError, "negative dimensions are not allowed");
            return nullptr;
        }
        dims[i] = d;
        if (d != 0 && bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX) / static_cast<std::size_t>(d))
            return PyErr_NoMemory();
        bytes *= static_cast<std::size_t>(d);
    }
    static PyObject* owner_type = PyType_FromSpec(&buffer_owner_spec);  // kept for the process
    if (owner_type == nullptr) return nullptr;
    platform::Buffer buffer = platform::Buffer::unset(bytes);
    if (!buffer) return PyErr_NoMemory();
    void* data = buffer.data();
    Ref owner_ref = py::own_buffer(reinterpret_cast<PyTypeObject*>(owner_type), std::move(buffer));
    if (!owner_ref) return nullptr;
    Py_INCREF(descr);  // PyArray_NewFromDescr steals it
    Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, static_cast<int>(ndim), dims, nullptr, data,
                                                NPY_ARRAY_CARRAY, nullptr));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner_ref.release()) < 0) return nullptr;
    return array.release();
}

PyObject* backend(PyObject*, PyObject* args) {
    PyObject* arg = nullptr;
    int order = 1;
    if (!PyArg_ParseTuple(args, "O|i", &arg, &order)) return nullptr;
    if (order < 0 || order > 5) {
        PyErr_SetString(PyExc_ValueError, "order must be 0 to 5");
        return nullptr;
    }
    if (!py::load_numpy_api()) return nullptr;
    PyArray_Descr* descr = nullptr;
    if (!PyArray_DescrConverter(arg, &descr)) return nullptr;
    Ref owned = Ref::steal(reinterpret_cast<PyObject*>(descr));
    Element element;
    if (!element_of(descr, &element)) {
        PyErr_SetString(PyExc_TypeError, "no kernel for this dtype");
        return nullptr;
    }
    return PyUnicode_FromString(resample_backend(element, order).name);
}

// The targets this build has that this processor runs, lowest first (tests
// compare them with each other).
PyObject* targets(PyObject*, PyObject*) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (int t = 0; t < target_count(); ++t) {
        if (!target_usable(t)) continue;
        Ref name = Ref::steal(PyUnicode_FromString(target_name(t)));
        if (!name || PyList_Append(list.get(), name.get()) < 0) return nullptr;
    }
    return PyList_AsTuple(list.get());
}

// The size of the worker pool, which lives in libzentrova_pool.so and is the
// fixed module's too. Setting it waits for a running job, so the lock is off.
PyObject* get_num_threads(PyObject*, PyObject*) { return PyLong_FromSize_t(parallel::size()); }

PyObject* set_num_threads(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"n", nullptr};
    PyObject* n = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:set_num_threads", const_cast<char**>(keywords), &n))
        return nullptr;
    if (PyBool_Check(n) || !PyIndex_Check(n))
        return PyErr_Format(PyExc_TypeError, "n must be an integer, not %.200s", Py_TYPE(n)->tp_name);
    Ref index = Ref::steal(PyNumber_Index(n));
    const Py_ssize_t want = index ? PyNumber_AsSsize_t(index.get(), nullptr) : -1;  // clamped, not an overflow
    if (want == -1 && PyErr_Occurred()) return nullptr;
    if (want < 1) return PyErr_Format(PyExc_ValueError, "n must be at least 1, got %R", n);
    std::size_t previous;
    Py_BEGIN_ALLOW_THREADS
    previous = parallel::set_size(static_cast<std::size_t>(want));
    Py_END_ALLOW_THREADS
    return PyLong_FromSize_t(previous);
}

PyMethodDef methods[] = {
    {"resample", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(resample)), METH_VARARGS | METH_KEYWORDS,
     "resample(input, output, matrix, offset, order, mode, cval, interpolated=3, box_origin=(0, 0, 0),\n"
     "         full_shape=input.shape, out_origin=(0, 0, 0), separable=False, zoom=(1, 1, 1),\n"
     "         shift=(0, 0, 0), grid_mode=False, isa=None, pad=0.0, coords=None, margin=0)\n"
     "--\n\n"
     "(Every argument may be given by position: a small call's time goes to reading keywords.)\n"
     "Fill `output` (a window of the output grid starting at out_origin) from `input` (the box of the\n"
     "whole input starting at box_origin). Both 3-D, the same dtype, aligned, unit x stride.\n"
     "margin (orders 1 to 5 with 'nearest' and 'grid-constant', 2 to 5 with the others): `input` is the\n"
     "whole input with `margin` elements more at both ends of every interpolated axis, holding what the\n"
     "mode reads there.\n"
     "isa: a target's name ('portable', 'avx2', 'avx512', 'neon') runs its kernel instead of the one in use (tests,\n"
     "benchmarks)."},
    {"input_box", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(input_box)), METH_VARARGS | METH_KEYWORDS,
     "input_box(dtype, matrix, offset, order, mode, out_shape, *, interpolated, full_shape, out_origin,\n"
     "          separable, zoom, shift, grid_mode, pad)\n"
     "--\n\n"
     "((lo, lo, lo), (hi, hi, hi)): the box of the whole input that the output window reads, or None\n"
     "when it reads nothing."},
    {"empty", empty, METH_VARARGS, "empty(shape, dtype) -> a new C-contiguous array (large ones on huge pages)"},
    {"backend", backend, METH_VARARGS,
     "backend(dtype, order=1, /) -> the target its kernel at that order runs on: 'portable', 'avx2',\n"
     "'avx512' or 'neon' (the target in use, or the highest below it with a kernel for the dtype and order)"},
    {"targets", targets, METH_NOARGS,
     "targets()\n--\n\nThe names of the targets this build has that this processor runs, lowest first."},
    {"resample_points", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(resample_points)),
     METH_VARARGS | METH_KEYWORDS,
     "resample_points(input, coords, output, order, mode, cval, pad, /, *, matrix=None, offset=None, zoom=None,\n"
     "                shift=None, grid_mode=False, out_origin=None)\n--\n\n"
     "input (any number of axes) sampled point by point. With coords (C-contiguous float64 (input.ndim, n)):\n"
     "output[i] at coords[:, i]. With coords None: output is the window of the output grid at out_origin,\n"
     "each voxel at the coordinates of its indices: offset + o @ matrix.T (matrix (input.ndim, output.ndim),\n"
     "summed axis after axis), or (o + shift) * zoom per axis (grid_mode: ((o + shift) + 0.5) * zoom - 0.5),\n"
     "computed in the kernel's coordinate type."},
    {"spline_filter1d", spline_filter1d, METH_VARARGS,
     "spline_filter1d(src, dst, axis, order, mode, margin=0): scipy's B-spline prefilter along an axis, in float64,\n"
     "from src into dst (C-contiguous float32 or float64 arrays of one shape: one array, or two apart)."},
    {"spline_filter_planes", spline_filter_planes, METH_VARARGS,
     "spline_filter_planes(src, mid, dst, order, mode, margin=0, fill=False, value=None): the prefilter along the\n"
     "last two axes, a plane at a time: along the first from src into mid, along the last from mid into dst.\n"
     "With a margin, one 3-D array in place inside it; with `fill`, its margins along y and x filled once a\n"
     "plane is filtered: what the mode reads there (as fill_margin), or `value` (needed with 'grid-constant')."},
    {"fill_margin", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fill_margin)),
     METH_VARARGS | METH_KEYWORDS,
     "fill_margin(array, lead, width, mode, value=None, last=None)\n--\n\n"
     "Fills, in place, the outer `width` samples at both ends of the axes lead .. last (default: the last\n"
     "axis) of `array` from the rest, an axis after the other over the others' whole extent: what `mode`\n"
     "reads at each index (the kernels' border rule), or `value` (stored as the array's dtype) where given\n"
     "('grid-constant' needs it)."},
    {"cast", cast, METH_VARARGS,
     "cast(src, dst, binary64_rule=False): the values of src (float32 or float64) stored into dst (a kernel\n"
     "dtype or bool) as the kernels store their results; both C-contiguous, of one size. binary64_rule:\n"
     "float32 values stored as their binary64 values are (order-0 results, as scipy stores them)."},
    {"get_num_threads", get_num_threads, METH_NOARGS, "get_num_threads()\n--\n\nThe size of the worker pool."},
    {"set_num_threads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_num_threads)),
     METH_VARARGS | METH_KEYWORDS, "set_num_threads(n)\n--\n\nSets the size of the worker pool; returns the previous one."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "zentrova_resample._engine",
                          "Private resampling engine of zentrova_resample.", -1, methods, nullptr, nullptr, nullptr,
                          nullptr};

}  // namespace
}  // namespace zentrova::resample_py

PyMODINIT_FUNC PyInit__engine(void) {
    // The target: the highest this processor runs (the portable one on any x86-64 processor),
    // or the one ZENTROVA_TARGET names, which must exist and run here.
    if (const char* error = zentrova::target_choice().error) {
        PyErr_SetString(PyExc_ImportError, error);
        return nullptr;
    }
    using zentrova::py::Ref;
    Ref module = Ref::steal(PyModule_Create(&zentrova::resample_py::module_def));
    if (!module) return nullptr;
    PyObject* modes = zentrova::resample_py::mode_table();
    if (modes == nullptr || PyModule_AddObject(module.get(), "MODES", modes) < 0) {
        Py_XDECREF(modes);
        return nullptr;
    }
    return module.release();
}

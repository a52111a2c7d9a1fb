// The three transform functions: bind and check the arguments in a fixed order,
// create the cval-filled output, run the kernel for the element type and the
// processor, and hand the buffer to NumPy without a copy.
#include "fixed/transform.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/memory.h"
#include "fixed/args.h"
#include "fixed/errors.h"
#include "fixed/holder.h"
#include "fixed/backends.h"
#include "fixed/kernels.h"

namespace zentrova::py {
namespace {

constexpr const char* kParamNames[] = {"input", "matrix", "offset", "cval", "order"};
enum Param { kInput, kMatrix, kOffset, kCval, kOrder };

struct F32Kind {
    using raw = float;
    using cval_t = double;
    static constexpr const char* kName = "affine_transform";
    static constexpr int kTypeNum = NPY_FLOAT32;
    static constexpr bool kHasOrder = true;
    static constexpr bool kInputMustBeContiguous = false;
    static bool convert_cval(PyObject* obj, cval_t* out) { return convert_float(obj, "cval", out); }
    static raw fill(cval_t c) { return static_cast<float>(c); }
    static const auto& backend() { return backends().f32; }
};

struct U8Kind {
    using raw = std::uint8_t;
    using cval_t = std::uint8_t;
    static constexpr const char* kName = "affine_transform_u8";
    static constexpr int kTypeNum = NPY_UINT8;
    static constexpr bool kHasOrder = false;
    static constexpr bool kInputMustBeContiguous = false;
    static bool convert_cval(PyObject* obj, cval_t* out) { return convert_u8(obj, "cval", out); }
    static raw fill(cval_t c) { return c; }
    static const auto& backend() { return backends().u8; }
};

struct F16Kind {
    using raw = std::uint16_t;
    using cval_t = double;
    static constexpr const char* kName = "affine_transform_f16";
    static constexpr int kTypeNum = NPY_UINT16;
    static constexpr bool kHasOrder = true;
    static constexpr bool kInputMustBeContiguous = true;
    static bool convert_cval(PyObject* obj, cval_t* out) { return convert_float(obj, "cval", out); }
    static raw fill(cval_t c) { return avx2::cval_half(c); }
    static const auto& backend() { return backends().f16; }
};

bool is_contiguous(PyArrayObject* arr) {
    return (PyArray_IS_C_CONTIGUOUS(arr) || PyArray_IS_F_CONTIGUOUS(arr)) && PyArray_DATA(arr) != nullptr;
}

// The nine values by logical index, row-major over the array's own shape, so a
// Fortran-ordered copy of a matrix means the same transform as the matrix.
void read_matrix(PyArrayObject* arr, double m[9]) {
    const char* base = static_cast<const char*>(PyArray_DATA(arr));
    const npy_intp rows = PyArray_DIM(arr, 0), cols = PyArray_DIM(arr, 1);
    const npy_intp rs = PyArray_STRIDE(arr, 0), cs = PyArray_STRIDE(arr, 1);
    int k = 0;
    for (npy_intp r = 0; r < rows; ++r)
        for (npy_intp c = 0; c < cols; ++c) std::memcpy(&m[k++], base + r * rs + c * cs, sizeof(double));
}

// The cell arithmetic is 32-bit: a dimension of 2^31 or more cannot be addressed.
bool check_addressable(const std::size_t shape[3]) {
    const bool all_two = shape[0] >= 2 && shape[1] >= 2 && shape[2] >= 2;
    const bool huge = shape[0] > INT32_MAX || shape[1] > INT32_MAX || shape[2] > INT32_MAX;
    if (all_two && huge) {
        PyErr_Format(PyExc_ValueError,
                     "Input dimensions must be below 2**31 for trilinear sampling, got shape (%zu, %zu, %zu)",
                     shape[0], shape[1], shape[2]);
        return false;
    }
    return true;
}

// The output buffer, every element set to `fill`. Zero pages already hold an
// all-zero pattern, so only another cval is written out here, and only when the
// kernel will not write every element itself: with all dimensions at least 2
// it computes every voxel (an outside one as cval), and a fill beforehand
// would only cost a serial pass over the whole output.
template <class T>
platform::Buffer allocate_filled(std::size_t count, T fill, bool kernel_writes_all) {
    platform::Buffer buffer = platform::Buffer::zeroed(count * sizeof(T));
    const T zero{};
    if (buffer && !kernel_writes_all && std::memcmp(&fill, &zero, sizeof(T)) != 0) {
        T* data = static_cast<T*>(buffer.data());
        for (std::size_t i = 0; i < count; ++i) data[i] = fill;
    }
    return buffer;
}

Ref wrap_result(platform::Buffer&& buffer, int type_num, const std::size_t shape[3], std::size_t item) {
    void* data = buffer.data();
    Ref holder = make_slice_container(std::move(buffer));  // owns the buffer from here on
    if (!holder) return Ref();
    npy_intp dims[3], strides[3];
    const bool empty = shape[0] == 0 || shape[1] == 0 || shape[2] == 0;
    for (int a = 0; a < 3; ++a) dims[a] = static_cast<npy_intp>(shape[a]);
    strides[2] = empty ? 0 : static_cast<npy_intp>(item);
    strides[1] = empty ? 0 : static_cast<npy_intp>(shape[2] * item);
    strides[0] = empty ? 0 : static_cast<npy_intp>(shape[1] * shape[2] * item);
    Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type_num), 3, dims, strides, data,
                                                NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return Ref();  // holder's destructor frees the buffer
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) < 0) return Ref();
    return array;
}

template <class K>
PyObject* transform(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using raw = typename K::raw;
    const Signature sig{K::kName, kParamNames, K::kHasOrder ? 5 : 4, 2};
    PyObject* arg[5];
    if (!bind(sig, args, nargs, kwnames, arg)) return nullptr;

    if (!numpy_ready()) return nullptr;
    Ref input = as_array(arg[kInput], 3, K::kTypeNum, "input");
    if (!input) return nullptr;
    Ref matrix = as_array(arg[kMatrix], 2, NPY_FLOAT64, "matrix");
    if (!matrix) return nullptr;
    Offset offset;
    if (!convert_offset(arg[kOffset], &offset)) return nullptr;
    typename K::cval_t cval{};
    if (arg[kCval] != nullptr && !K::convert_cval(arg[kCval], &cval)) return nullptr;
    if (K::kHasOrder && arg[kOrder] != nullptr) {
        std::int32_t order = 1;
        if (!convert_i32(arg[kOrder], "order", &order)) return nullptr;
        if (order != 1) {
            PyErr_SetString(PyExc_ValueError, "Only order=1 (trilinear interpolation) is supported");
            return nullptr;
        }
    }

    // The conversions above may have run Python code (an item's __float__, an
    // __index__, an iterator) that resized, reshaped or retyped the arrays
    // after their first check. Check them again, and read their shape, strides
    // and data only from here on, when no Python code of this call runs any more.
    input = as_array(arg[kInput], 3, K::kTypeNum, "input");
    if (!input) return nullptr;
    matrix = as_array(arg[kMatrix], 2, NPY_FLOAT64, "matrix");
    if (!matrix) return nullptr;

    PyArrayObject* m_arr = reinterpret_cast<PyArrayObject*>(matrix.get());
    if (!is_contiguous(m_arr)) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
        return nullptr;
    }
    if (PyArray_DIM(m_arr, 0) * PyArray_DIM(m_arr, 1) != 9) {
        PyErr_SetString(PyExc_ValueError, "Matrix must be 3x3");
        return nullptr;
    }
    double m[9];
    read_matrix(m_arr, m);
    if (offset.given && offset.length != 3) {
        PyErr_SetString(PyExc_ValueError, "Offset must have 3 elements");
        return nullptr;
    }

    PyArrayObject* in_arr = reinterpret_cast<PyArrayObject*>(input.get());
    if (K::kInputMustBeContiguous && !is_contiguous(in_arr)) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
        return nullptr;
    }
    const View3<const raw> in = view_of<const raw>(in_arr);
    if (!check_addressable(in.shape)) return nullptr;

    const std::size_t count = in.shape[0] * in.shape[1] * in.shape[2];
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(raw)) {
        raise_panic("Output size exceeds the largest signed size");
        return nullptr;
    }
    const bool kernel_writes_all = in.shape[0] >= 2 && in.shape[1] >= 2 && in.shape[2] >= 2;
    platform::Buffer buffer = allocate_filled<raw>(count, K::fill(cval), kernel_writes_all);
    if (!buffer) return PyErr_NoMemory();

    View3<raw> out;
    out.data = static_cast<raw*>(buffer.data());
    for (int a = 0; a < 3; ++a) out.shape[a] = in.shape[a];
    out.strides[2] = 1;
    out.strides[1] = static_cast<std::ptrdiff_t>(in.shape[2]);
    out.strides[0] = static_cast<std::ptrdiff_t>(in.shape[1] * in.shape[2]);

    if (!ok_or_raise(K::backend().run(in, out, m, offset.values, cval))) return nullptr;
    return wrap_result(std::move(buffer), K::kTypeNum, in.shape, sizeof(raw)).release();
}

}  // namespace

PyObject* affine_transform(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return transform<F32Kind>(args, nargs, kwnames);
}

PyObject* affine_transform_u8(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return transform<U8Kind>(args, nargs, kwnames);
}

PyObject* affine_transform_f16(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return transform<F16Kind>(args, nargs, kwnames);
}

}  // namespace zentrova::py

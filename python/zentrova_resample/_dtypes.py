"""Which dtypes the resampler takes, in which precision each is computed, and how a computed
value is stored into the output's type (by the engine, with the kernels' own code)."""

from __future__ import annotations

import numpy as np

from ._errors import ArgumentTypeError
from ._engine import cast as _cast
from ._engine import empty as _empty

# The kernels read and write these: computed in binary32 (exact for every value of these types) ...
SMALL = tuple(np.dtype(t) for t in ("u1", "i1", "u2", "i2", "f2", "f4"))
# ... and in binary64.
WIDE = tuple(np.dtype(t) for t in ("f8", "i4", "u4", "i8", "u8"))
KERNEL = SMALL + WIDE
# bool has no kernel: it is computed in binary64 (scipy's result bit for bit) and stored as nonzero.
BOOL = np.dtype(bool)
# Complex arrays are resampled as their real and imaginary parts.
COMPLEX = (np.dtype("c8"), np.dtype("c16"))
SUPPORTED = KERNEL + (BOOL,) + COMPLEX
REAL_SUPPORTED = frozenset(KERNEL + (BOOL,))  # native dtypes only: a byte-swapped one is not in the set
_SMALL, _KERNEL, _SUPPORTED = frozenset(SMALL), frozenset(KERNEL), frozenset(SUPPORTED)  # fast membership
KERNEL_SET, SUPPORTED_SET = _KERNEL, _SUPPORTED
_F32, _F64 = np.dtype("f4"), np.dtype("f8")
SUPPORTED_NAMES = ", ".join(d.name for d in sorted(SUPPORTED, key=lambda d: (d.kind, d.itemsize)))


def native(dtype) -> np.dtype:
    """The dtype in the machine's byte order: NumPy's own object for a native dtype (``np.dtype('f')``
    stays the object it is, as scipy's results keep it), a new one for a byte-swapped dtype."""
    dt = dtype if isinstance(dtype, np.dtype) else np.dtype(dtype)
    return dt if dt.isnative else dt.newbyteorder("=")


def check(dtype, name: str) -> np.dtype:
    """The native form of a supported dtype; TypeError naming the argument otherwise, a RuntimeError
    too where scipy raises one: for a dtype of numbers or objects that it does not take, and for a
    sequence where a dtype is expected (which scipy reads as an output array of the wrong shape), not
    for text or what NumPy cannot read as a dtype."""
    if isinstance(dtype, np.dtype) and dtype in _SUPPORTED:  # native (a swapped one is not in the set)
        return dtype
    if dtype is np.float64:  # spline_filter's default output
        return _F64
    try:
        dt = np.dtype(dtype)
    except TypeError as exc:
        error = ArgumentTypeError if isinstance(dtype, (list, tuple)) else TypeError
        raise error(f"{name}: {dtype!r} is not a dtype; supported: {SUPPORTED_NAMES}") from exc
    if dt in _SUPPORTED:
        return dt
    if native(dt) not in _SUPPORTED:
        error = TypeError if dt.kind in "USV" else ArgumentTypeError
        raise error(f"{name}: dtype {dt.name} is not supported; supported: {SUPPORTED_NAMES}")
    return native(dt)


def is_complex(dtype) -> bool:
    return (dtype if isinstance(dtype, np.dtype) else np.dtype(dtype)).kind == "c"


def real_part(dtype) -> np.dtype:
    """The dtype of a complex dtype's parts (float32 or float64, native); a real dtype as it is."""
    dt = native(dtype)
    return np.dtype(dt.char.lower()) if dt.kind == "c" else dt


def compute_dtype(*dtypes) -> np.dtype:
    """binary64 when any of the dtypes needs it (bool included), else binary32."""
    if len(dtypes) == 2 and dtypes[0] is dtypes[1] and dtypes[0] in _KERNEL:  # one native dtype (the common call)
        return _F32 if dtypes[0] in _SMALL else _F64
    return np.dtype("f4") if all(native(d) in _SMALL for d in dtypes) else np.dtype("f8")


def kernel_dtype(in_dtype, out_dtype) -> np.dtype:
    """The dtype the kernels read and write for an input and output of these dtypes: the input's
    (native) when the two are one dtype with a kernel, else the compute type. A source in it is read
    without a conversion."""
    if in_dtype is out_dtype and in_dtype in _KERNEL:  # the common case: one native dtype with a kernel
        return in_dtype
    in_dtype, out_dtype = native(in_dtype), native(out_dtype)
    return in_dtype if in_dtype == out_dtype and in_dtype in _KERNEL else compute_dtype(in_dtype, out_dtype)


def cast(t: np.ndarray, dtype, binary64_rule: bool = False) -> np.ndarray:
    """Values t of the compute type (float32 or float64) stored as `dtype`, as the kernels store
    them: floats rounded to nearest (float16 once, from either), integers with scipy's rounding
    (t > 0 ? t + 0.5 : t - 0.5, or 0 for unsigned types) clamped to the type and truncated, NaN as
    the truncating instruction gives it (0 for 8- and 16-bit and unsigned types, the minimum for 32-
    and 64-bit signed types), bool as nonzero. Each step in t's type, or with `binary64_rule` in
    binary64 (an order-0 result: samples, stored as scipy stores them)."""
    dt = np.dtype(dtype)
    out = _empty(t.shape, native(dt))  # recycled memory: a fresh NumPy array takes its page faults here
    _cast(np.ascontiguousarray(t), out, binary64_rule)
    return out if dt.isnative else out.astype(dt)


def stored(value: float, dtype) -> float:
    """A binary64 value as an array of `dtype` holds it once stored as the kernels store it (cast),
    read back as a float (exact: every value of a real dtype is a binary64 one, to its rounding for
    64-bit integers beyond 2**53, which comes back to the same integer when stored again)."""
    out = _empty((1,), native(dtype))
    _cast(np.array([value], dtype=np.float64), out)
    return float(out[0])


def new_array(shape, dtype) -> np.ndarray:
    """A C-contiguous array of unset values in the engine's memory, which starts on a cache line (a
    large one on a huge page; NumPy's own large arrays start 16 bytes into one, so that every vector
    access of the filter's lines along an axis in place is split across two: 15% of its time);
    NumPy's for a byte-swapped dtype."""
    dtype = np.dtype(dtype)
    return _empty(shape, dtype) if dtype.isnative else np.empty(shape, dtype)


def complex_parts(x, cval, out=None):
    """(part of x, cval's part, part of out) for the real and the imaginary parts of a complex x."""
    cval = complex(cval)
    return ((x.real, cval.real, None if out is None else out.real),
            (x.imag, cval.imag, None if out is None else out.imag))


def join_complex(real: np.ndarray, imag: np.ndarray, dtype: np.dtype) -> np.ndarray:
    """A complex array from its parts (every bit of each kept: no arithmetic)."""
    out = np.empty(real.shape, dtype=dtype)
    out.real, out.imag = real, imag
    return out

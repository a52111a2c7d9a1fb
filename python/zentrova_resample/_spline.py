"""B-spline coefficients: scipy.ndimage's spline_filter1d and spline_filter, and the coefficients that
orders 2 to 5 interpolate, computed by the engine (scipy's recursive filter, operation for operation,
on the worker pool with the interpreter lock released)."""

from __future__ import annotations

import operator
import threading
import warnings
from typing import TYPE_CHECKING, Any, Optional, Sequence, Tuple

import numpy as np

from ._errors import ArgumentTypeError, ArgumentValueError
from . import _dtypes
from ._engine import MODES, get_num_threads
from ._engine import fill_margin as _fill_margin
from ._engine import spline_filter1d as _filter1d
from ._engine import spline_filter_planes as _filter_planes
from ._plan import check_mode

if TYPE_CHECKING:
    import numpy.typing as npt

    from ._typing import Mode, Output

# scipy pads the input by this many samples before the filter for the modes whose border the filter
# cannot take exactly ('nearest': the edge sample repeated; 'grid-constant': cval).
PREPAD = 12
PREPADDED_MODES = ("nearest", "grid-constant")


def check_spline_order(order, lowest: int = 0) -> int:
    try:
        value = operator.index(order)
    except TypeError:
        raise TypeError(f"order: expected an integer, got {type(order).__name__}") from None
    if not lowest <= value <= 5:
        raise ArgumentValueError(f"order: expected {lowest} to 5, got {value}")
    return value


# From this size a copy into or out of the float64 coefficients is split over threads: one thread
# converts about 0.6 GB/s here, a quarter of the filter's speed.
_PARALLEL_COPY_BYTES = 1 << 22


def _copy_into(dst: np.ndarray, src: np.ndarray) -> None:
    """``dst[...] = src`` (NumPy's cast, under the caller's floating-point error settings), split along
    the first axis over as many threads as the worker pool has when large: NumPy releases the
    interpreter lock while it casts, so the parts run at once. Each element is converted alone, so
    the result is the same however it is split."""
    parts = min(get_num_threads(), dst.shape[0]) if dst.ndim else 1
    if parts < 2 or dst.nbytes < _PARALLEL_COPY_BYTES or dst.shape != src.shape:
        dst[...] = src
        return
    settings = np.geterr()  # the error state is the calling thread's only
    bounds = [dst.shape[0] * k // parts for k in range(parts + 1)]
    errors: list = []

    def copy(k: int) -> None:
        try:
            with np.errstate(**settings):
                dst[bounds[k]:bounds[k + 1]] = src[bounds[k]:bounds[k + 1]]
        except BaseException as e:  # noqa: BLE001 - raised again in the calling thread
            errors.append(e)

    helpers = [threading.Thread(target=copy, args=(k,), daemon=True) for k in range(1, parts)]
    for t in helpers:
        t.start()
    copy(0)
    for t in helpers:
        t.join()
    if errors:
        raise errors[0]


def _converted(src: np.ndarray, dtype) -> np.ndarray:
    """A C-contiguous copy of `src` as `dtype` (``np.array(src, dtype, copy=True)``), by _copy_into
    (NumPy's own for a copy that one thread makes: a small call's cost)."""
    if src.size * np.dtype(dtype).itemsize < _PARALLEL_COPY_BYTES:
        return np.array(src, dtype=dtype, order="C", copy=True)
    out = _dtypes.new_array(src.shape, dtype)
    _copy_into(out, src)
    return out


def fill_margin(out: np.ndarray, lead: int, width: int, mode: str, value=None, last: Optional[int] = None) -> None:
    """The outer `width` samples of `out` along the axes after the first `lead` (up to `last`), from
    the rest: `value` (a number) where given, else what `mode` reads there (the kernels' border rule);
    an axis at a time over the others' whole extent, so that the corners hold what the mode reads
    along every axis. The engine's, in place, on the worker pool for large arrays."""
    _fill_margin(out, lead, width, MODES[mode], value, last)


def padded(src: np.ndarray, lead: int, width: int, value=None, dtype=None, outer: int = 0) -> np.ndarray:
    """``np.pad(src, width).astype(dtype)`` along the axes after the first `lead`: the edge sample
    repeated (np.pad's 'edge') when `value` is None, else `value` (already of src's dtype). A
    C-contiguous copy made by _copy_into and filled as np.pad fills (which copies on one thread:
    256^3 float32 padded by 12 took 3-4 times as long). With `outer`, that inside `outer` samples
    more, left unset."""
    edge = width + outer
    shape = src.shape[:lead] + tuple(n + 2 * edge for n in src.shape[lead:])
    out = _dtypes.new_array(shape, src.dtype if dtype is None else dtype)
    _copy_into(out[(slice(None),) * lead + tuple(slice(edge, edge + n) for n in src.shape[lead:])], src)
    if width:
        window = out[(slice(None),) * lead + tuple(slice(outer, outer + n + 2 * width) for n in src.shape[lead:])]
        fill_margin(window, lead, width, "nearest", None if value is None else np.asarray(value).astype(out.dtype))
    return out


def pad_value(cval, dtype) -> np.ndarray:
    """cval as np.pad stores it into an array of `dtype` (NumPy's cast, with its warnings)."""
    return np.pad(np.zeros(1, dtype), (1, 0), mode="constant", constant_values=cval)[:1]


def _direct(a: np.ndarray) -> bool:
    """Whether the engine's filter reads or writes `a` as it is: float32 or float64, native, aligned,
    C-contiguous."""
    return a.dtype.type in (np.float32, np.float64) and a.dtype.isnative and a.flags.c_contiguous and a.flags.aligned


def _same(src: np.ndarray, dst: np.ndarray) -> bool:
    """Whether two direct arrays of one shape are one array."""
    if src is dst:
        return True
    return (src.dtype == dst.dtype and np.may_share_memory(src, dst)
            and src.__array_interface__["data"][0] == dst.__array_interface__["data"][0])


def _engine_pair(src: np.ndarray, dst: np.ndarray) -> bool:
    """Whether the engine's filter can go from `src` into `dst` straight: both direct, and one array or
    two apart in memory."""
    if not (_direct(src) and _direct(dst) and dst.flags.writeable):
        return False
    return src is dst or not np.may_share_memory(src, dst) or _same(src, dst)


_NO_FILL = (False, None)


def filter_axes(src: np.ndarray, work: np.ndarray, dst: np.ndarray, axes: Sequence[int], order: int,
                mode: str, margin: int = 0, fill=None) -> None:
    """The prefilter of `order` (2 to 5) along each of `axes` in turn, computed in float64: the first
    axis reads `src`, every axis but the last writes `work` (read by the next), the last writes `dst`
    (pairs that the engine takes: _engine_pair). The array's last two axes, when they end `axes`, go
    a plane at a time, both while the plane is in the cache; the values are the same. With a
    `margin`: one 3-D array, filtered in place inside it, and `fill` ((True, value) as the engine's
    planes take them: the value, or None for what the mode reads) fills the margins along its last
    two axes plane by plane."""
    axes = [int(a) for a in axes]
    ndim, code = src.ndim, MODES[mode]
    planes = len(axes) >= 2 and axes[-2] == ndim - 2 and axes[-1] == ndim - 1
    current = src
    for axis in axes[:-2] if planes else axes[:-1]:
        _filter1d(current, work, axis, order, code, margin)
        current = work
    if planes:
        fill_value = fill or _NO_FILL
        _filter_planes(current, work, dst, order, code, margin, fill_value[0], fill_value[1])
    elif axes:
        _filter1d(current, dst, axes[-1], order, code, margin)


def _filter_into(src: np.ndarray, dst: np.ndarray, axes: Sequence[int], order: int, mode: str) -> None:
    """The filters' values stored into `dst` (an _engine_pair with `src`) as scipy stores them: a `dst`
    of the source's type is filled by a copy and filtered in place (the engine's lines are much faster
    in place than from one array into another: 256^3 float32, first axis, 10 against 27 ms); a
    float32 one from a float64 source is filtered into from `src`, so that the first axis reads the
    source unrounded. A float32 `dst` holds float32 values after every axis, as scipy's spline_filter
    leaves its output."""
    if dst.dtype == np.float64 or src.dtype == dst.dtype:
        if not _same(src, dst):
            if src.dtype.itemsize > dst.dtype.itemsize:  # a narrowing cast may overflow (NumPy's warnings off)
                with np.errstate(invalid="ignore", over="ignore"):
                    _copy_into(dst, src)
            else:  # a widening one is exact (np.errstate costs a small call two microseconds)
                _copy_into(dst, src)
        filter_axes(dst, dst, dst, axes, order, mode)
    else:
        filter_axes(src, dst, dst, axes, order, mode)


def coefficients(source: np.ndarray, nbatch: int, order: int, mode: str, cval: float,
                 dtype: np.dtype) -> Tuple[np.ndarray, int]:
    """(coefficients, pad): what orders 2 to 5 interpolate for `source` (plan order: `nbatch` carried
    axes, then the interpolated ones) as scipy computes them: padded by PREPAD samples along the
    interpolated axes for 'nearest' and 'grid-constant' (as np.pad does it, in the input's dtype),
    filtered along each interpolated axis in order, each line in float64, and stored as `dtype`.

    float64 (the types computed in binary64): scipy's coefficients bit for bit. float32 (the types
    computed in binary32, every value of which is a float32): the lines are stored into float32 after
    every axis, as scipy's spline_filter leaves a float32 output. That moves half the bytes of a
    float64 array through the three passes (256^3: 29 against 54 ms), and changes the results less
    than their own float32 rounding does: a coefficient rounded three times, not once, where the
    interpolation in float32 rounds at every sample.

    The source is converted by a copy of its own first: a fresh array first written by the filter's
    strided lines takes its page faults in that order, which costs more than the copy, and the lines
    are much faster in place than from one array into another."""
    pad = PREPAD if mode in PREPADDED_MODES else 0
    if pad:
        work = padded(source, nbatch, pad, None if mode == "nearest" else pad_value(cval, source.dtype), dtype)
    else:
        work = _converted(source, dtype)
    filter_axes(work, work, work, list(range(nbatch, source.ndim)), order, mode)
    return work, pad


def coefficients_with_margin(source: np.ndarray, order: int, mode: str, cval: float, dtype: np.dtype) -> np.ndarray:
    """The coefficients of a 3-D `source` (all three axes interpolated) as `coefficients` computes them,
    inside a margin of order + 1 samples around every axis that holds what the interpolation reads
    past their edges (fill_margin; cval for 'grid-constant', as the compute type holds it): the
    kernels then compute the voxels whose footprints reach past the edges in vector blocks, where
    they would go one voxel at a time (about 10 times as slow each). The source is copied into the
    window and filtered there, so that the margin costs no copy of its own."""
    pad = PREPAD if mode in PREPADDED_MODES else 0
    margin = order + 1
    out = padded(source, 0, pad, None if mode != "grid-constant" else pad_value(cval, source.dtype), dtype, margin)
    # The margins along y and x are filled by the filter's planes while each is in the cache (on one
    # thread afterwards, their scattered lines cost a fifth of the filter); those along z here.
    value = np.array(cval).astype(dtype) if mode == "grid-constant" else None
    filter_axes(out, out, out, [0, 1, 2], order, mode, margin, (True, None if value is None else float(value)))
    fill_margin(out, 0, margin, mode, value, last=0)
    return out


# ---- scipy's functions -------------------------------------------------------------------------

def _output(output, arr, name: str = "output"):
    """scipy's output argument of the filters: a dtype (float64 by default) or an array of the input's
    shape; complex for a complex input (a real dtype promoted, as scipy does, with its warning)."""
    complex_input = _dtypes.is_complex(arr.dtype)
    if isinstance(output, np.ndarray):
        _dtypes.check(output.dtype, name)
        if tuple(output.shape) != tuple(arr.shape):
            raise ArgumentValueError(f"{name}: expected an array of shape {tuple(arr.shape)}, got shape {output.shape}")
        if not output.flags.writeable:
            raise ValueError(f"{name}: the array is read-only")
        if complex_input != _dtypes.is_complex(output.dtype):
            raise ArgumentTypeError(f"{name}: a {'complex' if complex_input else 'real'} input needs an output array "
                                    f"of a {'complex' if complex_input else 'real'} dtype, got {output.dtype}")
        return output
    dtype = arr.dtype if output is None else output  # None: the input's type, as scipy takes it
    _dtypes.check(dtype, name)
    dtype = np.dtype(dtype)
    if complex_input and not _dtypes.is_complex(dtype):
        warnings.warn("promoting specified output dtype to complex", stacklevel=3)
        dtype = np.promote_types(dtype, np.complex64)
    return _dtypes.new_array(arr.shape, dtype)


def _filter_input(input) -> np.ndarray:
    """The filters' input as an array of a supported dtype (a 0-d one too: scipy copies it)."""
    arr = np.asarray(input)
    _dtypes.check(arr.dtype, "input")
    return arr


def _parts(arr: np.ndarray, out: np.ndarray):
    """(input part, output part) pairs: the real and imaginary parts of a complex pair, else the pair."""
    if _dtypes.is_complex(arr.dtype):
        return ((arr.real, out.real), (arr.imag, out.imag))
    return ((arr, out),)


def _store(values: np.ndarray, out: np.ndarray) -> None:
    """float64 values into `out` as scipy stores them (a C cast: floats rounded, integers truncated)."""
    with np.errstate(invalid="ignore", over="ignore"):
        _copy_into(out, values)


def spline_filter1d(input: npt.ArrayLike, order: int = 3, axis: int = -1, output: Output = np.float64,
                    mode: Mode = "mirror") -> npt.NDArray[Any]:
    """Compute a 1-D spline filter along the given axis, as ``scipy.ndimage.spline_filter1d`` does.

    The B-spline coefficients of ``order`` (0 to 5; 0 and 1 return a copy) along ``axis``, with the
    border ``mode`` scipy uses for the filter's initial values (every mode name of scipy's). The
    recursive filter runs in float64 with scipy's operations in scipy's order (the result equals
    scipy's bit for bit), on the worker pool with the interpreter lock released. ``output``: a dtype
    (float64 by default) or an array of the input's shape; a complex input is filtered as its real
    and imaginary parts. Bad arguments raise ValueError or TypeError naming the argument.
    """
    order = check_spline_order(order)
    mode = check_mode(mode)
    arr = _filter_input(input)
    try:
        axis = operator.index(axis)
    except TypeError:
        raise TypeError(f"axis: expected an integer, got {type(axis).__name__}") from None
    if order >= 2 and not -arr.ndim <= axis < arr.ndim:  # orders 0 and 1 copy, whatever the axis (scipy too)
        raise ValueError(f"axis: {axis} is not an axis of a {arr.ndim}-D input")
    out = _output(output, arr)
    for part, dst in _parts(arr, out):
        if order < 2:
            _store(np.array(part), dst)
            continue
        if _engine_pair(part, dst):
            _filter_into(part, dst, [axis % arr.ndim], order, mode)
            continue
        work = _converted(part, np.float64)
        filter_axes(work, work, work, [axis % arr.ndim], order, mode)
        _store(work, dst)
    return out


def spline_filter(input: npt.ArrayLike, order: int = 3, output: Output = np.float64,
                  mode: Mode = "mirror") -> npt.NDArray[Any]:
    """Multidimensional spline filter, as ``scipy.ndimage.spline_filter`` does.

    The B-spline coefficients of ``order`` (2 to 5) along every axis in turn, as
    ``spline_filter1d`` computes them; with an ``output`` of another type than float64 the values
    are stored into it after each axis, as scipy does. ``mode``: the filter's border (every mode name
    of scipy's; default 'mirror'). The result equals scipy's bit for bit.
    """
    order = check_spline_order(order, lowest=2)
    mode = check_mode(mode)
    arr = _filter_input(input)
    out = _output(output, arr)
    for part, dst in _parts(arr, out):
        if arr.ndim == 0:  # nothing to filter: the value stored as the output's type, as scipy does
            _store(np.array(part), dst)
            continue
        if _engine_pair(part, dst):
            _filter_into(part, dst, range(arr.ndim), order, mode)
            continue
        current = part
        for axis in range(arr.ndim):  # scipy stores the result into the output after every axis
            work = _converted(current, np.float64)
            filter_axes(work, work, work, [axis], order, mode)
            _store(work, dst)
            current = dst
    return out


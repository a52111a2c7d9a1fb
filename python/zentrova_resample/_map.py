"""map_coordinates: scipy.ndimage's signature and meaning, on the engine's point kernel."""

from __future__ import annotations

import math
from dataclasses import replace
from typing import TYPE_CHECKING, Any, Optional, SupportsIndex, Tuple, Union, overload

import numpy as np

from ._errors import ArgumentValueError
from . import _dtypes
from ._engine import resample as _resample
from ._engine import resample_points as _resample_points
from ._execute import as_output, engine_array, fill_cval, with_coefficients, with_margin
from ._plan import (MODES, ArrayInfo, Plan, check_batch_axes, check_cval_for, check_input, check_output, check_scalars,
                    is_dask_array, nearest_cval)
from ._run import complex_parts, new_output

if TYPE_CHECKING:
    import dask.array
    import numpy.typing as npt

    from ._typing import AxesLike, Chunks, Mode, Output, OutputDType, Scalar

# Points sampled per engine call: their float64 coordinates are copied into one block at a time when the
# caller's are not C-contiguous float64 already.
BLOCK = 2**20


def check_coordinates(coordinates, k: int) -> np.ndarray:
    """The coordinates as an array of a real dtype, of shape (k, ...) with at least one axis after the
    first; TypeError or ValueError naming the argument otherwise."""
    try:
        c = np.asarray(coordinates)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"coordinates: expected an array of real numbers ({exc})") from None
    check_coordinate_form(c.dtype, c.shape, k)
    return c


def check_coordinate_form(dtype: np.dtype, shape: Tuple[int, ...], k: int) -> None:
    """Coordinates of this dtype and shape are of a real dtype, with one row per interpolated input
    axis (`k`) and at least one axis of points; TypeError or ValueError naming the argument otherwise
    (a NumPy or a dask array alike)."""
    if dtype.kind not in "biuf":
        raise TypeError(f"coordinates: expected real numbers, got dtype {dtype}")
    if len(shape) < 2:
        raise ArgumentValueError(f"coordinates: expected shape ({k}, ...) with at least one axis of points, got "
                                 f"{shape}")
    if shape[0] != k:
        raise ArgumentValueError(f"coordinates: its first axis ({shape[0]}) must have one row per interpolated input "
                                 f"axis ({k}), got shape {shape}")


def _batch_positions(named: Tuple[int, ...], ndim: int, k_out: int) -> Tuple[int, ...]:
    """Where the carried axes go in the output: first if they are the input's first axes, last if they
    are its last ones (as for a matrix that changes the number of axes)."""
    nb = len(named)
    if named == tuple(range(nb)):
        return tuple(range(nb))
    if named == tuple(range(ndim - nb, ndim)):
        return tuple(range(k_out, k_out + nb))
    raise ValueError(f"batch_axes: for map_coordinates the axes carried along must be the input's first or last "
                     f"ones, got {named}")


# As for affine_transform: an ndarray for NumPy arguments, a lazy dask array where the input or the
# coordinates are dask arrays (then no array to fill in `output`).
@overload
def map_coordinates(input: npt.NDArray[Any], coordinates: npt.NDArray[Any], output: Output = None, order: int = 3,
                    mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
                    batch_axes: Union[SupportsIndex, AxesLike, None] = None,
                    output_chunks: None = None) -> npt.NDArray[Any]: ...


@overload
def map_coordinates(input: dask.array.Array, coordinates: Union[npt.ArrayLike, dask.array.Array],
                    output: OutputDType = None, order: int = 3, mode: Mode = "constant", cval: Scalar = 0.0,
                    prefilter: bool = True, *, batch_axes: None = None,
                    output_chunks: Optional[Chunks] = None) -> dask.array.Array: ...


@overload
def map_coordinates(input: npt.ArrayLike, coordinates: dask.array.Array, output: OutputDType = None,
                    order: int = 3, mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
                    batch_axes: None = None, output_chunks: Optional[Chunks] = None) -> dask.array.Array: ...


@overload
def map_coordinates(input: npt.ArrayLike, coordinates: npt.ArrayLike, output: Output = None, order: int = 3,
                    mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
                    batch_axes: Union[SupportsIndex, AxesLike, None] = None,
                    output_chunks: None = None) -> npt.NDArray[Any]: ...


def map_coordinates(input: Union[npt.ArrayLike, dask.array.Array], coordinates: Union[npt.ArrayLike, dask.array.Array],
                    output: Output = None, order: int = 3, mode: Mode = "constant", cval: Scalar = 0.0,
                    prefilter: bool = True, *, batch_axes: Union[SupportsIndex, AxesLike, None] = None,
                    output_chunks: Optional[Chunks] = None) -> Union[npt.NDArray[Any], dask.array.Array]:
    """Map the input array to new coordinates by interpolation, as ``scipy.ndimage.map_coordinates`` does.

    ``coordinates`` (any real dtype and layout) has one row per input axis: output voxel ``i`` (of the
    shape ``coordinates.shape[1:]``) samples the input at ``coordinates[:, i]``, with spline
    interpolation of ``order`` 0 to 5 (default 3, cubic, as scipy's), ``mode`` and ``cval`` with
    scipy's meaning, and ``prefilter`` as ``affine_transform`` says (orders 2 to 5). ``batch_axes``
    (keyword only) names input axes carried along, the input's first or last ones: the coordinates
    then have a row per other axis, and every index of the carried axes is sampled at them (the
    output has the carried axes first or last, as the input). ``output``: None (the input's dtype), a
    dtype, or an array of the output's shape.

    dask: a ``dask.array.Array`` input or coordinates (or both; dask is optional) give a lazy dask array
    chunked as the coordinates' points (or ``output_chunks``), each chunk one task that reads only the
    input box its coordinates reach (their extent per chunk is computed first, a small reduction over
    the coordinates); no ``batch_axes`` there. Orders 0 and 1 and ``prefilter=False`` equal the
    in-memory result bit for bit; orders 2 to 5 with prefilter within the bound ``affine_transform``
    states for dask inputs. Of more than three input axes every chunk reads the whole input (its
    coefficients made once, in a task of their own), the in-memory result bit for bit.

    dtypes as ``affine_transform``: the types computed in float32 take their coordinates in float32
    too (a coordinate rounded to float32) at orders 1 to 5; order 0 reads the sample scipy reads for
    every type (its coordinate in float64). float64, 32- and 64-bit integers and bool are computed in
    float64, scipy's result bit for bit; complex inputs as their parts. Any number of input axes. Bad
    arguments raise ValueError or TypeError naming the argument, before anything is written to
    ``output`` (and where scipy raises RuntimeError, a RuntimeError too: ArgumentValueError,
    ArgumentTypeError).
    """
    order, mode, cval = check_scalars(order, mode, cval)
    lazy = is_dask_array(input) or is_dask_array(coordinates)
    arr = check_input(input)
    check_cval_for(cval, arr.dtype)
    named = check_batch_axes(batch_axes, arr.ndim)
    k = arr.ndim - len(named)
    if lazy:
        return _map_lazy(input, arr, coordinates, output, order, mode, cval, prefilter, named, output_chunks)
    if output_chunks is not None:
        raise TypeError("output_chunks: only for a dask.array input or coordinates")
    coords = check_coordinates(coordinates, k)
    points_shape = tuple(coords.shape[1:])
    at = _batch_positions(named, arr.ndim, len(points_shape)) if named else ()
    out_shape = [0] * (len(points_shape) + len(named))
    rest = [i for i in range(len(out_shape)) if i not in at]
    for i, a in zip(at, named):
        out_shape[i] = arr.shape[a]
    for i, n in zip(rest, points_shape):
        out_shape[i] = n
    out_arr, out_dtype, shape = check_output(output, tuple(out_shape), arr)
    cval = nearest_cval(cval, order, out_dtype)
    in_axes = tuple(named) + tuple(i for i in range(arr.ndim) if i not in named)
    out_axes = tuple(at) + tuple(rest)
    # A plan of the point kernel (its form is not used: the coordinates are the caller's).
    info = ArrayInfo(tuple(arr.shape[a] for a in in_axes), _dtypes.real_part(arr.dtype))
    plan = Plan(info, tuple(shape[a] for a in out_axes), info.shape[:len(named)], info.shape[len(named):],
                points_shape, k, order=order, mode=mode, cval=cval, in_axes=in_axes, out_axes=out_axes,
                prefilter=bool(prefilter))
    x = np.asarray(input)
    if not _dtypes.is_complex(x.dtype):
        return _map_real(plan, x, coords, out_arr, out_dtype)
    out = out_arr if out_arr is not None else new_output(plan.caller_shape, out_dtype)
    for part, c, dst in complex_parts(plan, x, out):
        plan.cval = c
        _map_real(plan, part, coords, dst, dst.dtype)
    return out


def _grid3(shape: Tuple[int, ...]) -> Tuple[int, int, int]:
    """The points' shape as the engine's three output axes (the leading ones merged)."""
    if len(shape) == 1:
        return (1, 1, shape[0])
    return (int(np.prod(shape[:-2])), shape[-2], shape[-1])


def _map_rows(plan: Plan, source: np.ndarray, coords: np.ndarray, result: np.ndarray, kernel_dtype,
              pad: int, margin: int = 0) -> None:
    """At most three interpolated axes: the engine's row kernels, the coordinates read from the arrays
    (as float64, C-contiguous: a copy only when the caller's are not). `margin`: the source is one
    volume's coefficients with that margin (coefficients_with_margin)."""
    k = plan.interpolated
    grid = _grid3(tuple(coords.shape[1:]))
    given = np.ascontiguousarray(coords, dtype=np.float64).reshape((k,) + grid)
    in3 = (1,) * (3 - k) + tuple(source.shape[len(plan.batch):])
    for index in np.ndindex(*plan.batch):
        dst = result[index].reshape(grid)
        if margin:
            src, held = source, margin
        else:
            src, held = with_margin(plan, engine_array(source[index], kernel_dtype).reshape(in3), dst.size)
        _resample(src, dst, (0.0,) * 9, (0.0,) * 3, plan.order, MODES[plan.mode], float(plan.cval), interpolated=k,
                  pad=float(pad), coords=given, margin=held)


def map_points(plan: Plan, src: np.ndarray, points: np.ndarray, dst: np.ndarray, pad: int) -> None:
    """More than three interpolated axes: `dst` (flat) from `src` at `points` ((k, n), any real dtype)
    by the engine's one-point kernel, in blocks of points converted to float64."""
    for start in range(0, points.shape[1], BLOCK):
        block = np.ascontiguousarray(points[:, start:start + BLOCK], dtype=np.float64)
        _resample_points(src, block, dst[start:start + block.shape[1]], plan.order, MODES[plan.mode],
                         float(plan.cval), float(pad))


def _map_real(plan: Plan, x: np.ndarray, coords: np.ndarray, out_arr: Optional[np.ndarray], out_dtype) -> np.ndarray:
    """map_coordinates of a real input into the caller's order: each index of the carried axes alone."""
    requested = np.dtype(out_dtype)
    out_dtype = _dtypes.native(requested)
    if math.prod(plan.output_shape) == 0:  # nothing to compute: no coefficients, no copy
        if out_arr is not None:
            return out_arr
        return np.ascontiguousarray(plan.restore_output(np.empty(plan.output_shape, requested)))
    source = plan.arrange_input(x)
    reading, source = with_coefficients(plan, source, out_dtype, margin=plan.interpolated == 3)
    pad = reading.pad
    kernel_dtype = _dtypes.kernel_dtype(source.dtype, out_dtype)
    points = coords.reshape(coords.shape[0], -1)
    npoints = points.shape[1]
    # A caller's output that the kernels can fill as it is (their type, C-contiguous, the axes in
    # plan order, apart from the input and the coordinates) is computed into, without a result of
    # its own and a copy (64 MiB at 256^3 float32); any other is filled from the result.
    direct = (out_arr is not None and out_arr.dtype == kernel_dtype and out_arr.flags.c_contiguous
              and out_arr.flags.aligned and not plan.reordered and not np.may_share_memory(out_arr, x)
              and not np.may_share_memory(out_arr, coords))
    result = out_arr.reshape(plan.batch + (npoints,)) if direct else new_output(plan.batch + (npoints,), kernel_dtype)
    if result.size and x.size == 0:
        fill_cval(plan, result)
    elif result.size and plan.interpolated <= 3:
        _map_rows(plan, source, coords, result, kernel_dtype, pad, reading.margin)
    elif result.size:
        for index in np.ndindex(*plan.batch):
            map_points(plan, engine_array(source[index], kernel_dtype), points, result[index], pad)
    result = as_output(plan, result, out_dtype)
    result = plan.restore_output(result.reshape(plan.output_shape))
    if out_arr is None:
        result = np.ascontiguousarray(result)
        return result if requested == out_dtype else result.astype(requested)
    if not direct:
        out_arr[...] = result
    return out_arr


def _map_lazy(input, arr, coordinates, output, order, mode, cval, prefilter, named, output_chunks):
    """map_coordinates with a dask input or dask coordinates (or both): a lazy dask array."""
    import dask.array as da

    from ._dask_map import map_lazy
    if named:
        raise ValueError("batch_axes: not available with a dask input or dask coordinates")
    coords = coordinates if is_dask_array(coordinates) else da.from_array(np.asarray(coordinates))
    check_coordinate_form(coords.dtype, tuple(coords.shape), arr.ndim)
    if any(math.isnan(c) for axis in coords.chunks for c in axis):
        raise ValueError("coordinates: the dask array has unknown chunk sizes (NaN)")
    x = input if is_dask_array(input) else da.from_array(np.asarray(input), chunks=-1)
    _, out_dtype, _ = check_output(output, tuple(coords.shape[1:]), ArrayInfo(tuple(arr.shape), arr.dtype))
    cval = nearest_cval(cval, order, out_dtype)
    info = ArrayInfo(tuple(arr.shape), _dtypes.real_part(arr.dtype))
    plan = Plan(info, tuple(coords.shape[1:]), (), info.shape, tuple(coords.shape[1:]), arr.ndim, order=order,
                mode=mode, cval=cval, in_axes=tuple(range(arr.ndim)), out_axes=tuple(range(coords.ndim - 1)),
                prefilter=bool(prefilter))
    if not _dtypes.is_complex(x.dtype):
        return map_lazy(plan, x, coords, out_dtype, output_chunks)
    from functools import partial

    from ._dask import _complex
    part_dtype = _dtypes.real_part(out_dtype)
    c = complex(cval)
    real = map_lazy(replace(plan, cval=c.real), x.real, coords, part_dtype, output_chunks)
    imag = map_lazy(replace(plan, cval=c.imag), x.imag, coords, part_dtype, output_chunks)
    return da.map_blocks(partial(_complex, dtype=out_dtype), real, imag, dtype=out_dtype)

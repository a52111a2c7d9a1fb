"""shift, zoom and rotate: scipy.ndimage's signatures and meaning, on the engine of affine_transform.

Each reads its arguments as scipy reads them, derives scipy's transform parameters with scipy's own
expressions, and hands one plan to the engine:

* ``shift`` and ``zoom`` are scipy's per-axis coordinate (its NI_ZoomShift): ``k + (-s)`` for a
  shift, ``k * f`` or ``((k + 0.5) * f) - 0.5`` (grid_mode) for a zoom, rounded step by step as
  scipy rounds them (the engine's separable form).
* ``rotate`` is scipy's 2-D affine transform of every plane parallel to ``axes``: the plane axes
  become the last two of a transposed view, the others batch axes whose index is kept exactly (no
  interpolation along them, as in scipy's loop over planes).
"""

from __future__ import annotations

import math
import operator
import warnings
from typing import TYPE_CHECKING, Any, Optional, Sequence, Tuple, Union, overload

import numpy as np

from ._errors import ArgumentValueError
from . import _plan
from ._plan import check_scalars, is_dask_array
from ._run import check_no_output_chunks, run
from ._store import StoreOutput

if TYPE_CHECKING:
    # Only for the annotations (the package imports without dask): as affine_transform's, an ndarray
    # or any other array-like input gives an ndarray, a dask one a dask array.
    import dask.array
    import numpy.typing as npt

    from ._typing import AxesLike, Chunks, Mode, Output, OutputDType, Real, RealOrSequence, Scalar


# ---- argument checks ---------------------------------------------------------------------------

def _real_scalar(value, name: str) -> float:
    """float(value) for a real scalar; TypeError naming the argument otherwise."""
    if type(value) is float or type(value) is int:  # the common case, without NumPy's checks
        return float(value)
    if isinstance(value, (str, bytes)) or np.ndim(value) != 0 or np.iscomplexobj(value):
        raise TypeError(f"{name}: expected a real number, got {value!r}")
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected a real number, got {type(value).__name__}") from None


def _per_axis(value, ndim: int, name: str) -> list:
    """scipy's _normalize_sequence: a scalar repeated per axis, or a sequence of ndim values (kept as
    given, for scipy's arithmetic on them), each checked to be a real number."""
    if type(value) is float or type(value) is int:  # the common case, without NumPy's checks
        return [value] * ndim
    if not isinstance(value, (str, bytes)) and np.iterable(value):
        items = list(value)
        if len(items) != ndim:
            raise ArgumentValueError(f"{name}: expected a scalar or {ndim} values (one per input axis), got "
                                     f"{len(items)}")
    else:
        items = [value] * ndim
    for item in items:
        _real_scalar(item, name)
    return items


def _check_output_shape(output, shape: Tuple[int, ...]) -> None:
    if isinstance(output, np.ndarray) and tuple(output.shape) != tuple(shape):
        raise ArgumentValueError(f"output: expected an array of shape {tuple(shape)}, got shape {output.shape}")


# ---- shift -------------------------------------------------------------------------------------

@overload
def shift(input: npt.NDArray[Any], shift: RealOrSequence, output: Output = None, order: int = 3,
          mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
          output_chunks: None = None) -> npt.NDArray[Any]: ...


@overload
def shift(input: dask.array.Array, shift: RealOrSequence, output: OutputDType = None, order: int = 3,
          mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
          output_chunks: Optional[Chunks] = None) -> dask.array.Array: ...


@overload
def shift(input: npt.ArrayLike, shift: RealOrSequence, output: Output = None, order: int = 3,
          mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
          output_chunks: None = None) -> npt.NDArray[Any]: ...


def shift(input: Union[npt.ArrayLike, dask.array.Array], shift: RealOrSequence, output: Output = None,
          order: int = 3, mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
          output_chunks: Optional[Chunks] = None) -> Union[npt.NDArray[Any], dask.array.Array]:
    """Shift an array, as ``scipy.ndimage.shift`` does.

    Output voxel ``k`` samples the input at ``k - shift`` along every axis (scipy computes
    ``k + (-shift)``, and so do we), with spline interpolation of ``order`` 0 to 5 (0: nearest
    neighbour, 1: linear, 3: cubic B-spline); ``mode`` and ``cval`` say what lies beyond the input's
    edges, with scipy's meaning. ``prefilter`` as ``affine_transform`` says.

    ``shift``: a real number for every axis, or one per axis. ``output``: None (the input's dtype), a
    dtype, or an array of the input's shape to fill. Of an input of more than three axes, the axes
    not shifted are taken one index at a time (scipy interpolates along them too,
    reading the next index with weight 0 at order 1, so that inf or NaN there gives NaN in scipy and
    not here; finite data give scipy's result, within rounding at orders 2 to 5). Non-finite shifts give scipy's result
    where scipy returns one; a NaN shift with the mirroring and wrapping modes, which kills scipy's
    process, gives cval. (Coordinates of 2**63 or more with 'grid-wrap' read another sample than
    scipy, which maps them in double: the engine's, and affine_transform's, behaviour.)

    Bad arguments raise ValueError or TypeError naming the argument, before anything is written to
    ``output``; where scipy raises RuntimeError, a RuntimeError too (ArgumentValueError,
    ArgumentTypeError).

    A dask array input gives a lazy dask array, with ``output_chunks``, as ``affine_transform`` does.
    """
    order, mode, cval = check_scalars(order, mode, cval)
    arr = _plan.check_input(input)
    values = _per_axis(shift, arr.ndim, "shift")
    # scipy: shift = [-ii for ii in shift], then float64. Negating after the conversion gives the same
    # double for every float and signed integer (a NumPy unsigned value, which scipy negates modulo
    # 2**bits, is negated here as the number it is).
    negated = [-float(v) for v in values]
    _check_output_shape(output, arr.shape)
    plan, out_arr, out_dtype = _plan.plan_separable(arr, [1.0] * arr.ndim, negated, tuple(arr.shape), output,
                                                    order, mode, cval, name="shift", prefilter=bool(prefilter))
    return run(plan, input, out_arr, out_dtype, output_chunks, "shift")


# ---- zoom --------------------------------------------------------------------------------------

def zoom_output_shape(input_shape: Sequence[int], zoom) -> Tuple[int, ...]:
    """scipy's output shape: ``int(round(n * z))`` per axis, with the caller's zoom values as given
    (Python's round, half to even; a float32 factor multiplies in float32, as in scipy)."""
    shape = []
    for n, z in zip(input_shape, zoom):
        try:
            m = int(round(int(n) * z))
        except (OverflowError, ValueError):
            raise ValueError(f"zoom: expected finite factors, got {z!r}") from None
        if m < 0:
            raise ValueError(f"zoom: expected non-negative factors, got {z!r}")
        shape.append(m)
    return tuple(shape)


def zoom_factors(input_shape: Sequence[int], output_shape: Sequence[int], grid_mode: bool) -> list:
    """scipy's factors: ``(n - 1) / (m - 1)`` (or ``n / m`` with grid_mode) per axis, 1 where the
    denominator is 0, as floats. scipy divides int64 arrays in float64; Python's division of the
    integers rounds the exact quotient once, the same double for every length below 2**53."""
    shrink = 0 if grid_mode else 1
    factors = []
    for n, m in zip(input_shape, output_shape):
        div = int(m) - shrink
        factors.append((int(n) - shrink) / div if div != 0 else 1.0)
    return factors


@overload
def zoom(input: npt.NDArray[Any], zoom: RealOrSequence, output: Output = None, order: int = 3,
         mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *, grid_mode: bool = False,
         output_chunks: None = None) -> npt.NDArray[Any]: ...


@overload
def zoom(input: dask.array.Array, zoom: RealOrSequence, output: OutputDType = None, order: int = 3,
         mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *, grid_mode: bool = False,
         output_chunks: Optional[Chunks] = None) -> dask.array.Array: ...


@overload
def zoom(input: npt.ArrayLike, zoom: RealOrSequence, output: Output = None, order: int = 3,
         mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *, grid_mode: bool = False,
         output_chunks: None = None) -> npt.NDArray[Any]: ...


def zoom(input: Union[npt.ArrayLike, dask.array.Array], zoom: RealOrSequence, output: Output = None,
         order: int = 3, mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
         grid_mode: bool = False,
         output_chunks: Optional[Chunks] = None) -> Union[npt.NDArray[Any], dask.array.Array]:
    """Zoom an array, as ``scipy.ndimage.zoom`` does.

    The output has ``round(n * zoom)`` voxels along an axis of n (Python's round, half to even).
    With ``grid_mode=False`` the first and last voxel centres of input and output coincide: output
    voxel ``k`` samples the input at ``k * (n - 1) / (m - 1)``; with ``grid_mode=True`` the outer edges
    do: ``((k + 0.5) * n / m) - 0.5``, each step rounded as scipy rounds it. Spline interpolation of
    ``order`` 0 to 5 (0: nearest neighbour, 1: linear, 3: cubic B-spline); ``mode`` and ``cval`` with
    scipy's meaning
    (like scipy, a UserWarning recommends 'grid-constant' or 'grid-wrap' over 'constant' or 'wrap'
    with ``grid_mode=True``).

    ``zoom``: one factor for every axis, or one per axis. ``output``: None (the input's dtype), a
    dtype, or an array of the zoomed shape to fill. When every factor equals 1 and ``prefilter`` is
    true, scipy returns a copy of the input converted with NumPy's cast (float to integer truncates;
    -0.0, inf and NaN stay as they are) instead of resampling it; we do the same, so that ``zoom(x, 1)``
    is ``x`` bit for bit, as in scipy. Otherwise ``prefilter`` as ``affine_transform`` says. Of an
    input of more than three axes, the axes not zoomed are taken one index at a time, as ``shift``
    says.

    Bad arguments raise ValueError or TypeError naming the argument, before anything is written to
    ``output``; where scipy raises RuntimeError, a RuntimeError too (ArgumentValueError,
    ArgumentTypeError).

    A dask array input gives a lazy dask array, with ``output_chunks``, as ``affine_transform`` does.
    """
    order, mode, cval = check_scalars(order, mode, cval)
    arr = _plan.check_input(input)
    _plan.check_cval_for(cval, arr.dtype)
    values = _per_axis(zoom, arr.ndim, "zoom")
    output_shape = zoom_output_shape(arr.shape, values)
    _check_output_shape(output, output_shape)
    grid_mode = bool(grid_mode)
    if all(z == 1 for z in values) and prefilter:
        # scipy's shortcut: the input as is, NumPy's cast into the output
        out_arr, out_dtype, _ = _plan.check_output(output, None, arr)
        if isinstance(out_arr, StoreOutput):  # the cast written into the store
            return out_arr.write(input, out_dtype, output_chunks)
        if is_dask_array(input):
            from ._dask_graph import cast
            return cast(input, out_dtype, output_chunks)
        check_no_output_chunks(output_chunks)
        if out_arr is None:
            out_arr = np.empty(output_shape, dtype=out_dtype)
        out_arr[...] = arr
        return out_arr
    if grid_mode and mode in ("constant", "wrap"):
        suggest = "grid-constant" if mode == "constant" else "grid-wrap"
        warnings.warn(f"It is recommended to use mode = {suggest} instead of {mode} when grid_mode is True.",
                      stacklevel=2)
    factors = zoom_factors(arr.shape, output_shape, grid_mode)
    plan, out_arr, out_dtype = _plan.plan_separable(arr, factors, [0.0] * arr.ndim, output_shape, output,
                                                    order, mode, cval, grid_mode, name="zoom",
                                                    prefilter=bool(prefilter))
    return run(plan, input, out_arr, out_dtype, output_chunks, "zoom")


# ---- rotate ------------------------------------------------------------------------------------

def _cos_sin_degrees_numpy(angle: float) -> Tuple[float, float]:
    """cos and sin of an angle in degrees without scipy: exact at multiples of 90 degrees (the angle is
    reduced modulo 360 and to its quadrant exactly, in degrees), else NumPy's cos/sin of the remainder
    in radians, which may differ from scipy.special.cosdg/sindg in the last bit."""
    r = math.fmod(angle, 360.0)          # exact
    if r < 0:
        r += 360.0
    quadrant, rest = divmod(r, 90.0)     # exact: the remainder of a division by 90
    quadrant = int(quadrant) % 4
    if rest == 0.0:
        c, s = 1.0, 0.0
    else:
        rad = np.deg2rad(rest)
        c, s = float(np.cos(rad)), float(np.sin(rad))
    for _ in range(quadrant):            # a quarter turn: (c, s) -> (-s, c), exact
        c, s = -s, c
    return c, s


def _cos_sin_degrees(angle):
    """scipy.special.cosdg/sindg of the angle as given (what scipy's rotate computes), when scipy is
    installed; else _cos_sin_degrees_numpy."""
    try:
        from scipy.special import cosdg, sindg
    except ImportError:
        return _cos_sin_degrees_numpy(float(angle))
    if not isinstance(angle, (int, float, np.number, np.ndarray)):
        angle = float(angle)
    return cosdg(angle), sindg(angle)


def rotate_params(input_shape: Sequence[int], angle, axes: Sequence[int], reshape: bool):
    """(2x2 matrix, offset (2,), output shape) of scipy's rotate, with scipy's expressions (NumPy ``@``:
    the last bit of the offset follows the BLAS kernel, as in scipy). `axes` are sorted, non-negative."""
    c, s = _cos_sin_degrees(angle)
    rot_matrix = np.array([[c, s],
                           [-s, c]])
    img_shape = np.asarray(input_shape)
    in_plane_shape = img_shape[list(axes)]
    if reshape:
        iy, ix = in_plane_shape
        out_bounds = rot_matrix @ [[0, 0, iy, iy],
                                   [0, ix, 0, ix]]
        out_plane_shape = (np.ptp(out_bounds, axis=1) + 0.5).astype(int)
    else:
        out_plane_shape = img_shape[list(axes)]
    out_center = rot_matrix @ ((out_plane_shape - 1) / 2)
    in_center = (in_plane_shape - 1) / 2
    offset = in_center - out_center
    output_shape = img_shape.copy()
    output_shape[list(axes)] = out_plane_shape
    return rot_matrix, offset, tuple(int(v) for v in output_shape)


def _check_axes(axes, ndim: int) -> Tuple[int, ...]:
    if isinstance(axes, (str, bytes)) or not np.iterable(axes):
        raise TypeError(f"axes: expected two integers, got {axes!r}")
    items = list(axes)
    if len(items) != 2:
        raise ValueError(f"axes: expected exactly two axes, got {len(items)}")
    try:
        values = [operator.index(a) for a in items]
    except TypeError:
        raise TypeError(f"axes: expected two integers, got {items!r}") from None
    norm = [a + ndim if a < 0 else a for a in values]
    if any(a < 0 or a >= ndim for a in norm):
        raise ValueError(f"axes: {tuple(values)} is not a plane of a {ndim}-D input")
    if norm[0] == norm[1]:
        raise ValueError(f"axes: expected two different axes, got {tuple(values)}")
    return tuple(sorted(norm))


@overload
def rotate(input: npt.NDArray[Any], angle: Real, axes: AxesLike = (1, 0), reshape: bool = True,
           output: Output = None, order: int = 3, mode: Mode = "constant", cval: Scalar = 0.0,
           prefilter: bool = True, *, output_chunks: None = None) -> npt.NDArray[Any]: ...


@overload
def rotate(input: dask.array.Array, angle: Real, axes: AxesLike = (1, 0), reshape: bool = True,
           output: OutputDType = None, order: int = 3, mode: Mode = "constant", cval: Scalar = 0.0,
           prefilter: bool = True, *, output_chunks: Optional[Chunks] = None) -> dask.array.Array: ...


@overload
def rotate(input: npt.ArrayLike, angle: Real, axes: AxesLike = (1, 0), reshape: bool = True,
           output: Output = None, order: int = 3, mode: Mode = "constant", cval: Scalar = 0.0,
           prefilter: bool = True, *, output_chunks: None = None) -> npt.NDArray[Any]: ...


def rotate(input: Union[npt.ArrayLike, dask.array.Array], angle: Real, axes: AxesLike = (1, 0),
           reshape: bool = True, output: Output = None, order: int = 3, mode: Mode = "constant",
           cval: Scalar = 0.0, prefilter: bool = True, *,
           output_chunks: Optional[Chunks] = None) -> Union[npt.NDArray[Any], dask.array.Array]:
    """Rotate an array in the plane of two axes, as ``scipy.ndimage.rotate`` does.

    ``angle`` in degrees. Every plane parallel to ``axes`` is rotated about its centre by scipy's
    transform (``cosdg``/``sindg`` of the angle; with ``reshape`` the plane grows to hold the whole
    rotated input, ``int(extent + 0.5)`` voxels). The other axes are not interpolated: each plane is
    resampled from its own plane only, as in scipy. Spline interpolation of ``order`` 0 to 5 (0:
    nearest neighbour, 1: linear, 3: cubic B-spline); ``mode`` and ``cval`` with scipy's meaning;
    ``prefilter`` as ``affine_transform`` says.

    ``output``: None (the input's dtype), a dtype, or an array of the rotated shape to fill.

    The rotation matrix is scipy.special.cosdg/sindg's when scipy is installed (results equal scipy's
    bit for bit); without scipy, multiples of 90 degrees are exact and other angles use NumPy's
    cos/sin, which may differ from scipy's in the last bit.

    Unlike scipy (which does not check it), ``axes`` must name two different axes; bad arguments raise
    ValueError or TypeError naming the argument, before anything is written to ``output`` (and where
    scipy raises RuntimeError, a RuntimeError too: ArgumentValueError, ArgumentTypeError).

    A dask array input gives a lazy dask array, with ``output_chunks`` (in the result's axis order), as
    ``affine_transform`` does.
    """
    order, mode, cval = check_scalars(order, mode, cval)
    if not math.isfinite(_real_scalar(angle, "angle")):
        raise ValueError(f"angle: expected a finite number, got {angle!r}")
    arr = _plan.check_input(input)
    if arr.ndim < 2:
        raise ValueError(f"input: rotate needs an array of at least 2 axes, got {arr.ndim}")
    plane = _check_axes(axes, arr.ndim)
    rot_matrix, offset, output_shape = rotate_params(arr.shape, angle, plane, bool(reshape))
    _check_output_shape(output, output_shape)
    # Every plane parallel to the two axes alike: the others are carried along, unlike scipy's loop
    # over planes in one engine call.
    others = [a for a in range(arr.ndim) if a not in plane]
    plan, out_arr, out_dtype = _plan.plan_affine(arr, rot_matrix, offset, output_shape, output, order, mode, cval,
                                                 batch_axes=others or None, prefilter=bool(prefilter))
    return run(plan, input, out_arr, out_dtype, output_chunks, "rotate")

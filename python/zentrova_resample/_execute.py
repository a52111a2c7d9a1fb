"""Running a plan on arrays in memory: the whole output, or any window of it (a box of the output)
computed from exactly the input box it reads, bit for bit equal to the same voxels of the whole result.

Every voxel's value depends only on its own indices and the transform, so a window is the whole
computation restricted to its voxels. The input box is found with the kernels' own arithmetic: each
coordinate is monotone in each output index separately, so its extremes over a window lie at the
window's corners; the box is then what those coordinate ranges read under the border mode (for the
folding modes: what the whole coordinate range between them reads).

Everything here works in the plan's axis order (carried axes first) and on real arrays; the caller's
axis order and complex parts are the business of the layer above.
"""

from __future__ import annotations

import math
from typing import Optional, Sequence, Tuple

import numpy as np

from . import _dtypes
from ._engine import empty as _empty
from ._engine import input_box as _input_box
from ._engine import resample as _resample
from ._engine import resample_points as _resample_points
from ._plan import MODES, ArrayInfo, Plan, folded
from ._spline import PREPAD, PREPADDED_MODES, coefficients, coefficients_with_margin, padded

Box = Tuple[Tuple[int, int], ...]  # (start, stop) per axis


# ---- engine calls ------------------------------------------------------------------------------

def _well_behaved(a: np.ndarray) -> bool:
    """An output the kernels can write: native, aligned, unit last stride, non-negative strides."""
    return (a.dtype.isnative and a.flags.aligned and (a.shape[-1] <= 1 or a.strides[-1] == a.itemsize)
            and all(s >= 0 and s % a.itemsize == 0 for s in a.strides[:-1]))


def engine_array(a: np.ndarray, dtype: np.dtype) -> np.ndarray:
    """`a` as the kernels read it: the dtype in native order, aligned, strides of whole elements
    (any layout, negative strides included); a copy only if needed."""
    if a.dtype == dtype and a.flags.aligned and (a.flags.c_contiguous or all(s % a.itemsize == 0 for s in a.strides)):
        return a
    # A fresh array is aligned (ascontiguousarray would hand an unaligned one back as it is).
    return np.array(a, dtype=dtype, order="C", copy=True)


_ORIGIN = (0, 0, 0)


def run_window(plan: Plan, src: np.ndarray, dst: np.ndarray, out_origin=_ORIGIN, box_origin=_ORIGIN,
               full_shape=None, margin: int = 0, coords: Optional[np.ndarray] = None) -> None:
    """The one engine call of the row kernels: dst (a window of the three-axis output at out_origin)
    from src (the box of the three-axis input at box_origin; with a margin, the whole input with it:
    with_margin). Both well-behaved, of one dtype. `coords`: a Given plan's coordinates of the window's
    grid, (interpolated, Z, Y, X) float64 (given_grid)."""
    form = plan.form
    separable, zoom, shift, grid_mode = form.separable
    # By position: keywords cost a small call a microsecond.
    _resample(src, dst, form.matrix9, form.offset3, plan.order, MODES[plan.mode], plan.cval, plan.interpolated,
              box_origin, plan.in3 if full_shape is None else full_shape, out_origin, separable, zoom, shift,
              grid_mode, None, float(plan.pad), coords, margin)


def given_grid(coords, grid) -> np.ndarray:
    """Given coordinates of points on the engine's three output axes `grid`, as the row kernels read
    them: float64, C-contiguous, (interpolated, Z, Y, X) (a copy only where the caller's are not so)."""
    return np.ascontiguousarray(coords, dtype=np.float64).reshape((coords.shape[0],) + tuple(grid))


def run_points(plan: Plan, src: np.ndarray, points: np.ndarray, dst: np.ndarray) -> None:
    """The one engine call of the point kernel: `dst` (flat) from `src` at `points` ((k, n), any real
    dtype), in blocks of points converted to float64."""
    for start in range(0, points.shape[1], POINTS_BLOCK):
        block = np.ascontiguousarray(points[:, start:start + POINTS_BLOCK], dtype=np.float64)
        _resample_points(src, block, dst[start:start + block.shape[1]], plan.order, MODES[plan.mode],
                         float(plan.cval), float(plan.pad))


def with_margin(plan: Plan, src: np.ndarray, out_count: int) -> Tuple[np.ndarray, int]:
    """(array, margin) for an engine call on the whole input `src` (the kernels' dtype; its engine
    axes, or fewer: the last of them):
    with 'nearest' and 'grid-constant' at orders 1 to 5, a copy with order + 1 samples more at both
    ends of every interpolated axis, holding what the mode reads past the edge (the edge sample, or
    cval), and that margin; else `src` and 0.

    The kernels then compute the voxels whose footprints reach past the edges in vector blocks too,
    where they otherwise go one voxel at a time (some 10 times slower each: a rotation's corners are
    a sixth of its voxels). The copy is made where it pays: always at orders 2 to 5 (whose
    coefficients are computed over the whole input anyway; a single volume's come with a margin
    instead: coefficients_with_margin), at order 1 for an input at most twice the output's size (a
    small window of a large input keeps its reads). 'grid-constant' needs cval exactly in the
    input's type (the one-voxel path uses it as the compute type holds it)."""
    if (plan.mode != "nearest" and plan.mode != "grid-constant") or plan.order < 1:
        return src, 0
    if plan.order == 1 and src.size > 2 * out_count:
        return src, 0
    fill = None
    if plan.mode == "grid-constant":
        compute = _dtypes.compute_dtype(src.dtype)
        with np.errstate(all="ignore"):
            fill = np.array(plan.cval).astype(src.dtype)
            exact = np.isfinite(plan.cval) and fill.astype(compute) == np.array(plan.cval).astype(compute)
        if not exact:
            return src, 0
    src3 = src.reshape((1,) * (3 - src.ndim) + src.shape)
    return padded(src3, 3 - plan.interpolated, plan.order + 1, fill), plan.order + 1


def with_coefficients(plan: Plan, source: np.ndarray, out_dtype, margin: bool = False) -> Tuple[Plan, np.ndarray]:
    """(plan, source) for the engine: for orders 2 to 5 with prefilter, the input's B-spline coefficients
    (padded as scipy pads them) and the plan that reads them; else both as they are. The coefficients
    are float64 for the types computed in binary64 and float32 for the others (half the memory and
    traffic; each line is filtered in float64 either way, and stored after every axis). With
    `margin`, a volume of three interpolated axes and no carried ones gets its coefficients with a
    margin (coefficients_with_margin; the plan's `margin` says so)."""
    if not needs_coefficients(plan):
        return plan, source
    reading = coefficient_plan(plan, out_dtype)
    if margin and not plan.batch and plan.interpolated == 3 and source.ndim == 3:
        coeffs = coefficients_with_margin(source, plan.order, plan.mode, plan.cval, reading.input.dtype)
        return reading.copy(margin=plan.order + 1), coeffs
    coeffs, _ = coefficients(source, len(plan.batch), plan.order, plan.mode, plan.cval, reading.input.dtype)
    return reading, coeffs


def needs_coefficients(plan: Plan) -> bool:
    """Whether the engine reads the input's B-spline coefficients rather than the input (orders 2 to 5
    with prefilter, a non-empty input)."""
    return plan.order >= 2 and plan.prefilter and plan.input.size > 0


def coefficient_plan(plan: Plan, out_dtype) -> Plan:
    """The plan that reads the coefficients with_coefficients computes for `plan`, made from the shapes
    alone: the input padded by PREPAD samples on both sides of every interpolated axis for the modes
    scipy pads for, `pad` the coordinate offset that follows, the coefficients' dtype (float64 or
    float32: the compute type), and no prefilter left to do."""
    shape, in3, pad = plan.input.shape, plan.in3, 0
    if plan.mode in PREPADDED_MODES:
        pad = PREPAD
        nbatch, k = len(plan.batch), plan.interpolated
        shape = tuple(shape[:nbatch]) + tuple(n + 2 * pad for n in shape[nbatch:])
        lead = len(in3) - k  # the axes added in front of the interpolated ones
        in3 = in3[:lead] + tuple(n + 2 * pad for n in in3[lead:])
    info = ArrayInfo(shape, _dtypes.compute_dtype(plan.input.dtype, out_dtype))
    return plan.copy(input=info, in3=in3, pad=pad, prefilter=False)


def fill_cval(plan: Plan, result: np.ndarray) -> None:
    """Every voxel of an output that reads no sample (an empty input, or a window that reads nothing
    with 'constant'): cval, stored as the kernels store it, with 'constant' and 'grid-constant'; 0 with
    the other modes, which extend the input's samples and have none to extend (scipy's output array
    starts as zeros; its kernels then read past the empty input, a value that is not defined)."""
    if MODES[plan.mode] > 1:
        result.fill(0)
        return
    cval = np.full(1, plan.cval, dtype=_dtypes.compute_dtype(result.dtype))
    result.fill(_dtypes.cast(cval, result.dtype)[0])


# Images per engine call when a batch is folded into the first engine axis: its
# coordinate is the image's index, exact in binary32 up to 2**24.
FOLD_LIMIT = 2**24


# Points whose given coordinates are converted to float64 at a time (when they are not already).
POINTS_BLOCK = 2**18


def point_transform(plan: Plan) -> dict:
    """The engine's point kernel's arguments for the coordinates of `plan`'s output voxels, which it
    computes from their indices with scipy's operations in scipy's order, in the kernel's coordinate
    type (binary64 at order 0, else the compute type): the matrix (interpolated input axes by output
    axes) and offset, or zoom, shift and grid_mode per axis for the separable form."""
    form = plan.form
    if form.kind == "separable":
        return dict(zoom=form.zoom, shift=form.shift, grid_mode=form.grid_mode)
    return dict(matrix=np.ascontiguousarray(form.matrix), offset=form.offset)


def execute_points(plan: Plan, source: np.ndarray, result: np.ndarray) -> None:
    """The whole output of a plan of more than three interpolated axes, into `result` (plan order, the
    kernels' dtype, C-contiguous): each index of the carried axes alone, by the engine's point kernel,
    at the caller's coordinates (Given) or at those it computes for the output's voxels (point_transform)."""
    kernel_dtype = result.dtype
    given = plan.form.kind == "given"
    if given:
        count = math.prod(plan.out3)
        points = plan.form.coords.reshape(plan.interpolated, count)
        dst_all = result.reshape(plan.batch + (count,))
    else:
        transform = point_transform(plan)
        dst_all = result.reshape(plan.batch + tuple(plan.out3))
    for index in np.ndindex(*plan.batch):
        src = engine_array(source[index], kernel_dtype)
        if given:
            run_points(plan, src, points, dst_all[index])
        else:
            _resample_points(src, None, dst_all[index], plan.order, MODES[plan.mode], plan.cval, float(plan.pad),
                             **transform)


def execute(plan: Plan, source: np.ndarray, out_arr: Optional[np.ndarray], out_dtype) -> np.ndarray:
    """The whole output of `plan` from `source` (the input's values, plan order, a real dtype): written
    into `out_arr` (plan order) and returned when given, else a new array in plan order."""
    requested = out_dtype if isinstance(out_dtype, np.dtype) else np.dtype(out_dtype)
    out_dtype = _dtypes.native(requested)
    if math.prod(plan.output_shape) == 0:  # nothing to compute: no coefficients, no copy
        return out_arr if out_arr is not None else np.empty(plan.output_shape, requested)
    plan, source = with_coefficients(plan, source, out_dtype, margin=not plan.points)
    kernel_dtype = _dtypes.kernel_dtype(plan.input.dtype, out_dtype)
    # The kernels write straight into the caller's array when they can (apart from the input and the
    # coordinates they read).
    direct = (out_arr is not None and out_arr.dtype == kernel_dtype and _well_behaved(out_arr)
              and (plan.form.kind != "given" or not np.may_share_memory(out_arr, plan.form.coords)))
    result = out_arr if direct else _empty(plan.output_shape, kernel_dtype)
    if plan.input.size == 0:
        fill_cval(plan, result)
    elif plan.points:
        target = result if result.flags.c_contiguous else np.empty(result.shape, kernel_dtype)
        execute_points(plan, source, target)
        if target is not result:
            result[...] = target
    else:
        _execute_rows(plan, source, result, kernel_dtype, direct)
    result = as_output(plan, result, out_dtype)
    if out_arr is None:
        return result if requested == out_dtype else result.astype(requested)
    if result is not out_arr:
        out_arr[...] = result
    return out_arr


def execute_volume(plan: Plan, source: np.ndarray, out_dtype) -> Optional[np.ndarray]:
    """The whole output of a plan of one volume (no carried axes) from `source` (the input, plan
    order), as a new array of `out_dtype`, in one engine call on the caller's arrays as they are (the
    engine takes one to three axes, and given coordinates of any points' shape), where the row
    kernels read and write that dtype and it is the input's: the most common call, whose cost is
    mostly this layer's. None for any other plan, which execute then runs. A complex input: its parts
    so, joined."""
    if source.dtype.kind == "c" and out_dtype is source.dtype:
        parts = [execute_volume(plan.copy(cval=cval), part, part.dtype) for part, cval, _ in
                 _dtypes.complex_parts(source, plan.cval)]
        return None if parts[0] is None or parts[1] is None else _dtypes.join_complex(parts[0], parts[1], out_dtype)
    if (out_dtype is not source.dtype or source.dtype not in _dtypes.KERNEL_SET or plan.points or source.size == 0
            or 0 in plan.out3):
        return None
    if needs_coefficients(plan) and _dtypes.compute_dtype(source.dtype, source.dtype) != source.dtype:
        return None  # the kernels read coefficients of another dtype, and store into it
    plan, source = with_coefficients(plan, source, source.dtype, margin=True)
    shape = plan.output_shape
    result = _empty(shape if len(shape) <= 3 else plan.out3, source.dtype)
    coords = np.ascontiguousarray(plan.form.coords, dtype=np.float64) if plan.form.kind == "given" else None
    if plan.margin:
        run_window(plan, source, result, margin=plan.margin, coords=coords)
    else:
        held, margin = with_margin(plan, engine_array(source, source.dtype), result.size)
        run_window(plan, held, result, margin=margin, coords=coords)
    return result if len(shape) <= 3 else result.reshape(shape)


def _execute_rows(plan: Plan, source: np.ndarray, result: np.ndarray, kernel_dtype: np.dtype, callers: bool) -> None:
    """The whole output of a plan of the row kernels into `result` (plan order, the kernels' dtype; the
    caller's array when `callers`, which may hold the input too): one engine call per index of the
    carried axes (none when they fold into the first engine axis), each on the three-axis views of
    the input and the output."""
    coords = given_grid(plan.form.coords, plan.out3) if plan.form.kind == "given" else None
    if plan.margin:  # one volume (no carried axes), its coefficients with a margin
        src_all = source
    else:
        plan = folded(plan)
        src_all = engine_array(source, kernel_dtype)
        if callers and np.may_share_memory(src_all, result):
            src_all = src_all.copy()
        src_all = src_all.reshape(plan.batch + plan.in3)
    dst_all = result.reshape(plan.batch + plan.out3)
    copied = not result.flags.c_contiguous and not np.may_share_memory(dst_all, result)  # the reshape copied
    if copied:
        dst_all = np.empty(plan.batch + plan.out3, dtype=kernel_dtype)
    for index in np.ndindex(*plan.batch) if plan.batch else ((),):
        src, dst = src_all[index], dst_all[index]
        if plan.margin:
            run_window(plan, src, dst, margin=plan.margin, coords=coords)
        elif not plan.folded:
            held, margin = with_margin(plan, engine_array(src, kernel_dtype), dst.size)
            run_window(plan, held, dst, margin=margin, coords=coords)
        else:
            for start in range(0, dst.shape[0], FOLD_LIMIT):  # each part a batch of its own
                part, target = src[start:start + FOLD_LIMIT], dst[start:start + FOLD_LIMIT]
                held, margin = with_margin(plan, engine_array(part, kernel_dtype), target.size)
                run_window(plan, held, target, full_shape=part.shape, margin=margin)
    if copied:
        result[...] = dst_all.reshape(result.shape)


# ---- windows -----------------------------------------------------------------------------------


def _split(plan: Plan, values: Sequence[int], pad: int = 0):
    """(batch part, the three engine axes) of per-output-axis values, the transformed axes padded
    in front with `pad`."""
    nbatch = len(plan.batch)
    rest = tuple(values[nbatch:])
    return tuple(values[:nbatch]), (pad,) * (3 - len(rest)) + rest


def check_window(plan: Plan, start: Sequence[int], stop: Sequence[int]) -> Tuple[Tuple[int, ...], Tuple[int, ...]]:
    start, stop = tuple(int(v) for v in start), tuple(int(v) for v in stop)
    shape = plan.output_shape
    if len(start) != len(shape) or len(stop) != len(shape) or any(
            not 0 <= a <= b <= n for a, b, n in zip(start, stop, shape)):
        raise ValueError(f"window: expected 0 <= start <= stop <= {shape} per axis, got start {start}, stop {stop}")
    return start, stop


def input_box(plan: Plan, start: Sequence[int], stop: Sequence[int]) -> Optional[Box]:
    """(start, stop) per input axis of the box that output voxels [start, stop) read, or None when
    they read none (every voxel cval outright, or an empty window)."""
    start, stop = check_window(plan, start, stop)
    if any(a == b for a, b in zip(start, stop)) or plan.input.size == 0:
        return None
    b0, t0 = _split(plan, start)
    b1, t1 = _split(plan, stop, pad=1)
    form = plan.form
    box = _input_box(_dtypes.native(plan.input.dtype), form.matrix9, form.offset3, plan.order, MODES[plan.mode],
                     tuple(b - a for a, b in zip(t0, t1)), interpolated=plan.interpolated, full_shape=plan.in3,
                     out_origin=t0, pad=float(plan.pad), **dict(zip(("separable", "zoom", "shift", "grid_mode"),
                                                                     form.separable)))
    if box is None:
        return None
    lo, hi = box
    k = plan.input.ndim - len(plan.batch)  # transformed input axes: the last k of the three
    return tuple(zip(b0, b1)) + tuple(zip(lo[3 - k:], hi[3 - k:]))


def kernel_dtype_of(plan: Plan, out_dtype) -> np.dtype:
    """The dtype the kernels read and write for `plan` with results of `out_dtype` (_dtypes.kernel_dtype)."""
    return _dtypes.kernel_dtype(plan.input.dtype, out_dtype)


def compute_window(plan: Plan, source: Optional[np.ndarray], box: Optional[Box], start: Sequence[int],
                   stop: Sequence[int], out_dtype) -> np.ndarray:
    """Output voxels [start, stop) as an array of `out_dtype`, from `source`, the input's values in
    `box` (as input_box gave it; None when it is None)."""
    start, stop = check_window(plan, start, stop)
    shape = tuple(b - a for a, b in zip(start, stop))
    out_dtype = _dtypes.native(out_dtype)
    kernel_dtype = kernel_dtype_of(plan, out_dtype)
    # As the in-memory call's result: large windows on huge pages (fewer page faults).
    result = _empty(shape, kernel_dtype)
    if result.size == 0:
        return result.astype(out_dtype)
    fill_window(plan, source, box, start, result)
    return as_output(plan, result, out_dtype)


def as_output(plan: Plan, result: np.ndarray, out_dtype) -> np.ndarray:
    """A result of `plan` computed in the kernels' dtype, stored as `out_dtype` in native byte order (as
    the kernels store it, when the two differ)."""
    if result.dtype == _dtypes.native(out_dtype):
        return result
    return _dtypes.cast(result, out_dtype, binary64_rule=plan.order == 0)


def fill_window(plan: Plan, source: Optional[np.ndarray], box: Optional[Box], start: Sequence[int],
                result: np.ndarray) -> None:
    """Writes output voxels [start, start + result.shape) into `result` (an array the kernels can write,
    of the kernels' dtype), from `source`, the input's values in `box` (None when input_box gave None)."""
    if result.size == 0:
        return
    if plan.input.size == 0:  # as the whole result: cval (or, for the other modes, the same error)
        fill_cval(plan, result)
        return
    start, shape = tuple(start), result.shape
    kernel_dtype = result.dtype
    nbatch = len(plan.batch)
    if box is None and plan.mode == "constant":  # nothing read: every voxel is cval outright
        fill_cval(plan, result)
        return
    if box is None:
        # Nothing to read, but with 'grid-constant' each voxel is cval weighted: the engine computes
        # it from an empty box, with no read (it sends such a box down its one-voxel path).
        box = tuple((a, a) for a in start[:nbatch]) + ((0, 0),) * (len(start) - nbatch)
        source = np.empty([0] * len(start), dtype=plan.input.dtype)
    if tuple(source.shape) != tuple(b - a for a, b in box):
        raise ValueError(f"source: expected the input box's shape {tuple(b - a for a, b in box)}")
    src = engine_array(source, kernel_dtype)
    _, t0 = _split(plan, start)
    _, box0 = _split(plan, [a for a, _ in box])
    src3 = src.reshape(src.shape[:nbatch] + (1,) * (3 - (src.ndim - nbatch)) + src.shape[nbatch:])
    dst3 = result.reshape(shape[:nbatch] + (1,) * (3 - (result.ndim - nbatch)) + shape[nbatch:])
    for index in np.ndindex(*shape[:nbatch]):
        part = src3[index] if src3.size else src3.reshape(src3.shape[nbatch:])
        run_window(plan, engine_array(part, kernel_dtype), dst3[index], out_origin=t0, box_origin=box0)

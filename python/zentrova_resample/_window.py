"""Windows of the output grid: any box of the output, computed from exactly the
input box it reads, bit for bit equal to the same voxels of the whole result.

Every voxel's value depends only on its own indices and the transform, so a
window is the whole computation restricted to its voxels. The input box is
found with the kernels' own arithmetic: each coordinate is monotone in each
output index separately, so its extremes over a window lie at the window's
corners; the box is then what those coordinate ranges read under the border
mode (for the folding modes: what the whole coordinate range between them
reads).
"""

from __future__ import annotations

from typing import Optional, Sequence, Tuple

import numpy as np

from . import _dtypes
from ._affine import MODES, Plan, engine_array, fill_cval, run_window
from ._engine import empty as _empty
from ._engine import input_box as _input_box

Box = Tuple[Tuple[int, int], ...]  # (start, stop) per axis


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
    box = _input_box(_dtypes.native(plan.input.dtype), tuple(plan.matrix.ravel().tolist()),
                     tuple(plan.offset.tolist()),
                     plan.order, MODES[plan.mode], tuple(b - a for a, b in zip(t0, t1)),
                     interpolated=plan.interpolated, full_shape=plan.in3, out_origin=t0,
                     separable=plan.separable, zoom=tuple(plan.zoom.tolist()), shift=tuple(plan.shift.tolist()),
                     grid_mode=plan.grid_mode)
    if box is None:
        return None
    lo, hi = box
    k = plan.input.ndim - len(plan.batch)  # transformed input axes: the last k of the three
    return tuple(zip(b0, b1)) + tuple(zip(lo[3 - k:], hi[3 - k:]))


def kernel_dtype_of(plan: Plan, out_dtype) -> np.dtype:
    """The dtype the kernels read and write for `plan` with results of `out_dtype`: the input's (native)
    when the two are one dtype, else the compute type. A source in it is read without a conversion."""
    in_dtype, out_dtype = _dtypes.native(plan.input.dtype), _dtypes.native(out_dtype)
    return in_dtype if in_dtype == out_dtype else _dtypes.compute_dtype(in_dtype, out_dtype)


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
    return as_output(result, out_dtype)


def as_output(result: np.ndarray, out_dtype) -> np.ndarray:
    """A window computed in the kernels' dtype, stored as `out_dtype` in native byte order (as the
    kernels store it, when the two differ)."""
    return result if result.dtype == _dtypes.native(out_dtype) else _dtypes.cast(result, out_dtype)


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
    if box is None:
        # Nothing to read; the engine still computes every voxel (cval outright, or with
        # 'grid-constant' cval weighted), from an empty box.
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

"""A plan run on the caller's arrays: in memory at once, or lazily for a dask input (the one place that
chooses), in the caller's axis order, a complex input as its real and imaginary parts."""

from __future__ import annotations

from dataclasses import replace
from typing import Optional

import numpy as np

from . import _dtypes
from ._engine import empty as _empty
from ._execute import execute
from ._plan import Plan, is_dask_array


def check_no_output_chunks(output_chunks) -> None:
    """output_chunks is for a dask input only."""
    if output_chunks is not None:
        raise TypeError("output_chunks: only for a dask.array input (a NumPy input gives one NumPy result)")


def run(plan: Plan, input, out_arr: Optional[np.ndarray], out_dtype, output_chunks=None, label: str = "resample"):
    """The result of a plan made from `input`: computed now (into `out_arr` when given), or for a dask
    input a lazy dask array of `output_chunks` (`label` names its tasks)."""
    if is_dask_array(input):
        from ._dask import run_lazy
        return run_lazy(plan, input, out_dtype, output_chunks, label)
    check_no_output_chunks(output_chunks)
    x = np.asarray(input)
    if not _dtypes.is_complex(x.dtype):
        return _run_real(plan, x, out_arr, out_dtype)
    out = out_arr if out_arr is not None else new_output(plan.caller_shape, out_dtype)
    for part, cval, dst in complex_parts(plan, x, out):
        _run_real(replace(plan, cval=cval), part, dst, dst.dtype)
    return out


def complex_parts(plan: Plan, x, out=None):
    """(part of x, cval of that part, part of out) for the real and the imaginary parts."""
    cval = complex(plan.cval)
    return ((x.real, cval.real, None if out is None else out.real),
            (x.imag, cval.imag, None if out is None else out.imag))


def new_output(shape, dtype) -> np.ndarray:
    """A C-contiguous array of unset values for a result (the engine's memory, for a native dtype)."""
    dtype = np.dtype(dtype)
    return _empty(shape, dtype) if dtype.isnative else np.empty(shape, dtype)


def _run_real(plan: Plan, x: np.ndarray, out_arr: Optional[np.ndarray], out_dtype) -> np.ndarray:
    """A real input's result in the caller's axis order: C-contiguous as scipy's when new."""
    if out_arr is None and plan.reordered:
        out_arr = new_output(plan.caller_shape, out_dtype)
    target = None if out_arr is None else plan.arrange_output(out_arr)
    result = execute(plan, plan.arrange_input(x), target, out_dtype)
    return result if out_arr is None else out_arr

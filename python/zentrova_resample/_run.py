"""A plan run on the caller's arrays: in memory at once, or lazily where the input (or the given
coordinates) is a dask array (the one place that chooses), in the caller's axis order, a complex
input as its real and imaginary parts."""

from __future__ import annotations

from typing import Optional

import numpy as np

from . import _dtypes
from ._execute import execute, execute_volume
from ._plan import Plan, is_dask_array
from ._store import StoreOutput


def check_no_output_chunks(output_chunks) -> None:
    """output_chunks is for a dask input only."""
    if output_chunks is not None:
        raise TypeError("output_chunks: only for a dask.array input (a NumPy input gives one NumPy result)")


def run(plan: Plan, input, out_arr: Optional[np.ndarray], out_dtype, output_chunks=None, label: str = "resample"):
    """The result of a plan made from `input`: computed now (into `out_arr` when given), or for a dask
    input or dask coordinates a lazy dask array of `output_chunks` (`label` names its tasks); with a
    store as `out_arr` (StoreOutput), computed and written into it (region by region by the dask
    tasks for a dask input), and the store's array returned."""
    if type(input) is np.ndarray and out_arr is None and output_chunks is None and not plan.batch \
            and type(plan.form.coords if plan.form.kind == "given" else input) is np.ndarray:
        result = execute_volume(plan, input, out_dtype)  # the most common call
        if result is not None:
            return result
    if isinstance(out_arr, StoreOutput):  # written into a store, region by region
        if not is_dask_array(input) and not (plan.form.kind == "given" and is_dask_array(plan.form.coords)):
            check_no_output_chunks(output_chunks)
            result = run(plan, input, None, out_dtype, None, label)
            return out_arr.write(result, out_dtype)
        from ._dask import store_lazy
        return store_lazy(plan, input, out_arr, out_dtype, output_chunks, label)
    if is_dask_array(input) or (plan.form.kind == "given" and is_dask_array(plan.form.coords)):
        from ._dask import run_lazy
        return run_lazy(plan, input, out_dtype, output_chunks, label)
    check_no_output_chunks(output_chunks)
    x = input if type(input) is np.ndarray else np.asarray(input)
    if x.dtype.kind != "c":
        return _run_real(plan, x, out_arr, out_dtype)
    out = out_arr if out_arr is not None else _dtypes.new_array(plan.caller_shape, out_dtype)
    for part, cval, dst in _dtypes.complex_parts(x, plan.cval, out):
        _run_real(plan.copy(cval=cval), part, dst, dst.dtype)
    return out


def _run_real(plan: Plan, x: np.ndarray, out_arr: Optional[np.ndarray], out_dtype) -> np.ndarray:
    """A real input's result in the caller's axis order: C-contiguous as scipy's when new."""
    if out_arr is None and plan.reordered:
        out_arr = _dtypes.new_array(plan.caller_shape, out_dtype)
    target = None if out_arr is None else plan.arrange_output(out_arr)
    result = execute(plan, plan.arrange_input(x), target, out_dtype)
    return result if out_arr is None else out_arr

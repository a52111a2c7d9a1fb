"""Dask inputs sampled along more than three axes (a transform that moves them all, or map_coordinates of
such an input), which the row kernels and their input boxes do not take: one task makes the whole input
(or its B-spline coefficients, once) the source that every output chunk samples through the engine's
one-point kernel. Each chunk's voxels take the coordinates and operations of the in-memory result, so the
lazy result equals it bit for bit at every order; the price is the whole input in one task's memory, as
in scipy's in-memory call."""

from __future__ import annotations

from typing import Any, Dict

import dask.array as da
import numpy as np

from ._dask_graph import Key, layer_graph, whole_source
from ._engine import resample_points as _resample_points
from ._execute import as_output, fill_cval, point_transform
from ._plan import MODES, Plan


def transform_lazy(plan: Plan, x: da.Array, out_dtype: np.dtype, chunks, token: str, label: str) -> da.Array:
    """The lazy result (plan order, `chunks`) of a plan of more than three interpolated axes on the dask
    array `x` (real, plan order)."""
    name = f"zentrova-{label}-{token}"
    dsk: Dict[Key, Any] = {}
    whole, source = whole_source(dsk, plan, x, out_dtype, token)
    starts = [np.cumsum((0,) + tuple(c[:-1])) for c in chunks]
    for index in np.ndindex(*[len(c) for c in chunks]):
        start = tuple(int(s[i]) for s, i in zip(starts, index))
        stop = tuple(a + int(c[i]) for a, c, i in zip(start, chunks, index))
        dsk[(name,) + index] = (_transform_chunk, plan, np.dtype(out_dtype), start, stop, source)
    graph = layer_graph(name, dsk, [whole])
    return da.Array(graph, name, chunks, meta=np.empty((0,) * len(chunks), dtype=out_dtype))


def _transform_chunk(plan: Plan, out_dtype: np.dtype, start, stop, source) -> np.ndarray:
    """The output voxels in [start, stop) (plan order), sampled from the whole source at the coordinates
    the engine computes from their indices in the whole output, as for the in-memory result."""
    src, reading = source
    nb = len(plan.batch)
    result = np.empty(tuple(b - a for a, b in zip(start, stop)), dtype=src.dtype)
    if result.size and plan.input.size == 0:
        fill_cval(plan, result)
    elif result.size:
        transform = point_transform(reading)
        for index in np.ndindex(*result.shape[:nb]):
            at = tuple(a + i for a, i in zip(start[:nb], index))
            _resample_points(src[at], None, result[index], reading.order, MODES[reading.mode], reading.cval,
                             float(reading.pad), out_origin=start[nb:], **transform)
    return as_output(plan, result, out_dtype)

"""map_coordinates of dask arrays: a lazy result chunked as the points, each chunk one task that reads
only the input box its coordinates reach.

The coordinates' extent per chunk (their smallest and largest value along each axis, and whether any
is NaN) is computed first, a small reduction over the coordinates; from it each chunk's box follows:
the samples its footprints read, a sample of slack for the coordinates' rounding, the whole axis where
a folding mode sends a coordinate back in from outside. For orders 2 to 5 with prefilter the box is
one of coefficients, which the task computes from the input around it, widened by the halo of the
resampling functions' dask path (so equal to the in-memory coefficients within the same bound).
"""

from __future__ import annotations

import math
from typing import Any, Dict, List, Optional, Tuple

import dask
import dask.array as da
import numpy as np
from dask.base import tokenize

from . import _dtypes
from ._dask_graph import (_bounds, _check_tiling, add_scope, check_output_chunks, layer_graph, one_view, region_reads,
                          row_chunks, spline_coefficients, whole_source, widen)
from ._execute import (as_output, coefficient_plan, engine_array, fill_cval, given_grid, needs_coefficients, run_points,
                       run_window)
from ._plan import Given, Plan, grid3

Box = Tuple[Tuple[int, int], ...]


def _extent(block: np.ndarray) -> np.ndarray:
    """(k, 3): per axis of a coordinate block, its smallest and largest value and whether one is NaN."""
    flat = np.asarray(block, dtype=np.float64).reshape(block.shape[0], -1)
    out = np.zeros((block.shape[0], 3))
    if flat.shape[1] == 0:
        out[:, 0], out[:, 1] = np.inf, -np.inf
        return out
    with np.errstate(invalid="ignore"):
        out[:, 0], out[:, 1] = np.nanmin(flat, axis=1, initial=np.inf), np.nanmax(flat, axis=1, initial=-np.inf)
    out[:, 2] = np.isnan(flat).any(axis=1)
    return out


def _axis_box(lo: float, hi: float, nan: bool, n: int, order: int, mode: str) -> Tuple[int, int]:
    """[a, b) of the samples (of an axis of n, coefficients' coordinates) that coordinates in [lo, hi]
    read, with a sample of slack either side for their rounding; the whole axis for NaN, or where a
    folding mode maps a coordinate outside [0, n - 1] back in; (0, 0) where none reads a sample."""
    if nan:
        return 0, n
    if lo > hi:  # no coordinate at all
        return 0, 0
    reach = order // 2 + 2  # the footprint's half and a sample of slack
    if mode == "nearest":  # beyond the edges, the edge samples
        lo, hi = min(max(lo, 0.0), n - 1.0), min(max(hi, 0.0), n - 1.0)
    elif mode == "constant":  # outside [0, n - 1]: cval, no read
        lo, hi = max(lo, 0.0), min(hi, n - 1.0)
    elif mode == "grid-constant":  # footprints reach in from just outside
        lo, hi = max(lo, -reach - 1.0), min(hi, n + reach + 1.0)
    elif lo < 0 or hi > n - 1:  # a folding mode brings coordinates back from anywhere
        return 0, n
    if lo > hi:
        return 0, 0
    a = max(0, math.floor(lo) - reach)
    b = min(n, math.floor(hi) + reach + 1)
    if mode == "grid-wrap" and (a == 0 or b == n):  # a footprint across an edge reads the other end
        return 0, n
    if mode != "grid-constant" and mode != "nearest":  # footprints at an edge read mirrored samples by it
        if a == 0:
            b = max(b, min(n, order + 2))
        if b == n:
            a = min(a, max(0, n - order - 2))
    return (a, b) if a < b else (0, 0)


def _point_chunks(coords: da.Array, out_dtype: np.dtype, output_chunks) -> Tuple[Tuple[int, ...], ...]:
    """The result's chunks: `output_chunks`, else the coordinates' chunks of points, else rows."""
    points = tuple(int(n) for n in coords.shape[1:])
    if output_chunks is not None:
        return check_output_chunks(output_chunks, points, out_dtype)
    if coords.numblocks[0] == 1 and coords.npartitions > 1:
        return tuple(tuple(int(c) for c in axis) for axis in coords.chunks[1:])
    return row_chunks(points, out_dtype)


def map_lazy(plan: Plan, x: da.Array, out_dtype: np.dtype, output_chunks=None, *, coords: da.Array) -> da.Array:
    """The lazy map_coordinates of `x` (real, no carried axes) at `coords` (shape (ndim, *points)), of
    dtype `out_dtype`, chunked as `output_chunks`, else as the coordinates."""
    out_dtype = np.dtype(out_dtype)
    plan = plan.copy(form=Given(None))  # the tasks take their coordinates from the graph, not the plan
    if plan.interpolated > 3:
        return _map_lazy_whole(plan, x, coords, out_dtype, output_chunks)
    chunks = _point_chunks(coords, out_dtype, output_chunks)
    coords = coords.rechunk(((coords.shape[0],),) + chunks)
    spline = needs_coefficients(plan)
    task_plan = coefficient_plan(plan, out_dtype) if spline else plan
    k = plan.interpolated
    full = tuple(task_plan.input.shape)
    stats = _chunk_extents(coords)
    token = tokenize(x.name, coords.name, plan.order, plan.mode, plan.cval, plan.prefilter, str(plan.input.dtype),
                     out_dtype.str, chunks)
    name, read = f"zentrova-map_coordinates-{token}", f"zentrova-read-{token}"
    scope = (f"zentrova-scope-{token}",)  # the store chunks one computation shares (region_reads)
    in_bounds = [_bounds(c) for c in x.chunks]
    dsk: Dict[Any, Any] = {}
    rows: Dict[Tuple[int, ...], List[Box]] = {}  # the regions each row of output chunks reads
    for index in np.ndindex(*[len(c) for c in chunks]):
        ext = stats[index]
        box = tuple(_axis_box(ext[a, 0] + task_plan.pad, ext[a, 1] + task_plan.pad, bool(ext[a, 2]), full[a],
                              plan.order, plan.mode) for a in range(k))
        empty = any(a == b for a, b in box)
        if empty:
            regions: List[Tuple[Box, Tuple[int, ...]]] = []
        elif spline:
            widened, regions = widen(task_plan, box, plan.input.dtype)
        else:
            regions = [(box, (0,) * k)]
        rows.setdefault(index[:-1], []).extend(region for region, _ in regions)
        keys, places, sizes = region_reads(dsk, x, read, index, in_bounds, regions, scope)
        coord_key = (coords.name, 0) + index
        dsk[(name,) + index] = (_map_chunk, task_plan, None if empty else box, widened if spline and not empty else None,
                                out_dtype, coord_key, places, sizes, keys)
    add_scope(dsk, scope, x, list(rows.values()))
    graph = layer_graph(name, dsk, [x, coords])
    return da.Array(graph, name, chunks, meta=np.empty((0,) * len(chunks), dtype=out_dtype))


def _chunk_extents(coords: da.Array) -> np.ndarray:
    """Per chunk of the points, the (k, 3) extent of its coordinates, computed now."""
    blocks = coords.to_delayed()[0]
    flat = dask.compute(*[dask.delayed(_extent)(b) for b in blocks.ravel()])
    out = np.empty(blocks.shape, dtype=object)
    for i, e in enumerate(flat):
        out.ravel()[i] = e
    return out


def _map_chunk(plan: Plan, box: Optional[Box], widened, out_dtype: np.dtype, coord_block: np.ndarray,
               places, sizes, pieces) -> np.ndarray:
    """One output chunk: the input (or its coefficients) in `box`, sampled at the chunk's coordinates."""
    k = plan.interpolated
    shape = tuple(coord_block.shape[1:])
    kernel_dtype = _dtypes.kernel_dtype(plan.input.dtype, out_dtype)
    result = np.empty(shape, dtype=kernel_dtype)
    if result.size == 0:
        return result.astype(out_dtype)
    if plan.input.size == 0:  # no sample to read: as in memory
        fill_cval(plan, result)
        return as_output(plan, result, out_dtype)
    if box is None:  # no coordinate reads a sample: cval outright ('constant') or every point cval-weighted
        source = np.empty((0,) * k, dtype=kernel_dtype)
        box = ((0, 0),) * k
    elif widened is not None:
        source = spline_coefficients(plan, widened, places, sizes, pieces)
    else:
        shape_box = tuple(b - a for a, b in box)
        _check_tiling(shape_box, places, sizes, pieces)
        source = np.asarray(pieces[0]) if len(pieces) == 1 else one_view(shape_box, places, pieces)
        if source is None:
            source = np.empty(shape_box, dtype=kernel_dtype)
            for place, piece in zip(places, pieces):
                source[tuple(slice(p, p + n) for p, n in zip(place, np.shape(piece)))] = piece
    src = engine_array(source, kernel_dtype).reshape((1,) * (3 - k) + tuple(b - a for a, b in box))
    grid = grid3(shape)
    given = given_grid(coord_block, grid)
    full = (1,) * (3 - k) + tuple(plan.input.shape)
    origin = (0,) * (3 - k) + tuple(a for a, _ in box)
    run_window(plan, src, result.reshape(grid), box_origin=origin, full_shape=full, coords=given)
    return as_output(plan, result, out_dtype)


def _map_lazy_whole(plan: Plan, x: da.Array, coords: da.Array, out_dtype: np.dtype, output_chunks) -> da.Array:
    """map_lazy of more than three input axes: every chunk of points samples the whole input, or its
    coefficients (see _dask_points)."""
    chunks = _point_chunks(coords, out_dtype, output_chunks)
    coords = coords.rechunk(((coords.shape[0],),) + chunks)
    token = tokenize(x.name, coords.name, plan.order, plan.mode, plan.cval, plan.prefilter, str(plan.input.dtype),
                     out_dtype.str, chunks)
    name = f"zentrova-map_coordinates-{token}"
    dsk: Dict[Any, Any] = {}
    whole, source = whole_source(dsk, plan, x, out_dtype, token)
    for index in np.ndindex(*[len(c) for c in chunks]):
        dsk[(name,) + index] = (_map_whole_chunk, plan, out_dtype, (coords.name, 0) + index, source)
    graph = layer_graph(name, dsk, [whole, coords])
    return da.Array(graph, name, chunks, meta=np.empty((0,) * len(chunks), dtype=out_dtype))


def _map_whole_chunk(plan: Plan, out_dtype: np.dtype, coord_block: np.ndarray, source) -> np.ndarray:
    """One output chunk of _map_lazy_whole, sampled from the whole source."""
    src, reading = source
    result = np.empty(tuple(coord_block.shape[1:]), dtype=src.dtype)
    if result.size and plan.input.size == 0:
        fill_cval(plan, result)
    elif result.size:
        run_points(reading, src, np.asarray(coord_block).reshape(coord_block.shape[0], -1), result.reshape(-1))
    return as_output(plan, result, out_dtype)

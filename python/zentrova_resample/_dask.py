"""Resampling of dask arrays: a lazy result whose every chunk is one output window, computed from
exactly the input box it reads.

The plan is made from the input's shape and dtype alone (nothing is computed to build the graph).
Then, for each output chunk:

* its input box is found with the kernels' own arithmetic (``_window.input_box``): no guessed margin;
* the box is fetched as one slice of the dask input: one read task per input chunk that the box cuts
  (a chunk that lies wholly inside the box is taken as it is), and the chunk's task assembles them;
* the chunk's task computes the window (``_window.compute_window``), bit for bit the same voxels as the
  in-memory call on the whole array;
* a chunk whose box is empty (it samples only cval) has no read at all: its task fills it without
  touching the input.

The graph is one layer: one task per output chunk plus its read tasks, no rechunk of the input.
"""

from __future__ import annotations

import math
import operator
from typing import Any, Dict, List, Optional, Sequence, Tuple

import dask.array as da
import numpy as np
from dask.array.core import normalize_chunks
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

from . import _dtypes
from ._affine import MODES, ArrayInfo, Plan, plan_affine
from ._window import Box, compute_window, input_box

Chunks = Tuple[Tuple[int, ...], ...]
Key = Tuple[Any, ...]

# The size of an output chunk when neither the caller nor the input's chunking gives one.
DEFAULT_CHUNK_BYTES = 128 * 2**20


# ---- the input -----------------------------------------------------------------------------------

def describe(x: da.Array) -> ArrayInfo:
    """The input's shape and dtype, for a plan; ValueError for unknown chunk sizes."""
    if any(math.isnan(c) for axis in x.chunks for c in axis):
        raise ValueError("input: the dask array has unknown chunk sizes (NaN); give them with "
                         "x.compute_chunk_sizes() or x.rechunk(...) first")
    return ArrayInfo(tuple(int(n) for n in x.shape), np.dtype(x.dtype))


def check_lazy_output(output) -> None:
    """`output` of a lazy result: a dtype or None, not an array to fill."""
    if isinstance(output, np.ndarray) or (hasattr(output, "__array__") and not isinstance(output, type)):
        raise TypeError("output: with a dask input the result is a lazy dask array; give a dtype or None "
                        "(and store the result with dask.array.store or to_zarr)")


# ---- the output chunks ---------------------------------------------------------------------------

def row_chunks(shape: Sequence[int], dtype: np.dtype, limit: int = DEFAULT_CHUNK_BYTES) -> Chunks:
    """Chunks of about `limit` bytes made of whole rows (the last axis is not cut unless a row alone
    is larger), the other axes cut into near-equal parts."""
    shape = tuple(shape)
    if not shape:
        return ()
    dtype = np.dtype(dtype)
    whole_rows = shape[-1] * dtype.itemsize <= limit
    spec = ("auto",) * (len(shape) - 1) + ((-1,) if whole_rows else ("auto",))
    auto = normalize_chunks(spec, shape=shape, limit=limit, dtype=dtype)
    balanced = []
    for n, c in zip(shape, auto):
        parts = len(c)
        size = -(-n // parts) if n else 0
        balanced.append(tuple(size for _ in range(parts - 1)) + (n - size * (parts - 1),) if n else (0,))
    return tuple(balanced)


def output_chunks_for(output_chunks, plan: Plan, x: da.Array, dtype: np.dtype) -> Chunks:
    """The output's chunks: the caller's (any form dask.array takes, checked to tile the output
    shape), else the input's when the shapes are equal, else about 128 MiB of whole rows."""
    shape = tuple(plan.output_shape)
    if output_chunks is None:
        if shape == tuple(x.shape):
            return tuple(tuple(int(c) for c in axis) for axis in x.chunks)
        return row_chunks(shape, dtype)
    try:
        chunks = normalize_chunks(output_chunks, shape=shape, limit=DEFAULT_CHUNK_BYTES, dtype=dtype)
    except (ValueError, TypeError, ZeroDivisionError) as exc:
        raise ValueError(f"output_chunks: {output_chunks!r} does not tile the output shape {shape} ({exc})") \
            from None
    if len(chunks) != len(shape):
        raise ValueError(f"output_chunks: expected chunks for {len(shape)} axes (output shape {shape}), "
                         f"got {len(chunks)}")
    for axis, (n, c) in enumerate(zip(shape, chunks)):
        ok = all(isinstance(v, (int, np.integer)) and not isinstance(v, bool) and v >= 0 for v in c)
        if not ok or sum(c) != n or (n > 0 and 0 in c):
            raise ValueError(f"output_chunks: the chunks of axis {axis} must be positive integers adding up to "
                             f"its length {n} (output shape {shape}), got {c}")
    return tuple(tuple(int(v) for v in c) for c in chunks)


# ---- the graph -----------------------------------------------------------------------------------

def _bounds(chunks: Sequence[int]) -> np.ndarray:
    return np.concatenate([[0], np.cumsum(chunks, dtype=np.int64)])


def _reads(bounds: List[np.ndarray], box: Box) -> List[Tuple[Tuple[int, ...], Tuple[slice, ...],
                                                                        Tuple[int, ...], bool]]:
    """Per input chunk that `box` cuts: (its block index, the slice of it inside the box, where that
    slice goes in the box, whether the slice is the whole chunk)."""
    per_axis = []
    for (a, b), edges in zip(box, bounds):
        first = int(np.searchsorted(edges, a, side="right")) - 1
        last = int(np.searchsorted(edges, b, side="left"))
        axis = []
        for j in range(first, last):
            lo, hi = int(edges[j]), int(edges[j + 1])
            s, e = max(a, lo), min(b, hi)
            axis.append((j, slice(s - lo, e - lo), s - a, s == lo and e == hi))
        per_axis.append(axis)
    out = []
    for combo in np.ndindex(*[len(axis) for axis in per_axis]):
        parts = [per_axis[i][k] for i, k in enumerate(combo)]
        out.append((tuple(p[0] for p in parts), tuple(p[1] for p in parts), tuple(p[2] for p in parts),
                    all(p[3] for p in parts)))
    return out


def compute_chunk(plan: Plan, box: Optional[Box], start: Tuple[int, ...], stop: Tuple[int, ...],
                  out_dtype: np.dtype, places: Sequence[Tuple[int, ...]], pieces: Sequence[np.ndarray]) -> np.ndarray:
    """One output chunk (a task): the input box assembled from its pieces (each at its place in the box),
    then the window computed from it. Memory: the chunk, the box (the pieces are the read tasks'
    results), and with an input and output of different dtypes the chunk in the compute type."""
    source = None
    if box is not None:
        shape = tuple(b - a for a, b in box)
        if len(pieces) == 1 and tuple(pieces[0].shape) == shape:
            source = np.asarray(pieces[0])
        else:
            source = np.empty(shape, dtype=_dtypes.native(plan.input.dtype))
            for place, piece in zip(places, pieces):
                source[tuple(slice(p, p + n) for p, n in zip(place, piece.shape))] = piece
    result = compute_window(plan, source, box, start, stop, out_dtype)
    return result if result.dtype == out_dtype else result.astype(out_dtype)


def resample(plan: Plan, x: da.Array, out_dtype: np.dtype, output_chunks=None, label: str = "resample") -> da.Array:
    """The lazy result of `plan` (made from ``describe(x)``) on the dask array `x`: see the module's text."""
    out_dtype = np.dtype(out_dtype)
    chunks = output_chunks_for(output_chunks, plan, x, out_dtype)
    if plan.input.size == 0 and math.prod(plan.output_shape) and MODES[plan.mode] > 1:
        raise ValueError(f"input: an empty axis can only be extended with mode 'constant' or 'grid-constant', "
                         f"got {plan.mode!r}")
    token = tokenize(x.name, plan.output_shape, plan.batch, plan.in3, plan.out3, plan.interpolated, plan.matrix,
                     plan.offset, plan.separable, plan.zoom, plan.shift, plan.grid_mode, plan.order, plan.mode,
                     plan.cval, str(plan.input.dtype), out_dtype.str, chunks)
    name, read = f"zentrova-{label}-{token}", f"zentrova-read-{token}"
    in_bounds = [_bounds(c) for c in x.chunks]
    out_bounds = [_bounds(c) for c in chunks]
    dsk: Dict[Key, Any] = {}
    for index in np.ndindex(*[len(c) for c in chunks]):
        start = tuple(int(b[i]) for b, i in zip(out_bounds, index))
        stop = tuple(int(b[i + 1]) for b, i in zip(out_bounds, index))
        box = input_box(plan, start, stop)
        keys, places = [], []
        for n, (block, local, place, whole) in enumerate(_reads(in_bounds, box) if box else ()):
            source_key = (x.name,) + block
            if whole:
                keys.append(source_key)
            else:
                piece_key = (read,) + index + (n,)
                dsk[piece_key] = (operator.getitem, source_key, local)
                keys.append(piece_key)
            places.append(place)
        dsk[(name,) + index] = (compute_chunk, plan, box, start, stop, out_dtype, places, keys)
    graph = HighLevelGraph.from_collections(name, dsk, dependencies=[x])
    return da.Array(graph, name, chunks, meta=np.empty((0,) * len(chunks), dtype=out_dtype))


# ---- the functions -------------------------------------------------------------------------------

def affine_transform(input: da.Array, matrix, offset=0.0, output_shape=None, output=None, order: int = 1,
                     mode: str = "constant", cval: float = 0.0, *, output_chunks=None) -> da.Array:
    """``affine_transform`` of a dask array: a lazy dask array equal bit for bit to the in-memory
    result, for every chunking of the input and of the output.

    ``output_chunks``: the output's chunks, in any form ``dask.array`` takes (a block shape, per-axis
    chunk sizes that tile ``output_shape``, "auto"); default: the input's chunks when ``output_shape``
    is the input's shape, else about 128 MiB per chunk made of whole rows.

    Each output chunk is one task that reads exactly the input box it needs (found from the transform,
    not guessed) as one slice of the input; a chunk that samples nothing of the input is filled with
    cval and reads nothing. A task's peak memory is its output chunk plus its input box (plus, when the
    input and output dtypes differ, the chunk in the compute type: float32 or float64). Arguments are
    checked, and ValueError or TypeError raised, when the graph is built: unknown (NaN) input chunk
    sizes, a dtype the engine does not take, ``output_chunks`` that do not tile the output.
    """
    info = describe(input)
    check_lazy_output(output)
    plan, _, out_dtype = plan_affine(info, matrix, offset, output_shape, output, order, mode, cval)
    return resample(plan, input, out_dtype, output_chunks, label="affine_transform")

"""Resampling of dask arrays: a lazy result whose every chunk is one output window, computed from
exactly the input box it reads.

The plan is made from the input's shape and dtype alone (nothing is computed to build the graph).
Then, for each output chunk:

* its input box is found with the kernels' own arithmetic (``_window.input_box``): no guessed margin;
* the box is fetched as one slice of the dask input: one read task per input chunk that the box cuts
  (a chunk that lies wholly inside the box is taken as it is), and the chunk's task assembles them,
  in the kernels' dtype, into a new array, or reads them in place when a single input chunk holds the
  box or when they are views of one array laid out as the box (``da.from_array`` of a NumPy or
  memory-mapped array, under a scheduler that does not copy results); a chunk whose parts read much
  less together than its box (a rotated one) is computed a part at a time, each from its own box;
* the chunk's task computes the window (``_window.compute_window``), bit for bit the same voxels as the
  in-memory call on the whole array;
* a chunk whose box is empty (it samples only cval) has no read at all: its task fills it without
  touching the input.

The graph is one layer: one task per output chunk plus its read tasks, no rechunk of the input.
"""

from __future__ import annotations

import functools
import math
import operator
from dataclasses import replace
from typing import Any, Dict, List, Optional, Sequence, Tuple

import dask.array as da
import numpy as np
from dask.array.core import normalize_chunks
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

from . import _dtypes
from ._engine import empty as _empty
from ._execute import Box, as_output, compute_window, fill_window, input_box, kernel_dtype_of
from ._plan import MODES, Plan
from ._run import complex_parts

Chunks = Tuple[Tuple[int, ...], ...]
Key = Tuple[Any, ...]

# The size of an output chunk when neither the caller nor the input's chunking gives one.
DEFAULT_CHUNK_BYTES = 128 * 2**20


# ---- the output chunks ---------------------------------------------------------------------------

def row_chunks(shape: Sequence[int], dtype: np.dtype, limit: int = DEFAULT_CHUNK_BYTES) -> Chunks:
    """Chunks of about `limit` bytes made of whole rows (the last axis is not cut unless a row alone
    is larger), the other axes cut into near-equal parts."""
    shape = tuple(shape)
    if not shape or 0 in shape:  # nothing to compute: one chunk per axis
        return tuple((n,) for n in shape)
    dtype = np.dtype(dtype)
    whole_rows = shape[-1] * dtype.itemsize <= limit
    request = ("auto",) * (len(shape) - 1) + ((-1,) if whole_rows else ("auto",))
    auto = normalize_chunks(request, shape=shape, limit=limit, dtype=dtype)
    balanced = []
    for n, c in zip(shape, auto):
        if n == 0:
            balanced.append((0,))
            continue
        size = -(-n // len(c))
        parts = -(-n // size)
        balanced.append((size,) * (parts - 1) + (n - size * (parts - 1),))
    return tuple(balanced)


def check_output_chunks(output_chunks, shape: Sequence[int], dtype: np.dtype) -> Chunks:
    """The caller's output chunks, in any form dask.array takes, as per-axis sizes; ValueError unless
    they tile `shape`."""
    shape = tuple(shape)
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


def chunk_window(chunks: Chunks, index: Sequence[int], bounds: Optional[List[np.ndarray]] = None):
    """(start, stop) of the chunk at block `index` of `chunks` (`bounds`: their _bounds, if at hand)."""
    bounds = bounds or [_bounds(c) for c in chunks]
    return (tuple(int(b[i]) for b, i in zip(bounds, index)), tuple(int(b[i + 1]) for b, i in zip(bounds, index)))


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


# ---- the boxes ----------------------------------------------------------------------------------

def new_box(shape: Sequence[int], dtype: np.dtype) -> np.ndarray:
    """Memory for an input box (of a part of a chunk) assembled from several pieces: a fresh array of
    unset values."""
    return np.empty(shape, dtype=dtype)


def _check_tiling(shape: Tuple[int, ...], places: Sequence[Tuple[int, ...]], sizes: Sequence[Tuple[int, ...]],
                  pieces: Sequence[np.ndarray]) -> None:
    """Each piece has the shape the input's chunks declare for it (a chunk function may return another:
    placed by its declared shape, it would leave rows of the box unset or be read past its end), and
    the pieces (from distinct input chunks, so disjoint) lie inside the box and fill it."""
    if not len(places) == len(sizes) == len(pieces):
        raise ValueError(f"box assembly: {len(pieces)} pieces for {len(places)} places")
    total = 0
    for place, size, piece in zip(places, sizes, pieces):
        if tuple(np.shape(piece)) != tuple(size):
            raise ValueError(f"box assembly: an input chunk gave a piece of shape {np.shape(piece)} where the dask "
                             f"array's chunks declare {tuple(size)}")
        if len(place) != len(shape) or len(size) != len(shape) or any(
                p < 0 or p + n > s for p, n, s in zip(place, size, shape)):
            raise ValueError(f"box assembly: a piece of shape {tuple(size)} at {place} is not inside the box {shape}")
        total += math.prod(size)
    if total != math.prod(shape):
        raise ValueError(f"box assembly: the pieces hold {total} voxels, the box {shape} {math.prod(shape)}")


def _root(a: np.ndarray) -> Any:
    """The object that owns the memory an array views."""
    while isinstance(a, np.ndarray) and a.base is not None:
        a = a.base
    return a


def one_view(shape: Tuple[int, ...], places: Sequence[Tuple[int, ...]], pieces: Sequence[Any]) -> Optional[np.ndarray]:
    """The box as a read-only view when its pieces (which tile it) are views of one array with one set
    of strides, each where the box's strides put it; else None. So it is with a dask array cut from one
    NumPy or memory-mapped array (``da.from_array``) under a scheduler that hands results over without
    copying them: the box is then read in place, with no copy."""
    if not all(isinstance(p, np.ndarray) for p in pieces):
        return None
    first = pieces[0]
    if any(p.dtype != first.dtype or p.strides != first.strides for p in pieces):
        return None
    root = _root(first)
    if root is first or any(_root(p) is not root for p in pieces):
        return None
    origin = first.__array_interface__["data"][0] - sum(i * s for i, s in zip(places[0], first.strides))
    for place, piece in zip(places, pieces):
        if piece.size and piece.__array_interface__["data"][0] != origin + sum(i * s for i, s in zip(place, piece.strides)):
            return None
    corner = next((p for place, p in zip(places, pieces) if not any(place) and p.size), None)
    if corner is None:
        return None
    # Every element of the box lies in one of the pieces (they tile it) at the address these strides
    # give: the view reads nothing outside them.
    return np.lib.stride_tricks.as_strided(corner, shape=shape, strides=first.strides, writeable=False)


def reach(plan: Plan) -> np.ndarray:
    """(input axes, output axes): how far an input coordinate moves per step along each output axis
    (absolute values; the batch axes keep their index)."""
    nbatch = len(plan.batch)
    k_in, k_out = plan.input.ndim - nbatch, len(plan.output_shape) - nbatch
    m = np.diag(plan.zoom) if plan.separable else plan.matrix
    out = np.zeros((nbatch + k_in, nbatch + k_out))
    out[:nbatch, :nbatch] = np.eye(nbatch)
    out[nbatch:, nbatch:] = np.abs(m[3 - k_in:, 3 - k_out:])
    return out


def parts(plan: Plan, start: Sequence[int], stop: Sequence[int], limit: int) -> List[Tuple[Tuple[int, ...],
                                                                                           Tuple[int, ...]]]:
    """The window [start, stop) cut into parts of at most `limit` voxels, (start, stop) of each. Sides
    are halved one at a time, each time the side whose halving leaves the smallest input box per
    output voxel (estimated from `reach`): slabs across the shear of a shear, near cubes for a
    rotation."""
    shape = [b - a for a, b in zip(start, stop)]
    r, margin = reach(plan), 2.0 if plan.order else 1.0

    def box_per_voxel(side):
        return math.prod(r @ (np.array(side) - 1.0) + margin) / math.prod(side)

    side = list(shape)
    while math.prod(side) > limit:
        options = [side[:axis] + [-(-n // 2)] + side[axis + 1:] for axis, n in enumerate(side) if n > 1]
        side = min(options, key=box_per_voxel)
    out = []
    for index in np.ndindex(*[-(-n // s) if n else 1 for n, s in zip(shape, side)]):
        lo = tuple(a + i * s for a, i, s in zip(start, index, side))
        out.append((lo, tuple(min(b, x + s) for b, x, s in zip(stop, lo, side))))
    return out


def _assemble(box: Box, part: Box, dtype: np.dtype, places: Sequence[Tuple[int, ...]],
              pieces: Sequence[np.ndarray]) -> np.ndarray:
    """The input's values in `part` (a box inside `box`): a view of the piece that holds it, if one
    does, else a copy out of the pieces that tile `box`, in `dtype` (NumPy's cast, as engine_array's)."""
    if any(p0 < b0 or p1 > b1 for (b0, b1), (p0, p1) in zip(box, part)):
        raise ValueError(f"box assembly: the part {part} is not inside the box {box}")
    lo = tuple(p0 - b0 for (b0, _), (p0, _) in zip(box, part))
    hi = tuple(p1 - b0 for (b0, _), (_, p1) in zip(box, part))
    for place, piece in zip(places, pieces):  # a part inside one piece is read in place
        if all(p <= l and h <= p + n for l, h, p, n in zip(lo, hi, place, piece.shape)):
            return piece[tuple(slice(l - p, h - p) for l, h, p in zip(lo, hi, place))]
    source = new_box(tuple(b - a for a, b in zip(lo, hi)), dtype)
    for place, piece in zip(places, pieces):
        s = tuple(max(l, p) for l, p in zip(lo, place))
        e = tuple(min(h, p + n) for h, p, n in zip(hi, place, piece.shape))
        if all(a < b for a, b in zip(s, e)):
            source[tuple(slice(a - l, b - l) for a, b, l in zip(s, e, lo))] = \
                piece[tuple(slice(a - p, b - p) for a, b, p in zip(s, e, place))]
    return source


# A chunk whose box would be copied out of several input chunks is computed in parts of at most
# PART_VOXELS output voxels, each from the smaller box it reads, when their boxes together hold at most
# PART_SAVING times the chunk's box. What this saves is memory above all: a rotated chunk reads a
# box several times its size, its parts a small fraction of that at a time. The time is about the
# same either way (the parts copy less, in shorter rows, and run more engine calls; PERFORMANCE.md).
# A sheared chunk's box is little larger than the chunk, and its parts' boxes together hardly
# smaller: it is copied whole, in long rows.
PART_VOXELS = 2**21
PART_SAVING = 0.65


def _volume(box: Optional[Box]) -> int:
    return 0 if box is None else math.prod(b - a for a, b in box)


def compute_chunk(plan: Plan, box: Optional[Box], start: Tuple[int, ...], stop: Tuple[int, ...],
                  out_dtype: np.dtype, places: Sequence[Tuple[int, ...]], sizes: Sequence[Tuple[int, ...]],
                  pieces: Sequence[np.ndarray]) -> np.ndarray:
    """One output chunk (a task) from the pieces of its input box (each at its place in the box, of the
    shape in `sizes`, which the input's chunks declare; another shape raises ValueError). A
    single piece that is the whole box, or pieces that are views of one array laid out as the box
    (one_view), are read as they are (converted only if their dtype is not the kernels'). Otherwise
    the box is copied out of the pieces, in the kernels' dtype, whole or (PART_VOXELS, PART_SAVING) a
    part's box at a time. Memory: the chunk, with an input and output of different dtypes the chunk in
    the compute type too, and the box or a part's box (the pieces are the read tasks' results)."""
    source = None
    if box is not None:
        shape = tuple(b - a for a, b in box)
        _check_tiling(shape, places, sizes, pieces)
        if len(pieces) == 1:
            source = np.asarray(pieces[0])
        else:
            source = one_view(shape, places, pieces)
    if source is None and box is not None:
        result = as_output(_compute_copied(plan, box, start, stop, out_dtype, places, pieces), out_dtype)
    else:
        result = compute_window(plan, source, box, start, stop, out_dtype)
    return result if result.dtype == out_dtype else result.astype(out_dtype)


def _compute_copied(plan: Plan, box: Box, start: Tuple[int, ...], stop: Tuple[int, ...], out_dtype: np.dtype,
                    places: Sequence[Tuple[int, ...]], pieces: Sequence[np.ndarray]) -> np.ndarray:
    """compute_chunk from a box (or parts' boxes) copied out of the pieces, in the kernels' dtype."""
    split = parts(plan, start, stop, PART_VOXELS)
    boxes = [input_box(plan, lo, hi) for lo, hi in split] if len(split) > 1 else [box]
    if sum(_volume(b) for b in boxes) > PART_SAVING * _volume(box):
        split, boxes = [(start, stop)], [box]
    kernel_dtype = kernel_dtype_of(plan, out_dtype)
    result = _empty(tuple(b - a for a, b in zip(start, stop)), kernel_dtype)
    for (lo, hi), part in zip(split, boxes):
        source = None if part is None else _assemble(box, part, kernel_dtype, places, pieces)
        fill_window(plan, source, part, lo, result[tuple(slice(a - s, b - s) for a, b, s in zip(lo, hi, start))])
    return result


def resample(plan: Plan, x: da.Array, out_dtype: np.dtype, output_chunks=None, label: str = "resample") -> da.Array:
    """The lazy result of `plan` on the dask array `x` (real, in plan order), of dtype `out_dtype`:
    see the module's text. `output_chunks`: the caller's (checked), else the input's chunks when the
    output shape is the input's, else about 128 MiB of whole rows per chunk."""
    out_dtype = np.dtype(out_dtype)
    if plan.order > 1 and plan.prefilter:
        raise ValueError(f"order: orders 2 to 5 with prefilter=True are not available for a dask input yet "
                         f"(got {plan.order}); use order 0 or 1, or prefilter the array yourself and pass "
                         "prefilter=False")
    shape = tuple(plan.output_shape)
    if output_chunks is not None:
        chunks = check_output_chunks(output_chunks, shape, out_dtype)
    elif shape == tuple(x.shape):  # the input's chunking
        chunks = tuple(tuple(int(c) for c in axis) for axis in x.chunks)
    else:
        chunks = row_chunks(shape, out_dtype)
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
    windows = [(index,) + chunk_window(chunks, index, out_bounds) for index in np.ndindex(*[len(c) for c in chunks])]
    boxes = [input_box(plan, start, stop) for _, start, stop in windows]
    for (index, start, stop), box in zip(windows, boxes):
        keys, places, sizes = [], [], []
        for n, (block, local, place, whole) in enumerate(_reads(in_bounds, box) if box else ()):
            source_key = (x.name,) + block
            if whole:
                keys.append(source_key)
            else:
                piece_key = (read,) + index + (n,)
                dsk[piece_key] = (operator.getitem, source_key, local)
                keys.append(piece_key)
            places.append(place)
            sizes.append(tuple(sl.stop - sl.start for sl in local))
        dsk[(name,) + index] = (compute_chunk, plan, box, start, stop, out_dtype, places, sizes, keys)
    graph = HighLevelGraph.from_collections(name, dsk, dependencies=[x])
    return da.Array(graph, name, chunks, meta=np.empty((0,) * len(chunks), dtype=out_dtype))


def run_lazy(plan: Plan, x: da.Array, out_dtype: np.dtype, output_chunks=None, label: str = "resample") -> da.Array:
    """The lazy result of `plan` (made from x's description) on the caller's dask array `x`, in the
    caller's axis order, `output_chunks` given in that order too; a complex input as its parts."""
    out_dtype = np.dtype(out_dtype)
    if output_chunks is not None:
        caller_chunks = check_output_chunks(output_chunks, plan.caller_shape, out_dtype)
        output_chunks = tuple(caller_chunks[a] for a in plan.out_axes)
    if not _dtypes.is_complex(x.dtype):
        return plan.restore_output(resample(plan, plan.arrange_input(x), out_dtype, output_chunks, label))
    part_dtype = _dtypes.real_part(out_dtype)
    real, imag = (plan.restore_output(resample(replace(plan, cval=cval), plan.arrange_input(part), part_dtype,
                                               output_chunks, label))
                  for part, cval, _ in complex_parts(plan, x))
    return da.map_blocks(functools.partial(_complex, dtype=out_dtype), real, imag, dtype=out_dtype)


def _complex(real: np.ndarray, imag: np.ndarray, dtype: np.dtype) -> np.ndarray:
    """A complex block from its parts (every bit of each kept: no arithmetic)."""
    out = np.empty(real.shape, dtype=dtype)
    out.real, out.imag = real, imag
    return out


def cast(x: da.Array, dtype: np.dtype, output_chunks=None) -> da.Array:
    """`x` converted with NumPy's cast (zoom's shortcut for factors of 1), in `output_chunks` if given."""
    result = x.astype(dtype)
    if output_chunks is None:
        return result
    return result.rechunk(check_output_chunks(output_chunks, result.shape, np.dtype(dtype)))

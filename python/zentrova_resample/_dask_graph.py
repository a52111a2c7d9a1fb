"""The dask graph's pieces that every lazy path shares: output chunks, the read tasks of an input
box, a box assembled or viewed from its pieces, the widened boxes of orders 2 to 5 (each chunk's
coefficients from a halo around its box, the bound and its reasons are the dask paragraph of
affine_transform's docstring), and the whole input as one source.

The affine and separable transforms' graph is in _dask, map_coordinates' in _dask_map, that of more
than three interpolated axes in _dask_points; _dask.run_lazy chooses between them.
"""

from __future__ import annotations

import itertools
import math
import operator
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

import dask.array as da
import numpy as np
from dask.array.core import normalize_chunks
from dask.highlevelgraph import HighLevelGraph

from . import _dtypes
from ._engine import empty as _empty
from ._engine import spline_filter1d as _filter1d
from ._execute import Box, engine_array, with_coefficients
from ._plan import MODES, Plan
from ._spline import PREPAD, pad_value
from ._store import new_scope, read_box, shared_bytes, stored_array

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


def region_reads(dsk: Dict[Any, Any], x: da.Array, read: str, index: Tuple[int, ...], bounds: List[np.ndarray],
                 regions, scope: Optional[Key] = None
                 ) -> Tuple[List[Any], List[Tuple[int, ...]], List[Tuple[int, ...]]]:
    """(keys, places, sizes) of what the task at `index` reads of the input `x`: per input chunk that one
    of `regions` (box, where it goes in the task's box) cuts, the chunk's key when it is read whole,
    else the key of a slicing task added to `dsk` (named `read`); where each piece goes and its shape.
    An input that is a store's chunks (_store.stored_array) is read from the store instead, each
    region at once inside the task itself (a nested task: no chunk travels between workers), its
    chunks kept for the other tasks of the same computation in the same process (_store.read_box):
    `scope` is the key of the task (add_scope) that names each computation afresh, so that a store
    changed between two computations of one graph is read again."""
    keys, places, sizes = [], [], []
    if stored_array(x) is not None:
        store_key = "original-" + x.name
        for region, at in regions:
            keys.append((read_box, store_key, tuple(region), scope))
            places.append(tuple(at))
            sizes.append(tuple(b - a for a, b in region))
        return keys, places, sizes
    for region, at in regions:
        for block, local, place, whole in _reads(bounds, region):
            source_key = (x.name,) + block
            if whole:
                keys.append(source_key)
            else:
                piece_key = (read,) + index + (len(keys),)
                dsk[piece_key] = (operator.getitem, source_key, local)
                keys.append(piece_key)
            places.append(tuple(a + p for a, p in zip(at, place)))
            sizes.append(tuple(sl.stop - sl.start for sl in local))
    return keys, places, sizes


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


# ---- orders 2 to 5 with prefilter: each chunk's coefficients from a halo around its box ---------

# The prefilter's pole of largest magnitude per order (scipy's get_filter_poles; orders 4 and 5 have
# a second one, smaller, that fades faster). Each pass of the recursive filter carries a sample's
# influence from one coefficient to the next times the pole: a sample d samples away weighs on a
# coefficient as |z|**d at most, up to a factor of the order of the filter's gain.
DOMINANT_POLE = {
    2: math.sqrt(8.0) - 3.0,
    3: math.sqrt(3.0) - 2.0,
    4: math.sqrt(664.0 - math.sqrt(438976.0)) + math.sqrt(304.0) - 19.0,
    5: math.sqrt(67.5 - math.sqrt(4436.25)) + math.sqrt(26.25) - 6.5,
}
# A chunk's coefficients are filtered from its box widened by a halo past which every sample's
# weight, |z|**halo, is at most 2**-HALO_BITS: below float64's resolution of the data's range, so
# that the coefficients inside the box equal the whole array's within rounding.
HALO_BITS = 60


def halo(order: int) -> int:
    """Samples added on each side of a box along the interpolated axes for `order` (2 to 5): the least
    h with |z|**h <= 2**-HALO_BITS (24, 32, 41, 50), and at least scipy's padding (the widened box
    of a box in the padding then reaches the input)."""
    return max(PREPAD, math.ceil(HALO_BITS * math.log(2.0) / -math.log(abs(DOMINANT_POLE[order]))))


@dataclass(frozen=True)
class Widened:
    """The coefficients a chunk's task computes: the box it reads (`box`, in the coefficients'
    coordinates: the whole array's, padded by the plan's `pad` along the interpolated axes), widened
    to `shape` (starting at `origin`) by the halo, clipped at the array's true borders. The input's
    values come as pieces that tile a block of `read_shape`, which lies at `front` in the widened
    one: before it, and past it up to `shape`, scipy's padding ('nearest': the edge sample,
    'grid-constant': cval). `filter_modes`: the initial values of the filter along each
    interpolated axis. `input_dtype`: the input's, in which scipy pads (cval cast as NumPy casts it)."""

    box: Box
    origin: Tuple[int, ...]
    shape: Tuple[int, ...]
    front: Tuple[int, ...]
    read_shape: Tuple[int, ...]
    filter_modes: Tuple[str, ...]
    input_dtype: np.dtype


def _widen_axis(lo: int, hi: int, n: int, pad: int, h: int, mode: str):
    """Along one interpolated axis of n input samples, the box [lo, hi) of the coefficients (padded by
    `pad` each side) widened by `h`: (origin, length, the input's segments [a, b) read in turn, where
    they start in the widened range, the filter's initial values there)."""
    total = n + 2 * pad
    if mode == "grid-wrap":  # no padding; the filter starts from the whole periodic line
        if hi - lo + 2 * h >= total:  # the whole line: its own initial values, as in memory
            return 0, total, [(0, total)], 0, mode
        # Less than a period: the periodic line around the box, across the border if need be. Both ends
        # are cuts, where any initial value fades below the bound; mirror's needs no wrapping.
        a, b = lo - h, hi + h
        if a < 0:
            segments = [(a + total, total), (0, b)]
        elif b > total:
            segments = [(a, total), (0, b - total)]
        else:
            segments = [(a, b)]
        return a, b - a, segments, 0, "mirror"
    # Clipped at the true borders, which then get the mode's own initial values (and scipy's padding);
    # at a cut inside the array, those initial values are as good as any.
    a, b = max(0, lo - h), min(total, hi + h)
    s0, s1 = max(a - pad, 0), min(b - pad, n)
    return a, b - a, [(s0, s1)], s0 + pad - a, mode


def widen(plan: Plan, box: Box, input_dtype: np.dtype) -> Tuple[Widened, List[Tuple[Box, Tuple[int, ...]]]]:
    """The coefficients a chunk whose coefficient box is `box` computes (plan: the coefficients' plan;
    `input_dtype`: the input's), and the boxes of the input it reads for them, each with its place in
    the block they tile."""
    nbatch = len(plan.batch)
    h = halo(plan.order)
    origin, shape, front, modes, segments = [], [], [], [], []
    for axis, (lo, hi) in enumerate(box):
        if axis < nbatch:  # a batch axis: not filtered, read as the box says
            a, length, segs, offset = lo, hi - lo, [(lo, hi)], 0
        else:
            n = plan.input.shape[axis] - 2 * plan.pad
            a, length, segs, offset, mode = _widen_axis(lo, hi, n, plan.pad, h, plan.mode)
            modes.append(mode)
        origin.append(a)
        shape.append(length)
        front.append(offset)
        segments.append(segs)
    # Where each segment starts in the block: the segments of an axis follow one another.
    starts = [np.concatenate([[0], np.cumsum([b - a for a, b in segs])]).tolist() for segs in segments]
    reads = []
    for combo in itertools.product(*[range(len(segs)) for segs in segments]):
        reads.append((tuple(segs[i] for segs, i in zip(segments, combo)),
                      tuple(int(at[i]) for at, i in zip(starts, combo))))
    read_shape = tuple(int(at[-1]) for at in starts)
    return Widened(tuple(box), tuple(origin), tuple(shape), tuple(front), read_shape, tuple(modes),
                   np.dtype(input_dtype)), reads


def spline_coefficients(plan: Plan, widened: Widened, places: Sequence[Tuple[int, ...]],
                        sizes: Sequence[Tuple[int, ...]], pieces: Sequence[np.ndarray]) -> np.ndarray:
    """The coefficients in `widened.box` (plan: the coefficients' plan), from the pieces of the input
    that tile the block `widened` reads: placed in an array of the widened shape and the coefficients'
    dtype (float64, or float32 for the types computed in binary32, which holds their values exactly),
    padded as scipy pads the whole array where the widened box reaches its true border, filtered
    along each interpolated axis in place as _spline.coefficients filters the whole array, and cut to
    the box (a view)."""
    _check_tiling(widened.read_shape, places, sizes, pieces)
    nbatch = len(plan.batch)
    work = _empty(widened.shape, plan.input.dtype)
    front = widened.front
    for place, piece in zip(places, pieces):
        work[tuple(slice(f + p, f + p + n) for f, p, n in zip(front, place, np.shape(piece)))] = piece
    if plan.pad:
        if plan.mode == "nearest":
            value = None
        else:  # 'grid-constant': cval as np.pad stores it in the input's dtype
            value = pad_value(plan.cval, widened.input_dtype)[0]
        for axis in range(nbatch, work.ndim):
            first, last = front[axis], front[axis] + widened.read_shape[axis]
            before = (slice(None),) * axis
            if value is None:  # the edge sample repeated (np.pad's 'edge')
                work[before + (slice(0, first),)] = work[before + (slice(first, first + 1),)]
                work[before + (slice(last, None),)] = work[before + (slice(last - 1, last),)]
            else:
                work[before + (slice(0, first),)] = value
                work[before + (slice(last, None),)] = value
    for axis, mode in zip(range(nbatch, work.ndim), widened.filter_modes):
        _filter1d(work, work, axis, plan.order, MODES[mode])
    return work[tuple(slice(a - o, b - o) for (a, b), o in zip(widened.box, widened.origin))]


def add_scope(dsk: Dict[Any, Any], scope: Key, x: da.Array, rows: Sequence[Sequence[Box]]) -> None:
    """For an input that is a store's chunks: the task `scope` that names each computation of the graph
    afresh, with the bytes of chunks its tasks share (`rows`: the boxes of each row of output chunks, in
    the order their tasks run; _store.shared_bytes)."""
    store = stored_array(x)
    if store is not None:
        dsk[scope] = (new_scope, shared_bytes(store, rows))


def layer_graph(name: str, dsk: Dict[Any, Any], inputs: Sequence[da.Array]) -> HighLevelGraph:
    """The graph of the layer `name` (`dsk`) on the dask arrays `inputs`: of an input that is a store's
    chunks (stored_array), only the layer that holds the store array, which the tasks read themselves
    (the chunks' tasks are left out, not merely never run)."""
    stored = [x for x in inputs if stored_array(x) is not None]
    graph = HighLevelGraph.from_collections(name, dsk, dependencies=[x for x in inputs if stored_array(x) is None])
    if not stored:
        return graph
    layers, dependencies = dict(graph.layers), {k: set(v) for k, v in graph.dependencies.items()}
    for x in stored:
        original = "original-" + x.name
        layers[original] = x.dask.layers[original]
        dependencies[original] = set()
        dependencies[name].add(original)
    return HighLevelGraph(layers, dependencies)


# ---- the whole input as one source ------------------------------------------------------------

def whole_source(dsk: Dict[Key, Any], plan: Plan, x: da.Array, out_dtype: np.dtype, name: str) -> Tuple[da.Array, Key]:
    """(the array the graph depends on: the input as one chunk, or a store's chunks as they are; the key
    of the task that makes the source from it, added to `dsk`, which reads a store's whole array
    itself)."""
    key = (f"zentrova-source-{name}",)
    if stored_array(x) is not None:
        whole_box = tuple((0, n) for n in x.shape)
        dsk[key] = (_source, plan, np.dtype(out_dtype), (read_box, "original-" + x.name, whole_box))
        return x, key
    whole = x.rechunk(tuple(int(n) for n in x.shape))
    dsk[key] = (_source, plan, np.dtype(out_dtype), (whole.name,) + (0,) * whole.ndim)
    return whole, key


def _source(plan: Plan, out_dtype: np.dtype, x) -> Tuple[np.ndarray, Plan]:
    """(source, the plan that reads it): the whole input in plan order, or its coefficients, as the
    kernels read them."""
    reading, source = with_coefficients(plan, np.asarray(x), out_dtype)
    return engine_array(source, _dtypes.kernel_dtype(reading.input.dtype, out_dtype)), reading


def cast(x: da.Array, dtype: np.dtype, output_chunks=None) -> da.Array:
    """`x` converted with NumPy's cast (zoom's shortcut for factors of 1), in `output_chunks` if given."""
    result = x.astype(dtype)
    if output_chunks is None:
        return result
    return result.rechunk(check_output_chunks(output_chunks, result.shape, np.dtype(dtype)))

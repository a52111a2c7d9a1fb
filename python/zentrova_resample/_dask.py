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

Orders 2 to 5 with prefilter interpolate the input's B-spline coefficients, which scipy's recursive
filter computes from whole lines. A sample's weight on a coefficient d samples away is |z|**d (z the
filter's largest pole, |z| <= 0.43), so a chunk's task computes the coefficients of its box (found
as above, in the coefficients' coordinates) from that box widened by a halo of ``halo(order)``
samples along each interpolated axis (24, 32, 41, 50 for orders 2 to 5: |z|**halo <= 2**-60),
clipped at the input's borders. There the mode's own initial values and scipy's padding ('nearest',
'grid-constant') apply as on the whole array; at a cut inside the input the filter's initial values
are off, by an error that fades below 2**-60 before the box. Along a 'grid-wrap' axis, whose initial
values come from the whole periodic line, the halo is read around the border from the other end
(or the whole line, when the widened box would hold it all). A widened box that spans every
interpolated axis whole gives the whole array's coefficients bit for bit; elsewhere they agree within
float64 rounding (the binary32 types store every axis's lines in float32, as the whole array does:
there a coefficient may round the other way). Such a chunk is computed at once (not in parts), from
the coefficients of its widened box, held in the compute type.

The graph is one layer: one task per output chunk plus its read tasks, no rechunk of the input.
"""

from __future__ import annotations

import functools
import math
from typing import Any, Dict, List, Optional, Sequence, Tuple

import dask.array as da
import numpy as np
from dask.base import tokenize

from . import _dtypes
from ._dask_graph import (Key, Widened, _bounds, _check_tiling, add_scope, check_output_chunks, chunk_window, halo,
                          layer_graph, one_view, region_reads, row_chunks, spline_coefficients, widen)
from ._dask_map import map_lazy
from ._dask_points import transform_lazy
from ._execute import (Box, as_output, coefficient_plan, compute_window, fill_window, input_box, kernel_dtype_of,
                       needs_coefficients)
from ._plan import Plan, is_dask_array
from ._store import StoreOutput, aligned_chunks, check_aligned

# ---- the boxes ----------------------------------------------------------------------------------

def new_box(shape: Sequence[int], dtype: np.dtype) -> np.ndarray:
    """Memory for an input box (of a part of a chunk) assembled from several pieces: a fresh array of
    unset values."""
    return np.empty(shape, dtype=dtype)


def reach(plan: Plan) -> np.ndarray:
    """(input axes, output axes): how far an input coordinate moves per step along each output axis
    (absolute values; the batch axes keep their index)."""
    nbatch = len(plan.batch)
    k_in, k_out = plan.input.ndim - nbatch, len(plan.output_shape) - nbatch
    m = plan.form.linear_part()
    out = np.zeros((nbatch + k_in, nbatch + k_out))
    out[:nbatch, :nbatch] = np.eye(nbatch)
    out[nbatch:, nbatch:] = np.abs(m[3 - k_in:, 3 - k_out:])
    return out


def _box_per_voxel(plan: Plan, side: Sequence[int]) -> float:
    """About how many input samples a window of this side reads per output voxel (from `reach`; orders
    2 to 5 with prefilter read the halo around the box too)."""
    margin = plan.order + 1.0 + (2.0 * halo(plan.order) if needs_coefficients(plan) else 0.0)
    return math.prod(reach(plan) @ (np.array(side, dtype=np.float64) - 1.0) + margin) / max(1, math.prod(side))


def halved_side(plan: Plan, shape: Sequence[int], limit: int) -> List[int]:
    """A window side of at most `limit` voxels cut from `shape` by halving one side at a time, each time
    the side whose halving leaves the smallest input box per output voxel: slabs across the shear of
    a shear, near cubes for a rotation."""
    side = list(shape)
    while math.prod(side) > limit:
        options = [side[:axis] + [-(-n // 2)] + side[axis + 1:] for axis, n in enumerate(side) if n > 1]
        side = min(options, key=lambda option: _box_per_voxel(plan, option))
    return side


def parts(plan: Plan, start: Sequence[int], stop: Sequence[int], limit: int) -> List[Tuple[Tuple[int, ...],
                                                                                           Tuple[int, ...]]]:
    """The window [start, stop) cut into parts of at most `limit` voxels (halved_side), (start, stop) of
    each."""
    shape = [b - a for a, b in zip(start, stop)]
    side = halved_side(plan, shape, limit)
    out = []
    for index in np.ndindex(*[-(-n // s) if n else 1 for n, s in zip(shape, side)]):
        lo = tuple(a + i * s for a, i, s in zip(start, index, side))
        out.append((lo, tuple(min(b, x + s) for b, x, s in zip(stop, lo, side))))
    return out


# The default chunks (the input's, or whole rows) are kept unless their input boxes (estimated by
# _box_per_voxel) are more than this factor larger than those of chunks of as many voxels shaped by
# the transform (halved_side), which are then taken instead.
KEEP_CHUNKS_BOX = 1.25


def default_chunks(plan: Plan, x: da.Array, out_dtype: np.dtype) -> Tuple[Tuple[int, ...], ...]:
    """The output's chunks when the caller gives none: the input's chunks when the output has the
    input's shape, else about DEFAULT_CHUNK_BYTES of whole rows (row_chunks); but where chunks of as
    many voxels shaped by the transform (halved_side: near cubes for a rotation, whose slabs of whole
    rows or planes read boxes several times their size) read boxes more than KEEP_CHUNKS_BOX times
    smaller per voxel, those."""
    shape = tuple(plan.output_shape)
    if shape == tuple(x.shape):
        chunks = tuple(tuple(int(c) for c in axis) for axis in x.chunks)
    else:
        chunks = row_chunks(shape, out_dtype)
    if 0 in shape:
        return chunks
    side = [max(axis) for axis in chunks]
    shaped = halved_side(plan, shape, math.prod(side))
    if _box_per_voxel(plan, side) <= KEEP_CHUNKS_BOX * _box_per_voxel(plan, shaped):
        return chunks
    return tuple((s,) * (n // s) + ((n % s,) if n % s else ()) for n, s in zip(shape, shaped))


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
        result = as_output(plan, _compute_copied(plan, box, start, stop, out_dtype, places, pieces), out_dtype)
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
    result = _dtypes.new_array(tuple(b - a for a, b in zip(start, stop)), kernel_dtype)
    for (lo, hi), part in zip(split, boxes):
        source = None if part is None else _assemble(box, part, kernel_dtype, places, pieces)
        fill_window(plan, source, part, lo, result[tuple(slice(a - s, b - s) for a, b, s in zip(lo, hi, start))])
    return result


def compute_spline_chunk(plan: Plan, widened: Optional[Widened], start: Tuple[int, ...], stop: Tuple[int, ...],
                         out_dtype: np.dtype, places: Sequence[Tuple[int, ...]], sizes: Sequence[Tuple[int, ...]],
                         pieces: Sequence[np.ndarray]) -> np.ndarray:
    """One output chunk (a task) of orders 2 to 5 with prefilter (plan: the coefficients' plan), from the
    pieces of the input that its widened box reads (None: the chunk reads no coefficient). Memory: the
    pieces (the read tasks' results), the widened box in the compute type, and the chunk (with
    different input and output dtypes, in the compute type too)."""
    if widened is None:
        result = compute_window(plan, None, None, start, stop, out_dtype)
    else:
        coeffs = spline_coefficients(plan, widened, places, sizes, pieces)
        result = compute_window(plan, coeffs, widened.box, start, stop, out_dtype)
    return result if result.dtype == out_dtype else result.astype(out_dtype)


def resample(plan: Plan, x: da.Array, out_dtype: np.dtype, output_chunks=None, label: str = "resample") -> da.Array:
    """The lazy result of `plan` on the dask array `x` (real, in plan order), of dtype `out_dtype`:
    see the module's text. `output_chunks`: the caller's (checked), else default_chunks."""
    out_dtype = np.dtype(out_dtype)
    shape = tuple(plan.output_shape)
    if output_chunks is not None:
        chunks = check_output_chunks(output_chunks, shape, out_dtype)
    else:
        chunks = default_chunks(plan, x, out_dtype)
    token = tokenize(x.name, plan, str(plan.input.dtype), out_dtype.str, chunks)
    if plan.points:
        return transform_lazy(plan, x, out_dtype, chunks, token, label)
    name, read = f"zentrova-{label}-{token}", f"zentrova-read-{token}"
    scope = (f"zentrova-scope-{token}",)  # the store chunks one computation shares (region_reads)
    in_bounds = [_bounds(c) for c in x.chunks]
    out_bounds = [_bounds(c) for c in chunks]
    spline = needs_coefficients(plan)
    task_plan = coefficient_plan(plan, out_dtype) if spline else plan
    dsk: Dict[Key, Any] = {}
    rows: Dict[Tuple[int, ...], List[Box]] = {}  # the regions each row of output chunks reads
    windows = [(index,) + chunk_window(chunks, index, out_bounds) for index in np.ndindex(*[len(c) for c in chunks])]
    boxes = [input_box(task_plan, start, stop) for _, start, stop in windows]
    for (index, start, stop), box in zip(windows, boxes):
        if box is None:
            regions = []
        elif spline:  # the input around the box, for its coefficients
            widened, regions = widen(task_plan, box, plan.input.dtype)
        else:
            regions = [(box, (0,) * len(box))]
        rows.setdefault(index[:-1], []).extend(region for region, _ in regions)
        keys, places, sizes = region_reads(dsk, x, read, index, in_bounds, regions, scope)
        if spline:
            dsk[(name,) + index] = (compute_spline_chunk, task_plan, None if box is None else widened, start, stop,
                                    out_dtype, places, sizes, keys)
        else:
            dsk[(name,) + index] = (compute_chunk, plan, box, start, stop, out_dtype, places, sizes, keys)
    add_scope(dsk, scope, x, list(rows.values()))
    graph = layer_graph(name, dsk, [x])
    return da.Array(graph, name, chunks, meta=np.empty((0,) * len(chunks), dtype=out_dtype))


def run_lazy(plan: Plan, x, out_dtype: np.dtype, output_chunks=None, label: str = "resample") -> da.Array:
    """The lazy result of `plan` (made from x's description) on the caller's input `x` (a dask array, or
    for given dask coordinates any array), in the caller's axis order, `output_chunks` given in that
    order too; a complex input as its parts. The one place that picks the graph for the plan's
    coordinate form."""
    out_dtype = np.dtype(out_dtype)
    if output_chunks is not None:
        caller_chunks = check_output_chunks(output_chunks, plan.caller_shape, out_dtype)
        output_chunks = tuple(caller_chunks[a] for a in plan.out_axes)
    if plan.form.kind == "given":
        coords = plan.form.coords
        if not is_dask_array(coords):
            coords = da.from_array(np.asarray(coords))
        if not is_dask_array(x):
            x = da.from_array(np.asarray(x), chunks=-1)
        graph = functools.partial(map_lazy, coords=coords)
    else:
        graph = functools.partial(resample, label=label)
    if not _dtypes.is_complex(x.dtype):
        return plan.restore_output(graph(plan, plan.arrange_input(x), out_dtype, output_chunks))
    part_dtype = _dtypes.real_part(out_dtype)
    real, imag = (plan.restore_output(graph(plan.copy(cval=cval), plan.arrange_input(part), part_dtype, output_chunks))
                  for part, cval, _ in _dtypes.complex_parts(x, plan.cval))
    return da.map_blocks(functools.partial(_dtypes.join_complex, dtype=out_dtype), real, imag, dtype=out_dtype)


def store_lazy(plan: Plan, x, target: StoreOutput, out_dtype: np.dtype, output_chunks=None,
               label: str = "resample") -> Any:
    """The result of `plan` on the dask input `x` written into `target` by the tasks themselves, each its
    own region (dask.array.store, nothing gathered here), and the store's array returned. Chunks: the
    caller's (their boundaries on the store's chunk boundaries, else ValueError: two tasks would write
    one store chunk), else the default ones, moved onto the store's chunk boundaries; a new store
    array is made with the chunks' shape as its own."""
    out_dtype = np.dtype(out_dtype)
    result = run_lazy(plan, x, out_dtype, output_chunks, label)
    shape = tuple(result.shape)
    if target.array is not None:
        if output_chunks is None:
            aligned = aligned_chunks([max(c) for c in result.chunks], shape, target.array.chunks)
            if aligned != result.chunks:
                result = run_lazy(plan, x, out_dtype, aligned, label)
        check_aligned(result.chunks, target.array.chunks)
    elif any(len(set(c[:-1])) > 1 or (len(c) > 1 and c[-1] > c[0]) for c in result.chunks):
        raise ValueError(f"output_chunks: a new store needs regular chunks (all of one size but the last), got "
                         f"{result.chunks}")
    return target.write(result, out_dtype)

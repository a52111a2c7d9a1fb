"""Resampling of dask arrays: bit for bit the in-memory result for every chunking of input and output,
the graph one task per output chunk plus the reads of exactly its input box, chunks that sample only
cval computed without the input, bad arguments refused when the graph is built."""

import math
import time

import numpy as np
import pytest

da = pytest.importorskip("dask.array")

import zentrova_resample as zr  # noqa: E402
from zentrova_resample import _dask, _dask_graph, _execute, _plan, _spline  # noqa: E402
from resample_support import (ALL_DTYPES, SMALL, TRANSFORM_KINDS, random_cval, random_data, random_transform,  # noqa: E402
                              rng_for)

MODES = ("constant", "grid-constant", "nearest", "reflect", "grid-mirror", "mirror", "wrap", "grid-wrap")


def uneven_chunks(rng, shape):
    """Per axis, cuts at random places (any row, any plane), from one chunk to one voxel per chunk."""
    chunks = []
    for n in shape:
        if n <= 1:
            chunks.append((n,))
            continue
        cuts = np.sort(rng.choice(np.arange(1, n), int(rng.integers(0, min(n - 1, 5) + 1)), replace=False))
        chunks.append(tuple(int(v) for v in np.diff(np.concatenate([[0], cuts, [n]]))))
    return tuple(chunks)


def assert_identical(got, expected, context=""):
    """Same shape, same dtype (byte order included) and the same bytes, NaN payloads too."""
    got, expected = np.asarray(got), np.asarray(expected)
    assert (got.shape, got.dtype) == (expected.shape, expected.dtype), context
    g, e = np.ascontiguousarray(got).view(np.uint8), np.ascontiguousarray(expected).view(np.uint8)
    if not np.array_equal(g, e):
        diff = np.argwhere(got.view(f"V{got.dtype.itemsize}") != expected.view(f"V{expected.dtype.itemsize}"))
        raise AssertionError(f"{context}: {len(diff)} of {got.size} voxels differ, first at "
                             f"{[tuple(map(int, p)) for p in diff[:5]]}")


def poisoned(shape, chunks, dtype="float32"):
    """A dask array whose every chunk raises when it is computed."""
    def boom(block):
        raise RuntimeError("an input chunk was computed")
    return da.zeros(shape, chunks=chunks, dtype=dtype).map_blocks(boom, dtype=dtype)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("dtype", ALL_DTYPES)
def test_chunked_equals_in_memory(mode, order, dtype):
    """Random transforms of 1- to 4-D inputs (4-D: a 3-D transform of each leading index), of either byte
    order, random uneven chunks of input and output: every result equals the in-memory call bit for bit."""
    rng = rng_for("dask", mode, order, dtype)
    for trial in range(3):
        ndim = int(rng.integers(1, 5))
        k = min(ndim, 3)
        in_shape = tuple(int(v) for v in rng.integers(1, 12, ndim))
        out_shape = in_shape[:ndim - k] + tuple(int(v) for v in rng.integers(1, 14, k))
        data = random_data(rng, in_shape, dtype)
        if trial == 2:  # the other byte order
            data = data.astype(data.dtype.newbyteorder("S"))
        kind = TRANSFORM_KINDS[int(rng.integers(len(TRANSFORM_KINDS)))]
        matrix, offset = random_transform(rng, in_shape[ndim - k:], out_shape[ndim - k:], kind)
        cval = random_cval(rng, dtype)
        output = [None, "float32", "float64", "int16", ">u2"][trial + int(rng.integers(3))]
        args = dict(output_shape=out_shape, output=output, order=order, mode=mode, cval=cval,
                    batch_axes=tuple(range(ndim - k)) or None)
        expected = zr.affine_transform(data, matrix, offset, **args)
        x = da.from_array(data, chunks=uneven_chunks(rng, in_shape))
        lazy = zr.affine_transform(x, matrix, offset, output_chunks=uneven_chunks(rng, out_shape), **args)
        assert isinstance(lazy, da.Array) and lazy.dtype == expected.dtype
        assert_identical(lazy.compute(scheduler="sync"), expected,
                         f"{kind} {in_shape}->{out_shape} in {x.chunks} out {lazy.chunks} output {output}")


@pytest.mark.parametrize("dtype", ("uint16", "float32"))
def test_threads_and_one_voxel_chunks(dtype):
    """Many tasks at once on dask's threads (concurrent calls into the engine), and chunks of one voxel."""
    rng = rng_for("threads", dtype)
    data = random_data(rng, (17, 19, 23), dtype)
    matrix, offset = random_transform(rng, data.shape, (15, 21, 20), "general")
    expected = zr.affine_transform(data, matrix, offset, (15, 21, 20), mode="reflect")
    x = da.from_array(data, chunks=(4, 5, 6))
    got = zr.affine_transform(x, matrix, offset, (15, 21, 20), mode="reflect", output_chunks=(3, 4, 7))
    assert_identical(got.compute(scheduler="threads", num_workers=4), expected)
    tiny = zr.affine_transform(da.from_array(data, chunks=(5, 19, 23)), matrix, offset, (15, 21, 20),
                               mode="reflect", output_chunks=(1, 21, 1))
    assert_identical(tiny.compute(scheduler="sync"), expected)


def test_default_chunks():
    """The input's chunks where the output shape is the input's; else about 128 MiB of whole rows."""
    x = da.zeros((40, 50, 60), chunks=((7, 33), (50,), (25, 35)), dtype="uint16")
    assert zr.affine_transform(x, np.eye(3)).chunks == x.chunks
    big = zr.affine_transform(x, np.eye(3) * 0.1, output_shape=(400, 500, 1000))
    assert big.chunks[2] == (1000,)
    sizes = [a * b * 1000 * 2 for a in big.chunks[0] for b in big.chunks[1]]
    assert max(sizes) <= 128 * 2**20 and max(sizes) > 64 * 2**20, big.chunks


def input_chunks_cut(x, box):
    """Block indices of the input chunks that `box` cuts."""
    per_axis = []
    for (a, b), chunks in zip(box, x.chunks):
        edges = np.concatenate([[0], np.cumsum(chunks)])
        per_axis.append([j for j in range(len(chunks)) if edges[j] < b and edges[j + 1] > a])
    return {tuple(int(v) for v in idx) for idx in np.array(np.meshgrid(*per_axis, indexing="ij")).reshape(
        len(box), -1).T} if all(per_axis) else set()


@pytest.mark.parametrize("kind", ("rotate", "shear", "scale_down", "translate"))
def test_graph_reads_exactly_each_box(kind):
    """One task per output chunk plus its reads, no other layer (no rechunk); each output chunk depends on
    exactly the input chunks that its input box cuts, and its reads add up to exactly that box."""
    rng = rng_for("graph", kind)
    data = random_data(rng, (30, 26, 28), "uint16")
    matrix, offset = random_transform(rng, data.shape, (24, 30, 32), kind)
    offset = offset + np.array([16.0, 0.0, 0.0])  # some output chunks sample only beyond the input
    x = da.from_array(data, chunks=(7, 9, 10))
    y = zr.affine_transform(x, matrix, offset, (24, 30, 32), output_chunks=(5, 8, 11), order=1)
    plan, _, _ = _plan.plan_affine(data, matrix, offset, (24, 30, 32), None, 1, "constant", 0.0)
    layer = dict(y.dask.layers[y.name])
    outputs = [key for key in layer if key[0] == y.name]
    assert len(outputs) == y.npartitions
    assert set(y.dask.layers) == {y.name} | set(x.dask.layers)
    in_chunks = dict(x.dask)
    reads, without_input = 0, 0
    for key in outputs:
        start = tuple(sum(c[:i]) for c, i in zip(y.chunks, key[1:]))
        stop = tuple(s + c[i] for s, c, i in zip(start, y.chunks, key[1:]))
        box = _execute.input_box(plan, start, stop)
        deps, volume = set(), 0
        for dep in layer[key][-1]:  # the task's last argument: the keys of what it reads
            if dep in in_chunks:  # a whole input chunk
                deps.add(dep[1:])
                volume += int(np.prod([x.chunks[a][i] for a, i in enumerate(dep[1:])]))
            else:  # a slice of one
                reads += 1
                _, source, local = layer[dep]
                deps.add(source[1:])
                volume += int(np.prod([s.stop - s.start for s in local]))
        assert deps == (input_chunks_cut(x, box) if box else set()), (key, box)
        assert volume == (int(np.prod([b - a for a, b in box])) if box else 0), (key, box)
        without_input += box is None
    assert len(layer) == len(outputs) + reads
    assert without_input > 0


def test_chunks_without_input_read_nothing():
    """Output chunks that sample only beyond the input ('constant') are filled with cval from no read:
    they compute from an input whose every chunk raises, and equal the in-memory call."""
    data = random_data(rng_for("empty"), (12, 10, 14), "int16")
    offset = (8.0, 0.0, 0.0)  # output planes 4.. sample beyond the input's last plane
    expected = zr.affine_transform(data, np.eye(3), offset, (16, 10, 14), cval=-7.5)
    y = zr.affine_transform(poisoned(data.shape, (5, 5, 7), "int16"), np.eye(3), offset, (16, 10, 14), cval=-7.5,
                            output_chunks=((4, 4, 3, 5), (10,), (6, 8)))
    for i in (1, 2, 3):
        for j in range(2):
            got = y.blocks[i, 0, j].compute(scheduler="sync")
            rows = slice(sum(y.chunks[0][:i]), sum(y.chunks[0][:i + 1]))
            cols = slice(sum(y.chunks[2][:j]), sum(y.chunks[2][:j + 1]))
            assert_identical(got, expected[rows, :, cols], f"block {i, j}")
    with pytest.raises(RuntimeError, match="input chunk was computed"):
        y.blocks[0, 0, 0].compute(scheduler="sync")


@pytest.mark.parametrize("mode", ("constant", "grid-constant", "nearest", "mirror"))
@pytest.mark.parametrize("order", (0, 1, 3))
def test_empty_input(mode, order):
    """An input with an empty axis: the in-memory result (cval everywhere, or zeros for the modes that
    extend samples), for affine_transform and for map_coordinates with a dask input, a dask coordinate
    array or both, and of more than three axes (scipy's and ours on NumPy alike: no error)."""
    data = np.zeros((0, 4, 5), "float32")
    x = da.from_array(data, chunks=(1, 2, 2))
    expected = zr.affine_transform(data, np.eye(3), 0.5, (3, 4, 5), order=order, mode=mode, cval=0.1,
                                   output="uint8")
    got = zr.affine_transform(x, np.eye(3), 0.5, (3, 4, 5), order=order, mode=mode, cval=0.1, output="uint8",
                              output_chunks=2)
    assert_identical(got.compute(scheduler="sync"), expected)
    coords = np.random.default_rng(order).uniform(-1, 5, (3, 7, 6))
    for data_nd in (data, np.zeros((2, 0, 3, 4), "float64")):
        coords_nd = coords if data_nd.ndim == 3 else np.ones((4, 5))
        expected = zr.map_coordinates(data_nd, coords_nd, order=order, mode=mode, cval=2.5)
        for inp, c in ((da.from_array(data_nd, chunks=2), coords_nd), (data_nd, da.from_array(coords_nd, chunks=3)),
                       (da.from_array(data_nd, chunks=2), da.from_array(coords_nd, chunks=3))):
            got = zr.map_coordinates(inp, c, order=order, mode=mode, cval=2.5)
            assert_identical(got.compute(scheduler="sync"), expected, f"map_coordinates {data_nd.shape}")


DERIVED = [
    ("shift", dict(shift=(0.5, -2.25, 1.75)), "constant"),
    ("shift", dict(shift=3.5, output="float32"), "wrap"),
    ("zoom", dict(zoom=(1.3, 0.7, 1.6)), "nearest"),
    ("zoom", dict(zoom=(0.5, 2.0, 1.0), grid_mode=True), "grid-constant"),
    ("zoom", dict(zoom=1, output="int8"), "constant"),
    ("rotate", dict(angle=17.0), "constant"),
    ("rotate", dict(angle=-33.0, axes=(0, 2), reshape=False), "mirror"),
    ("rotate", dict(angle=70.0, axes=(2, 1)), "grid-wrap"),
]


@pytest.mark.parametrize("name, args, mode", DERIVED)
@pytest.mark.parametrize("order", (0, 1, 3))
def test_shift_zoom_rotate(name, args, mode, order):
    """shift, zoom and rotate of a dask array equal the in-memory call, output chunks in the result's
    axis order. At order 3 every chunk's widened box spans the small input's interpolated axes whole:
    its coefficients are the whole array's, bit for bit."""
    rng = rng_for("derived", name, repr(args), order)
    data = random_data(rng, (11, 13, 9), "uint16")
    func = getattr(zr, name)
    expected = func(data, mode=mode, order=order, cval=3.5, **args)
    x = da.from_array(data, chunks=uneven_chunks(rng, data.shape))
    chunks = uneven_chunks(rng, expected.shape)
    got = func(x, mode=mode, order=order, cval=3.5, output_chunks=chunks, **args)
    assert got.chunks == chunks
    assert_identical(got.compute(scheduler="sync"), expected)
    assert_identical(func(x, mode=mode, order=order, cval=3.5, **args).compute(scheduler="sync"), expected)


# ---- orders 2 to 5 --------------------------------------------------------------------------------

SPLINE_DTYPES = ("float64", "float32", "uint16", "int32", "int8", "uint64", "float16", "int16")


def spline_tolerance(data, args, expected):
    """How far each voxel of a chunked result at orders 2 to 5 may be from the in-memory one: float64
    rounding of the coefficients (2**-48 of their largest magnitude) for the types computed in float64,
    for the others coefficients rounded to their other float32 neighbours after an axis and carried on
    by the next axes' filters (2**-20 of it: a few float32 units), plus the
    result's own rounding into its type (one unit at an integer tie, one ulp of a narrower float)."""
    nbatch = len(args["batch_axes"] or ())  # they lead: the coefficients are those of the data
    coeffs, _ = _spline.coefficients(data, nbatch, args["order"], args["mode"], args["cval"], np.dtype("float64"))
    wide = not (data.dtype.name in SMALL and expected.dtype.name in SMALL)
    stored = np.spacing(np.abs(expected)).astype(np.float64) if expected.dtype.kind == "f" else 1.0
    return float(np.abs(coeffs).max()) * (2.0**-48 if wide else 2.0**-20) + stored


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("order", (2, 3, 4, 5))
def test_chunked_splines(mode, order):
    """1- to 3-D inputs and a 4-D one with a batch axis, one or two axes longer than a box and its halo,
    random uneven chunks (many smaller than the halo): with prefilter, the in-memory result within
    spline_tolerance; with prefilter=False (the input is the coefficients, NaN and infinities
    included), bit for bit, in a graph of another name."""
    rng = rng_for("dask splines", mode, order)
    for trial in range(4):
        ndim, k = 1 + (trial + order) % 4, min(1 + (trial + order) % 4, 3)
        dtype = SPLINE_DTYPES[(2 * trial + order) % len(SPLINE_DTYPES)]
        shape = [int(v) for v in rng.integers(1, 12, ndim)]
        for axis in rng.choice(np.arange(ndim - k, ndim), min(k, 2), replace=False):
            shape[axis] = int(rng.integers(_dask_graph.halo(order) + 10, 2 * _dask_graph.halo(order) + {1: 300, 2: 60, 3: 20}[k]))
        out_shape = tuple(shape[:ndim - k] + [int(n * rng.uniform(0.7, 1.3)) + 1 for n in shape[ndim - k:]])
        matrix, offset = random_transform(rng, shape[ndim - k:], out_shape[ndim - k:],
                                          TRANSFORM_KINDS[int(rng.integers(len(TRANSFORM_KINDS)))])
        args = dict(output_shape=out_shape, output=(None, None, "float32", "float64", "int16")[int(rng.integers(5))],
                    order=order, mode=mode, cval=float(rng.choice([0.0, 2.5, -7.0, 100.5])),
                    batch_axes=tuple(range(ndim - k)) or None)
        for prefilter in (True, False):
            data = random_data(rng, tuple(shape), dtype, specials=not prefilter)
            expected = zr.affine_transform(data, matrix, offset, prefilter=prefilter, **args)
            x = da.from_array(data, chunks=uneven_chunks(rng, data.shape))
            lazy = zr.affine_transform(x, matrix, offset, output_chunks=uneven_chunks(rng, out_shape),
                                       prefilter=prefilter, **args)
            got, context = lazy.compute(scheduler="sync"), f"{dtype} {prefilter} in {x.chunks} {args}"
            if not prefilter:
                assert lazy.name != zr.affine_transform(x, matrix, offset, output_chunks=lazy.chunks, **args).name
                assert_identical(got, expected, context)
                continue
            assert got.dtype == expected.dtype
            with np.errstate(invalid="ignore"):
                excess = np.abs(got.astype(np.float64) - expected.astype(np.float64)) - spline_tolerance(data, args,
                                                                                                        expected)
            assert not (excess > 0).any(), f"{context}: {int((excess > 0).sum())} voxels off by more"


@pytest.mark.parametrize("mode", MODES)
def test_widened_coefficients(mode):
    """The coefficients a task computes for a box anywhere (at a border, across the 'grid-wrap' seam,
    inside) from its widened box alone equal the whole array's within 2**-49 of their largest
    magnitude (a halo a quarter shorter misses that: 2**-46)."""
    rng = rng_for("widened coefficients", mode)
    for trial in range(12):
        ndim, order = 1 + trial % 3, 2 + trial % 4
        data = random_data(rng, tuple(int(v) for v in rng.integers(100, 260 if ndim < 3 else 120, ndim)),
                           ("float64", "uint16", "int32")[trial % 3], specials=False)
        plan, _, out_dtype = _plan.plan_affine(data, np.eye(ndim), 0.0, None, "float64", order, mode, 2.5)
        reading, whole = _execute.with_coefficients(plan, data, out_dtype)
        for _ in range(4):
            starts = [int(rng.integers(0, n)) for n in reading.input.shape]
            box = tuple((a, int(rng.integers(a + 1, min(n, a + 40) + 1))) for a, n in zip(starts, reading.input.shape))
            widened, regions = _dask_graph.widen(reading, box, data.dtype)
            pieces = [data[tuple(slice(a, b) for a, b in region)] for region, _ in regions]
            got = _dask_graph.spline_coefficients(reading, widened, [at for _, at in regions], [p.shape for p in pieces],
                                            pieces)
            expected = whole[tuple(slice(a, b) for a, b in box)]
            assert np.abs(got - expected).max() <= 2.0**-49 * np.abs(whole).max(), (data.shape, order, box)


@pytest.mark.parametrize("mode", ("nearest", "grid-wrap", "mirror"))
def test_spline_chunks_read_their_widened_box(mode):
    """Each task reads at most its box widened by the halo along the interpolated axes, never the whole
    input; at a border of a 'grid-wrap' axis it reads the periodic line around its box, from both ends."""
    data = random_data(rng_for("widened reads", mode), (3, 300, 260), "float32", specials=False)
    x = da.from_array(data, chunks=(2, 40, 50))
    y = zr.rotate(x, 30, axes=(1, 2), reshape=False, order=5, mode=mode, output_chunks=(3, 45, 60))
    layer, in_chunks, h = dict(y.dask.layers[y.name]), dict(x.dask), _dask_graph.halo(5)
    both_ends = 0
    for key in (k for k in layer if k[0] == y.name):
        widened = layer[key][2]
        blocks = [dep[1:] if dep in in_chunks else layer[dep][1][1:] for dep in layer[key][-1]]
        slices = [[slice(0, x.chunks[a][i]) for a, i in enumerate(dep[1:])] if dep in in_chunks else layer[dep][2]
                  for dep in layer[key][-1]]
        volume = sum(math.prod(s.stop - s.start for s in local) for local in slices)
        bound = 3 * math.prod(min(n, b - a + 2 * h) for (a, b), n in zip(widened.box[1:], data.shape[1:]))
        assert 0 < volume <= bound < data.size, (key, widened)
        rows = {block[1] for block in blocks}
        both_ends += {0, len(x.chunks[1]) - 1} <= rows and len(rows) < len(x.chunks[1])
    assert both_ends > 0 if mode == "grid-wrap" else both_ends == 0


# ---- box assembly --------------------------------------------------------------------------------

@pytest.fixture
def poisoned_boxes(monkeypatch):
    """New boxes filled with 0xFF bytes (NaN, -1 or the maximum) before the pieces are copied in; counts them."""
    made = []

    def new_box(shape, dtype):
        box = np.empty(shape, dtype=dtype)
        box.view(np.uint8).fill(0xFF)
        made.append(box.shape)
        return box

    monkeypatch.setattr(_dask, "new_box", new_box)
    return made


@pytest.mark.parametrize("mode", ("constant", "reflect", "grid-wrap"))
@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("split", ("whole boxes", "parts"))
def test_assembled_boxes_leave_nothing_unset(poisoned_boxes, monkeypatch, mode, order, split):
    """Boxes assembled from pieces, each poisoned first, for transforms of several dtypes and of the
    other byte order (cast while assembled): every result equals the in-memory call bit for bit. With
    "parts" every chunk is computed in parts of at most 150 voxels (cutting rows anywhere), each from
    its own box (a view of a piece or a copy out of several)."""
    windows = []
    fill = _dask.fill_window
    monkeypatch.setattr(_dask, "fill_window", lambda plan, source, box, start, result: (
        windows.append(result.shape), fill(plan, source, box, start, result)))
    if split == "parts":
        monkeypatch.setattr(_dask, "PART_VOXELS", 150)
        monkeypatch.setattr(_dask, "PART_SAVING", math.inf)
    else:
        monkeypatch.setattr(_dask, "PART_SAVING", 0.0)
    rng = rng_for("box buffers", mode, order)
    for trial, dtype in enumerate(("uint16", "float32", "int8", "float64", "uint16", "float16")):
        in_shape = tuple(int(v) for v in rng.integers(8, 20, 3))
        out_shape = tuple(int(v) for v in rng.integers(8, 20, 3))
        data = random_data(rng, in_shape, dtype)
        if trial == 4:
            data = data.astype(data.dtype.newbyteorder("S"))
        kind = ("rotate", "shear", "general")[trial % 3]
        matrix, offset = random_transform(rng, in_shape, out_shape, kind)
        output = (None, "float32", None, "int16", "float64", None)[trial]
        args = dict(output_shape=out_shape, output=output, order=order, mode=mode, cval=random_cval(rng, dtype))
        expected = zr.affine_transform(data, matrix, offset, **args)
        # chunks stored apart (as read from a chunked store), so that boxes are assembled
        x = da.from_array(data, chunks=uneven_chunks(rng, in_shape)).map_blocks(np.copy)
        lazy = zr.affine_transform(x, matrix, offset, output_chunks=uneven_chunks(rng, out_shape), **args)
        assert_identical(lazy.compute(scheduler="sync"), expected, f"{dtype} {kind} in {x.chunks} out {lazy.chunks}")
    assert len(poisoned_boxes) > 10, poisoned_boxes
    largest = max(math.prod(shape) for shape in windows)
    assert largest <= 150 if split == "parts" else largest > 150, windows


@pytest.mark.parametrize("ndim", (1, 2, 3, 4))
def test_parts_tile_each_chunk(monkeypatch, ndim):
    """Chunks of 1- to 4-D inputs (4-D: a batch axis) computed in parts from chunks held apart: the parts
    of every chunk tile it once, none above the limit, and every result equals the in-memory call bit
    for bit."""
    rng = rng_for("parts", ndim)
    limit = int(rng.integers(2, 2 + 3**ndim))
    monkeypatch.setattr(_dask, "PART_VOXELS", limit)
    monkeypatch.setattr(_dask, "PART_SAVING", math.inf)
    counts = []

    def checked(plan, start, stop, limit, parts=_dask.parts):
        out = parts(plan, start, stop, limit)
        cover = np.zeros([b - a for a, b in zip(start, stop)], np.int64)
        for lo, hi in out:
            assert math.prod(b - a for a, b in zip(lo, hi)) <= limit, (lo, hi)
            cover[tuple(slice(a - s, b - s) for a, b, s in zip(lo, hi, start))] += 1
        assert (cover == 1).all(), (start, stop, out)
        counts.append(len(out))
        return out

    monkeypatch.setattr(_dask, "parts", checked)
    for trial in range(4):
        k = min(ndim, 3)
        in_shape = tuple(int(v) for v in rng.integers(3, 14, ndim))
        out_shape = in_shape[:ndim - k] + tuple(int(v) for v in rng.integers(3, 16, k))
        dtype = ("float32", "uint16")[trial % 2]
        data = random_data(rng, in_shape, dtype)
        kind = ("rotate", "shear", "general", "scale_up")[trial]
        matrix, offset = random_transform(rng, in_shape[ndim - k:], out_shape[ndim - k:], kind)
        args = dict(output_shape=out_shape, order=trial % 2, mode=MODES[int(rng.integers(len(MODES)))],
                    batch_axes=tuple(range(ndim - k)) or None)
        expected = zr.affine_transform(data, matrix, offset, **args)
        x = da.from_array(data, chunks=uneven_chunks(rng, in_shape)).map_blocks(np.copy)
        lazy = zr.affine_transform(x, matrix, offset, output_chunks=uneven_chunks(rng, out_shape), **args)
        assert_identical(lazy.compute(scheduler="sync"), expected, f"{kind} {args} in {x.chunks} out {lazy.chunks}")
    assert max(counts) > 1, counts


@pytest.mark.parametrize("change", ("a piece missing", "a piece twice", "a piece out of the box"))
def test_pieces_must_tile_the_box(poisoned_boxes, change):
    """compute_chunk refuses pieces that do not fill the box exactly (the box would keep unset values
    where none was copied)."""
    data = random_data(rng_for("tiling"), (8, 9, 10), "float32")
    plan, _, _ = _plan.plan_affine(data, np.eye(3), 0.0, data.shape, None, 1, "constant", 0.0)
    box = ((0, 8), (0, 9), (0, 10))
    places, pieces = [(0, 0, 0), (4, 0, 0)], [data[:4], data[4:]]
    got = _dask.compute_chunk(plan, box, (0, 0, 0), data.shape, np.dtype("float32"), places, [p.shape for p in pieces], pieces)
    assert_identical(got, zr.affine_transform(data, np.eye(3), order=1))
    if change == "a piece missing":
        places, pieces = places[:1], pieces[:1]
    elif change == "a piece twice":
        places, pieces = places + places[1:], pieces + pieces[1:]
    else:
        places = [(0, 0, 0), (5, 0, 0)]
    with pytest.raises(ValueError, match="box assembly"):
        _dask.compute_chunk(plan, box, (0, 0, 0), data.shape, np.dtype("float32"), places, [p.shape for p in pieces], pieces)


@pytest.mark.parametrize("output", (None, "float32"))
def test_box_inside_one_chunk_is_read_in_place(monkeypatch, output):
    """A box that one input chunk holds is read from that chunk: no box is assembled (converted once
    when the output's dtype needs the compute type)."""
    def refuse(shape, dtype):
        raise AssertionError("a box was assembled")

    monkeypatch.setattr(_dask, "new_box", refuse)
    rng = rng_for("in place", output)
    data = random_data(rng, (20, 24, 28), "uint16")
    matrix, offset = random_transform(rng, data.shape, (16, 20, 24), "translate")
    expected = zr.affine_transform(data, matrix, offset, (16, 20, 24), output=output, mode="nearest")
    x = da.from_array(data, chunks=data.shape)
    got = zr.affine_transform(x, matrix, offset, (16, 20, 24), output=output, mode="nearest", output_chunks=(5, 7, 9))
    assert_identical(got.compute(scheduler="threads"), expected)


@pytest.mark.parametrize("source", ("array", "reversed view", "memory map"))
def test_boxes_of_one_array_are_read_in_place(monkeypatch, tmp_path, source):
    """Input chunks that are views of one array (da.from_array on an array, a view with negative
    strides, a memory map) give boxes that are views of it: nothing is assembled, results bit for bit."""
    def refuse(shape, dtype):
        raise AssertionError("a box was assembled")

    monkeypatch.setattr(_dask, "new_box", refuse)
    rng = rng_for("one view", source)
    data = random_data(rng, (21, 26, 31), "int16")
    if source == "reversed view":
        data = data[::-1, :, ::-2]
    elif source == "memory map":
        mapped = np.lib.format.open_memmap(tmp_path / "volume.npy", mode="w+", dtype=data.dtype, shape=data.shape)
        mapped[...] = data
        mapped.flush()
        data = np.load(tmp_path / "volume.npy", mmap_mode="r")
    for mode, order in (("constant", 1), ("mirror", 0), ("grid-wrap", 1)):
        matrix, offset = random_transform(rng, data.shape, (18, 22, 27), "rotate")
        expected = zr.affine_transform(np.array(data), matrix, offset, (18, 22, 27), order=order, mode=mode)
        x = da.from_array(data, chunks=uneven_chunks(rng, data.shape))
        lazy = zr.affine_transform(x, matrix, offset, (18, 22, 27), order=order, mode=mode,
                                   output_chunks=uneven_chunks(rng, (18, 22, 27)))
        assert_identical(lazy.compute(scheduler="threads"), expected, f"{mode} {order} in {x.chunks}")


def test_pieces_not_laid_out_as_the_box_are_copied():
    """one_view declines pieces of different arrays, of one array at other places than the box's
    layout puts them, or of different strides."""
    base = np.arange(6 * 8, dtype=np.float32).reshape(6, 8)
    places = [(0, 0), (3, 0)]
    view = _dask_graph.one_view((6, 8), places, [base[:3], base[3:]])
    assert view is not None and np.array_equal(view, base) and not view.flags.writeable
    assert _dask_graph.one_view((6, 8), places, [base[:3], base[3:].copy()]) is None  # another array
    assert _dask_graph.one_view((6, 8), places, [base[3:], base[:3]]) is None  # swapped places
    other = np.arange(6 * 16, dtype=np.float32).reshape(6, 16)[:, ::2]
    assert _dask_graph.one_view((6, 8), places, [base[:3], other[3:]]) is None  # other strides, other array


# ---- bad arguments -------------------------------------------------------------------------------

def unknown_chunks():
    x = poisoned((6, 4, 5), (3, 4, 5))
    return x[da.from_array(np.arange(6) % 2 == 0, chunks=3)]


@pytest.mark.parametrize("make, kwargs, error, match", [
    (unknown_chunks, {}, ValueError, "unknown chunk sizes"),
    (lambda: poisoned((4, 4, 4), 2, "clongdouble"), {}, TypeError, "is not supported"),
    (lambda: poisoned((4, 4, 4), 2, "complex64"), dict(output="float32"), UserWarning, "promoting"),
    (lambda: poisoned((4, 4, 4), 2), dict(output="complex64"), TypeError, "needs a complex input"),
    (lambda: poisoned((4, 4, 4), 2), dict(cval=1j), TypeError, "cval"),
    (lambda: da.from_array(np.array([["a", "b"]] * 2, dtype=object), chunks=1), dict(matrix=np.eye(2)), TypeError,
     "object is not supported"),
    (lambda: da.from_array(np.zeros((2, 3), "U3"), chunks=1), dict(matrix=np.eye(2)), TypeError, "input"),
    (lambda: poisoned((4, 4, 4), 2), dict(output_chunks=((2, 1), 4, 4)), ValueError, "output_chunks"),
    (lambda: poisoned((4, 4, 4), 2), dict(output_chunks=((2, 2, 1), 4, 4)), ValueError, "output_chunks"),
    (lambda: poisoned((4, 4, 4), 2), dict(output_chunks=(4, 4)), ValueError, "output_chunks"),
    (lambda: poisoned((4, 4, 4), 2), dict(output_chunks=((4, 0), 4, 4)), ValueError, "output_chunks"),
    (lambda: poisoned((4, 4, 4), 2), dict(output_chunks=((np.nan, 2), 4, 4)), ValueError, "output_chunks"),
    (lambda: poisoned((4, 4, 4), 2), dict(output_chunks=(0, 4, 4)), ValueError, "output_chunks"),
    (lambda: poisoned((4, 4, 4), 2), dict(output_shape=(4, 6, 8), output_chunks=((2, 2), (6,), (3, 3))),
     ValueError, "output_chunks"),
    (lambda: poisoned((4, 4, 4), 2), dict(output=np.empty((4, 4, 4), "float32")), TypeError, "lazy dask array"),
    (lambda: poisoned((4, 4, 4), 2), dict(order=6), ValueError, "order"),
    (lambda: poisoned((4, 4, 4), 2), dict(mode="bad"), ValueError, "mode"),
])
def test_bad_arguments_at_graph_construction(make, kwargs, error, match):
    """Refused when the graph is built, from an input whose every chunk raises if computed: nothing is."""
    kwargs = dict(kwargs)
    matrix = kwargs.pop("matrix", np.eye(3))
    with pytest.warns(error, match=match) if issubclass(error, Warning) else pytest.raises(error, match=match):
        zr.affine_transform(make(), matrix, **kwargs)


@pytest.mark.parametrize("make, coords, kwargs, error, match", [
    (lambda: poisoned((4, 4, 4), 2), np.zeros((3, 5)), dict(batch_axes=0), ValueError, "batch_axes"),
    (lambda: poisoned((4, 4, 4), 2), np.zeros((2, 5)), {}, ValueError, "coordinates"),
    (lambda: poisoned((4, 4, 4), 2), np.zeros((3,)), {}, ValueError, "coordinates"),
    (lambda: poisoned((4, 4, 4), 2), np.zeros((3, 5), "complex128"), {}, TypeError, "coordinates"),
    (lambda: poisoned((4, 4, 4), 2), np.zeros((3, 5)), dict(output=np.empty(5)), TypeError, "lazy dask array"),
    (lambda: np.zeros((4, 4)), poisoned((2, 6), 3), dict(output_chunks=(4, 4)), ValueError, "output_chunks"),
    (lambda: np.zeros((4, 4)), poisoned((2, 6), 3), dict(order=6), ValueError, "order"),
])
def test_bad_map_coordinates_at_graph_construction(make, coords, kwargs, error, match):
    """map_coordinates refuses before anything is computed (input or coordinates raise if they are)."""
    with pytest.raises(error, match=match):
        zr.map_coordinates(make(), coords, **kwargs)


@pytest.mark.parametrize("dtype", ("float64", "int32", "uint64", "float32"))
def test_far_coordinates(dtype):
    """Chunks that read no input at coordinates near 2^31 (where the engine's box test once overflowed
    and read outside memory), and folding modes near 6e7 and 2^53 (where the box once missed samples):
    the chunked result equals the in-memory one."""
    x = np.ones(8, dtype)
    for order in (0, 1):
        lazy = zr.shift(da.from_array(x, chunks=4), -2147483647.25, order=order)
        assert_identical(lazy.compute(scheduler="sync"), zr.shift(x, -2147483647.25, order=order))
    rng = rng_for("far", dtype)
    data = random_data(rng, (9, 7), dtype)
    for trial in range(40):
        far = float(rng.choice([6e7, 2.0**53, 1e9, 3e5])) * rng.choice([-1, 1]) * rng.uniform(0.5, 2)
        matrix, offset = np.eye(2) * rng.choice([1, -1, 0.5, 3]), [far, rng.uniform(-20, 20)]
        args = dict(order=trial % 2, mode=MODES[3 + trial % 4])
        chunks = tuple(int(v) for v in rng.integers(1, 6, 2))
        lazy = zr.affine_transform(da.from_array(data, chunks=chunks), matrix, offset, **args)
        assert_identical(lazy.compute(scheduler="sync"), zr.affine_transform(data, matrix, offset, **args),
                         f"{offset} {args} {chunks}")


def test_empty_output_axis():
    """An output with an axis of length 0 is an empty dask array, as in memory an empty result."""
    x = da.from_array(np.ones((4, 5)), chunks=2)
    for shape in ((3, 0), (0, 5), (0, 0)):
        lazy = zr.affine_transform(x, np.eye(2), output_shape=shape)
        assert lazy.shape == shape and lazy.compute().shape == shape


def test_chunks_of_another_shape_than_declared():
    """An input whose chunk function returns another shape than its chunks declare (5 + 3 rows for
    4 + 4) is refused when computed, instead of leaving rows of a box unset or reading past a piece."""
    declared = da.from_array(np.arange(40.0).reshape(8, 5), chunks=(4, 5))

    def lying(block, block_id=None):
        return np.ones((5, 5)) if block_id[0] == 0 else np.ones((3, 5))

    x = declared.map_blocks(lying, dtype=float)
    for offset in ([0, 0], [1.5, 0], [-2, 0]):  # whole chunks, and slices of them
        with pytest.raises(ValueError, match="declare"):
            zr.affine_transform(x, np.eye(2), offset, output_chunks=(8, 5)).compute(scheduler="sync")


def test_output_chunks_need_a_dask_input():
    with pytest.raises(TypeError, match="output_chunks"):
        zr.affine_transform(np.zeros((3, 3, 3), "float32"), np.eye(3), output_chunks=2)
    with pytest.raises(TypeError, match="output_chunks"):
        zr.rotate(np.zeros((3, 3, 3), "float32"), 10, output_chunks=2)


# ---- dask.distributed ----------------------------------------------------------------------------

def _pool_sizes():
    """The pool's size in this worker as the resampler and the fixed module see it (the one pool of both)."""
    import zentrova
    import zentrova_resample
    return zentrova_resample.get_num_threads(), zentrova.build_info()["num_threads"]


def test_local_cluster_two_processes():
    """A LocalCluster of 2 worker processes of 1 thread each, whose environment asks for pools of 2 threads:
    the pools are made with 2, PoolSize then sets them to the workers' 1 thread, the result equals the
    in-memory call and both workers computed chunks."""
    distributed = pytest.importorskip("distributed")
    from zentrova_resample.dask_workers import PoolSize, worker_env

    rng = rng_for("cluster")
    data = random_data(rng, (40, 37, 45), "uint16")
    matrix, offset = random_transform(rng, data.shape, (36, 44, 41), "rotate")
    expected = zr.affine_transform(data, matrix, offset, (36, 44, 41), order=1, mode="nearest")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40, env=worker_env(2)) as cluster, distributed.Client(cluster) as client:
        assert sorted(map(tuple, client.run(_pool_sizes).values())) == [(2, 2), (2, 2)]  # both pools made now
        register = getattr(client, "register_plugin", None) or client.register_worker_plugin
        register(PoolSize())
        assert sorted(map(tuple, client.run(_pool_sizes).values())) == [(1, 1), (1, 1)]
        x = da.from_array(data, chunks=((13, 27), (10, 27), (45,)))
        lazy = zr.affine_transform(x, matrix, offset, (36, 44, 41), order=1, mode="nearest",
                                   output_chunks=((7, 9, 20), (44,), (11, 30)))
        stored = lazy.persist()
        distributed.wait(stored)
        workers = {w for holders in client.who_has(stored).values() for w in holders}
        assert_identical(stored.compute(), expected)
        assert sorted(map(tuple, client.run(_pool_sizes).values())) == [(1, 1), (1, 1)]
        assert len(workers) == 2, workers


def test_worker_env():
    pytest.importorskip("distributed")
    from zentrova_resample.dask_workers import worker_env
    assert worker_env(3) == {"ZENTROVA_NUM_THREADS": "3"}
    with pytest.raises(ValueError, match="nthreads"):
        worker_env(0)


FOUR_AXES_CASES = ((0, "wrap"), (1, "constant"), (3, "nearest"), (4, "grid-constant"), (5, "reflect"))


@pytest.mark.parametrize("order, mode", FOUR_AXES_CASES)
def test_chunked_transforms_of_four_moving_axes(order, mode):
    """A dask input whose transform moves four axes (with a fifth carried along, for zoom): every output
    chunk samples the whole input, or its coefficients made once, at the coordinates of its voxels'
    indices in the whole output, so each equals the in-memory result bit for bit."""
    rng = rng_for("dask 4-D transform", order, mode)
    data = random_data(rng, (5, 6, 4, 7), "float32", specials=False)
    matrix = np.eye(4) + rng.uniform(-0.15, 0.15, (4, 4))
    offset = rng.uniform(-1, 1, 4)
    x = da.from_array(data, chunks=uneven_chunks(rng, data.shape))
    kwargs = dict(order=order, mode=mode, cval=2.5, output_shape=(4, 7, 5, 6))
    lazy = zr.affine_transform(x, matrix, offset, output_chunks=((1, 3), 7, (2, 3), (4, 2)), **kwargs)
    assert lazy.chunks == ((1, 3), (7,), (2, 3), (4, 2))
    assert_identical(lazy.compute(scheduler="sync"), zr.affine_transform(data, matrix, offset, **kwargs), "affine")
    stack = random_data(rng, (3, 4, 5, 3, 6), "int16", specials=False)
    factors = (1, 1.5, 0.7, 1.4, 2)
    lazy = zr.zoom(da.from_array(stack, chunks=2), factors, order=order, mode=mode, cval=2.5)
    assert_identical(lazy.compute(scheduler="sync"), zr.zoom(stack, factors, order=order, mode=mode, cval=2.5),
                     "zoom")


@pytest.mark.parametrize("order, mode", FOUR_AXES_CASES)
def test_chunked_map_coordinates_of_four_axes(order, mode, monkeypatch):
    """More than three input axes (as dask-image passes its chunks on): every chunk of points reads the
    whole input, or its coefficients made once, so each form equals the in-memory result bit for bit."""
    from zentrova_resample import _execute
    monkeypatch.setattr(_execute, "POINTS_BLOCK", 4)
    rng = rng_for("dask map 4-D", order, mode)
    data = random_data(rng, (5, 4, 6, 7), "float32", specials=False)
    coords = rng.uniform(-2, 8, (4, 9, 5))
    coords[1, 2, 3] = np.nan
    expected = zr.map_coordinates(data, coords, order=order, mode=mode, cval=2.5, output=np.float64)
    x = da.from_array(data, chunks=uneven_chunks(rng, data.shape))
    c = da.from_array(coords, chunks=(4,) + uneven_chunks(rng, coords.shape[1:]))
    for form in ((x, coords), (x, c), (data, c)):
        lazy = zr.map_coordinates(*form, order=order, mode=mode, cval=2.5, output=np.float64)
        assert lazy.chunks[0] == (c.chunks[1] if form[1] is c else (9,))
        assert_identical(lazy.compute(scheduler="sync"), expected, f"{type(form[0]).__name__} input")


@pytest.mark.parametrize("mode", MODES)
def test_chunked_map_coordinates(mode):
    """map_coordinates with a dask input, dask coordinates or both (uneven chunks, NaN coordinates, points
    far outside): orders 0 and 1 and prefilter=False the in-memory result bit for bit; orders 2 to 5 with
    prefilter within spline_tolerance."""
    rng = rng_for("dask map", mode)
    for trial in range(6):
        ndim = 1 + trial % 3
        order, prefilter = trial % 6, trial % 4 != 3
        dtype = ("float64", "float32", "uint16", "int32")[trial % 4]
        shape = tuple(int(v) for v in rng.integers(4, 40, ndim))
        data = random_data(rng, shape, dtype, specials=False)
        coords = rng.uniform(-6, max(shape) + 6, (ndim, int(rng.integers(3, 15)), int(rng.integers(3, 15))))
        coords[0, 0, 0] = np.nan
        expected = zr.map_coordinates(data, coords, order=order, mode=mode, cval=2.5, prefilter=prefilter)
        x = da.from_array(data, chunks=uneven_chunks(rng, shape))
        c = da.from_array(coords, chunks=(ndim,) + uneven_chunks(rng, coords.shape[1:]))
        for form in ((x, coords), (x, c), (data, c)):
            lazy = zr.map_coordinates(*form, order=order, mode=mode, cval=2.5, prefilter=prefilter)
            got = lazy.compute(scheduler="sync")
            if order < 2 or not prefilter:
                assert_identical(got, expected, f"{dtype} order {order}")
                continue
            tolerance = spline_tolerance(data, dict(order=order, mode=mode, cval=2.5, batch_axes=None), expected)
            with np.errstate(invalid="ignore"):
                assert not (np.abs(got.astype(np.float64) - expected.astype(np.float64)) > tolerance).any()


@pytest.mark.parametrize("dtype", ("complex64", "complex128"))
@pytest.mark.parametrize("order, prefilter", ((0, True), (1, True), (3, False)))
def test_complex_inputs_lazy_as_in_memory(dtype, order, prefilter):
    """A complex input, its parts resampled apart with a complex cval's parts, gives the in-memory
    result bit for bit lazily too: map_coordinates with a dask input, dask coordinates or both, and
    affine_transform and zoom of a dask input."""
    rng = rng_for("dask complex", dtype, order)
    data = (random_data(rng, (7, 9, 8), "float64", specials=False)
            + 1j * random_data(rng, (7, 9, 8), "float64", specials=False)).astype(dtype)
    x = da.from_array(data, chunks=uneven_chunks(rng, data.shape))
    cval = complex(1.5, -2.0)
    coords = rng.uniform(-2, 10, (3, 6, 5))
    c = da.from_array(coords, chunks=(3,) + uneven_chunks(rng, coords.shape[1:]))
    expected = zr.map_coordinates(data, coords, order=order, mode="constant", cval=cval, prefilter=prefilter)
    for inp, crd in ((x, coords), (data, c), (x, c)):
        got = zr.map_coordinates(inp, crd, order=order, mode="constant", cval=cval, prefilter=prefilter)
        assert isinstance(got, da.Array)
        assert_identical(got.compute(scheduler="sync"), expected, "map_coordinates")
    matrix, offset = random_transform(rng, data.shape, (6, 8, 9), "rotate")
    for name, args in (("affine_transform", (matrix, offset, (6, 8, 9))), ("zoom", (1.3,))):
        f = getattr(zr, name)
        kwargs = dict(order=order, mode="nearest", cval=cval, prefilter=prefilter)
        assert_identical(f(x, *args, **kwargs).compute(scheduler="sync"), f(data, *args, **kwargs), name)

"""Windows of the output grid: computed from exactly their input box, bit for bit the same voxels as
the whole result; and the targets' kernels (one lane, 8 or 4 lanes, 16 lanes) give the same bits."""

import os

import numpy as np
import pytest

from zentrova_resample import _engine, _execute, _plan
from zentrova_resample._spline import padded
from conftest import run_python
from resample_support import ALL_DTYPES, assert_same, random_data

MODES = ("constant", "grid-constant", "nearest", "reflect", "mirror", "wrap", "grid-wrap")
DTYPES = ("float32", "uint8", "int16", "float16", "float64", "int32")


def random_plan(rng, ndim, dtype, mode, order):
    shape = tuple(int(v) for v in rng.integers(1, 14, ndim))
    data = random_data(rng, shape, dtype, specials=order < 2)  # one NaN would make every coefficient NaN
    matrix = np.eye(ndim) + rng.uniform(-0.5, 0.5, (ndim, ndim))
    offset = rng.uniform(-3, 3, ndim)
    out_shape = tuple(int(v) for v in rng.integers(1, 26, ndim))
    plan, _, out_dtype = _plan.plan_affine(data, matrix, offset, out_shape, None, order, mode, 0.5)
    return data, plan, out_dtype


def random_window(rng, shape):
    start = [int(rng.integers(0, n + 1)) for n in shape]
    stop = [int(rng.integers(a, n + 1)) for a, n in zip(start, shape)]
    return start, stop


def cut(array, box):
    return array[tuple(slice(a, b) for a, b in box)]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("order", (0, 1, 2, 3, 4, 5))
@pytest.mark.parametrize("dtype", DTYPES)
def test_windows_equal_the_whole_result(mode, order, dtype):
    """Windows that cut rows anywhere (not at vector-block boundaries), computed from their box alone
    (the engine refuses any read outside it), equal the same voxels of the whole result. Orders 2 to 5
    read the whole input's B-spline coefficients (padded for 'nearest' and 'grid-constant'): their
    boxes hold each voxel's whole footprint, in the padded array's coordinates."""
    rng = np.random.default_rng([MODES.index(mode), order, DTYPES.index(dtype)])
    for _ in range(4):
        data, plan, out_dtype = random_plan(rng, int(rng.integers(1, 4)), dtype, mode, order)
        whole = _execute.execute(plan, data, None, out_dtype)
        plan, source = _execute.with_coefficients(plan, data, out_dtype)
        assert (plan.order >= 2) == (source is not data)
        for _ in range(6):
            start, stop = random_window(rng, plan.output_shape)
            box = _execute.input_box(plan, start, stop)
            got = _execute.compute_window(plan, None if box is None else cut(source, box), box, start, stop, out_dtype)
            assert_same(got, whole[tuple(slice(a, b) for a, b in zip(start, stop))], f"{start} {stop} {box}")


@pytest.mark.parametrize("mode", ("constant", "nearest", "grid-constant", "reflect"))
@pytest.mark.parametrize("order", (0, 1, 2, 5))
def test_interior_boxes_are_the_smallest(mode, order):
    """Where every voxel of a window samples well inside the input, no side of its box can be moved
    in: the engine then needs a sample outside the smaller box and says so."""
    rng = np.random.default_rng([order, len(mode)])
    for _ in range(25):
        wider = 0 if order < 2 else 8  # the footprint of orders 2 to 5 is wider: keep it off the borders
        shape = tuple(int(v) for v in rng.integers(12 + wider, 24 + wider, 3))
        data = rng.random(shape).astype(np.float32)
        matrix = np.eye(3) + rng.uniform(-0.3, 0.3, (3, 3))
        centre_in = (np.array(shape) - 1) / 2  # the window's centre maps near the input's
        offset = centre_in - matrix @ centre_in + rng.uniform(-1, 1, 3)
        plan, _, out_dtype = _plan.plan_affine(data, matrix, offset, shape, None, order, mode, 0.0)
        centre = [n // 2 for n in shape]
        start, stop = [c - 2 for c in centre], [c + 2 for c in centre]
        box = _execute.input_box(plan, start, stop)
        assert all(0 < a < b < n for (a, b), n in zip(box, shape)), box  # well inside: no border mode at work
        for axis in range(3):
            for side in (0, 1):
                smaller = list(box)
                a, b = box[axis]
                smaller[axis] = (a + 1, b) if side == 0 else (a, b - 1)
                with pytest.raises(ValueError, match="input box"):
                    _execute.compute_window(plan, cut(data, smaller), tuple(smaller), start, stop, out_dtype)


def test_window_without_input_is_cval():
    """A window that samples only outside the input ('constant') reads nothing."""
    data = np.arange(64, dtype=np.float32).reshape(4, 4, 4)
    plan, _, out_dtype = _plan.plan_affine(data, np.eye(3), [100.0, 0, 0], (4, 4, 4), None, 1, "constant", 7.0)
    assert _execute.input_box(plan, (0, 0, 0), (4, 4, 4)) is None
    np.testing.assert_array_equal(_execute.compute_window(plan, None, None, (0, 0, 0), (2, 3, 4), out_dtype),
                                  np.full((2, 3, 4), 7.0, np.float32))


SIXTEEN_LANES = ("float32", "float16", "uint16", "int16")


def targets_of(dtype):
    """The targets with a kernel of their own for the dtype on this processor."""
    return tuple(t for t in _engine.targets() if t != "avx512" or dtype in SIXTEEN_LANES)


@pytest.mark.parametrize("dtype", ALL_DTYPES)
@pytest.mark.parametrize("mode", MODES)
def test_lane_widths_agree(dtype, mode):
    """Every voxel is computed with the same operations in any lane and on the voxel path, so the
    one-lane, 8- or 4-lane and 16-lane kernels give the same bits (where the processor has them);
    with 'nearest' and 'grid-constant' (orders 1 to 5), from the input with a margin too."""
    rng = np.random.default_rng([MODES.index(mode), len(dtype), ALL_DTYPES.index(dtype)])
    data = random_data(rng, (9, 21, 37), dtype)
    matrix = np.eye(3) + rng.uniform(-0.3, 0.3, (3, 3))
    fill = np.array(1.5).astype(dtype) if mode == "grid-constant" else None
    for order in range(6):
        runs = [(isa, data, 0) for isa in targets_of(dtype)]
        if order > 0 and mode in ("nearest", "grid-constant") and (fill is None or float(fill) == 1.5):
            held = padded(data, 0, order + 1, fill)
            runs += [(isa, held, order + 1) for isa in targets_of(dtype)]
        outs = []
        for isa, src, margin in runs:
            out = np.empty((11, 17, 43), dtype)
            _engine.resample(src, out, tuple(matrix.ravel()), (0.5, -1.0, 2.0), order, _plan.MODES[mode], 1.5,
                             isa=isa, margin=margin)
            outs.append(out)
        for (isa, _, margin), out in zip(runs[1:], outs[1:]):
            assert_same(out, outs[0], f"order {order}: {isa}, margin {margin}, against portable")


@pytest.mark.parametrize("mode, order, margin, box_origin, shape", [
    ("nearest", 3, 3, (0, 0, 0), (12, 12, 12)),      # a margin no larger than the order
    ("constant", 1, 2, (0, 0, 0), (12, 12, 12)),     # order 1 with a mode that reads it from order 2
    ("nearest", 0, 2, (0, 0, 0), (12, 12, 12)),      # order 0
    ("nearest", 1, 2, (0, 0, 1), (12, 12, 12)),      # a box, not the whole input
    ("grid-constant", 1, 2, (0, 0, 0), (12, 12, 4)),  # no input inside the margin
])
def test_engine_refuses_a_bad_margin(mode, order, margin, box_origin, shape):
    out = np.zeros((4, 4, 4), np.float32)
    with pytest.raises(ValueError, match="margin"):
        _engine.resample(np.zeros(shape, np.float32), out, tuple(np.eye(3).ravel()), (0.0,) * 3, order,
                         _plan.MODES[mode], 0.0, margin=margin, box_origin=box_origin)
    assert not out.any()


def test_engine_refuses_coordinates_that_do_not_cover_the_output():
    """Given coordinates of the points' own shape describe the whole output: a window of it (an
    origin), or a count of points other than the output's, is refused before anything is written."""
    src, out = np.ones((6, 7), np.float64), np.zeros((2, 5), np.float64)
    args = ((0.0,) * 9, (0.0,) * 3, 1, 0, 0.0, 2)
    _engine.resample(src, out, *args, coords=np.full((2, 10), 2.0))  # the whole output: one point each
    assert (out == 1.0).all()
    out[...] = 0
    for coords, origin in ((np.zeros((2, 9)), (0, 0, 0)), (np.zeros((2, 10)), (0, 1, 0)),
                           (np.zeros((3, 10)), (0, 0, 0)), (np.zeros((2, 10), np.float32), (0, 0, 0))):
        with pytest.raises(ValueError, match="coords"):
            _engine.resample(src, out, *args, out_origin=origin, coords=coords)
        assert not out.any()


def _poison(dtype):
    dtype = np.dtype(dtype)
    return np.nan if dtype.kind == "f" else np.iinfo(dtype).max


def _engine_window(src, shape, args, box_origin, full_shape, out_origin, isa, interpolated):
    """The engine's window of `shape` at out_origin from src (the box at box_origin), into an output
    whose memory is poisoned first; None when the engine says the box is too small."""
    out = np.empty(shape, src.dtype)
    out.view(np.uint8).fill(0xFF)
    try:
        _engine.resample(src, out, *args, box_origin=box_origin, full_shape=full_shape, out_origin=out_origin,
                         isa=isa, interpolated=interpolated)
    except ValueError as exc:
        assert "input box" in str(exc)
        return None
    return out


@pytest.mark.parametrize("dtype", ("float32", "uint16", "int8", "float64", "int64"))
def test_engine_never_reads_outside_its_box(dtype):
    """Random windows computed from their own box, and from that box one voxel short on one side (or
    from an empty box when they read nothing), laid in poisoned memory, into poisoned outputs, by
    every target: each either equals the window of the whole result or is refused for a missing
    sample; none reads outside its box. Coordinates near +-2^31 included (a chunk far off the
    input, whose empty box once passed the fast-lane test and read outside memory)."""
    rng = np.random.default_rng(len(dtype))
    isas = targets_of(dtype)
    refused = 0
    for trial in range(120):
        full = tuple(int(v) for v in rng.integers(1, 10, 3))
        data = random_data(rng, full, dtype, specials=False)
        matrix = np.eye(3) + rng.uniform(-0.4, 0.4, (3, 3)) * rng.integers(0, 2)
        offset = rng.uniform(-3, 3, 3)
        if trial % 4 == 0:  # far off the input
            offset[int(rng.integers(3))] += rng.choice([-1.0, 1.0]) * float(rng.choice([2**31 - 1.25, 2**31 + 3.5,
                                                                                          2**30, 6e7]))
        order, mode = int(rng.integers(6)), MODES[int(rng.integers(len(MODES)))]
        origin = [int(v) for v in rng.integers(0, 8, 3)]
        shape = [int(v) for v in rng.integers(1, 20, 3)]
        interpolated = int(rng.integers(1, 4))
        for a in range(3 - interpolated):  # axes that keep their index: batch axes, inside the input
            matrix[a], matrix[:, a], offset[a] = np.eye(3)[a], np.eye(3)[:, a], 0.0
            origin[a] = int(rng.integers(full[a]))
            shape[a] = int(rng.integers(1, full[a] - origin[a] + 1))
        if trial % 4 == 1:  # the first cells of a row at exactly INT32_MAX (binary64 types)
            matrix[2], offset[2] = np.eye(3)[2], 2147483647.25 - origin[2]
        origin, shape = tuple(origin), tuple(shape)
        args = (tuple(matrix.ravel()), tuple(offset), order, _plan.MODES[mode], 0.5)
        whole = _engine_window(data, shape, args, (0, 0, 0), full, origin, _engine.targets()[1], interpolated)
        assert whole is not None
        box = _engine.input_box(data.dtype, args[0], args[1], order, args[3], shape, interpolated=interpolated,
                                full_shape=full, out_origin=origin, separable=False, zoom=(1.0,) * 3,
                                shift=(0.0,) * 3, grid_mode=False, pad=0.0)
        if box is None:  # nothing read: the axes that keep their index hold what they index, the others nothing
            kept = 3 - interpolated
            box = (origin[:kept] + (0,) * interpolated, tuple(o + n for o, n in zip(origin, shape))[:kept] +
                   (0,) * interpolated)
        lo, hi = box
        boxes = [(lo, hi)]
        axis = int(rng.integers(3))
        if hi[axis] > lo[axis]:
            short_lo, short_hi = list(lo), list(hi)
            if rng.integers(2):
                short_lo[axis] += 1
            else:
                short_hi[axis] -= 1
            boxes.append((tuple(short_lo), tuple(short_hi)))
        for n, (blo, bhi) in enumerate(boxes):
            # the box inside a larger poisoned array: a read outside it reads poison
            padded = np.full(tuple(b - a + 4 for a, b in zip(blo, bhi)), _poison(dtype), dtype)
            inner = tuple(slice(2, 2 + b - a) for a, b in zip(blo, bhi))
            padded[inner] = data[tuple(slice(a, b) for a, b in zip(blo, bhi))]
            for isa in isas:
                got = _engine_window(padded[inner], shape, args, blo, full, origin, isa, interpolated)
                if got is None:
                    assert n == 1, f"its own box {blo}-{bhi} refused"
                    refused += 1
                    continue
                assert_same(got, whole, f"trial {trial} {isa} box {blo}-{bhi} {mode} order {order}")
    assert refused > 10  # the short boxes do miss samples


def _rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_results_own_their_memory_and_free_it():
    """Large results live on the engine's own buffers: writable, kept alive by the array (a view of a
    result keeps its memory from being handed to a later result), and freed with it, or kept for a
    later result of the same size up to 320 MiB in all (100 leaked 8-12 MiB results would be over
    800 MiB resident). Results alive at once never share memory."""
    import zentrova_resample

    data = np.arange(2 * 64 * 64, dtype=np.float32).reshape(2, 64, 64)
    view = zentrova_resample.affine_transform(data, np.eye(3), output_shape=(512, 64, 64), cval=-1.0, order=1)[1:]
    assert type(view.base.base).__name__ == "BufferOwner" and view.flags.writeable
    previous = None
    for i in range(105):
        if i == 5:
            start = _rss()
        planes = (512, 640, 768, 512)[i % 4] if i % 25 else 9000  # 8-12 MiB, now and then 141 MiB
        out = zentrova_resample.affine_transform(data, np.eye(3), output_shape=(planes, 64, 64), cval=-1.0, order=1)
        assert (out[0] == data[0]).all() and (out[2:] == -1).all() and (out[1] == data[1]).all()
        assert previous is None or not np.shares_memory(out, previous)
        out[0, 0, 0] = i
        previous = out
    del out, previous
    assert _rss() - start < (320 + 64) * 2**20
    np.testing.assert_array_equal(view[0], data[1])  # still readable after all the others were freed
    assert (view[1:] == -1).all()


@pytest.mark.parametrize("keep_ms", [None, "0", "300"])
def test_released_results_are_unmapped_when_idle(keep_ms):
    """A released 64 MiB result stays mapped for the next one (ZENTROVA_KEEP_RELEASED_MS, 10 s by
    default), is unmapped once the pool has had no job for that long, and at once with 0."""
    got = run_python("""
        import json, os, time
        import numpy as np
        import zentrova_resample
        def rss():
            with open("/proc/self/statm") as fh:
                return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
        data = np.ones((2, 64, 64), np.float32)
        start = rss()
        out = zentrova_resample.affine_transform(data, np.eye(3), output_shape=(4096, 64, 64), cval=2.0, order=1)
        assert (out[2:] == 2).all()
        del out
        released = rss()
        time.sleep(1.5)
        print(json.dumps([released - start, rss() - start]))
    """, env={} if keep_ms is None else {"ZENTROVA_KEEP_RELEASED_MS": keep_ms})
    released, idle = got
    kept_then, kept_later = {None: (True, True), "0": (False, False), "300": (True, False)}[keep_ms]
    assert (released > 48) == kept_then and (idle > 48) == kept_later, got

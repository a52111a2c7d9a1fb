"""Orders 2 to 5 and the spline filters: every voxel against the model of scipy's arithmetic (the
coefficients from scipy's own prefilter, stored in float32 after every axis for the types computed
in binary32) and against scipy itself (bit for bit in float64), for every mode and several dtypes
and transforms."""

import warnings

import numpy as np
import pytest
from scipy import ndimage as ndi

import zentrova_resample as zr
from resample_support import (MODES, assert_caught_as_scipy, assert_identical, assert_same, model, raised_by,
                              random_data, random_transform, rng_for, sm)

FILTER_DTYPES = ("float64", "float32", "int16", "uint8", "complex128")


@pytest.mark.parametrize("order", (2, 3, 4, 5))
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.filterwarnings("ignore:promoting specified output dtype to complex")
def test_spline_filters_as_scipy(mode, order):
    """spline_filter1d along every axis and spline_filter, of 1- to 3-D inputs (lines of one and two
    samples included), into float64 and into another type (stored after each axis, as scipy does):
    scipy's bits."""
    rng = rng_for("filters", mode, order)
    for trial in range(6):
        ndim = int(rng.integers(1, 4))
        shape = tuple(int(v) for v in rng.integers(1, 40 if trial % 2 else 5, ndim))
        dtype = FILTER_DTYPES[trial % len(FILTER_DTYPES)]
        x = random_data(rng, shape, dtype.replace("complex128", "float64"), specials=False)
        if dtype == "complex128":
            x = x + 1j * random_data(rng, shape, "float64", specials=False)
        for axis in range(-ndim, ndim):
            assert_identical(zr.spline_filter1d(x, order, axis, mode=mode).view(np.float64),
                             ndi.spline_filter1d(x, order, axis, mode=mode).view(np.float64), f"axis {axis}")
        assert_identical(zr.spline_filter(x, order, mode=mode).view(np.float64),
                         ndi.spline_filter(x, order, mode=mode).view(np.float64), "spline_filter")
        if dtype != "complex128":
            for output in (np.float32, np.zeros(shape, np.int32)):
                ours = zr.spline_filter(x, order, output=output.copy() if isinstance(output, np.ndarray) else output,
                                        mode=mode)
                assert_identical(ours, ndi.spline_filter(x, order, output=output, mode=mode), f"into {output}")
                ours = zr.spline_filter1d(x, order, -1, output=output.copy() if isinstance(output, np.ndarray)
                                          else output, mode=mode)
                assert_identical(ours, ndi.spline_filter1d(x, order, -1, output=output, mode=mode), f"1d {output}")
        if dtype in ("float32", "float64"):  # the input as its own output: filtered in place, as scipy does
            expected = ndi.spline_filter(x, order, output=x.copy(), mode=mode)
            ours = x.copy()
            assert zr.spline_filter(ours, order, output=ours, mode=mode) is ours
            assert_identical(ours, expected, "in place")


@pytest.mark.parametrize("dtype", ("float64", "float32"))
def test_spline_filter_at_every_alignment(dtype):
    """Inputs and outputs starting at every element offset within a cache line (lines along the last
    axis a whole number of cache lines long, read and written in tiles from the first whole line):
    scipy's bits."""
    rng = rng_for("alignment", dtype)
    size = np.dtype(dtype).itemsize
    for offset in range(64 // size):
        buffer = np.zeros(5 * 48 + 64 // size, dtype)
        x = buffer[offset:offset + 5 * 48].reshape(5, 48)
        x[...] = random_data(rng, x.shape, dtype, specials=False)
        expected = ndi.spline_filter1d(x, 3, -1, output=x.copy(), mode="mirror")
        assert_identical(zr.spline_filter1d(x, 3, -1, output=np.float64), ndi.spline_filter1d(x, 3, -1), f"{offset}")
        zr.spline_filter1d(x, 3, -1, output=x, mode="mirror")
        assert_identical(x, expected, f"in place at offset {offset}")


def test_engine_filter_arrays():
    """The engine's filter takes one array or two apart, of one shape; anything else is refused before a
    write. Lines of one sample are copied into another type as they are."""
    from zentrova_resample._engine import spline_filter1d as engine_filter, spline_filter_planes as engine_planes
    a = np.arange(10.0)
    for src, dst, match in ((a[:8], a[2:], "overlap"), (a, a.view(np.float32)[:10], "overlap"),
                            (a, np.zeros(9), "one shape"), (a, np.zeros(10, np.float32)[::-1], "C-contiguous")):
        with pytest.raises((ValueError, TypeError), match=match):
            engine_filter(src, dst, 0, 3, 3)
    assert_identical(a, np.arange(10.0), "refused calls wrote nothing")
    out = np.zeros((1, 10), np.float32)
    engine_filter(a.reshape(1, 10), out, 0, 3, 3)
    assert_identical(out, a.reshape(1, 10).astype(np.float32), "lines of one sample")
    with pytest.raises(ValueError, match="two axes"):
        engine_planes(a, a, a, 3, 3)
    with pytest.raises(ValueError, match="overlap"):
        engine_planes(a.reshape(2, 5), np.zeros((2, 5)), a.view(np.float32)[:10].reshape(2, 5), 3, 3)


@pytest.mark.parametrize("shape", ((3, 1, 5), (3, 5, 1), (1, 1, 4), (2, 3, 40), (4, 37, 9), (2, 2, 5, 6)))
def test_engine_planes_as_two_axes(shape):
    """The last two axes a plane at a time equal the two axes one after the other, bit for bit, for
    every pairing of float32 and float64 arrays, axes of one sample included."""
    from zentrova_resample._engine import spline_filter1d as engine_filter, spline_filter_planes as engine_planes
    rng = rng_for("planes", shape)
    x = rng.normal(0, 100, shape)
    for types in ((np.float64,) * 3, (np.float32, np.float64, np.float32), (np.float32,) * 3):
        for order, mode in ((3, 3), (5, 5), (2, 2)):
            src = x.astype(types[0])
            mid, dst = np.empty(shape, types[1]), np.empty(shape, types[2])
            engine_filter(src, mid, len(shape) - 2, order, mode)
            engine_filter(mid, dst, len(shape) - 1, order, mode)
            got = np.empty(shape, types[2])
            engine_planes(src, np.empty(shape, types[1]), got, order, mode)
            assert_identical(got, dst, f"{types} {order} {mode}")
            if types[0] == types[2]:  # one array throughout: in place
                engine_planes(src, src if types[1] == types[0] else mid, src, order, mode)
                assert_identical(src, dst, f"in place {types} {order} {mode}")


@pytest.mark.parametrize("shape", ((2, 9, 3), (5, 6, 7), (33, 17, 70), (1, 5, 4)))
def test_filter_inside_a_margin(shape):
    """The coefficients filtered in place inside a margin (a window of a larger array) equal those of
    the contiguous array bit for bit, axis by axis and a plane at a time, and the margin is not
    written unless asked; the planes' fill of the margins along y and x, and fill_margin's of all
    three, hold what the interpolation reads past the edges, for every mode."""
    from zentrova_resample import _spline
    from zentrova_resample._engine import spline_filter1d as engine_filter, spline_filter_planes as engine_planes
    from zentrova_resample._plan import MODES as ENGINE_MODES
    rng = rng_for("margin", shape)
    for dtype, (order, mode), m in ((np.float64, (3, "mirror"), 4), (np.float32, (5, "reflect"), 6),
                                    (np.float32, (2, "grid-wrap"), 3), (np.float64, (4, "nearest"), 1)):
        x = rng.normal(0, 100, shape).astype(dtype)
        expected = x.copy()
        _spline.filter_axes(expected, expected, expected, [0, 1, 2], order, mode)
        held = np.full(tuple(n + 2 * m for n in shape), np.nan, dtype)
        window = held[m:-m, m:-m, m:-m]
        window[...] = x
        engine_filter(held, held, 0, order, ENGINE_MODES[mode], m)
        engine_planes(held, held, held, order, ENGINE_MODES[mode], m)
        assert_identical(window, expected, f"{dtype.__name__} order {order} {mode}")
        window[...] = 0
        assert np.isnan(held).sum() == held.size - x.size
        # the margins along y and x filled by the planes, then along z: as fill_margin fills all three
        window[...] = x
        engine_filter(held, held, 0, order, ENGINE_MODES[mode], m)
        engine_planes(held, held, held, order, ENGINE_MODES[mode], m, True)
        _spline.fill_margin(held, 0, m, mode, last=0)
        reference = np.zeros_like(held)
        reference[m:-m, m:-m, m:-m] = expected
        reference = reference[np.ix_(*[m + read_index(np.arange(-m, n + m), n, mode) for n in shape])]
        assert_identical(held, reference, f"filled {dtype.__name__} {mode}")
        with pytest.raises(ValueError, match="fill"):  # 'grid-constant' reads cval there, no sample
            engine_planes(held, held, held, order, ENGINE_MODES["grid-constant"], m, True)


def read_index(i, n, mode):
    """The sample an index i of an axis of n samples reads, by the border rule the interpolation's
    footprints follow (scipy's, with 'constant' and 'wrap' corners folded as 'mirror' folds them:
    they carry zero weight), written as the extended axis it walks: one period of the fold, repeated."""
    if mode == "nearest" or n == 1:
        return np.clip(i, 0, n - 1)
    forward = list(range(n))
    period = {"reflect": forward + forward[::-1], "grid-mirror": forward + forward[::-1],
              "grid-wrap": forward}.get(mode, forward + forward[-2:0:-1])  # 'mirror', 'constant', 'wrap'
    return np.array([period[int(k) % len(period)] for k in np.ravel(i)], dtype=np.int64).reshape(np.shape(i))


MARGIN_DTYPES = ("float64", "float32", "float16", "int16", "uint8", "uint64", "int32")


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("n", (1, 2, 5))
def test_engine_margin_as_the_border_rule(n, mode):
    """The engine's fill_margin: every margin sample, of every axis it fills (over the others' whole
    extent, corners included), is the sample the border rule reads at that index (the slow model
    above), or the value where given; widths beyond the axis too, views with strides, the axes
    before `lead` and after `last` and the window inside untouched."""
    from zentrova_resample import _engine
    rng = rng_for("engine margin", n, mode)
    for trial, width in enumerate((1, 2, 3, 7)):
        dtype = np.dtype(MARGIN_DTYPES[(trial + n) % len(MARGIN_DTYPES)])
        ndim = (1, 2, 3, 4)[trial]
        lead = int(rng.integers(0, ndim))
        last = int(rng.integers(lead, ndim))
        shape = tuple(n + 2 * width if lead <= a <= last else int(rng.integers(1, 4)) for a in range(ndim))
        bits = np.dtype(f"u{dtype.itemsize}")  # any bit pattern (NaN payloads too) comes out as it went in
        data = rng.integers(0, 2**(8 * dtype.itemsize) - 1, shape, dtype=np.uint64).astype(bits).view(dtype)
        reads = [width + read_index(np.arange(-width, n + width), n, mode) if lead <= a <= last
                 else np.arange(shape[a]) for a in range(ndim)]
        inside = tuple(slice(width, width + n) if lead <= a <= last else slice(None) for a in range(ndim))
        reference = np.zeros_like(data)
        reference[inside] = data[inside]
        expected = reference[np.ix_(*reads)]
        # a view of a larger array, every other element along the last axis, the first axis reversed
        held = np.zeros(shape[:-1] + (2 * shape[-1],), dtype)[..., ::2][::-1]
        held[...] = reference
        if mode == "grid-constant":
            with pytest.raises(ValueError, match="grid-constant"):
                _engine.fill_margin(held, lead, width, _engine.MODES[mode], last=last)
        else:
            _engine.fill_margin(held, lead, width, _engine.MODES[mode], last=last)
            assert_identical(held.view(bits), expected.view(bits), f"{dtype} {shape} {lead}..{last}")
        value = data.flat[0]
        held[...] = reference
        _engine.fill_margin(held, lead, width, _engine.MODES[mode], value, last)
        filled = np.full_like(reference, value)
        filled[inside] = reference[inside]
        assert_identical(held.view(bits), filled.view(bits), f"value {dtype} {shape} {lead}..{last}")
    if mode != "grid-constant":
        with pytest.raises(ValueError, match="longer"):  # no sample left to read
            _engine.fill_margin(np.zeros((3, 2 * n)), 1, n, _engine.MODES[mode])
        # large enough to be cut into tasks for the pool's threads (the last axis's scattered samples)
        big = rng.normal(size=(150, 140, n + 4))
        expected = big[np.ix_(*[2 + read_index(np.arange(-2, m - 2), m - 4, mode) for m in big.shape])]
        _engine.fill_margin(big, 0, 2, _engine.MODES[mode])
        assert_identical(big, expected, f"{big.shape}")


ORDER_DTYPES = ("float64", "int32", "uint64", "float32", "uint16", "int8", "float16")


@pytest.mark.parametrize("order", (2, 3, 4, 5))
@pytest.mark.parametrize("mode", MODES)
def test_orders_2_to_5_as_the_model(mode, order):
    """affine_transform of 1- to 3-D inputs with random transforms and output grids, with and without
    prefilter: the model bit for bit (binary64 types: scipy's own arithmetic; binary32 types: the
    model in float32 on float32 coefficients)."""
    rng = rng_for("orders", mode, order)
    for trial in range(5):
        ndim = int(rng.integers(1, 4))
        in_shape = tuple(int(v) for v in rng.integers(1, 9, ndim))
        out_shape = tuple(int(v) for v in rng.integers(1, 11, ndim))
        dtype = ORDER_DTYPES[(trial + order) % len(ORDER_DTYPES)]
        x = random_data(rng, in_shape, dtype, specials=False)
        kind = ("rotate", "general", "scale_up", "diagonal", "translate")[trial]
        matrix, offset = random_transform(rng, in_shape, out_shape, kind)
        cval, prefilter = float(rng.choice([0.0, 2.5, -7.0])), trial != 3
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            got = zr.affine_transform(x, matrix, offset, out_shape, order=order, mode=mode, cval=cval,
                                      prefilter=prefilter)
            expected = model(x, matrix, offset, out_shape, order, mode, cval, prefilter=prefilter)
        assert_same(got, expected, f"{kind} {dtype} {in_shape}->{out_shape} prefilter {prefilter}")


@pytest.mark.parametrize("order", (0, 1, 3, 5))
@pytest.mark.parametrize("mode", ("mirror", "reflect", "wrap", "grid-wrap", "nearest", "grid-constant"))
def test_voxels_far_outside_the_input(mode, order):
    """A rotation zoomed out threefold: most voxels lie outside the input, up to several periods
    away, in whole vector blocks (rows of 40), which the kernels map back into the input in lanes
    (the mirroring and wrapping modes, 'nearest' at order 0) or read from a margin around the input
    ('nearest' and 'grid-constant' at orders 1 to 5; uint16 with cval 2 takes it, with 1.5 not): the
    model bit for bit; map_coordinates at the same points given as arrays, float64, scipy's result
    bit for bit."""
    rng = rng_for("far outside", mode, order)
    out_shape = (6, 7, 40)
    for dtype, cval in (("float32", 1.5), ("float64", 1.5), ("uint16", 2.0), ("uint16", 1.5)):
        x = random_data(rng, (7, 9, 11), dtype, specials=False)
        matrix = np.linalg.qr(rng.normal(size=(3, 3)))[0] * 3.0
        offset = (np.array(x.shape) - 1) / 2 - matrix @ ((np.array(out_shape) - 1) / 2) + rng.uniform(-1, 1, 3)
        got = zr.affine_transform(x, matrix, offset, out_shape, order=order, mode=mode, cval=cval)
        assert_same(got, model(x, matrix, offset, out_shape, order, mode, cval), f"{dtype} cval {cval}")
        if dtype == "float64":
            points = (matrix @ np.indices(out_shape).reshape(3, -1) + offset[:, None]).reshape((3,) + out_shape)
            assert_identical(zr.map_coordinates(x, points, order=order, mode=mode, cval=1.5),
                             ndi.map_coordinates(x, points, order=order, mode=mode, cval=1.5), "map_coordinates")


@pytest.mark.parametrize("func", ("shift", "zoom", "rotate"))
@pytest.mark.parametrize("order", (2, 3, 4, 5))
def test_derived_functions_at_higher_orders(func, order):
    """shift, zoom and rotate at orders 2 to 5: float64 and int32 equal scipy bit for bit; float32 and
    uint16 equal the model (shift, zoom) or scipy within float32 rounding (rotate)."""
    rng = rng_for("derived orders", func, order)
    for trial, mode in enumerate(MODES):
        dtype = ("float64", "int32", "float32", "uint16")[trial % 4]
        x = random_data(rng, tuple(int(v) for v in rng.integers(2, 9, 3)), dtype, specials=False)
        arg = {"shift": rng.uniform(-3, 3, 3), "zoom": rng.uniform(0.6, 1.8, 3), "rotate": float(rng.uniform(-90, 90))}
        args = (arg[func],) if func != "rotate" else (arg[func], (0, 2))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            got = getattr(zr, func)(x, *args, order=order, mode=mode, cval=1.5)
            theirs = getattr(ndi, func)(x, *args, order=order, mode=mode, cval=1.5)
        if dtype in ("float64", "int32"):
            assert_identical(got, theirs, f"{mode} {dtype}")
        elif func != "rotate":
            fn = {"shift": sm.shift_model, "zoom": sm.zoom_model}[func]
            assert_same(got, fn(x, *args, order=order, mode=mode, cval=1.5, compute_dtype=np.float32), mode)
        else:
            scale = max(1.0, float(np.abs(theirs.astype(float)).max()))
            assert np.abs(got.astype(float) - theirs.astype(float)).max() <= 1e-5 * scale + (dtype == "uint16"), mode


BAD_CALLS = [  # (function, arguments, keywords, exception, argument named)
    ("spline_filter", (1,), {}, ValueError, "order"),
    ("spline_filter1d", (6,), {}, ValueError, "order"),
    ("spline_filter1d", (3,), {"axis": 2}, ValueError, "axis"),
    ("spline_filter1d", (3,), {"axis": 1.0}, TypeError, "axis"),
    ("spline_filter", (3,), {"mode": "edge"}, ValueError, "mode"),
    ("spline_filter", (3,), {"output": np.zeros((5, 4))}, ValueError, "output"),
    ("affine_transform", (np.eye(2),), {"order": 6}, ValueError, "order"),
    ("map_coordinates", (np.ones((3, 2)),), {}, ValueError, "coordinates"),
    ("map_coordinates", (np.ones(2),), {}, ValueError, "coordinates"),
    ("map_coordinates", (np.ones((2, 3), complex),), {}, TypeError, "coordinates"),
    ("map_coordinates", (np.ones((2, 3)),), {"order": 6}, ValueError, "order"),
    ("map_coordinates", (np.ones((2, 3)),), {"output": np.zeros(4)}, ValueError, "output"),
    ("map_coordinates", (np.ones((2, 3)),), {"mode": "edge"}, ValueError, "mode"),
]


@pytest.mark.parametrize("func, args, kwargs, exc, name", BAD_CALLS)
def test_bad_arguments(func, args, kwargs, exc, name):
    """The error names the argument, and is a RuntimeError where scipy's is one."""
    x = np.ones((4, 5))
    theirs = raised_by(lambda: getattr(ndi, func)(x, *args, **{k: v.copy() if isinstance(v, np.ndarray) else v
                                                               for k, v in kwargs.items()}))
    with pytest.raises(exc, match=name) as info:
        getattr(zr, func)(x, *args, **kwargs)
    assert_caught_as_scipy(info.value, theirs)


@pytest.mark.parametrize("dtype", ("float64", "int32", "float32", "uint8"))
def test_map_coordinates_as_scipy(dtype):
    """map_coordinates at every order and mode, coordinates of several dtypes and layouts (NaN included),
    1- to 4-D inputs, and a channel axis carried along: float64 and int32 scipy's result bit for bit, the
    float32-computed types the model (coordinates rounded to float32) or within rounding of it."""
    rng = rng_for("map_coordinates", dtype)
    for ndim in (1, 2, 3, 4):
        x = random_data(rng, tuple(int(v) for v in rng.integers(3, 8, ndim)), dtype, specials=False)
        coords = rng.uniform(-2, 9, (ndim, 5, 7))
        coords[0, 0, 0] = np.nan
        forms = (coords, coords.astype(np.float32), np.asfortranarray(coords), np.round(np.nan_to_num(coords[..., ::2])).astype(int))
        for trial, c in enumerate(forms):
            order, mode = (ndim + trial) % 6, MODES[(ndim * 3 + trial) % len(MODES)]
            # the float32-computed types sample at the coordinates rounded to float32
            seen = c if dtype in ("float64", "int32") else np.asarray(c).astype(np.float32)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                got = zr.map_coordinates(x, c, order=order, mode=mode, cval=1.5)
                theirs = ndi.map_coordinates(x, seen, order=order, mode=mode, cval=1.5)
            given = np.full(got.shape, 7, got.dtype)  # an output that the kernels fill as it is
            assert zr.map_coordinates(x, c, given, order=order, mode=mode, cval=1.5) is given
            assert_identical(given, got, f"{ndim}-D {c.dtype} into an output")
            if dtype in ("float64", "int32"):
                assert_identical(got, theirs, f"{ndim}-D {c.dtype} order {order} {mode}")
            else:
                scale = max(1.0, float(np.nanmax(np.abs(theirs.astype(float)))))
                d = np.abs(got.astype(float) - theirs.astype(float))
                assert np.array_equal(np.isnan(got.astype(float)), np.isnan(theirs.astype(float)))
                assert np.nanmax(d, initial=0) <= 2e-5 * scale + (dtype == "uint8"), (ndim, order, mode)
    rgb = random_data(rng, (9, 10, 3), dtype, specials=False)
    c2 = rng.uniform(0, 8, (2, 4, 5))
    got = zr.map_coordinates(rgb, c2, order=1, batch_axes=-1)
    assert got.shape == (4, 5, 3)
    for ch in range(3):
        assert_identical(got[..., ch], zr.map_coordinates(rgb[..., ch], c2, order=1))


@pytest.mark.parametrize("order", (2, 3, 4, 5))
@pytest.mark.parametrize("mode", MODES)
def test_map_coordinates_across_the_edges(mode, order):
    """Points within three samples of a volume's faces, edges and corners, inside and out, where the
    footprints read the margin around the coefficients (or are moved into it): scipy's result bit for
    bit, float64, as a dense field and as a list of points."""
    rng = rng_for("across the edges", mode, order)
    shape = np.array((6, 9, 13))
    x = random_data(rng, tuple(shape), "float64", specials=False)
    near = rng.integers(0, 3, (3, 400))  # per axis: near the first sample, near the last, or anywhere
    offsets = rng.uniform(-3, 3, (3, 400))
    c = np.where(near == 0, offsets, np.where(near == 1, shape[:, None] - 1 + offsets,
                                              rng.uniform(0, 1, (3, 400)) * (shape[:, None] - 1)))
    theirs = ndi.map_coordinates(x, c, order=order, mode=mode, cval=1.5)
    assert_identical(zr.map_coordinates(x, c, order=order, mode=mode, cval=1.5), theirs, "list")
    field = c.reshape(3, 16, 25)
    assert_identical(zr.map_coordinates(x, field, order=order, mode=mode, cval=1.5), theirs.reshape(16, 25), "field")


@pytest.mark.parametrize("order", (1, 3))
@pytest.mark.parametrize("mode", ("nearest", "grid-constant", "mirror"))
def test_images_and_stacks_rotated(mode, order):
    """2-D images rotated with a third of the output outside, alone and as a stack along a carried
    axis (a margin copied per image, or one call for the stack folded into the first axis): scipy's
    result bit for bit, float64."""
    rng = rng_for("images", mode, order)
    image = random_data(rng, (23, 31), "float64", specials=False)
    stack = random_data(rng, (3, 17, 12), "float64", specials=False)
    for x, axes in ((image, (0, 1)), (stack, (1, 2)), (np.moveaxis(stack, 0, -1), (0, 1))):
        got = zr.rotate(x, 37.0, axes=axes, order=order, mode=mode, cval=1.5)
        assert_identical(got, ndi.rotate(x, 37.0, axes=axes, order=order, mode=mode, cval=1.5), f"{x.shape}")


@pytest.mark.parametrize("order", (0, 1, 3))
def test_map_coordinates_into_its_own_operands(order):
    """An output that is the input itself, or overlaps the coordinates a block further on, gives the
    result of a fresh output (each is read before it is written over)."""
    rng = rng_for("map into operands", order)
    x = random_data(rng, (6, 7, 40), "float64", specials=False)
    coords = np.indices(x.shape, dtype=np.float64) + rng.uniform(-1.5, 1.5, (3,) + x.shape)
    expected = zr.map_coordinates(x, coords, order=order, mode="mirror")
    inplace = x.copy()
    assert_identical(zr.map_coordinates(inplace, coords, inplace, order=order, mode="mirror"), expected, "input")
    buffer = np.empty(4 * x.size)
    shared = buffer[:3 * x.size].reshape(coords.shape)
    shared[...] = coords
    out = buffer[x.size // 2 + 17:x.size // 2 + 17 + x.size].reshape(x.shape)  # across coordinates 0 and 1
    zr.map_coordinates(x, shared, out, order=order, mode="mirror")
    assert_identical(out, expected, "coordinates")




@pytest.mark.parametrize("pair", (("float32", "float64"), ("float64", "float32"), ("float64", "int16"),
                                  ("uint16", "float64")))
def test_split_copies_as_numpy(monkeypatch, pair):
    """The coefficients' copies split over threads give NumPy's cast bit for bit (NaN, inf, out-of-range
    values, a part per thread and more threads than rows), and report a floating-point error to the
    calling thread as its own settings ask, whichever part met it."""
    from zentrova_resample import _spline
    monkeypatch.setattr(_spline, "_PARALLEL_COPY_BYTES", 0)
    rng = rng_for("split copies", *pair)
    src = random_data(rng, (7, 5, 3), pair[0], specials=False)
    if src.dtype.kind == "f":
        src.flat[[3, 50, 90]] = (np.nan, np.inf, 1e300 if src.dtype == np.float64 else -3e38)
    for shape in ((7, 5, 3), (1, 105)):
        s = src.reshape(shape)
        expected = np.empty(shape, pair[1])
        with np.errstate(all="ignore"):
            expected[...] = s
            got = _spline._converted(s, pair[1])
        assert_same(got, expected, f"{pair} {shape}")
    if pair == ("float64", "float32"):
        big = np.zeros((4, 3))
        big[3, 2] = 1e300  # in the last thread's part
        with np.errstate(over="raise"), pytest.raises(FloatingPointError):
            _spline._converted(big, np.float32)

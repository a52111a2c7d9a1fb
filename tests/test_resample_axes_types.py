"""Axes carried along (named with batch_axes, or left alone by the transform) wherever they are;
bool and complex inputs; scalars read before any view of the input. Each case is compared with the
model of scipy's arithmetic or with scipy itself, on every voxel."""

import itertools

import numpy as np
import pytest
from scipy import ndimage as ndi

import zentrova_resample as zr
from resample_support import MODES, assert_identical, assert_same, model, random_data, rng_for, sm

da = pytest.importorskip("dask.array")


def per_index(x, axes, fn):
    """fn applied to every index of the `axes` of x alone (the carried axes), the results put back."""
    axes = sorted(a % x.ndim for a in np.atleast_1d(axes))
    front = np.moveaxis(x, axes, range(len(axes)))
    parts = [fn(front[index]) for index in np.ndindex(*front.shape[:len(axes)])]
    stacked = np.stack(parts).reshape(front.shape[:len(axes)] + parts[0].shape)
    return np.moveaxis(stacked, range(len(axes)), axes)


@pytest.mark.parametrize("axes", (-1, 0, 1, (0, 2), (1, 3), (0, 1, 3)))
@pytest.mark.parametrize("dtype", ("float32", "uint8", "float64", "int64"))
def test_batch_axes_anywhere(dtype, axes):
    """A matrix for the axes not named by batch_axes: every index of the named ones alike, in memory
    and chunked, with the output C-contiguous in the caller's axis order; a channel axis last or
    first as well as in the middle."""
    rng = rng_for("batch axes", dtype, axes)
    x = random_data(rng, (3, 5, 6, 4), dtype)
    k = 4 - len(np.atleast_1d(axes))
    m, off = np.eye(k) + rng.uniform(-0.4, 0.4, (k, k)), rng.uniform(-1.5, 1.5, k)
    out_shape = list(x.shape)
    moved = [a for a in range(4) if a not in [b % 4 for b in np.atleast_1d(axes)]]
    for a in moved:
        out_shape[a] += int(rng.integers(-2, 3))
    for mode, order in (("reflect", 1), ("constant", 0), ("grid-constant", 1), ("wrap", 1)):
        got = zr.affine_transform(x, m, off, out_shape, order=order, mode=mode, cval=1.5, batch_axes=axes)
        expected = per_index(x, axes, lambda s: model(s, m, off, [out_shape[a] for a in moved], order, mode, 1.5))
        assert got.flags.c_contiguous
        assert_identical(got, expected, f"{mode} {order}")
        lazy = zr.affine_transform(da.from_array(x, chunks=(2, 3, 4, 3)), m, off, out_shape, order=order, mode=mode,
                                   cval=1.5, batch_axes=axes, output_chunks=(2, 2, 5, 3))
        assert_identical(lazy.compute(scheduler="sync"), expected, f"dask {mode} {order}")
    for mode, order in (("nearest", 3), ("grid-constant", 2), ("mirror", 5)):  # orders 2 to 5 in memory
        got = zr.affine_transform(x, m, off, out_shape, order=order, mode=mode, cval=1.5, batch_axes=axes)
        expected = per_index(x, axes, lambda s: model(s, m, off, [out_shape[a] for a in moved], order, mode, 1.5))
        assert_identical(got, expected, f"{mode} {order}")


def test_channels_last_image_needs_batch_axes():
    """An (H, W, 3) image with a 2x2 matrix: which axis is carried along is the caller's to say."""
    rgb = random_data(rng_for("rgb"), (20, 30, 3), "uint8")
    m = np.array([[0.9, 0.2], [-0.2, 0.9]])
    with pytest.raises(ValueError, match="batch_axes"):
        zr.affine_transform(rgb, m, order=1)
    with pytest.raises(ValueError, match="batch_axes"):
        zr.affine_transform(rgb[None], np.eye(3), order=1)
    got = zr.affine_transform(rgb, m, 2.0, batch_axes=-1, order=1)
    assert_identical(got, np.stack([model(rgb[..., c], m, 2.0) for c in range(3)], -1))


@pytest.mark.parametrize("order", (0, 1))
def test_axes_left_alone_anywhere(order):
    """Of a transform of more than three axes, those it leaves alone are carried along wherever they
    are (finite data: scipy's result bit for bit); four that move run through the point kernel."""
    rng = rng_for("left alone", order)
    zyxc = random_data(rng, (5, 6, 7, 3), "float64", specials=False)
    assert_identical(zr.zoom(zyxc, [2, 2, 2, 1], order=order), ndi.zoom(zyxc, [2, 2, 2, 1], order=order))
    assert_identical(zr.shift(zyxc, [0, 1.5, 0, -0.5], order=order, mode="mirror"),
                     ndi.shift(zyxc, [0, 1.5, 0, -0.5], order=order, mode="mirror"))
    m = np.eye(5)
    m[:2, :2] = [[0.9, 0.3], [-0.2, 1.1]]
    m[3, 3] = 0.8
    for matrix, offset in ((m, [0.5, -1, 0, 1.5, 0]), (np.diag(m), [0.5, 0, 0, 1.5, 0])):
        x = zyxc[:, None]
        shape = (6, 1, 6, 9, 3)
        got = zr.affine_transform(x, matrix, offset, shape, order=order, mode="nearest")
        assert_identical(got, ndi.affine_transform(x, matrix, offset, shape, order=order, mode="nearest"))
    # four that move, and an output of four axes from two: the point kernel, scipy's result bit for bit
    assert_identical(zr.zoom(zyxc, [2, 1.5, 0.5, 2], order=order), ndi.zoom(zyxc, [2, 1.5, 0.5, 2], order=order))
    m4 = np.eye(4) + np.random.default_rng(order).uniform(-0.2, 0.2, (4, 4))
    for matrix, shape in ((m4, (4, 5, 6, 3)), (np.ones((2, 4)) * 0.7, (3, 2, 4, 2))):
        x = zyxc if matrix.shape[0] == 4 else zyxc[:, :, 0, 0]
        assert_identical(zr.affine_transform(x, matrix, 0.5, shape, order=order, mode="reflect"),
                         ndi.affine_transform(x, matrix, 0.5, shape, order=order, mode="reflect"))


@pytest.mark.parametrize("order", (2, 3, 4, 5))
def test_axes_left_alone_without_prefilter(order):
    """With prefilter=False the input is the spline's coefficients, which the spline smooths at whole
    positions too (order 3: 1/6, 2/3, 1/6): the axes a transform of four or five axes leaves alone are
    interpolated, not carried, and every voxel is scipy's (with the prefilter they are carried)."""
    rng = rng_for("left alone, no prefilter", order)
    zyxc = rng.normal(size=(5, 6, 7, 3))
    m = np.eye(5)
    m[:2, :2] = [[0.9, 0.3], [-0.2, 1.1]]
    calls = [("zoom", (zyxc, [2, 1, 2, 1])), ("shift", (zyxc, [0, 1.5, 0, -0.5])),
             ("affine_transform", (zyxc[:, None], m, [0.5, 0, 0, 1.5, 0])),
             ("zoom", (np.round(zyxc * 1000).astype(np.int16), 1))]
    for name, args in calls:
        kwargs = dict(order=order, mode="mirror", prefilter=False)
        assert_identical(getattr(zr, name)(*args, **kwargs), getattr(ndi, name)(*args, **kwargs), name)


@pytest.mark.parametrize("func", ("affine_transform", "shift", "zoom", "rotate"))
def test_bool_as_scipy(func):
    """bool in and out: scipy's values (computed in float64, stored as C stores a double into NumPy's
    byte-sized bool, so true where the value is 1 or more), every byte 0 or 1."""
    rng = rng_for("bool", func)
    x = rng.random((9, 10, 11)) > 0.4
    args = {"affine_transform": (np.eye(3) + rng.uniform(-0.3, 0.3, (3, 3)), 0.7), "shift": ([0.5, -1.25, 2],),
            "zoom": ([1.6, 0.7, 1.3],), "rotate": (33,)}[func]
    for mode in MODES:
        for order in (0, 1):
            for cval in (0.0, 1.0, 0.5, 2.5):
                got = getattr(zr, func)(x, *args, order=order, mode=mode, cval=cval)
                expected = getattr(ndi, func)(x, *args, order=order, mode=mode, cval=cval)
                assert got.dtype == bool and set(np.unique(got.view(np.uint8))) <= {0, 1}
                assert np.array_equal(got, expected.view(np.uint8) != 0), (mode, order, cval)
    values = rng.normal(0, 2, (8, 9))
    got = zr.affine_transform(values, np.eye(2) * 0.9, 0.3, output=bool, order=1)
    assert np.array_equal(got, ndi.affine_transform(values, np.eye(2) * 0.9, 0.3, output=bool, order=1) != 0)


@pytest.mark.parametrize("dtype", ("complex64", "complex128"))
@pytest.mark.parametrize("func", ("affine_transform", "shift", "zoom", "rotate"))
def test_complex_as_its_parts(func, dtype):
    """A complex input: its real and imaginary parts resampled as real arrays (complex128: scipy's
    result bit for bit), a complex cval giving each part its part, in memory and chunked."""
    rng = rng_for("complex", func, dtype)
    x = np.empty((7, 8, 9), dtype)
    x.real, x.imag = (random_data(rng, x.shape, x.real.dtype) for _ in range(2))
    args = {"affine_transform": (np.eye(3) + rng.uniform(-0.3, 0.3, (3, 3)), 0.7), "shift": ([0.5, -1.25, 2],),
            "zoom": ([1.6, 0.7, 1.3],), "rotate": (33,)}[func]
    fn = getattr(zr, func)
    for mode, order, cval in (("constant", 1, 2 - 3j), ("grid-constant", 0, 1.5), ("reflect", 1, 0j)):
        got = fn(x, *args, order=order, mode=mode, cval=cval)
        assert got.dtype == x.dtype and got.flags.c_contiguous
        c = complex(cval)
        assert_identical(got.real, fn(x.real.copy(), *args, order=order, mode=mode, cval=c.real))
        assert_identical(got.imag, fn(x.imag.copy(), *args, order=order, mode=mode, cval=c.imag))
        if dtype == "complex128":
            theirs = getattr(ndi, func)(x, *args, order=order, mode=mode, cval=cval)
            assert_identical(got.real, theirs.real)
            assert_identical(got.imag, theirs.imag)
        lazy = fn(da.from_array(x, chunks=4), *args, order=order, mode=mode, cval=cval)
        assert lazy.dtype == x.dtype
        computed = lazy.compute(scheduler="sync")
        assert_identical(computed.real, got.real)
        assert_identical(computed.imag, got.imag)
    into = np.zeros(got.shape, np.complex128)
    fn(x, *args, output=into)
    with pytest.warns(UserWarning, match="promoting"):
        assert fn(x, *args, output=np.float64).dtype == np.complex128


@pytest.mark.filterwarnings("ignore:overflow encountered in cast")
def test_engine_stores_as_the_model():
    """Computed values stored into every output type by the engine (float32 into the binary32 family,
    float64 into any) as the model of scipy's stores says, on special and boundary values."""
    t64 = np.array([0.0, -0.0, 0.4999999, 0.5, 1.5, 2.5, -0.5, -1.5, 127.5, 128.5, 255.5, 256.0, -129.5,
                    32767.5, 65535.5, 65536.0, 2.0**31, -2.0**31 - 0.5, 2.0**32, 2.0**63, 2.0**64, -2.0**63 - 4096,
                    1e300, -1e300, np.inf, -np.inf, np.nan, 65519.99, 65520.0, 2.0**-25, 2.0**-24 * 1.5,
                    1 + 2.0**-11 + 2.0**-40, 1e-310])
    from zentrova_resample import _dtypes
    # ... and the same values among random ones in an array the engine stores in parallel runs of
    # 2**16 elements and blocks of 16, with a remainder of each
    rng = rng_for("stores")
    many = np.concatenate([rng.uniform(-7e4, 7e4, 2**17), np.resize(t64, 2**16 + 37)])
    rng.shuffle(many)
    for source, values in itertools.product((np.float32, np.float64), (t64, many)):
        t = values.astype(source)
        for name in ("uint8", "int8", "uint16", "int16", "float16", "float32", "float64", "int32", "uint32", "int64",
                     "uint64", "bool"):
            target = np.dtype(name)
            if source is np.float32 and target not in _dtypes.SMALL:
                continue  # binary32 values go into the binary32 family only
            got = _dtypes.cast(t, target)
            if name == "float16":  # one rounding from either type, as NumPy rounds
                expected = t.astype(np.float16)
            elif name == "bool":
                expected = sm.cast_output(t, target).view(np.uint8) != 0
            else:
                expected = sm.cast_output(t, target)
                if target.itemsize == 8 and target.kind in "iu":  # ours saturate where scipy's wrap
                    from resample_support import saturate_wide
                    expected = saturate_wide(expected, t.astype(np.float64), target)
            assert_same(got, expected, f"{source.__name__} -> {name}")


@pytest.mark.parametrize("func", ("rotate", "affine_transform", "zoom", "shift"))
def test_scalars_read_before_any_view(func):
    """A cval whose __float__ resizes the input (refcheck=False moves its memory): the call reads every
    scalar first, so it resamples the array as it is after the resize (a view taken before would read
    freed memory)."""
    x = np.arange(30 * 30, dtype=np.float64).reshape(30, 30).copy()  # owns its memory: it can be resized

    class Resizing:
        def __float__(self):
            x.resize((60, 60), refcheck=False)
            x[...] = 7.0
            return 1.5

    args = {"rotate": (30,), "affine_transform": (np.eye(2) * 0.9, 0.5), "zoom": (1.5,), "shift": (0.5,)}[func]
    got = getattr(zr, func)(x, *args, cval=Resizing())
    assert x.shape == (60, 60)
    assert_identical(got, getattr(zr, func)(x.copy(), *args, cval=1.5))


def test_offset_as_zero_dimensional_array():
    x = random_data(rng_for("0-d offset"), (6, 7, 8), "float32")
    m = np.eye(3) * 0.9
    assert_same(zr.affine_transform(x, m, np.array(0.5)), zr.affine_transform(x, m, 0.5))


@pytest.mark.parametrize("compute, dtypes", [
    (np.float32, (np.uint8, np.int8, np.uint16, np.int16, np.float16, np.float32)),
    (np.float64, (np.float64, np.int32, np.uint32, np.int64, np.uint64, np.uint16, np.float16, np.bool_))])
def test_cast_at_any_offset_and_length(compute, dtypes):
    """The engine's store of computed values into each output type equals the model's, for sources
    starting at every element offset of a vector (unaligned loads) and lengths around whole blocks
    of lanes (the tail one at a time), with ties, limits, infinities and NaN among the values (64-bit
    integers saturate where scipy's conversion wraps, a stated difference: only values inside them)."""
    from zentrova_resample._engine import cast
    rng = rng_for("cast", compute)
    special = np.array([0.5, 1.5, 2.5, -0.5, -2.5, 127.5, 255.5, -128.5, 32767.5, 65535.5, 65536.0, -1.0, 2.0**31,
                        -(2.0**31) - 0.5, 2.0**32, 2.0**63, np.inf, -np.inf, np.nan, -0.0], compute)
    values = np.concatenate([special, rng.normal(0, 3e4, 200).astype(compute)])
    values = np.concatenate([values, np.round(values[20:]) + compute(0.5)])  # ties of every size
    for dtype in dtypes:
        if dtype in (np.int64, np.uint64):
            values = values[np.abs(values) < 2.0**62]
        for offset in range(4):
            for n in (1, 7, 8, 15, 16, 17, 33, len(values) - 4):
                src = values[offset:offset + n]
                dst = np.empty(n, dtype)
                cast(src, dst)
                expected = sm.cast_output(src, dtype)
                if dtype == np.bool_:  # stored as 0 and 1 bytes, where scipy may store other nonzero ones
                    expected = expected.view(np.uint8) != 0
                assert_identical(dst, expected, f"{np.dtype(dtype)} offset {offset} n {n}")

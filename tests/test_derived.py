"""zentrova_resample.shift, zoom and rotate bit for bit against scipy.ndimage and the NumPy model.

Every result is compared with ``scipy_model`` (computed in float64 when the input or output dtype is
float64 or a 32-/64-bit integer, else in float32, as the kernels compute) and, where scipy takes
the case (not float16, not a process-killing non-finite shift) and the model says float64, with
scipy itself: identical bits, two NaNs matching whatever their payload.
"""

import warnings

import numpy as np
import pytest
from scipy import ndimage as ndi
from scipy import special

import resample_support
from resample_support import assert_caught_as_scipy, assert_identical, quiet, raised_by, random_shape, rng_for
import scipy_model as sm
import zentrova_resample as zr
from zentrova_resample import _derived

MODES = sm.MODES
DTYPES = ("u1", "i1", "u2", "i2", "f2", "f4", "f8", "i4", "u4", "i8", "u8")


def compute_dtype(in_dtype, output, order=None):
    out = in_dtype if output is None else (output.dtype if isinstance(output, np.ndarray) else np.dtype(output))
    return resample_support.compute_dtype(*(np.dtype(d).newbyteorder("=") for d in (in_dtype, out)), order=order)


MODEL = {"shift": sm.shift_model, "zoom": sm.zoom_model, "rotate": sm.rotate_model}
OURS = {"shift": zr.shift, "zoom": zr.zoom, "rotate": zr.rotate}


def saturate_64(expected, t, dtype):
    """The kernels store 64-bit integers saturated where scipy's conversion wraps (as affine_transform
    does, by design): t + 0.5 >= 2**63 gives INT64_MAX (scipy: INT64_MIN), t + 0.5 >= 2**64 gives
    UINT64_MAX (scipy: 0). `t` is the value before the store (float64 for these types)."""
    dtype = np.dtype(dtype)
    if dtype not in (np.dtype(np.int64), np.dtype(np.uint64)):
        return expected
    with np.errstate(invalid="ignore"):
        over = t.astype(np.float64) + 0.5 >= (2.0**63 if dtype == np.int64 else 2.0**64)
    return np.where(over.reshape(expected.shape), np.iinfo(dtype).max, expected).astype(dtype)


def check(name, x, arg, scipy=True, context="", **kwargs):
    """Ours against the model (in the kernels' compute type) and, where that type is float64, scipy;
    linear unless an order is given (the model's orders are 0 to 5, its default 1)."""
    kwargs.setdefault("order", 1)
    got = quiet(OURS[name], x, arg, **kwargs)
    dt = compute_dtype(x.dtype, kwargs.get("output"), order=kwargs["order"])
    model_kwargs = dict(kwargs)
    if name == "rotate":
        model_kwargs.setdefault("axes", (1, 0))
        model_kwargs.setdefault("reshape", True)
    expected = quiet(MODEL[name], x, arg, compute_dtype=dt, **model_kwargs)
    expected = expected.astype(expected.dtype.newbyteorder("="))     # scipy's output is native
    copied = name == "zoom" and kwargs.get("prefilter", True) and np.all(np.asarray(arg) == 1)
    if not copied and np.dtype(got.dtype) in (np.dtype(np.int64), np.dtype(np.uint64)):
        model_kwargs["output"] = np.float64
        t = quiet(MODEL[name], x, arg, compute_dtype=dt, **model_kwargs)
    else:
        t = None
    ctx = f"{name} {x.dtype}{x.shape} {arg!r} {kwargs} {context}"
    assert_identical(got, expected if t is None else saturate_64(expected, t, got.dtype), ctx + " (model)")
    out = kwargs.get("output")
    out_dtype = out.dtype if isinstance(out, np.ndarray) else np.dtype(out or x.dtype)
    if scipy and dt == np.float64 and np.float16 not in (x.dtype, out_dtype):
        kwargs.setdefault("order", 1)
        theirs = quiet(getattr(ndi, name), x, arg, **kwargs)
        assert_identical(got, theirs if t is None else saturate_64(theirs, t, got.dtype), ctx + " (scipy)")
    return got


def random_data(rng, shape, dtype=np.float64, specials=False):
    """The suite's random data (ties, integers, -0.0, extremes), float64 and finite unless asked."""
    return resample_support.random_data(rng, shape, dtype, specials=specials)


def wide_shape(rng, ndim):
    """Rows long enough for the kernels' vector blocks (8 or 16 lanes) and a remainder."""
    return random_shape(rng, ndim - 1, 1, 5) + (int(rng.integers(17, 41)),)


# ---------------------------------------------------------------- shift

@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("ndim", (1, 2, 3))
def test_shift(ndim, mode, order):
    rng = rng_for("shift", ndim, mode, order)
    for trial in range(5):
        shape = (1,) * ndim if trial == 0 else wide_shape(rng, ndim) if trial == 3 else random_shape(rng, ndim, 1, 7)
        x = random_data(rng, shape, specials=trial == 4)
        if trial == 1:      # a scalar: every axis
            s = float(rng.choice([0.5, -1.5, 2.0, -0.0, 1e-17]))
        elif trial == 2:    # integers and exact multiples of the length
            s = [int(v) for v in rng.integers(-2 * max(shape), 2 * max(shape) + 1, ndim)]
        else:
            s = list(rng.uniform(-8, 8, ndim) * rng.choice([1.0, 0.0, 1e-9], ndim))
        cval = float(rng.choice([0.0, -0.0, 7.25, -3.0]))
        check("shift", x, s, order=order, mode=mode, cval=cval)


@pytest.mark.parametrize("order", (0, 1))
def test_shift_argument_forms(order):
    """A scalar, list, tuple, NumPy array (any dtype), 0-d array, NumPy scalars: all scipy's meaning."""
    rng = rng_for("shiftforms", order)
    x = random_data(rng, (4, 5, 6))
    for s in (1.25, 2, np.float32(0.3), np.array(-1.7), [1, -2, 0.5], (0.25, 0.5, -0.75),
              np.array([0.1, -0.2, 0.3], np.float32), np.array([1, 2, -3], np.int8), [np.float16(0.1), 1, -1.0]):
        check("shift", x, s, order=order, mode="nearest")


@pytest.mark.parametrize("mode", MODES)
def test_shift_nonfinite(mode):
    """Non-finite and huge shifts: the model throughout; scipy only in the modes where its process survives
    them (with the others its NI_ZoomShift writes through a bad pointer)."""
    rng = rng_for("shiftnonfinite", mode)
    x = random_data(rng, (3, 5))
    for s in ([np.nan, 0.5], [0.0, np.inf], [-np.inf, -np.inf], [1e300, 0], [0, -3e18]):
        if mode == "grid-wrap" and not all(abs(v) < 2.0**62 for v in s):
            continue    # see test_grid_wrap_beyond_int64
        for order in (0, 1):
            check("shift", x, s, scipy=mode in ("constant", "nearest", "grid-constant"), order=order, mode=mode,
                  cval=2.5)


@pytest.mark.parametrize("n", (3, 5, 6))
def test_grid_wrap_beyond_int64(n):
    """Coordinates beyond the int64 range: on x86-64 their conversion gives INT64_MIN, from which scipy's
    'grid-wrap' arithmetic finds a sample; on aarch64 it saturates, scipy's n * (index + 1) then
    overflows (undefined in C) and scipy reads outside the input: there ours meets the model only."""
    x = np.arange(n, dtype=np.float64)
    for s in (-np.inf, -1e300, -1e19):
        check("shift", x, s, scipy=not sm.SATURATING, order=0, mode="grid-wrap")


# ---------------------------------------------------------------- zoom

@pytest.mark.parametrize("grid_mode", (False, True))
@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("ndim", (1, 2, 3))
def test_zoom(ndim, mode, order, grid_mode):
    rng = rng_for("zoom", ndim, mode, order, grid_mode)
    for trial in range(5):
        shape = (1,) * ndim if trial == 0 else wide_shape(rng, ndim) if trial == 3 else random_shape(rng, ndim, 1, 7)
        x = random_data(rng, shape, specials=trial == 4)
        z = [float(v) for v in rng.choice([0.5, 1.5, 2.0, 0.3, 1.0, 2.7, 1.25, 1 / 3, 0.2], ndim)]
        if trial == 1 and ndim > 1:
            z[0] = 1.0          # mixed with other factors: resampled, not copied
        if trial == 2:
            z = z[0]            # a scalar
        check("zoom", x, z, order=order, mode=mode, cval=-4.0, grid_mode=grid_mode)


def test_zoom_output_shapes():
    """round(n * z) with Python's round (half to even) on the caller's factor as given."""
    cases = [((5,), 0.5), ((3,), 0.5), ((7,), 0.5), ((1,), 3.0), ((4,), 0.25), ((1,), 0.4), ((2, 9), (0.25, 1 / 3)),
             ((6, 5, 4), (1.5, 0.1, 2.5)), ((3, 11, 25), (4.0 / 3, 15.0 / 11, 29.0 / 25)), ((10,), np.float32(0.35)),
             ((7, 9), np.array([np.float32(0.5), np.float32(1 / 6)])), ((6,), np.array(1.25)), ((5, 3), (2, 1)),
             ((0, 4), 2.0), ((4,), 0.1)]
    for shape, z in cases:
        x = np.arange(np.prod(shape), dtype=np.float64).reshape(shape)
        for grid_mode in (False, True):
            got = check("zoom", x, z, order=1, mode="nearest", grid_mode=grid_mode)
            assert got.shape == ndi.zoom(x, z, order=1, mode="nearest", grid_mode=grid_mode).shape
    # numbers stated in scipy's own tests
    assert zr.zoom(np.zeros((3, 11, 25)), (4.0 / 3, 15.0 / 11, 29.0 / 25)).shape == (4, 15, 29)
    assert _derived.zoom_output_shape((5, 3), (0.5, 0.5)) == (2, 2)


def test_zoom_factors_are_scipys():
    for shape, out, grid_mode, expected in (((5, 1, 4), (9, 3, 1), False, [0.5, 0.0, 1.0]),
                                            ((5, 1, 4), (9, 3, 1), True, [5 / 9, 1 / 3, 4.0]),
                                            ((3,), (0,), True, [1.0]), ((3,), (0,), False, [-2.0])):
        assert _derived.zoom_factors(shape, out, grid_mode) == expected


def test_zoom_grid_mode_is_separable_not_affine():
    """grid_mode's coordinate ((k + 0.5) * f) - 0.5 rounds unlike the equivalent matrix and offset:
    ours follows scipy's zoom, not the affine form, where they differ."""
    rng = rng_for("gridmode")
    differ = 0
    for _ in range(20):
        shape = random_shape(rng, 2, 3, 9)
        x = rng.normal(size=shape)
        z = list(rng.uniform(0.3, 3.0, 2))
        got = check("zoom", x, z, order=1, mode="grid-constant", grid_mode=True)
        matrix, offset, out_shape = sm.zoom_as_affine(shape, z, True)
        differ += not np.array_equal(got, ndi.affine_transform(x, matrix, offset, out_shape, order=1,
                                                                mode="grid-constant"))
    assert differ > 0


@pytest.mark.parametrize("output", (None, np.int16, np.uint8, np.float32, np.float16, np.int64))
def test_zoom_unit_factors_copy_like_scipy(output):
    """All factors 1 with prefilter: NumPy's cast of the input (truncation, -0.0, inf, NaN kept), as scipy;
    prefilter=False resamples (scipy's rounding, -0.0 becomes +0.0, inf beside the sample gives NaN)."""
    x = np.array([[0.7, -0.7, 2.5, -0.0], [-2.5, 300.9, 1.49, 1e10], [np.inf, 3.0, np.nan, -np.inf]])
    if output is None or np.dtype(output).kind == "f":
        cases = [x, x.astype(np.float32), quiet(x.astype, np.float16)]
    else:
        cases = [x[:2, :3], np.array([[7, -3], [200, 0]], np.int16)]
    for data in cases:
        for z in (1, 1.0, (1, 1), np.ones(2)):
            got = quiet(zr.zoom, data, z, output=output, order=1)
            expected = np.empty(data.shape, output or data.dtype)
            quiet(np.copyto, expected, data, casting="unsafe")
            assert_identical(got, expected, f"{data.dtype} -> {output}")
            assert_identical(got, quiet(ndi.zoom, data, z, output=output, order=1))   # scipy's shortcut
        check("zoom", data, 1, output=output, order=1, prefilter=False)
    assert quiet(zr.zoom, x[:2, :3], 1, output=np.int16).tolist() == [[0, 0, 2], [-2, 300, 1]]
    assert zr.zoom(x[:2, :3], 1, output=np.int16, order=1, prefilter=False).tolist() == [[1, -1, 3], [-3, 301, 1]]


@pytest.mark.parametrize("mode", MODES)
def test_zoom_grid_mode_warning(mode):
    x = np.arange(9.0).reshape(3, 3)
    if mode in ("constant", "wrap"):
        with pytest.warns(UserWarning, match="It is recommended to use mode = grid-"):
            zr.zoom(x, 2, mode=mode, grid_mode=True)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        zr.zoom(x, 2, mode=mode)
        if mode not in ("constant", "wrap"):
            zr.zoom(x, 2, mode=mode, grid_mode=True)


# ---------------------------------------------------------------- rotate

ROTATE_AXES = {2: [(1, 0), (0, 1), (-1, -2)], 3: [(1, 0), (0, 2), (2, 0), (2, 1), (-1, 0)],
               4: [(0, 3), (1, 2), (3, 1)]}
ANGLES = (90.0, -90.0, 180.0, 270.0, 45.0, 30.0, 0.0, 1e-7, -360.0, 450.0, 12.0, 1000.5)


@pytest.mark.parametrize("reshape", (True, False))
@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("ndim", (2, 3, 4))
def test_rotate(ndim, mode, order, reshape):
    rng = rng_for("rotate", ndim, mode, order, reshape)
    for i, axes in enumerate(ROTATE_AXES[ndim]):
        shape = wide_shape(rng, ndim) if i == 0 else random_shape(rng, ndim, 1, {2: 8, 3: 6, 4: 4}[ndim])
        x = random_data(rng, shape, specials=i == 1)
        angle = float(rng.choice([rng.uniform(-360, 360), rng.choice(ANGLES)]))
        got = check("rotate", x, angle, axes=axes, reshape=reshape, order=order, mode=mode, cval=0.5)
        assert got.flags.c_contiguous


def test_rotate_planes_are_not_interpolated_across():
    """scipy rotates every plane alone: inf in the next plane does not leak in as NaN (as it would in a
    3-D affine transform, which reads the neighbouring plane with weight 0)."""
    x = np.arange(2 * 4 * 5, dtype=np.float64).reshape(2, 4, 5)
    x[1, 2, 3] = np.inf
    for axes in ((1, 2), (2, 1)):
        got = check("rotate", x, 17.0, axes=axes, order=1)
        assert not np.isnan(got[0]).any()
    y = np.ascontiguousarray(x.transpose(1, 0, 2))       # the planes along axis 1
    got = check("rotate", y, 17.0, axes=(0, 2), order=1)
    assert not np.isnan(got[:, 0]).any()
    matrix, offset, out_shape = sm.rotate_params(x.shape, 17.0, (1, 2))
    assert np.isnan(sm.affine_model(x, matrix, offset, out_shape, order=1)[0]).any()


def test_rotate_angle_forms():
    """An int, a float32 (scipy's cosdg/sindg then compute in float32), a 0-d array, a NumPy int."""
    x = random_data(rng_for("angles"), (5, 7))
    for angle in (30, np.float32(33.3), np.array(-20.5), np.int16(90), np.float64(1e-9), True):
        check("rotate", x, angle, order=1, mode="nearest")


def test_rotate_exact_quarter_turns():
    """Multiples of 90 degrees are exact permutations, as in scipy (cosdg/sindg are exact there)."""
    x = random_data(rng_for("quarter"), (4, 6, 3))
    # sums start at +0.0: -0.0 comes out +0.0, as in scipy
    assert_identical(zr.rotate(x, 90, axes=(0, 1), order=1), np.rot90(x, 1, axes=(0, 1)) + 0.0)
    assert_identical(zr.rotate(x, -90, axes=(2, 1), order=0), np.rot90(x, -1, axes=(1, 2)) + 0.0)
    assert_identical(zr.rotate(x, 180, axes=(0, 2), order=1), x[::-1, :, ::-1] + 0.0)
    assert_identical(zr.rotate(zr.rotate(x, 180, order=1), -180, order=1), x + 0.0)   # -0.0 becomes +0.0 as in scipy


def test_cos_sin_without_scipy():
    """The fallback without scipy: exact (cosdg/sindg's values) at multiples of 90 degrees, within an ulp
    elsewhere."""
    for k in range(-12, 13):
        a = 90.0 * k
        assert _derived._cos_sin_degrees_numpy(a) == (special.cosdg(a), special.sindg(a)), a
    angles = np.concatenate([rng_for("cs").uniform(-1000, 1000, 2000), [30.0, 45.0, 60.0, 1e-7, -1e-300, 359.9]])
    for a in angles:
        c, s = _derived._cos_sin_degrees_numpy(float(a))
        assert abs(c - special.cosdg(a)) <= 2.3e-16 and abs(s - special.sindg(a)) <= 2.3e-16, a


def test_rotate_without_scipy_special(monkeypatch):
    """With scipy.special unimportable, quarter turns still equal scipy's result bit for bit."""
    import builtins
    real_import = builtins.__import__

    def no_special(name, *args, **kwargs):
        if name.startswith("scipy.special"):
            raise ImportError("no scipy here")
        return real_import(name, *args, **kwargs)

    x = random_data(rng_for("nospecial"), (5, 4, 3))
    expected = {a: ndi.rotate(x, a, axes=(0, 2), order=1) for a in (90, 180, -270, 30)}
    monkeypatch.setattr(builtins, "__import__", no_special)
    with pytest.raises(ImportError):
        from scipy.special import cosdg  # noqa: F401
    for a in (90, 180, -270):
        assert_identical(zr.rotate(x, a, axes=(0, 2), order=1), expected[a])
    assert np.allclose(zr.rotate(x, 30, axes=(0, 2), order=1), expected[30], rtol=0, atol=1e-12)


# ---------------------------------------------------------------- dtypes, layouts, outputs

@pytest.mark.parametrize("out", ("same", "f8", "f4", "u1", "i8"))
@pytest.mark.parametrize("in_dtype", DTYPES)
def test_dtypes(in_dtype, out):
    """Every input dtype into several outputs: bit-exact with the model in the kernels' compute type
    (float32 for 8-/16-bit and float32/float16 pairs), and with scipy where that type is float64."""
    rng = rng_for("dtypes", in_dtype, out)
    output = None if out == "same" else np.dtype(out)
    for order, mode, cval in ((0, "constant", 300.5), (1, "constant", -2.5), (1, "reflect", 0.0),
                              (1, "grid-constant", 1e20), (0, "nearest", 0.0), (1, "wrap", 3.5)):
        x = random_data(rng, wide_shape(rng, 3) if order else random_shape(rng, 3, 1, 6), in_dtype)
        kw = dict(output=output, order=order, mode=mode, cval=cval)
        check("shift", x, list(rng.uniform(-3, 3, 3)), **kw)
        check("zoom", x, list(rng.uniform(0.4, 2.5, 3)), grid_mode=bool(rng.integers(2)), **kw)
        check("rotate", x, float(rng.uniform(-180, 180)), axes=((0, 1), (0, 2), (1, 2))[rng.integers(3)], **kw)


def test_layouts_and_byte_order():
    """Strided, Fortran-ordered, negative-stride and byte-swapped inputs and outputs."""
    rng = rng_for("layouts")
    base = random_data(rng, (7, 8, 9))
    inputs = [base[::2, 1:, ::-1], np.asfortranarray(base), base.transpose(2, 0, 1), base.astype(">f8"),
              base.astype(np.float32)[:, ::3]]
    for x in inputs:
        check("shift", x, [0.5, -1.25, 2.0], mode="mirror")
        check("zoom", x, [0.7, 1.3, 1.0], mode="grid-wrap", grid_mode=True)
        check("rotate", x, 21.0, axes=(2, 0), mode="reflect")
    for func, arg, kw in (("shift", [0.5, -1, 0.25], {"order": 1}), ("zoom", 1.5, {"order": 1}),
                          ("rotate", 33.0, {"axes": (0, 2), "order": 1})):
        shape = quiet(OURS[func], base, arg, **kw).shape
        for out in (np.zeros(shape[::-1], ">f4").T, np.zeros(shape, np.int32, order="F")):
            sentinel = out.copy()
            returned = quiet(OURS[func], base, arg, output=out, **kw)
            assert returned is out and not np.array_equal(out, sentinel)
            assert_identical(out, quiet(getattr(ndi, func), base, arg, output=out.dtype, **kw))


@pytest.mark.parametrize("func, arg, kw", [("shift", [1.5, -0.5], {}), ("zoom", [1.0, 1.0], {}),
                                           ("zoom", [1.0, 1.0], {"prefilter": False}), ("rotate", 90.0, {}),
                                           ("rotate", 30.0, {"reshape": False})])
def test_output_may_be_the_input(func, arg, kw):
    """An output array that is the input gets the result computed from the input as it was."""
    x = random_data(rng_for("inplace", func), (5, 5))
    expected = quiet(OURS[func], x.copy(), arg, **kw)
    assert quiet(OURS[func], x, arg, output=x, **kw) is x
    assert_identical(x, expected)


def test_output_dtype_forms():
    x = random_data(rng_for("outforms"), (4, 6))
    for output in (np.float32, "f", "int16", np.dtype("<u2"), np.dtype(">i4")):
        for func, arg in (("shift", 0.5), ("zoom", 1.5), ("rotate", 30.0)):
            got = quiet(OURS[func], x, arg, output=output)   # scipy's default order, 3, in both
            assert got.dtype == np.dtype(output)  # a byte order asked for is kept, as scipy keeps it
            assert_identical(got, quiet(getattr(ndi, func), x, arg, output=output))


def test_output_dtype_is_numpys_own():
    """output='f' gives an array whose dtype is np.dtype('f') itself (scipy's tests check with `is`);
    a byte-swapped dtype gives its native twin."""
    x = np.arange(12.0).reshape(3, 4)
    for func, arg in (("shift", 0.5), ("zoom", 1.0), ("zoom", 2.0), ("rotate", 30.0), ("rotate", 90.0)):
        assert OURS[func](x, arg, output="f").dtype is np.dtype("f")
        assert OURS[func](x.astype(">i2"), arg).dtype == np.dtype("<i2")
    assert zr.affine_transform(x, np.eye(2), output="f").dtype is np.dtype("f")


def test_more_than_three_axes():
    """Inputs of more than three axes: the leading axes must be left alone and are taken one index at a
    time; for finite data that is scipy's result bit for bit."""
    rng = rng_for("4d")
    x = random_data(rng, (3, 4, 5, 6))
    for order in (0, 1):
        check("shift", x, [0, 1.5, -0.25, 2.0], order=order, mode="wrap")
        check("shift", x, [-0.0, 0, 0, 0.5], order=order, mode="constant")
        check("zoom", x, [1, 1.5, 0.5, 2.0], order=order, mode="grid-mirror", grid_mode=True)
        check("zoom", x, (1.1, 1.5, 0.5, 2.0), order=order, mode="nearest")   # round(3 * 1.1) == 3: factor 1
        check("zoom", x[None], [1, 1, 0.75, 1.5, 1], order=order, mode="mirror")
    # inf beside a sample along a leading axis: scipy reads it with weight 0 (NaN); ours takes each leading
    # index alone, i.e. the model on every 3-D volume
    y = x.copy()
    y[1, 2, 0, 4] = np.inf
    for func, arg in (("shift", [0, 0.5, -0.25, 1.0]), ("zoom", [1, 1.5, 0.5, 2.0])):
        got = quiet(OURS[func], y, arg, order=1, mode="nearest")
        each = [quiet(MODEL[func], y[i], arg[1:], order=1, mode="nearest") for i in range(3)]
        assert_identical(got, np.stack(each))
        assert np.isnan(quiet(MODEL[func], y, arg, order=1, mode="nearest")[0]).any()
        assert not np.isnan(got[0]).any()
    # the axes left alone may be anywhere (a channel axis last, say): they are carried along
    for order in (0, 1):
        check("shift", x, [0.5, 0, -1.25, 0], order=order, mode="reflect")
        check("zoom", x, [2, 1.5, 0.5, 1], order=order, mode="grid-wrap", grid_mode=True)
        check("zoom", x[:, None], [0.5, 1, 2, 1, 1.5], order=order, mode="nearest")
    # four axes that move: the point kernel, scipy's result bit for bit
    for order in (0, 1):
        check("shift", x, [0.5, 0.25, -1.5, 2.0], order=order, mode="mirror")
        check("zoom", x, [2, 1.5, 0.75, 1.25], order=order, mode="grid-constant")


@pytest.mark.parametrize("dtype", ("float64", "float32", "uint8"))
@pytest.mark.parametrize("order", range(6))
def test_every_axis_moving(order, dtype):
    """Four and five axes that all move (the point kernel, its coordinates computed from each voxel's
    indices): shift, zoom with and without grid_mode, and affine transforms (square, and an output of
    more axes than the input), against the model in the kernels' compute type and, in float64, scipy."""
    rng = rng_for("every axis moving", order, dtype)
    for trial, shape in enumerate(((4, 5, 3, 6), (3, 4, 2, 4, 3))):
        ndim = len(shape)
        # in five axes, the modes scipy pads the coefficients for by 12 samples a side make 15 M of them
        modes = [m for m in sm.MODES[order % 2::2] if trial == 0 or order < 2 or m not in ("nearest", "grid-constant")]
        x = random_data(rng, shape).astype(dtype) if dtype == "float64" else rng.integers(0, 200, shape).astype(dtype)
        mode = modes[trial % len(modes)]
        check("shift", x, rng.uniform(-1.5, 1.5, ndim), order=order, mode=modes[trial - 1], cval=2.5)
        factors = rng.uniform(0.6, 1.8, ndim)
        factors[np.round(np.array(shape) * factors) == shape] = 1.5  # every axis moves
        check("zoom", x, factors, order=order, mode=mode, grid_mode=True)
        check("zoom", x, factors, order=order, mode=modes[trial - 2])
        for out_ndim in (ndim, ndim + 2):  # (ndim, ndim + 1) would be the homogeneous form
            matrix = np.eye(ndim, out_ndim) + rng.uniform(-0.2, 0.2, (ndim, out_ndim))
            offset = rng.uniform(-1, 1, ndim)
            out_shape = tuple(int(v) for v in rng.integers(2, 4, out_ndim))
            kwargs = dict(order=order, mode=mode, cval=-1.5)
            got = quiet(zr.affine_transform, x, matrix, offset, out_shape, **kwargs)
            assert_identical(got, resample_support.model(x, matrix, offset, out_shape, **kwargs), f"{matrix} model")
            if dtype == "float64":
                assert_identical(got, quiet(ndi.affine_transform, x, matrix, offset, out_shape, **kwargs), "scipy")


def test_empty_arrays():
    for shape in ((0,), (0, 4), (3, 0, 2)):
        x = np.zeros(shape)
        for func, arg in (("shift", 1.5), ("zoom", 2.0)):
            got = quiet(OURS[func], x, arg, order=1)
            assert_identical(got, quiet(getattr(ndi, func), x, arg, order=1))
    x = np.zeros((0, 4, 5))
    assert_identical(zr.rotate(x, 30, axes=(1, 2)), ndi.rotate(x, 30, axes=(1, 2), order=1))
    assert zr.zoom(np.ones((4, 4)), 0.1).shape == (0, 0)


# ---------------------------------------------------------------- bad arguments

X2 = np.arange(12.0).reshape(3, 4)
BAD = [
    ("shift", (X2, [1, 2, 3]), {}, ValueError, "shift: expected a scalar or 2 values"),
    ("shift", (X2, "1"), {}, TypeError, "shift: expected a real number"),
    ("shift", (X2, [1, 1j]), {}, TypeError, "shift: expected a real number"),
    ("shift", (X2, [[1, 2], [3, 4]]), {}, TypeError, "shift: expected a real number"),
    ("shift", (X2, None), {}, TypeError, "shift: expected a real number"),
    ("shift", (X2, 1), {"order": 6}, ValueError, "order: expected 0 to 5"),
    ("shift", (X2, 1), {"order": 1.0}, TypeError, "order: expected an integer"),
    ("shift", (X2, 1), {"mode": "edge"}, ValueError, "mode: expected one of"),
    ("shift", (X2, 1), {"cval": "x"}, TypeError, "cval: expected a number"),
    ("shift", (X2, 1), {"output": np.zeros((4, 3))}, ValueError, "output: expected an array of shape (3, 4)"),
    ("shift", (X2, 1), {"output": np.complex128}, TypeError, "output: a complex dtype (complex128) needs a complex"),
    ("shift", (X2.astype(np.clongdouble), 1), {}, TypeError, "is not supported; supported: bool, complex64"),
    ("shift", (X2, 1), {"cval": 1 + 1j}, TypeError, "cval: a complex cval"),
    ("shift", (X2.astype(complex), 1), {"output": np.zeros((3, 4))}, TypeError, "output: a complex input needs"),
    ("shift", (np.float64(3.0), 1), {}, ValueError, "input: expected an array with at least one axis"),
    ("zoom", (X2, [1, 2, 3]), {}, ValueError, "zoom: expected a scalar or 2 values"),
    ("zoom", (X2, -2), {}, ValueError, "zoom: expected non-negative factors"),
    ("zoom", (X2, np.nan), {}, ValueError, "zoom: expected finite factors"),
    ("zoom", (X2, [np.inf, 1]), {}, ValueError, "zoom: expected finite factors"),
    ("zoom", (X2, "2"), {}, TypeError, "zoom: expected a real number"),
    ("zoom", (X2, 2), {"output": np.zeros((3, 4))}, ValueError, "output: expected an array of shape (6, 8)"),
    ("zoom", (X2, 1), {"output": np.zeros((4, 3))}, ValueError, "output: expected an array of shape (3, 4)"),
    ("zoom", (X2, 1), {"order": -1}, ValueError, "order: expected 0 to 5"),
    ("zoom", (X2, 1), {"mode": "bogus"}, ValueError, "mode: expected one of"),
    ("zoom", (X2, 2), {"mode": "bogus"}, ValueError, "mode: expected one of"),
    ("zoom", (X2, 1), {"output": np.zeros((3, 4), "M8[s]")}, TypeError, "output: dtype datetime64[s] is not"),
    ("rotate", (X2[0], 30), {}, ValueError, "input: rotate needs an array of at least 2 axes"),
    ("rotate", (X2, 30), {"axes": (0, 2)}, ValueError, "axes: (0, 2) is not a plane of a 2-D input"),
    ("rotate", (X2, 30), {"axes": (0, -3)}, ValueError, "axes: (0, -3) is not a plane"),
    ("rotate", (X2, 30), {"axes": (1, -1)}, ValueError, "axes: expected two different axes"),
    ("rotate", (X2, 30), {"axes": (0, 1, 2)}, ValueError, "axes: expected exactly two axes"),
    ("rotate", (X2, 30), {"axes": (0, 1.0)}, TypeError, "axes: expected two integers"),
    ("rotate", (X2, 30), {"axes": 1}, TypeError, "axes: expected two integers"),
    ("rotate", (X2, "30"), {}, TypeError, "angle: expected a real number"),
    ("rotate", (X2, [30]), {}, TypeError, "angle: expected a real number"),
    ("rotate", (X2, np.inf), {}, ValueError, "angle: expected a finite number"),
    ("rotate", (X2, np.nan), {}, ValueError, "angle: expected a finite number"),
    ("rotate", (X2, 90), {"output": np.zeros((3, 4))}, ValueError, "output: expected an array of shape (4, 3)"),
    ("rotate", (X2, 30), {"order": 6}, ValueError, "order: expected 0 to 5"),
    ("rotate", (X2, 30), {"mode": "edge"}, ValueError, "mode: expected one of"),
    ("rotate", (X2, 30), {"cval": None}, TypeError, "cval: expected a number"),
    ("rotate", (X2, 30), {"output": np.zeros((3, 4), np.float16)[::-1, :2]}, ValueError,
     "output: expected an array of shape (5, 5), got shape (3, 2)"),
]


@pytest.mark.parametrize("func, args, kwargs, exc, message", BAD)
def test_bad_arguments(func, args, kwargs, exc, message):
    """ValueError or TypeError naming the argument; a caller's output array is left untouched."""
    output = kwargs.get("output")
    before = output.copy() if isinstance(output, np.ndarray) else None
    theirs = raised_by(lambda: getattr(ndi, func)(*args, **{**kwargs, "output": None if output is None else
                                                            output.copy() if before is not None else output}))
    with pytest.raises(exc) as info:
        OURS[func](*args, **kwargs)
    assert message in str(info.value)
    assert_caught_as_scipy(info.value, theirs)
    if before is not None:
        assert_identical(output, before)


@pytest.mark.parametrize("func, arg", [("shift", 1.0), ("zoom", 2.0), ("zoom", 1.0), ("rotate", 30.0)])
@pytest.mark.parametrize("bad", [{"order": 6}, {"mode": "edge"}, {"cval": "c"}, {"order": "1"}])
def test_failures_leave_output_untouched(func, arg, bad):
    shape = quiet(OURS[func], X2, arg).shape
    out = np.full(shape, -9.0)
    with pytest.raises((ValueError, TypeError)):
        OURS[func](X2, arg, output=out, **bad)
    assert (out == -9.0).all()


def test_read_only_output():
    out = np.zeros((3, 4))
    out.flags.writeable = False
    for func, arg in (("shift", 1.0), ("zoom", 1.0), ("rotate", 180.0)):
        with pytest.raises(ValueError, match="output: the array is read-only"):
            OURS[func](X2, arg, output=out)


def test_exports():
    assert set(zr.__all__) == {"affine_transform", "shift", "zoom", "rotate", "resample_to", "get_num_threads",
                               "set_num_threads", "spline_filter", "spline_filter1d", "map_coordinates",
                               "ArgumentValueError", "ArgumentTypeError", "StoreReadError", "write_ome_zarr"}
    for name in zr.__all__:
        assert getattr(zr, name).__doc__

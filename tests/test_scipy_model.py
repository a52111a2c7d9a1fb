"""The NumPy model in scipy_model.py against scipy.ndimage itself (orders 0 and 1), bit for bit.

Needs only numpy, scipy and pytest (not the built extension): run alone with
``python -m pytest --noconftest tests/test_scipy_model.py``.
"""

import os
import sys

import numpy as np
import pytest
from scipy import ndimage as ndi

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scipy_model as sm  # noqa: E402
import resample_support  # noqa: E402
from resample_support import assert_identical, quiet, random_shape, rng_for  # noqa: E402

MODES = sm.MODES
INT_DTYPES = (np.uint8, np.int8, np.uint16, np.int16, np.int32, np.uint32, np.int64, np.uint64)
REAL_DTYPES = INT_DTYPES + (np.float32, np.float64, np.bool_)
FORMS = ("diagonal", "square", "homogeneous_short", "homogeneous_full")


def random_data(rng, shape, dtype=np.float64):
    """The suite's random values (ties, integers, -0.0, subnormals, integer extremes), finite."""
    return resample_support.random_data(rng, shape, dtype, specials=False)


def random_linear(rng, ndim):
    """A matrix of one of several families: general, axis flips/permutations, simple fractions."""
    kind = rng.integers(0, 4)
    if kind == 0:
        return rng.normal(0, 1, (ndim, ndim))
    if kind == 1:
        return np.eye(ndim)[rng.permutation(ndim)] * rng.choice([-1.0, 1.0], (ndim, 1))
    if kind == 2:
        return rng.choice([-2.0, -1.0, -0.5, 0.0, 0.25, 0.5, 1.0, 1.5, 2.0], (ndim, ndim))
    return np.diag(rng.uniform(0.2, 2.5, ndim) * rng.choice([-1.0, 1.0], ndim))


def random_offset(rng, ndim, shape):
    kind = rng.integers(0, 3)
    if kind == 0:
        return rng.uniform(-3, max(shape) + 3, ndim)
    if kind == 1:
        return rng.integers(-3, max(shape) + 3, ndim) + rng.choice([0.0, 0.5, -0.5], ndim)
    return rng.normal(0, 1, ndim)


def matrix_in_form(form, m, off):
    ndim = m.shape[0]
    if form == "diagonal":
        d = np.diag(m).copy()
        d[d == 0] = 0.75       # a zero diagonal entry makes scipy divide by zero (and crash in some modes)
        return d, off
    if form == "square":
        return m, off
    h = np.eye(ndim + 1)
    h[:ndim, :ndim], h[:ndim, ndim] = m, off
    # scipy ignores `offset` for homogeneous matrices: pass a wrong one to prove it
    return (h[:ndim] if form == "homogeneous_short" else h), off + 100.0


# ---------------------------------------------------------------- affine_transform, every form and mode

@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("ndim", (1, 2, 3))
def test_affine_random(ndim, mode, order, form):
    rng = rng_for("affine", ndim, mode, order, form)
    for trial in range(6):
        shape = random_shape(rng, ndim, 1, 6 if ndim < 3 else 5)
        if trial == 0:
            shape = (1,) * ndim
        elif trial == 1:
            shape = (2,) * ndim
        out_shape = random_shape(rng, ndim, 1, 7 if ndim < 3 else 5)
        x = random_data(rng, shape)
        m, off = random_linear(rng, ndim), random_offset(rng, ndim, shape)
        matrix, offset = matrix_in_form(form, m, off)
        cval = float(rng.choice([0.0, -0.0, 7.25, -3.0, rng.normal()]))
        expected = quiet(ndi.affine_transform, x, matrix, offset, out_shape, order=order, mode=mode, cval=cval)
        got = sm.affine_model(x, matrix, offset, out_shape, order=order, mode=mode, cval=cval)
        assert_identical(got, expected, f"{shape}->{out_shape} {matrix.tolist()} {offset.tolist()} cval={cval}")


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("irank,orank", [(1, 3), (3, 1), (3, 2), (2, 1), (1, 4)])
def test_affine_other_output_rank(irank, orank, mode):
    """A (ndim, output.ndim) matrix maps outputs of another rank (not homogeneous unless orank == ndim + 1)."""
    rng = rng_for("rank", irank, orank, mode)
    for order in (0, 1):
        x = random_data(rng, random_shape(rng, irank, 1, 5))
        m, off = rng.normal(0, 1.2, (irank, orank)), rng.uniform(-2, 5, irank)
        out_shape = random_shape(rng, orank, 1, 5)
        expected = quiet(ndi.affine_transform, x, m, off, out_shape, order=order, mode=mode, cval=-1.5)
        assert_identical(sm.affine_model(x, m, off, out_shape, order=order, mode=mode, cval=-1.5), expected)


def test_coordinate_sum_starts_at_offset():
    """offset + o0*m0 + o1*m1 + o2*m2 left to right; another order gives other bits (here: proven on a ramp)."""
    n = 1 << 20
    ramp = np.arange(n, dtype=np.float64)
    rng = rng_for("sumorder")
    shape = (3, 4, 5)
    o = np.indices(shape).reshape(3, -1).astype(np.float64)
    differs = 0
    for _ in range(40):
        m = rng.uniform(-7, 7, (1, 3))
        off = np.array([n / 2 + rng.uniform(-1, 1)])
        expected = quiet(ndi.affine_transform, ramp, m, off, shape, order=1, mode="nearest")
        assert_identical(sm.affine_model(ramp, m, off, shape, order=1, mode="nearest"), expected)
        other = ((0.0 + o[0] * m[0, 0]) + o[1] * m[0, 1] + o[2] * m[0, 2]) + off[0]
        model = sm.general_coordinates(shape, m, off, np.float64)[0]
        differs += not np.array_equal(other, model)
    assert differs > 0


# ---------------------------------------------------------------- coordinates on and near the edges

def edge_coordinates(n):
    base = [-1.0, -0.5, 0.0, n - 1.0, n - 0.5, float(n), -1.5, -2.0, n + 0.5, n + 1.0, 0.5, n - 1.5,
            -1e-300, -1e-16, -9e-16, -1e-15, -2e-15, 1e-300, -0.49999999999999994, 0.49999999999999994,
            2.5 * n, -2.5 * n, 3.0 * n - 1, -(3.0 * n) + 1, 4.0 * n - 4, -4.0 * n + 4, 1e6 + 0.5, -1e6 - 0.5]
    base += [float(k) + 0.5 for k in range(-3, n + 3)]
    near = []
    for c in (-1.0, -0.5, 0.0, n - 1.0, n - 0.5, float(n), 2.0 * n - 2, 2.0 * n, -(2.0 * n) + 2, -2.0 * n):
        near += [np.nextafter(c, -np.inf), np.nextafter(c, np.inf)]
    far = []
    for period in {max(n - 1, 1), n, 2 * n - 2 if n > 1 else 1, 2 * n}:
        for k in (-7, -3, -2, -1, 1, 2, 3, 8):
            far += [k * period + f for f in (-0.7, -0.3, 0.0, 0.3, 0.1)]
    far += [-1e6 - 0.3, 1e6 + 0.3, -12345.678, 9876.54321]
    return np.array(base + near + far + [-0.0])


@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("n", (1, 2, 3, 5))
def test_edge_coordinates_1d(n, mode, order):
    """Coordinates exactly on -1, -0.5, 0, n-1, n-0.5, n, one ulp either side, half-integers, tiny
    negatives (reflect's 1e-15 rule) and far-away periodic images, through map_coordinates (same C
    loop as affine_transform with the coordinate given) and through affine_transform one by one."""
    rng = rng_for("edge1", n, mode, order)
    x = random_data(rng, (n,))
    coords = edge_coordinates(n)
    cval = -77.5
    expected = quiet(ndi.map_coordinates, x, coords[None], order=order, mode=mode, cval=cval)
    t = sm.sample(x, [coords.copy()], order, mode, cval)
    assert_identical(sm.cast_output(t, np.float64), expected, f"coords {coords.tolist()}")
    for c in coords[::3]:
        # matrix [[0]] and offset c give the coordinate c + 0*o == c
        expected = quiet(ndi.affine_transform, x, np.zeros((1, 1)), [c], (2,), order=order, mode=mode, cval=cval)
        assert_identical(sm.affine_model(x, np.zeros((1, 1)), [c], (2,), order=order, mode=mode, cval=cval),
                         expected, f"coordinate {c!r}")


@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("ndim", (2, 3))
def test_edge_coordinates_nd(ndim, mode, order):
    """Every axis on an edge coordinate at once (lengths 1, 2 and more), so the corner order and the
    mixing of in-range and mapped or cval corners across axes is checked."""
    rng = rng_for("edgen", ndim, mode, order)
    for trial in range(3):
        shape = random_shape(rng, ndim, 1, 5)
        x = random_data(rng, shape)
        pools = [edge_coordinates(n) for n in shape]
        coords = np.array([rng.choice(p, 400) for p in pools])
        expected = quiet(ndi.map_coordinates, x, coords, order=order, mode=mode, cval=2.5)
        t = sm.sample(x, [c.copy() for c in coords], order, mode, 2.5)
        assert_identical(sm.cast_output(t, np.float64), expected, f"shape {shape}")


@pytest.mark.parametrize("mode", MODES)
def test_huge_and_nonfinite_coordinates(mode):
    """|coordinate| >= 2^63 (the int64 conversion gives INT64_MIN, so 'nearest' reads index 0 even for
    +1e30), and inf/NaN coordinates from the matrix or offset, through affine_transform (general form)."""
    rng = rng_for("huge", mode)
    x = random_data(rng, (4, 3))
    values = [1e30, -1e30, 2.0**62, -(2.0**62), 2.0**63, 9.3e18, np.inf, -np.inf, np.nan]
    # aarch64's conversion saturates: from INT64_MAX or INT64_MIN these modes' index arithmetic
    # overflows (start + 1; n * (index + 1)), undefined in C, and scipy reads outside the input
    overflows = sm.SATURATING and mode in ("nearest", "wrap", "grid-wrap")
    if overflows:
        values = [v for v in values if not abs(v) >= 2.0**63]
    for order in (0, 1):
        for v in values:
            for off in ([v, 1.0], [1.0, v], [v, v]):
                expected = quiet(ndi.affine_transform, x, np.eye(2), off, (2, 2), order=order, mode=mode, cval=3.0)
                got = sm.affine_model(x, np.eye(2), off, (2, 2), order=order, mode=mode, cval=3.0)
                assert_identical(got, expected, f"offset {off} order {order}")
        if overflows:
            continue
        m = np.array([[np.inf, 0.0], [0.0, 1.0]])
        expected = quiet(ndi.affine_transform, x, m, [0.5, 0.5], (3, 2), order=order, mode=mode, cval=3.0)
        assert_identical(sm.affine_model(x, m, [0.5, 0.5], (3, 2), order=order, mode=mode, cval=3.0), expected)


# ---------------------------------------------------------------- dtypes and the output cast

@pytest.mark.parametrize("out_dtype", (None,) + REAL_DTYPES)
@pytest.mark.parametrize("in_dtype", REAL_DTYPES)
def test_dtypes(in_dtype, out_dtype):
    """Every input dtype into every output dtype: values read as double, rounded and clamped on the way out
    (overflowing values, ties after interpolation, cval outside the output range)."""
    rng = rng_for("dtype", np.dtype(in_dtype).name, str(out_dtype))
    for order, mode, cval in ((0, "constant", 300.5), (1, "constant", -2.5), (1, "reflect", 0.0),
                              (1, "grid-constant", 1e20), (0, "nearest", 0.0)):
        ndim = int(rng.integers(1, 4))
        shape = random_shape(rng, ndim, 1, 5)
        x = random_data(rng, shape, in_dtype)
        m = random_linear(rng, ndim)
        off = random_offset(rng, ndim, shape)
        out_shape = random_shape(rng, ndim, 1, 5)
        expected = quiet(ndi.affine_transform, x, m, off, out_shape, output=out_dtype, order=order, mode=mode,
                              cval=cval)
        got = sm.affine_model(x, m, off, out_shape, output=out_dtype, order=order, mode=mode, cval=cval)
        assert_identical(got, expected, f"{np.dtype(in_dtype)}->{out_dtype} order {order} {mode}")


CAST_T = [np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 0.49999999999999994, 0.5, 1.5, 2.5, -0.5, -1.5, -2.5,
             -0.49999999999999994, 0.7, -0.7, 126.5, 127.5, 128.5, -128.5, -129.5, 254.5, 255.5, 256.0, 300.0, -1.0,
             32767.5, 65535.5, 65536.0, 2.0**31 - 0.5, 2.0**31, 2.0**31 + 1, -(2.0**31) - 0.5, -(2.0**31) - 1,
             2.0**32 - 0.5, 2.0**32, 2.0**53 + 2, 2.0**63 - 1024, 2.0**63, 2.0**63 + 2048, -(2.0**63),
             -(2.0**63) - 2048, 2.0**64 - 4096, 2.0**64, 1.5 * 2.0**64, 1e300, -1e300, 5e-324]


@pytest.mark.parametrize("out_dtype", REAL_DTYPES)
def test_cast_edge_values(out_dtype):
    """cast_output on NaN, inf, ties, type limits and beyond: order 0 gives t = 0.0 + value."""
    values = np.array(CAST_T)
    expected = quiet(ndi.affine_transform, values, [1.0], 0.0, output=out_dtype, order=0)
    assert_identical(sm.cast_output(0.0 + values, out_dtype), expected)
    assert_identical(sm.affine_model(values, [1.0], 0.0, output=out_dtype, order=0), expected)


@pytest.mark.parametrize("out_dtype", REAL_DTYPES)
def test_cval_outright_cast(out_dtype):
    """A voxel that is cval outright ('constant' mode) stores cval through the same cast, -0.0 kept."""
    x = np.arange(3.0)
    for cval in CAST_T:
        expected = quiet(ndi.affine_transform, x, [1.0], 10.0, output=out_dtype, order=1, cval=cval)
        assert_identical(sm.affine_model(x, [1.0], 10.0, output=out_dtype, order=1, cval=cval), expected, repr(cval))


def test_negative_zero():
    """t starts at +0.0, so -0.0 data come out +0.0; cval outright keeps -0.0; grid-constant adds it to 0.0."""
    x = np.full(3, -0.0)
    for order in (0, 1):
        got = sm.affine_model(x, [1.0], 0.0, order=order)
        assert not np.signbit(got).any()
        assert_identical(got, quiet(ndi.affine_transform, x, [1.0], 0.0, order=order))
    out = sm.affine_model(x, [1.0], 5.0, order=0, cval=-0.0)
    assert np.signbit(out).all()
    assert_identical(out, quiet(ndi.affine_transform, x, [1.0], 5.0, order=0, cval=-0.0))
    out = sm.affine_model(x, [1.0], 5.0, order=0, mode="grid-constant", cval=-0.0)
    assert not np.signbit(out).any()
    assert_identical(out, quiet(ndi.affine_transform, x, [1.0], 5.0, order=0, mode="grid-constant", cval=-0.0))


def test_wide_integers_lose_precision():
    """int64/uint64 values are read as double: 2^62 + 1 comes back as 2^62 even for order 0."""
    for dt in (np.int64, np.uint64):
        x = np.array([2**62 + 1, 2**53 + 1, 12345], dtype=dt)
        expected = quiet(ndi.affine_transform, x, [1.0], 0.0, order=0)
        got = sm.affine_model(x, [1.0], 0.0, order=0)
        assert_identical(got, expected)
        assert got[0] == 2**62 and got[1] == 2**53


@pytest.mark.parametrize("mode", MODES)
def test_weight_zero_corner_is_read(mode):
    """At x == n-1 the second corner (weight 0) is index n, mapped by the corner mode: mirror (n-2) for
    'constant' and 'wrap', so inf at n-2 gives NaN there; clamped (n-1) for 'nearest'."""
    x = np.array([1.0, np.inf, 3.0])
    got = sm.affine_model(x, np.zeros((1, 1)), [2.0], (1,), order=1, mode=mode)
    assert_identical(got, quiet(ndi.affine_transform, x, np.zeros((1, 1)), [2.0], (1,), order=1, mode=mode))
    assert np.isnan(got[0]) == (mode in ("constant", "wrap", "mirror"))


@pytest.mark.parametrize("mode", MODES)
def test_nonfinite_data(mode):
    """inf/NaN in the data: integer coordinates still read the weight-0 neighbour (inf * 0 = NaN);
    a non-finite cval in grid-constant also poisons border voxels."""
    rng = rng_for("nonfinite", mode)
    for ndim in (1, 2, 3):
        shape = random_shape(rng, ndim, 1, 5)
        x = random_data(rng, shape)
        flat = x.reshape(-1)
        flat[rng.choice(flat.size, max(1, flat.size // 4), replace=False)] = rng.choice([np.inf, -np.inf, np.nan])
        for order in (0, 1):
            for off in (np.zeros(ndim), rng.integers(-2, 3, ndim).astype(float), random_offset(rng, ndim, shape)):
                for cval in (0.0, np.nan, np.inf):
                    expected = quiet(ndi.affine_transform, x, np.eye(ndim), off, order=order, mode=mode, cval=cval)
                    got = sm.affine_model(x, np.eye(ndim), off, order=order, mode=mode, cval=cval)
                    assert_identical(got, expected, f"{shape} off {off} cval {cval}")


def test_output_argument_forms():
    """output=None (input dtype), a type, a dtype string, an existing array (written in place, its shape
    is the output shape)."""
    rng = rng_for("output")
    x = random_data(rng, (4, 5))
    m, off = random_linear(rng, 2), random_offset(rng, 2, (4, 5))
    for output in (None, np.int16, "uint8", np.dtype("float32")):
        assert_identical(sm.affine_model(x, m, off, output=output),
                         quiet(ndi.affine_transform, x, m, off, output=output))
    buf_model, buf_scipy = np.full((3, 6), 9, np.int32), np.full((3, 6), 9, np.int32)
    res = sm.affine_model(x, m, off, output=buf_model)
    quiet(ndi.affine_transform, x, m, off, output=buf_scipy)
    assert res is buf_model
    assert_identical(buf_model, buf_scipy)


def test_float16_extension():
    """scipy rejects float16; the model reads it exactly and rounds float16 output once."""
    rng = rng_for("f16")
    x = random_data(rng, (5, 6), np.float16)
    with pytest.raises(RuntimeError):
        ndi.affine_transform(x, np.eye(2))
    for order in (0, 1):
        m, off = random_linear(rng, 2), random_offset(rng, 2, (5, 6))
        t = quiet(ndi.affine_transform, x.astype(np.float32), m, off, output=np.float64, order=order)
        assert_identical(sm.affine_model(x, m, off, order=order), t.astype(np.float16))


def test_mode_aliases():
    """'reflect' and 'grid-mirror' are the same C mode; 'constant' has no blending band outside [0, n-1]."""
    x = np.array([1.0, 2.0, 3.0, 4.0])
    c = np.array([-1.5, -0.5, -1e-9, 3.0 + 1e-9, 3.5, 7.25])
    a = sm.sample(x, [c.copy()], 1, "reflect", 0.0)
    assert np.array_equal(a, sm.sample(x, [c.copy()], 1, "grid-mirror", 0.0))
    const = sm.sample(x, [c.copy()], 1, "constant", -9.0)
    assert (const == -9.0).all()
    assert_identical(const, ndi.map_coordinates(x, c[None], order=1, mode="constant", cval=-9.0))


# ---------------------------------------------------------------- shift, zoom, rotate

@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("ndim", (1, 2, 3))
def test_shift(ndim, mode, order):
    rng = rng_for("shift", ndim, mode, order)
    for _ in range(3):
        shape = random_shape(rng, ndim, 1, 6)
        x = random_data(rng, shape)
        s = rng.choice([rng.uniform(-4, 4), 0.5, -0.5, 1.0, -2.0, 0.0], ndim)
        expected = quiet(ndi.shift, x, s, order=order, mode=mode, cval=1.25)
        assert_identical(sm.shift_model(x, s, order=order, mode=mode, cval=1.25), expected)
        matrix, offset = sm.shift_params(s, ndim)
        assert_identical(sm.affine_model(x, matrix, offset, order=order, mode=mode, cval=1.25), expected)
        assert_identical(quiet(ndi.affine_transform, x, matrix, offset, order=order, mode=mode, cval=1.25),
                         expected)
        assert_identical(quiet(ndi.affine_transform, x, np.ones(ndim), offset, order=order, mode=mode,
                                    cval=1.25), expected)


@pytest.mark.parametrize("grid_mode", (False, True))
@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("ndim", (1, 2, 3))
def test_zoom(ndim, mode, order, grid_mode):
    rng = rng_for("zoom", ndim, mode, order, grid_mode)
    for trial in range(3):
        shape = random_shape(rng, ndim, 1, 6)
        x = random_data(rng, shape)
        z = rng.choice([0.5, 1.5, 2.0, 0.3, 1.0, 2.7, 1.25], ndim)
        if trial == 0 and ndim > 1:
            z[0] = 1.0          # mixed with other factors: no shortcut
        expected = quiet(ndi.zoom, x, z, order=order, mode=mode, cval=-4.0, grid_mode=grid_mode)
        got = sm.zoom_model(x, z, order=order, mode=mode, cval=-4.0, grid_mode=grid_mode)
        assert_identical(got, expected, f"{shape} zoom {z}")
        if not grid_mode and not np.all(z == 1):   # all ones: a plain copy (keeps -0.0), see the shortcut test
            matrix, offset, out_shape = sm.zoom_as_affine(shape, z, grid_mode)
            assert_identical(sm.affine_model(x, matrix, offset, out_shape, order=order, mode=mode, cval=-4.0),
                             expected)
            assert_identical(quiet(ndi.affine_transform, x, matrix, 0.0, out_shape, order=order,
                                        mode=mode, cval=-4.0), expected)
            if np.all(np.diag(matrix) != 0):   # (a length-1 input gives factor 0: 0/0 in the (ndim,) form)
                assert_identical(quiet(ndi.affine_transform, x, np.diag(matrix), 0.0, out_shape, order=order,
                                            mode=mode, cval=-4.0), expected)


def test_zoom_output_shape_and_factors():
    """round(n * z) is Python's half-to-even rounding; factors (n-1)/(m-1) or n/m, 1 where undefined."""
    cases = [((5,), 0.5), ((3,), 0.5), ((7,), 0.5), ((1,), 3.0), ((4,), 0.25), ((2, 9), (0.25, 1 / 3)),
             ((6, 5, 4), (1.5, 0.1, 2.5))]
    for shape, z in cases:
        for grid_mode in (False, True):
            out_shape, f = sm.zoom_params(shape, z, grid_mode)
            x = np.arange(np.prod(shape), dtype=np.float64).reshape(shape)
            res = quiet(ndi.zoom, x, z, order=1, grid_mode=grid_mode, mode="nearest")
            assert res.shape == out_shape
            assert_identical(sm.zoom_model(x, z, order=1, grid_mode=grid_mode, mode="nearest"), res)
    assert sm.zoom_params((5,), 0.5)[0] == (2,) and sm.zoom_params((3,), 0.5)[0] == (2,)


def test_zoom_grid_mode_is_not_an_affine_offset():
    """grid_mode=True computes ((k + 0.5) * f) - 0.5; offset 0.5*f - 0.5 with matrix f gives the same map
    but other roundings: bits differ somewhere, values only by rounding noise (order 1)."""
    rng = rng_for("gridmode")
    differ = 0
    for _ in range(20):
        shape = random_shape(rng, 2, 3, 9)
        x = rng.normal(size=shape)
        z = rng.uniform(0.3, 3.0, 2)
        expected = quiet(ndi.zoom, x, z, order=1, mode="grid-constant", grid_mode=True)
        matrix, offset, out_shape = sm.zoom_as_affine(shape, z, True)
        approx = quiet(ndi.affine_transform, x, matrix, offset, out_shape, order=1, mode="grid-constant")
        assert np.allclose(approx, expected, rtol=0, atol=1e-12)
        differ += not np.array_equal(approx, expected)
    assert differ > 0


def test_zoom_unit_factor_shortcut():
    """All factors 1 (and prefilter): scipy copies with a NumPy cast (truncation), no resampling rounding."""
    x = np.array([[0.7, -0.7, 2.5], [-2.5, 300.9, 1.49]])
    expected = quiet(ndi.zoom, x, 1, output=np.int16, order=1)
    assert_identical(sm.zoom_model(x, 1, output=np.int16, order=1), expected)
    assert expected.tolist() == [[0, 0, 2], [-2, 300, 1]]
    resampled = quiet(ndi.zoom, x, 1, output=np.int16, order=1, prefilter=False)
    assert resampled.tolist() == [[1, -1, 3], [-3, 301, 1]]
    assert_identical(sm.zoom_model(x, 1, output=np.int16, order=1, prefilter=False), resampled)


ROTATE_AXES = {2: [(1, 0), (0, 1), (-1, -2)], 3: [(1, 0), (0, 2), (2, 1), (-1, 0)]}


@pytest.mark.parametrize("reshape", (True, False))
@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("mode", ("constant", "grid-constant", "nearest", "reflect", "mirror", "wrap", "grid-wrap"))
@pytest.mark.parametrize("ndim", (2, 3))
def test_rotate(ndim, mode, order, reshape):
    rng = rng_for("rotate", ndim, mode, order, reshape)
    for axes in ROTATE_AXES[ndim]:
        shape = random_shape(rng, ndim, 1, 7 if ndim == 2 else 5)
        x = random_data(rng, shape)
        angle = float(rng.choice([rng.uniform(-360, 360), 90.0, -90.0, 180.0, 270.0, 45.0, 30.0, 0.0, 1e-7]))
        expected = quiet(ndi.rotate, x, angle, axes=axes, reshape=reshape, order=order, mode=mode, cval=0.5)
        assert_identical(sm.rotate_model(x, angle, axes, reshape, order=order, mode=mode, cval=0.5), expected)
        matrix, offset, out_shape = sm.rotate_params(shape, angle, axes, reshape)
        assert out_shape == expected.shape
        # finite data: the n-D affine transform with these parameters is bit-identical
        assert_identical(sm.affine_model(x, matrix, offset, out_shape, order=order, mode=mode, cval=0.5), expected,
                         f"axes {axes} angle {angle}")
        assert_identical(quiet(ndi.affine_transform, x, matrix, offset, out_shape, order=order, mode=mode,
                                    cval=0.5), expected)


def test_rotate_3d_plane_by_plane_with_nonfinite_data():
    """scipy rotates 3-D plane by plane; the 3-D affine transform also reads the next plane with weight 0,
    so inf there turns into NaN. rotate_model follows scipy."""
    x = np.arange(2 * 4 * 5, dtype=np.float64).reshape(2, 4, 5)
    x[1, 2, 3] = np.inf
    expected = quiet(ndi.rotate, x, 17.0, axes=(1, 2), order=1)
    assert_identical(sm.rotate_model(x, 17.0, (1, 2), order=1), expected)
    matrix, offset, out_shape = sm.rotate_params(x.shape, 17.0, (1, 2))
    full = sm.affine_model(x, matrix, offset, out_shape, order=1)
    assert np.isnan(full[0]).any() and not np.isnan(expected[0]).any()


# ---------------------------------------------------------------- the float32 variant

@pytest.mark.parametrize("mode", MODES)
def test_float32_variant(mode):
    """compute_dtype=float32 runs every step in binary32 (checked by the model's dtype guards): close to
    scipy's double result, and not identical to it."""
    rng = rng_for("f32", mode)
    differ = 0
    for ndim in (1, 2, 3):
        for order in (0, 1):
            shape = random_shape(rng, ndim, 4, 9)
            x = rng.uniform(-10, 10, shape).astype(np.float32)
            # near the identity about the centre, so most samples are interpolated inside the volume
            m = np.eye(ndim) + rng.uniform(-0.3, 0.3, (ndim, ndim))
            ctr = (np.array(shape) - 1) / 2
            off = ctr - m @ ctr + rng.uniform(-0.5, 0.5, ndim)
            expected = quiet(ndi.affine_transform, x, m, off, output=np.float64, order=order, mode=mode, cval=1.0)
            got = sm.affine_model(x, m, off, output=np.float64, order=order, mode=mode, cval=1.0,
                                  compute_dtype=np.float32)
            coords = sm.general_coordinates(x.shape, m, off, np.float32)
            assert all(c.dtype == np.float32 for c in coords)
            assert sm.sample(x, coords, order, mode, 1.0, np.float32).dtype == np.float32
            if order == 1:
                # the coordinate in float32 is off by ~1e-6 voxel at most here
                assert np.allclose(got, expected, rtol=0, atol=2e-4 * 20)
            else:
                assert np.mean(got == expected) > 0.9
            differ += not np.array_equal(got, expected)
    assert differ > 0


def test_float32_reflect_tiny_negative():
    """In binary32, 1e-15 - 1 == -1 would make a coordinate just below 0 cval in 'reflect'; the variant uses
    2**-24 so it still reads the first sample, as scipy does in double."""
    x = np.array([5.0, 6.0, 7.0], np.float32)
    c = np.array([-1e-9, -1e-20, -2.0**-26, -2.0**-24], np.float32)
    t32 = sm.sample(x, [c], 1, "reflect", -100.0, np.float32)
    t64 = ndi.map_coordinates(x.astype(np.float64), c.astype(np.float64)[None], order=1, mode="reflect", cval=-100.0)
    assert (t32 == 5.0).all() and (t64 == 5.0).all()
    assert np.float32(1e-15) - np.float32(1) == np.float32(-1)


@pytest.mark.parametrize("out_dtype", INT_DTYPES)
def test_float32_cast_runs_in_float32(out_dtype):
    """The cast of a float32 t adds 0.5 in float32: 0.49999997 + 0.5 rounds to 1 (in double it stays below)."""
    t = np.array([0.49999997, 2.5, -2.5, 100.49999], np.float32)
    got = sm.cast_output(t, out_dtype)
    in_double = sm.cast_output(t.astype(np.float64), out_dtype)
    assert got[0] == 1 and in_double[0] == 0
    assert_identical(got[1:], in_double[1:])


# ---------------------------------------------------------------- the prefilter of orders 2 to 5

# the B-spline of each order at the integers 0, 1, 2 (symmetric)
KNOTS = {2: (3 / 4, 1 / 8), 3: (2 / 3, 1 / 6), 4: (115 / 192, 19 / 96, 1 / 384), 5: (11 / 20, 13 / 60, 1 / 120)}


@pytest.mark.parametrize("order", (2, 3, 4, 5))
@pytest.mark.parametrize("mode", MODES)
def test_spline_filter_model(mode, order):
    """The model's spline_filter1d: the spline through its coefficients passes through the samples (the
    line extended as the mode's filter assumes), for lines of 2 to 7 samples; and it is scipy's C
    filter bit for bit, except where scipy before 1.18 read its own partial sum ('nearest', 'reflect')."""
    from scipy.ndimage import _interpolation
    c_filter = getattr(_interpolation._nd_image, "_module", _interpolation._nd_image)  # not the tests' correction
    rng = rng_for("spline filter model", mode, order)
    code = sm.MODE_CODES[mode]
    for n in range(2, 8):
        x = rng.normal(0, 10, (n, 3))
        c = sm.spline_filter1d(x, order, 0, mode)
        i = np.arange(n)[:, None] + np.arange(-len(KNOTS[order]) + 1, len(KNOTS[order]))
        if code == 5:    # periodic
            i = i % n
        elif code in (0, 2):  # symmetric about the half-sample edges
            i = i % (2 * n)
            i = np.where(i >= n, 2 * n - 1 - i, i)
        else:            # symmetric about the edge samples
            i = i % (2 * n - 2)
            i = np.where(i >= n, 2 * n - 2 - i, i)
        k = np.array(KNOTS[order][::-1] + KNOTS[order][1:])
        np.testing.assert_allclose((c[i] * k[:, None]).sum(axis=1), x, atol=1e-9 * np.abs(x).max())
        if code not in (0, 2) or scipy_fixed():
            out = np.zeros_like(x)
            c_filter.spline_filter1d(x, order, 0, out, code)
            assert_identical(c, out, f"n {n}")


def scipy_fixed():
    import scipy
    return tuple(int(p) for p in scipy.__version__.split(".")[:2]) >= (1, 18)


def test_fma32_rounds_once():
    """The model's binary32 fused multiply-add against the exact value rounded by hand (Fractions):
    random operands, sums that cancel, and sums placed exactly on and beside a rounding tie."""
    from fractions import Fraction
    rng = rng_for("fma32")
    a = rng.normal(0, 1, 3000).astype(np.float32)
    b = rng.normal(0, 1, 3000).astype(np.float32)
    c = rng.normal(0, 1, 3000).astype(np.float32)
    c[1000:2000] = -(a[1000:2000] * b[1000:2000])          # cancellation: the product's rounding error
    # a * b = 1 + (i + j) 2^-12 + i j 2^-24 is a binary32 tie for odd i j; a tiny c puts the exact sum
    # beside it, where a sum rounded to binary64 first would land on the tie and round to even
    i, j = (2 * rng.integers(0, 64, 1000) + 1 for _ in range(2))
    a[2000:], b[2000:] = 1 + i * 2.0**-12, 1 + j * 2.0**-12
    c[2000:] = rng.choice((-1.0, 1.0, 0.0), 1000) * 2.0**-60
    got = sm.fma32(a, b, c)
    for x, y, z, g in zip(a.tolist(), b.tolist(), c.tolist(), got.tolist()):
        exact = Fraction(x) * Fraction(y) + Fraction(z)
        near = np.float32(float(exact))
        candidates = [np.nextafter(near, np.float32(-np.inf)), near, np.nextafter(near, np.float32(np.inf))]
        best = min(candidates, key=lambda v: (abs(Fraction(float(v)) - exact), int(np.float32(v).view(np.int32)) & 1))
        assert g == best, (x, y, z, g, best)

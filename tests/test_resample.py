"""zentrova_resample.affine_transform against the NumPy model of scipy's arithmetic (bit for bit)
and against scipy.ndimage.affine_transform itself.

float32, float16 and 8-/16-bit integers are computed in binary32: they must equal
``scipy_model.affine_model(..., compute_dtype=np.float32)``; float64 and 32-/64-bit integers are
computed in binary64 and must equal the float64 model, which is scipy. Against scipy, the binary32
family may differ beyond binary32 rounding only where a binary32 coordinate lies on the other side
of a cell edge, a rounding tie or the input's border than scipy's binary64 one ("edge flips").
"""

import numpy as np
import pytest
from scipy import ndimage as ndi

import zentrova_resample as zr
from resample_support import (ALL_DTYPES, MODES, SMALL, TRANSFORM_KINDS, WIDE, assert_same, differing, model,
                              random_cval, random_data, random_shape, random_transform, rng_for, saturate_wide, sm)

SCIPY_DTYPES = tuple(d for d in ALL_DTYPES if d != "float16")


def run_both(inp, m, off, out_shape, order, mode, cval, context):
    got = zr.affine_transform(inp, m, off, out_shape, order=order, mode=mode, cval=cval)
    assert_same(got, model(inp, m, off, out_shape, order, mode, cval),
                f"{context} in {inp.dtype}{inp.shape} out {out_shape} m={np.asarray(m).tolist()} "
                f"off={np.asarray(off).tolist()} order={order} mode={mode} cval={cval}")
    return got


# ---- 1. bit for bit against the model --------------------------------------------------------

@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", ALL_DTYPES)
def test_random_volumes_match_model(dtype, mode, order):
    """Every transform family, on 1-, 2- and 3-D volumes with NaN/inf/-0.0 or integer extremes,
    output grids smaller and larger than the input."""
    rng = rng_for("random", dtype, mode, order)
    for i, kind in enumerate(TRANSFORM_KINDS):
        ndim = (3, 3, 2, 1)[i % 4]
        in_shape = random_shape(rng, ndim, 1, 9)
        out_shape = random_shape(rng, ndim - 1, 1, 8) + (int(rng.integers(1, 41)),)
        inp = random_data(rng, in_shape, dtype)
        m, off = random_transform(rng, in_shape, out_shape, kind)
        run_both(inp, m, off, out_shape, order, mode, random_cval(rng, dtype), kind)


@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("dtype", ("float32", "float16", "uint8", "int16", "float64"))
def test_row_lengths_cut_vector_blocks(dtype, order):
    """Rows of 1 to 40 voxels: full 8- and 16-lane blocks, blocks falling back to single voxels
    near the border, and every length of the remainder."""
    rng = rng_for("rows", dtype, order)
    for nx in range(1, 41):
        mode = MODES[nx % len(MODES)]
        inp = random_data(rng, (3, 4, nx + 2), dtype)
        inside = (np.eye(3) + rng.uniform(-0.01, 0.01, (3, 3)), np.array([0.4, 0.7, 0.6]))
        crossing = (np.eye(3) * [1, 1, 1.1], np.array([0.3, 0.5, -1.4]))
        for m, off in (inside, crossing):
            run_both(inp, m, off, (2, 3, nx), order, mode, random_cval(rng, dtype), f"nx={nx}")


@pytest.mark.parametrize("mode", ("constant", "mirror"))
@pytest.mark.parametrize("dtype,side", (("float32", 144), ("uint16", 184), ("float64", 116), ("int8", 232)))
def test_large_inputs_nearest(dtype, side, mode):
    """Inputs of 11-12 MiB rotated with nearest neighbours, where rows ask for their reads ahead of
    loading them (boxes of 8 MiB and more): a slab of the output equals the model bit for bit."""
    rng = rng_for("large nearest", dtype, mode)
    inp = random_data(rng, (side,) * 3, dtype)
    matrix, offset = random_transform(rng, inp.shape, (12, side, side), "rotate")
    run_both(inp, matrix, offset, (12, side, side), 0, mode, random_cval(rng, dtype), "large")


TINY_SHAPES = ((1, 1, 1), (1, 1, 2), (1, 2, 1), (2, 1, 1), (2, 2, 2), (1, 2, 9), (2, 1, 17), (1, 1, 33))


@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("mode", MODES)
def test_axes_of_length_one_and_two(mode, order):
    rng = rng_for("tiny", mode, order)
    for dtype in ("float32", "uint8", "float64"):
        for in_shape in TINY_SHAPES:
            inp = random_data(rng, in_shape, dtype)
            out_shape = random_shape(rng, 2, 1, 4) + (int(rng.integers(1, 20)),)
            for kind in ("half_shift", "general"):
                m, off = random_transform(rng, in_shape, out_shape, kind)
                run_both(inp, m, off, out_shape, order, mode, random_cval(rng, dtype), kind)
        inp = random_data(rng, (1,), dtype)  # 1-D input of one sample
        run_both(inp, [[0.5]], [-0.75], (7,), order, mode, 2.5, "1-D single sample")


GRID_ENTRIES = (-2.0, -1.0, -0.5, 0.0, 0.0, 0.5, 1.0, 1.0, 2.0)
GRID_OFFSETS = (-3.0, -1.0, -0.75, -0.5, -0.25, 0.0, 0.25, 0.5, 1.0, 2.5, 4.0, 6.5,
                -1e-7, 1e-7, -1e-20, 0.49999999999999994, 0.49999997, 3.9999999)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", ("float32", "float16", "uint8", "int16", "float64", "int64"))
def test_coordinates_on_edges_and_ties(dtype, mode):
    """Coordinates exactly on cell edges, order-0 ties, -1, -0.5, 0, n - 1, n - 0.5, n and a hair
    either side of them (the mode's discontinuities)."""
    rng = rng_for("edges", dtype, mode)
    for order in (0, 1):
        for trial in range(6):
            ndim = (3, 1)[trial % 2]
            in_shape = tuple(int(v) for v in rng.choice([1, 2, 3, 5], ndim))
            out_shape = tuple(int(v) for v in rng.integers(1, 6, ndim - 1)) + (int(rng.integers(8, 30)),)
            m = rng.choice(GRID_ENTRIES, (ndim, ndim))
            off = rng.choice(GRID_OFFSETS, ndim)
            form = m if trial % 3 else np.diag(m).copy()
            inp = random_data(rng, in_shape, dtype)
            run_both(inp, form, off, out_shape, order, mode, random_cval(rng, dtype), "grid")


SPECIAL_VALUES = (0.0, -0.0, float("nan"), float("inf"), -float("inf"), 1e30, -1e30, 1e-30, 3e9)
# wrap and grid-wrap read other corners than scipy for coordinates >= 2^63 (a fault, tested by
# test_wrap_modes_huge_coordinates): here they get values that keep coordinates below that
NEGATIVE_SPECIALS = (0.0, -0.0, float("nan"), -float("inf"), -1e30, 1e-30, -3e9)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", ("float32", "float16", "uint8", "int8", "float64", "uint64"))
def test_nonfinite_and_huge_transforms(dtype, mode):
    """NaN, inf, 1e30 and 0 in the matrix, the offset or the (ndim,) diagonal (a zero there gives
    NaN coordinates, on which scipy itself crashes for some modes), cval NaN and inf."""
    rng = rng_for("special", dtype, mode)
    pool = NEGATIVE_SPECIALS if mode in ("wrap", "grid-wrap") else SPECIAL_VALUES
    inp = random_data(rng, (3, 4, 11), dtype)
    for order in (0, 1):
        for trial in range(8):
            m = np.eye(3) + rng.uniform(-0.2, 0.2, (3, 3))
            off = rng.uniform(-1, 3, 3)
            where = trial % 4
            if where == 0:
                m[rng.integers(3), rng.integers(3)] = rng.choice(pool)
            elif where == 1:
                off[rng.integers(3)] = rng.choice(pool)
            else:
                m = np.diag(m).copy()
                (m if where == 2 else off)[rng.integers(3)] = rng.choice(pool)
            cval = float(rng.choice([0.0, np.nan, np.inf, -np.inf, 2.5]))
            got = run_both(inp, m, off, (4, 3, 18), order, mode, cval, "special")
            again = zr.affine_transform(inp, m, off, (4, 3, 18), order=order, mode=mode, cval=cval)
            assert not differing(got, again).any(), "not deterministic"


# Magnitudes where the 64-bit types change how they are converted: the vector store takes blocks
# whose values all lie within 2^51, other blocks go lane by lane; binary64 holds every integer up
# to 2^53 and rounds the larger ones.
WIDE_BANDS = (0, 2**51 - 3, 2**51, 2**52 - 1, 2**53 - 1, 2**53 + 1, 2**62 + 1, 2**63 - 1)


@pytest.mark.parametrize("dtype", ("int64", "uint64"))
def test_64_bit_values_either_side_of_2_pow_51(dtype):
    """Rows whose vector blocks hold values in one band only, and blocks that mix bands, with shifts
    that land on halves (rounding ties) and on random fractions; against the model bit for bit."""
    rng = rng_for("wide", dtype)
    signed = dtype == "int64"
    bands = np.array([v for b in WIDE_BANDS for v in ((b, -b) if signed else (b,))], dtype=object)
    for trial in range(12):
        row = rng.choice(bands, 24) if trial % 2 else np.repeat(rng.choice(bands, 6), 4)
        jitter = rng.integers(-2, 3, 24).astype(object)
        values = [int(min(max(v + j, np.iinfo(dtype).min), np.iinfo(dtype).max)) for v, j in zip(row, jitter)]
        inp = np.array(values, dtype=dtype).reshape(1, 2, 12).repeat(2, axis=0)
        for order in (0, 1):
            shift = 0.5 if trial < 4 else float(rng.uniform(-1, 1))
            run_both(inp, np.eye(3), (0.0, 0.25, shift), (2, 2, 12), order, "nearest", 0.0, "64-bit bands")


@pytest.mark.parametrize("mode", ("wrap", "grid-wrap"))
@pytest.mark.parametrize("dtype", ("float64", "float32"))
@pytest.mark.parametrize("coordinate", (1e30, float("inf"), 1e19))
def test_wrap_modes_huge_coordinates(coordinate, dtype, mode):
    """Beyond 2**63 the cell index is INT64_MIN, which scipy maps through binary64 to sample 0."""
    inp = np.arange(10.0, 17.0).astype(dtype)   # n = 7
    for order in (0, 1):
        expected = sm.affine_model(inp, [[1.0]], [coordinate], (1,), order, mode, -5.0,
                                   compute_dtype=np.float32 if dtype == "float32" else np.float64)
        # sample 0 (order 1 with an infinite coordinate: NaN weights)
        assert expected[0] == 10.0 or (order == 1 and np.isnan(expected[0]))
        assert_same(zr.affine_transform(inp, [[1.0]], [coordinate], (1,), order=order, mode=mode, cval=-5.0),
                    expected, f"x={coordinate} order {order}")


# ---- 2. against scipy.ndimage itself ----------------------------------------------------------

def scipy_call(inp, m, off, out_shape, order, mode, cval, output=None):
    with np.errstate(all="ignore"):
        return ndi.affine_transform(inp, m, off, out_shape, output=output, order=order, mode=mode, cval=cval)


@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", WIDE)
def test_binary64_family_equals_scipy(dtype, mode, order):
    rng = rng_for("scipy64", dtype, mode, order)
    for i, kind in enumerate(TRANSFORM_KINDS):
        ndim = (3, 2, 1)[i % 3]
        in_shape = random_shape(rng, ndim, 1, 9)
        out_shape = random_shape(rng, ndim - 1, 1, 9) + (int(rng.integers(1, 30)),)
        inp = random_data(rng, in_shape, dtype)
        m, off = random_transform(rng, in_shape, out_shape, kind)
        cval = random_cval(rng, dtype)
        expected = scipy_call(inp, m, off, out_shape, order, mode, cval)
        expected = saturate_wide(expected, scipy_call(inp, m, off, out_shape, order, mode, cval, np.float64), dtype)
        got = zr.affine_transform(inp, m, off, out_shape, order=order, mode=mode, cval=cval)
        assert_same(got, expected, f"{kind} m={np.asarray(m).tolist()} off={off.tolist()} cval={cval}")


def coordinates(m, off, out_shape, dt):
    m = np.asarray(m, np.float64)
    if m.ndim == 1:
        with np.errstate(all="ignore"):
            return sm.separable_coordinates(out_shape, zoom=m, shift=np.asarray(off) / m, dt=dt)
    return sm.general_coordinates(out_shape, m, off, dt)


def cell_signature(coords, in_shape, mode, order):
    """Per voxel and axis, what decides which samples are read: whether the mapped coordinate
    makes the voxel cval outright, and the first corner (floor, or floor(x + 0.5) for order 0)."""
    code = sm.MODE_CODES[mode]
    rows = []
    with np.errstate(all="ignore"):
        for x, n in zip(coords, in_shape):
            dt = x.dtype.type
            outright = np.zeros(x.shape, bool)
            if code not in (sm.NEAREST, sm.GRID_CONSTANT):
                x = sm.map_coordinate(x, n, code)
                outright = ~(x > dt(-1))
            start = sm.c_int64(np.floor(x + dt(0.5)) if order == 0 else np.floor(x))
            rows.append(np.where(outright, sm.INT64_MIN, start))
    return np.stack(rows)


def scipy_differences(inp, m, off, out_shape, order, mode, cval):
    """Compares our binary32-family result with scipy's: returns (ours, big, ties), `big` the voxels
    that differ beyond binary32 rounding (integer types: by more than a .5 rounding tie can
    explain), `ties` the integer voxels off by one at a .5 tie. Fails on a big difference that
    no edge flip explains."""
    eps = np.finfo(np.float32).eps
    dtype = inp.dtype
    in_shape = inp.shape
    got = zr.affine_transform(inp, m, off, out_shape, order=order, mode=mode, cval=cval)
    # scipy's value before its output cast: float64 output (float16 data read as float64)
    s64 = scipy_call(inp.astype(np.float64), m, off, out_shape, order, mode, cval, np.float64)
    c64 = coordinates(m, off, out_shape, np.float64)
    c32 = coordinates(m, off, out_shape, np.float32)
    flip = (cell_signature(c64, in_shape, mode, order)
            != cell_signature(c32, in_shape, mode, order)).any(axis=0).reshape(out_shape)
    vmax = max(float(np.abs(inp.astype(np.float64)).max()), abs(cval), 1.0)
    cmax = max(float(np.abs(np.stack(c64)).max()), 1.0)
    tol = 64 * eps * vmax * (1 + cmax)
    g = got.astype(np.float64)
    ties = np.zeros(out_shape, bool)
    if dtype == np.float32:
        big = np.abs(g - s64) > tol + np.abs(s64) * eps
    elif dtype == np.float16:
        big = np.abs(g - s64) > tol + np.abs(s64) * 2.0**-10 + 2.0**-24
    else:
        diff = np.abs(g - scipy_call(inp, m, off, out_shape, order, mode, cval).astype(np.float64))
        ties = (diff == 1) & (np.abs((s64 % 1.0) - 0.5) <= tol)   # scipy's value within tol of a .5 tie
        big = (diff > 0) & ~ties
    unexplained = big & ~flip
    if unexplained.any():
        p = tuple(np.argwhere(unexplained)[0])
        raise AssertionError(f"{mode} order {order} m={np.asarray(m).tolist()} off={np.asarray(off).tolist()}: "
                             f"{int(unexplained.sum())} voxels differ from scipy beyond binary32 rounding without "
                             f"an edge flip; first at {p}: ours {got[p]!r} scipy {s64[p]!r}")
    return got, big, ties


@pytest.mark.parametrize("dtype", SMALL)
def test_binary32_family_against_scipy(dtype):
    """Random non-degenerate transforms, every mode and order: every voxel equals scipy within
    binary32 rounding, or is an edge flip; flips stay rare (below 1%)."""
    rng = rng_for("scipy32", dtype)
    total = flips = ties = 0
    for mode in MODES:
        for order in (0, 1):
            for kind in ("rotate", "scale_down", "scale_up", "shear", "general", "diagonal"):
                in_shape = random_shape(rng, 3, 2, 9)
                out_shape = random_shape(rng, 3, 2, 11)
                inp = random_data(rng, in_shape, dtype, specials=False)
                m, off = random_transform(rng, in_shape, out_shape, kind)
                cval = float(rng.choice([0.0, 2.5, -7.25]))
                got, big, tie = scipy_differences(inp, m, off, out_shape, order, mode, cval)
                total += got.size
                flips += int(big.sum())
                ties += int(tie.sum())
    print(f"\n{dtype}: edge flips {flips}/{total} = {flips / total:.2e}; off by one at .5 ties {ties}/{total}")
    assert flips / total < 0.01


@pytest.mark.parametrize("dtype", SMALL)
def test_degenerate_rotation_flips_are_explained(dtype):
    """A 270-degree rotation from cos/sin (cos = -1.8e-16 in binary64, a different tiny value in
    binary32) with half-pixel offsets puts scipy's coordinates a hair below the order-0 ties and ours
    on them: most voxels flip, each one an edge flip, and the result is still the binary32 model's."""
    rng = rng_for("degenerate", dtype)
    a = np.deg2rad(270.0)
    m = np.array([[np.cos(a), np.sin(a)], [-np.sin(a), np.cos(a)]])
    in_shape, out_shape = (9, 12), (12, 9)
    off = np.round((np.array(in_shape) - 1) / 2 - m @ ((np.array(out_shape) - 1) / 2)) + 0.5
    for mode in MODES:
        for order in (0, 1):
            inp = random_data(rng, in_shape, dtype, specials=False)
            got, big, _ = scipy_differences(inp, m, off, out_shape, order, mode, 1.5)
            assert_same(got, model(inp, m, off, out_shape, order, mode, 1.5), f"{mode} order {order}")
            print(f"{dtype} {mode} order {order}: edge flips {int(big.sum())}/{big.size}")
            if order == 1:
                assert not big.any()


EXACT_KINDS = ("identity", "translate_int", "flip", "permute")


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", SMALL)
def test_exact_coordinates_equal_scipy(dtype, mode):
    """Integer translations, flips and axis permutations: binary32 coordinates are exact, so the
    binary32 family equals scipy bit for bit (no edge flip at all), NaN/inf data included."""
    rng = rng_for("exact", dtype, mode)
    for order in (0, 1):
        for kind in EXACT_KINDS:
            ndim = int(rng.integers(1, 4))
            in_shape = random_shape(rng, ndim, 1, 8)
            out_shape = random_shape(rng, ndim, 1, 12)
            inp = random_data(rng, in_shape, dtype)
            if kind == "translate_int":
                m, off = np.eye(ndim), rng.integers(-5, 6, ndim).astype(float)
            else:
                m, off = random_transform(rng, in_shape, out_shape, "identity" if kind == "identity" else kind)
                off = np.round(off)
            if rng.random() < 0.3:
                m = np.hstack([m, off[:, None]])   # homogeneous form
            cval = float(rng.choice([0.0, 2.5, 7.0, -3.0]))
            got = zr.affine_transform(inp, m, off, out_shape, order=order, mode=mode, cval=cval)
            if dtype == "float16":
                expected = scipy_call(inp.astype(np.float32), m, off, out_shape, order, mode, cval).astype(np.float16)
            else:
                expected = scipy_call(inp, m, off, out_shape, order, mode, cval)
            assert_same(got, expected, f"{kind} order {order} m={np.asarray(m).tolist()} off={off.tolist()}")


# ---- label maps at order 0 -------------------------------------------------------------------------

LABEL_DTYPES = ("uint8", "int8", "uint16", "int16", "uint32", "int32", "uint64", "int64", "float16", "float32")


def _labels(rng, shape, dtype):
    """A segmentation: blobs of a few labels (below 100, so that every label type holds them)."""
    coarse = rng.integers(0, 97, tuple(max(1, n // 4) for n in shape))
    return np.kron(coarse, np.ones((4,) * len(shape), int))[tuple(slice(0, n) for n in shape)].astype(dtype)


@pytest.mark.parametrize("dtype", LABEL_DTYPES)
def test_label_maps_at_order_0_equal_scipy(dtype):
    """Order 0 picks the sample scipy picks for every dtype: its coordinate in float64, whatever the
    compute type. A 45-degree rotation about the centre puts many coordinates a hair below a .5 tie in
    float64 (on it in float32); with zooms, map_coordinates, another output dtype and dask chunks,
    every voxel is scipy's (float16: scipy's result of the same values as float32)."""
    import dask.array as da

    rng = rng_for("labels", dtype)
    lab = _labels(rng, (40, 40, 40), dtype)
    ref = lab.astype(np.float32) if dtype == "float16" else lab

    def scipy_as(result):
        return result.astype(dtype) if dtype == "float16" else result

    a = np.deg2rad(45)
    m = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
    centre = (np.array(lab.shape) - 1) / 2
    off = centre - m @ centre
    for mode, cval in (("constant", 7.0), ("nearest", 0.0), ("mirror", 0.0), ("grid-wrap", 0.0)):
        expected = scipy_as(ndi.affine_transform(ref, m, off, order=0, mode=mode, cval=cval))
        got = zr.affine_transform(lab, m, off, order=0, mode=mode, cval=cval)
        assert_same(got, expected, f"rotation {mode}")
        lazy = zr.affine_transform(da.from_array(lab, chunks=(13, 17, 40)), m, off, order=0, mode=mode, cval=cval,
                                   output_chunks=(9, 40, 11))
        assert_same(lazy.compute(scheduler="sync"), expected, f"rotation {mode}, dask")
    assert_same(zr.rotate(lab, 45, axes=(1, 2), reshape=False, order=0),
                scipy_as(ndi.rotate(ref, 45, axes=(1, 2), reshape=False, order=0)), "rotate")
    for factors in ((1.3, 0.7, 2.1), (1 / 3, 2 / 3, 0.55)):
        assert_same(zr.zoom(lab, factors, order=0, mode="nearest"),
                    scipy_as(ndi.zoom(ref, factors, order=0, mode="nearest")), f"zoom {factors}")
    points = (m @ np.indices(lab.shape, dtype=np.float64).reshape(3, -1) + off[:, None]).reshape((3,) + lab.shape)
    assert_same(zr.map_coordinates(lab, points, order=0, mode="mirror"),
                scipy_as(ndi.map_coordinates(ref, points, order=0, mode="mirror")), "map_coordinates")
    if dtype != "float16":
        for out in ("uint8", "int32", "float32"):
            # cval 2.4999999999999996 rounds to 2 once (scipy), to 3 through float32 first
            assert_same(zr.affine_transform(lab, m, off, order=0, cval=2.4999999999999996, output=out),
                        ndi.affine_transform(lab, m, off, order=0, cval=2.4999999999999996, output=out),
                        f"into {out}")


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", ("uint8", "int16", "float32"))
def test_order_0_a_hair_from_ties_and_edges(dtype, mode):
    """Coordinates within 1e-9 to 2**-49 of a .5 tie, of a sample or of an edge (on either side): binary32
    cannot tell where they lie, and order 0 still reads scipy's sample for each (given coordinates,
    shifts, nearly identity matrices and zooms; every lane type decides the same: test_targets)."""
    rng = rng_for("hair", dtype, mode)
    x = (rng.random((9, 10, 11)) * 100).astype(dtype)
    coords = rng.integers(-3, 13, (3, 600)) + 0.5 + rng.choice([-2**-40, -2**-49, 0, 2**-49, 2**-40, -1e-9, 1e-9],
                                                                (3, 600))
    coords[:, :150] = np.round(coords[:, :150]) + rng.choice([-1e-12, 0, 1e-12], (3, 150))
    kw = dict(order=0, mode=mode, cval=7)
    assert_same(zr.map_coordinates(x, coords, **kw), ndi.map_coordinates(x, coords, **kw), "map_coordinates")
    for s in (0.5 - 1e-15, -0.5 + 1e-15, 1e-14, -1e-14, 10.5 - 1e-15):
        assert_same(zr.shift(x, s, **kw), ndi.shift(x, s, **kw), f"shift {s}")
        m = np.eye(3) * (1 + 1e-15)
        assert_same(zr.affine_transform(x, m, s, **kw), ndi.affine_transform(x, m, s, **kw), f"matrix, offset {s}")
    grid = mode.startswith("grid")
    assert_same(zr.zoom(x, (0.5, 1.5, 2 / 3), grid_mode=grid, **kw), ndi.zoom(x, (0.5, 1.5, 2 / 3), grid_mode=grid, **kw),
                "zoom")

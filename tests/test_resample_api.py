"""zentrova_resample.affine_transform's arguments: matrix forms and batch axes, the output
argument and dtype conversions, memory layouts, invalid arguments and edge cases."""

import warnings

import numpy as np
import pytest
from scipy import ndimage as ndi

import zentrova_resample as zr
from resample_support import (ALL_DTYPES, MODES, assert_caught_as_scipy, assert_identical, assert_same, compute_dtype,
                              differing, model, quiet, raised_by, random_cval, random_data, random_shape,
                              random_transform, rng_for, saturate_wide, sm)


def general(rng, n):
    return np.eye(n) + rng.uniform(-0.4, 0.4, (n, n)), rng.uniform(-1.5, 1.5, n)


# ---- 3. matrix forms, ranks and batch axes ------------------------------------------------------

@pytest.mark.parametrize("ndim", (1, 2, 3))
@pytest.mark.parametrize("dtype", ("float32", "uint8", "float64", "int32"))
def test_matrix_forms(dtype, ndim):
    """(ndim, ndim) + offset, (ndim, ndim + 1) and (ndim + 1, ndim + 1) are one transform (the
    offset argument is ignored with the last two); (ndim,) is scipy's zoom/shift path, whose rounding
    differs; a scalar offset is repeated per axis."""
    rng = rng_for("forms", dtype, ndim)
    inp = random_data(rng, (5, 6, 7)[:ndim], dtype)
    out_shape = (4, 7, 9)[:ndim]
    for mode in ("constant", "reflect", "grid-wrap"):
        for order in (0, 1):
            m, off = general(rng, ndim)
            square = zr.affine_transform(inp, m, off, out_shape, order=order, mode=mode, cval=1.5)
            assert_same(square, model(inp, m, off, out_shape, order, mode, 1.5), "square")
            short = np.hstack([m, off[:, None]])
            full = np.vstack([short, np.eye(ndim + 1)[ndim]])
            for form in (short, full):
                got = zr.affine_transform(inp, form, 99.0, out_shape, order=order, mode=mode, cval=1.5)
                assert_same(got, square, f"homogeneous {form.shape}")
            d = rng.uniform(0.5, 1.5, ndim) * rng.choice([-1, 1], ndim)
            assert_same(zr.affine_transform(inp, d, off, out_shape, order=order, mode=mode, cval=1.5),
                        model(inp, d, off, out_shape, order, mode, 1.5), "diagonal")
            scalar = zr.affine_transform(inp, m, 0.75, out_shape, order=order, mode=mode, cval=1.5)
            assert_same(scalar, zr.affine_transform(inp, m, [0.75] * ndim, out_shape, order=order, mode=mode,
                                                    cval=1.5), "scalar offset")
            assert_same(scalar, model(inp, m, 0.75, out_shape, order, mode, 1.5), "scalar offset model")


@pytest.mark.parametrize("ranks", ((3, 2), (3, 1), (2, 1), (1, 3)))
@pytest.mark.parametrize("dtype", ("float32", "int16", "float64", "uint64"))
def test_rank_changing_matrix(dtype, ranks):
    """(ndim, k) matrices: the output has k axes (an oblique plane out of a volume, a line, ...)."""
    irank, orank = ranks
    rng = rng_for("rank", dtype, ranks)
    inp = random_data(rng, (6, 7, 8)[:irank], dtype)
    for mode in MODES:
        for order in (0, 1):
            m = rng.uniform(-1.2, 1.2, (irank, orank))
            off = rng.uniform(-1, 5, irank)
            out_shape = tuple(int(v) for v in rng.integers(1, 20, orank))
            got = zr.affine_transform(inp, m, off, out_shape, order=order, mode=mode, cval=2.5)
            assert_same(got, model(inp, m, off, out_shape, order, mode, 2.5), f"{mode} order {order}")


def test_oblique_slice_of_volume():
    """A 2-D plane through a 3-D volume: out[i, j] samples p0 + i*u + j*v, checked on a volume
    whose value is a linear function of position (exact for linear interpolation inside)."""
    z, y, x = np.indices((20, 21, 22), dtype=np.float64)
    vol = 3 * z - 2 * y + x + 100
    p0, u, v = np.array([2.0, 3.0, 4.0]), np.array([0.5, 0.25, 0.125]), np.array([0.0, 0.5, 0.75])
    out = zr.affine_transform(vol, np.stack([u, v], axis=1), p0, (12, 10), order=1)
    i, j = np.indices((12, 10))
    pos = p0[:, None, None] + u[:, None, None] * i + v[:, None, None] * j
    np.testing.assert_allclose(out, 3 * pos[0] - 2 * pos[1] + pos[2] + 100, rtol=0, atol=1e-9)
    assert_same(out, ndi.affine_transform(vol, np.stack([u, v], axis=1), p0, (12, 10), order=1))


@pytest.mark.parametrize("dtype", ("float32", "uint8", "int16", "float64", "float16"))
def test_channels_with_3x3_matrix(dtype):
    """(C, Z, Y, X) with a 3x3 (or 3x4) matrix: each channel transformed alike; output_shape with
    the channel axis; a channel axis that differs from the input's is refused."""
    rng = rng_for("channels", dtype)
    inp = random_data(rng, (3, 5, 6, 11), dtype)
    m, off = general(rng, 3)
    for mode, order in (("reflect", 1), ("constant", 0), ("grid-constant", 1)):
        got = zr.affine_transform(inp, m, off, (3, 4, 7, 13), order=order, mode=mode, cval=2.0, batch_axes=0)
        for c in range(3):
            assert_same(got[c], zr.affine_transform(inp[c], m, off, (4, 7, 13), order=order, mode=mode, cval=2.0),
                        f"channel {c}")
        same_shape = zr.affine_transform(inp, np.hstack([m, off[:, None]]), order=order, mode=mode, batch_axes=[0])
        assert same_shape.shape == inp.shape
        assert_same(same_shape[1], zr.affine_transform(inp[1], m, off, order=order, mode=mode), "homogeneous")
    with pytest.raises(ValueError, match="output_shape"):
        zr.affine_transform(inp, m, off, (2, 4, 7, 13), batch_axes=0)


@pytest.mark.parametrize("dtype", ("float32", "uint16", "float64", "int64"))
def test_images_with_2d_matrix(dtype):
    """(N, H, W) with a 2x2, a 2x3 or a (2,) matrix, and a 5-D stack with a 2x2 and a 3x3 matrix:
    each image as in its own call."""
    rng = rng_for("images", dtype)
    inp = random_data(rng, (7, 9, 21), dtype)
    m, off = general(rng, 2)
    forms = ((m, off), (np.hstack([m, off[:, None]]), 0.0), (np.array([1.3, -0.7]), off))
    for (mat, o), mode, order in zip(forms, ("mirror", "wrap", "nearest"), (1, 0, 1)):
        got = zr.affine_transform(inp, mat, o, order=order, mode=mode, batch_axes=0)
        resized = zr.affine_transform(inp, mat, o, (7, 5, 30), order=order, mode=mode, batch_axes=-3)
        for i in range(7):
            assert_same(got[i], zr.affine_transform(inp[i], mat, o, order=order, mode=mode), f"image {i}")
            assert_same(resized[i], zr.affine_transform(inp[i], mat, o, (5, 30), order=order, mode=mode), f"image {i}")
        assert_same(got[3], model(inp[3], mat, o, None, order, mode, 0.0), "model")
    five = random_data(rng, (2, 3, 4, 5, 9), dtype)
    m3, off3 = general(rng, 3)
    for mat, o in ((m, off), (m3, off3)):
        got = zr.affine_transform(five, mat, o, mode="mirror", batch_axes=range(five.ndim - len(o)))
        for idx in np.ndindex(*five.shape[: five.ndim - len(o)]):
            assert_same(got[idx], zr.affine_transform(five[idx], mat, o, mode="mirror"), f"5-D {idx}")


def test_more_than_2_24_images():
    n = 2**24 + 2
    inp = (np.arange(n) % 251).astype(np.uint8).reshape(n, 1)
    got = zr.affine_transform(inp, [1.0], 0.0, batch_axes=0)
    wrong = np.flatnonzero(got[:, 0] != inp[:, 0])
    assert wrong.size == 0, f"images {wrong[:4]} hold {got[wrong[:4], 0]} instead of {inp[wrong[:4], 0]}"


# ---- 4. the output argument ----------------------------------------------------------------------

def test_output_argument_forms():
    rng = rng_for("output forms")
    inp = random_data(rng, (4, 5, 6), "float64", specials=False)
    m, off = general(rng, 3)
    expected = model(inp, m, off, output=np.float32)
    for output in (np.float32, "f", "float32", np.dtype("f4"), np.dtype(">f4")):
        got = zr.affine_transform(inp, m, off, output=output, order=1)
        assert got.dtype.newbyteorder("=") == np.float32 and got.shape == inp.shape
        assert_same(got, expected, repr(output))
    prealloc = np.full((4, 5, 6), -9, np.float32)
    assert zr.affine_transform(inp, m, off, output=prealloc, order=1) is prealloc
    assert_same(prealloc, expected, "preallocated")
    other = np.zeros((3, 8, 2), np.uint16)   # output_shape taken from the array
    assert zr.affine_transform(inp, m, off, output=other, order=0) is other
    assert_same(other, model(inp, m, off, (3, 8, 2), 0, output=np.uint16), "preallocated, other shape")
    assert zr.affine_transform(inp, m, off, output_shape=(3, 8, 2), output=other, order=1) is other
    default = zr.affine_transform(inp.astype(np.int16), m, off, order=1)
    assert default.dtype == np.int16


@pytest.mark.parametrize("in_dtype", ALL_DTYPES)
def test_output_dtype_differs_from_input(in_dtype):
    """Every output dtype: computed in binary32 only if input and output are both of the binary32
    family, else in binary64; equal to scipy wherever scipy takes both dtypes and the computation is
    binary64."""
    rng = rng_for("out dtype", in_dtype)
    inp = random_data(rng, (4, 5, 13), in_dtype)
    for out_dtype in ALL_DTYPES:
        for order, mode in ((0, "nearest"), (1, "grid-constant"), (1, "reflect")):
            m, off = general(rng, 3)
            cval = float(rng.choice([2.5, -3.5, 300.5, 1e10, np.nan, -np.inf]))
            got = zr.affine_transform(inp, m, off, (3, 4, 17), output=out_dtype, order=order, mode=mode, cval=cval)
            context = f"{in_dtype} -> {out_dtype} order {order} {mode} cval {cval}"
            assert_same(got, model(inp, m, off, (3, 4, 17), order, mode, cval, output=out_dtype), context)
            if compute_dtype(in_dtype, out_dtype) == np.float64 and "float16" not in (in_dtype, out_dtype):
                with np.errstate(all="ignore"):
                    expected = ndi.affine_transform(inp, m, off, (3, 4, 17), output=np.dtype(out_dtype), order=order,
                                                    mode=mode, cval=cval)
                    t = ndi.affine_transform(inp, m, off, (3, 4, 17), output=np.float64, order=order, mode=mode,
                                             cval=cval)
                assert_same(got, saturate_wide(expected, t, out_dtype), "scipy " + context)


# values that land on the rounding rules: ties, just below ties, the limits and beyond
ROUNDING_VALUES = np.array([0.0, -0.0, 0.5, 1.5, 2.5, -0.5, -1.5, -2.5, 0.49999999999999994, 0.49999997,
                            2.4999998, 126.5, 127.5, 128.5, -127.5, -128.5, -129.5, 254.5, 255.5, 256.0, 32767.5,
                            -32768.5, 65535.5, 65536.0, 2.0**31 - 0.5, -2.0**31 - 0.5, 2.0**32, 2.0**62, 2.0**63,
                            -2.0**63, 2.0**64, 1e30, -1e30, np.inf, -np.inf, np.nan])


@pytest.mark.parametrize("out_dtype", ("uint8", "int8", "uint16", "int16", "int32", "uint32", "int64", "uint64",
                                       "float16", "float32"))
@pytest.mark.parametrize("in_dtype", ("float64", "float32"))
def test_rounding_and_clamping(in_dtype, out_dtype):
    """Order 0 on the identity copies each value through the output cast: unsigned round half up
    (negatives and NaN to 0), signed half away from zero, both clamped to the type (64-bit types
    saturate where scipy wraps), each step in binary64 as scipy's (float32 -> 8/16-bit too, though
    computed in binary32: an order-0 value is a sample, stored by the binary64 rule)."""
    values = ROUNDING_VALUES.astype(in_dtype)
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        got = zr.affine_transform(values, [[1.0]], 0.0, order=0, output=out_dtype)
    cd = compute_dtype(in_dtype, out_dtype, order=0)
    t = cd(0) + values.astype(cd)   # order 0: 0 + value (-0.0 becomes +0.0)
    expected = saturate_wide(sm.cast_output(t, out_dtype), t.astype(np.float64), out_dtype)
    assert_same(got, expected, f"{in_dtype} -> {out_dtype}")
    by_value = dict(zip(ROUNDING_VALUES.tolist(), got.tolist()))
    if out_dtype == "uint8":
        assert [by_value[v] for v in (0.5, 1.5, 2.5, -0.5, -2.5, 254.5, 255.5, 1e30, -np.inf)] == \
               [1, 2, 3, 0, 0, 255, 255, 255, 0]
    if out_dtype == "int8":
        assert [by_value[v] for v in (0.5, -0.5, -1.5, 126.5, 127.5, -128.5, -1e30, np.inf)] == \
               [1, -1, -2, 127, 127, -128, -128, 127]
    if out_dtype in ("int64", "uint64"):
        assert by_value[2.0**64] == np.iinfo(out_dtype).max and by_value[np.inf] == np.iinfo(out_dtype).max
        assert by_value[2.0**63] == (2**63 if out_dtype == "uint64" else 2**63 - 1)


def test_int16_to_int8_clamps_like_scipy():
    inp = np.array([[-32768, -200, -129, -128, 0, 127, 128, 300, 32767]], np.int16)
    got = zr.affine_transform(inp, np.eye(2), output=np.int8, order=1)
    assert got.tolist() == [[-128, -128, -128, -128, 0, 127, 127, 127, 127]]
    assert_same(got, ndi.affine_transform(inp, np.eye(2), output=np.int8, order=1), "scipy")
    shifted = zr.affine_transform(inp.astype(np.float32) * 0.5, np.eye(2), [0, 0.5], output=np.int8, order=1)
    assert_same(shifted, model(inp.astype(np.float32) * 0.5, np.eye(2), [0, 0.5], output=np.int8), "shifted")


@pytest.mark.parametrize("in_dtype,out_dtype", (("float64", "float32"), ("float32", "float16")))
def test_output_cast_overflow_is_silent(in_dtype, out_dtype):
    inp = np.array([1e300 if in_dtype == "float64" else 1e38, 1.0], in_dtype)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = zr.affine_transform(inp, [1.0], output=out_dtype)
    assert got[0] == np.inf


# ---- 5. memory layouts --------------------------------------------------------------------------

def unaligned_copy(a):
    buf = np.zeros(a.nbytes + 1, np.uint8)
    u = buf[1:].view(a.dtype).reshape(a.shape)
    u[...] = a
    return u


def read_only(a):
    a = a.copy()
    a.setflags(write=False)
    return a


LAYOUTS = {
    "steps": lambda a: a[::2, 1::2, ::3],
    "negative_strides": lambda a: a[::-1, :, ::-2],
    "fortran": np.asfortranarray,
    "transposed": lambda a: a.transpose(2, 0, 1),
    "read_only": read_only,
    "broadcast": lambda a: np.broadcast_to(a[:1], a.shape),
    "big_endian": lambda a: a.astype(a.dtype.newbyteorder(">")),
    "unaligned": unaligned_copy,
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", ALL_DTYPES)
def test_input_layouts(dtype, layout):
    """Any view, order, alignment or byte order gives the native C-contiguous copy's result."""
    rng = rng_for("layout", dtype, layout)
    view = LAYOUTS[layout](random_data(rng, (6, 7, 19), dtype))
    native = view.astype(view.dtype.newbyteorder("="), order="C", copy=True)   # a new, aligned array
    m, off = general(rng, 3)
    for order, mode in ((0, "constant"), (1, "wrap"), (1, "grid-constant")):
        got = zr.affine_transform(view, m, off, (5, 9, 23), order=order, mode=mode, cval=1.5)
        assert_same(got, zr.affine_transform(native, m, off, (5, 9, 23), order=order, mode=mode, cval=1.5),
                    f"{layout} order {order} {mode}")
    assert_same(got, model(native, m, off, (5, 9, 23), 1, "grid-constant", 1.5), "model")


@pytest.mark.parametrize("plane", (2**30 - 4096, 2**30 + 4096, 2**31 + 4096))
@pytest.mark.parametrize("dtype", ("uint8", "float32"))
def test_input_with_planes_far_apart(dtype, plane):
    """A view whose three planes lie `plane` elements apart (memory never touched stays unallocated):
    the last sample's position below 2^31, just above it and above 2^32; no copy, no truncation."""
    from numpy.lib.stride_tricks import as_strided

    item = np.dtype(dtype).itemsize
    buf = np.zeros(2 * plane + 4096, dtype)
    view = as_strided(buf, shape=(3, 4, 40), strides=(plane * item, 64 * item, item))
    data = random_data(rng_for("far apart", dtype), (3, 4, 40), dtype, specials=False)
    view[...] = data
    m, off = np.eye(3) + 0.01, [0.2, 0.3, 0.4]
    for order, mode in ((1, "constant"), (0, "wrap"), (1, "reflect")):
        assert_same(zr.affine_transform(view, m, off, order=order, mode=mode),
                    zr.affine_transform(data, m, off, order=order, mode=mode), f"order {order} {mode}")


@pytest.mark.parametrize("dtype", ("float32", "uint8", "float64", "int16"))
def test_output_layouts_and_overlap(dtype):
    rng = rng_for("out layout", dtype)
    inp = random_data(rng, (5, 6, 17), dtype)
    m, off = general(rng, 3)
    expected = zr.affine_transform(inp, m, off, order=1, mode="mirror")
    assert_same(expected, model(inp, m, off, None, 1, "mirror"), "model")

    big = np.full((10, 6, 34), 7, dtype)
    view = big[::2, :, ::2]
    assert zr.affine_transform(inp, m, off, output=view, mode="mirror", order=1) is view
    assert_same(view, expected, "strided output")
    assert (big[1::2] == 7).all() and (big[:, :, 1::2] == 7).all(), "wrote outside the view"

    for out in (np.zeros(inp.shape, np.dtype(dtype).newbyteorder(">")), np.zeros(inp.shape, dtype, order="F"),
                np.zeros(inp.shape[::-1], dtype).transpose(2, 1, 0)):
        assert zr.affine_transform(inp, m, off, output=out, mode="mirror", order=1) is out
        assert_same(out, expected, f"output {out.dtype} {out.strides}")

    same = inp.copy()   # the output is the input
    assert zr.affine_transform(same, m, off, output=same, mode="mirror", order=1) is same
    assert_same(same, expected, "output=input")

    buf = np.zeros(inp.size + 23, dtype)   # the output overlaps the input, shifted
    src = buf[: inp.size].reshape(inp.shape)
    src[...] = inp
    dst = buf[23:].reshape(inp.shape)
    zr.affine_transform(src, m, off, output=dst, mode="mirror", order=1)
    assert_same(dst, expected, "overlapping output")

    rev = inp.copy()   # the output is the input reversed
    zr.affine_transform(rev, m, off, output=rev[::-1, ::-1, ::-1], mode="mirror", order=1)
    assert_same(rev[::-1, ::-1, ::-1], expected, "output=input reversed")


# ---- 6. invalid arguments -------------------------------------------------------------------------

VOLUME = np.ones((4, 5, 6), np.float32)
EYE = np.eye(3)

BAD_ARGUMENTS = [
    # (case, kwargs, exception, argument named in the message)
    ("matrix rows", dict(matrix=np.zeros((4, 3))), ValueError, "matrix"),
    ("matrix 4x5", dict(matrix=np.zeros((4, 5))), ValueError, "matrix"),
    ("matrix 3x5 (output rank 4)", dict(matrix=np.zeros((3, 5))), ValueError, "matrix"),
    ("matrix 3-D", dict(matrix=np.zeros((3, 3, 3))), ValueError, "matrix"),
    ("matrix 0-d", dict(matrix=2.0), ValueError, "matrix"),
    ("matrix empty", dict(matrix=np.zeros(0)), ValueError, "matrix"),
    ("matrix (3, 0)", dict(matrix=np.zeros((3, 0))), ValueError, "matrix"),
    ("matrix diagonal of 4", dict(matrix=np.ones(4)), ValueError, "matrix"),
    ("matrix None", dict(matrix=None), ValueError, "matrix"),
    ("matrix text", dict(matrix="abc"), TypeError, "matrix"),
    ("matrix ragged", dict(matrix=[[1, 0, 0], [0, 1]]), TypeError, "matrix"),
    ("homogeneous last row", dict(matrix=np.eye(4) * 2), ValueError, "matrix"),
    ("homogeneous last row NaN", dict(matrix=np.vstack([np.eye(4)[:3], [0, 0, 0, np.nan]])), ValueError, "matrix"),
    ("homogeneous last row shear", dict(matrix=np.vstack([np.eye(4)[:3], [0, 0.1, 0, 1]])), ValueError, "matrix"),
    ("offset length", dict(matrix=EYE, offset=[1.0, 2.0]), ValueError, "offset"),
    ("offset too long", dict(matrix=EYE, offset=[1.0, 2.0, 3.0, 4.0]), ValueError, "offset"),
    ("offset 2-D", dict(matrix=EYE, offset=np.zeros((3, 1))), ValueError, "offset"),
    ("offset text", dict(matrix=EYE, offset="x"), TypeError, "offset"),
    ("diagonal offset length", dict(matrix=np.ones(3), offset=[1.0, 2.0]), ValueError, "offset"),
    ("output_shape negative", dict(matrix=EYE, output_shape=(2, -1, 3)), ValueError, "output_shape"),
    ("output_shape float", dict(matrix=EYE, output_shape=(2, 1.5, 3)), TypeError, "output_shape"),
    ("output_shape 2.0", dict(matrix=EYE, output_shape=(2.0, 3, 3)), TypeError, "output_shape"),
    ("output_shape text", dict(matrix=EYE, output_shape="abc"), TypeError, "output_shape"),
    ("output_shape axes", dict(matrix=EYE, output_shape=(2, 3)), ValueError, "output_shape"),
    ("output_shape of rank 2 for a 3x3", dict(matrix=EYE, output_shape=(2, 3)), ValueError, "output_shape"),
    ("output vs output_shape", dict(matrix=EYE, output_shape=(2, 3, 3), output="array"), ValueError, "output"),
    ("output read-only", dict(matrix=EYE, output="read-only"), ValueError, "output"),
    ("output axes", dict(matrix=EYE, output=np.zeros((4, 5), np.float32)), ValueError, "output"),
    ("output object", dict(matrix=EYE, output=object), TypeError, "output"),
    ("output complex array", dict(matrix=EYE, output=np.zeros((4, 5, 6), np.complex64)), TypeError, "output"),
    ("output object", dict(matrix=EYE, output=object), TypeError, "output"),
    ("output float128", dict(matrix=EYE, output=np.longdouble), TypeError, "output"),
    ("output not a dtype", dict(matrix=EYE, output="nonsense"), TypeError, "output"),
    ("output list", dict(matrix=EYE, output=[1, 2]), TypeError, "output"),
    ("mode unknown", dict(matrix=EYE, mode="edge"), ValueError, "mode"),
    ("mode None", dict(matrix=EYE, mode=None), ValueError, "mode"),
    ("mode number", dict(matrix=EYE, mode=4), ValueError, "mode"),
    ("mode case", dict(matrix=EYE, mode="Constant"), ValueError, "mode"),
    ("order 6", dict(matrix=EYE, order=6), ValueError, "order"),
    ("order -1", dict(matrix=EYE, order=-1), ValueError, "order"),
    ("order -1", dict(matrix=EYE, order=-1), ValueError, "order"),
    ("order 1.5", dict(matrix=EYE, order=1.5), TypeError, "order"),
    ("order 1.0", dict(matrix=EYE, order=1.0), TypeError, "order"),
    ("order text", dict(matrix=EYE, order="1"), TypeError, "order"),
    ("cval complex", dict(matrix=EYE, cval=1j), TypeError, "cval"),
    ("cval None", dict(matrix=EYE, cval=None), TypeError, "cval"),
    ("cval array", dict(matrix=EYE, cval=np.array([1.0, 2.0])), TypeError, "cval"),
    ("input complex256", dict(input=VOLUME.astype(np.clongdouble), matrix=EYE), TypeError, "input"),
    ("input object", dict(input=VOLUME.astype(object), matrix=EYE), TypeError, "input"),
    ("input float128", dict(input=VOLUME.astype(np.longdouble), matrix=EYE), TypeError, "input"),
    ("input datetime", dict(input=np.ones(4, "M8[s]"), matrix=[1.0]), TypeError, "input"),
    ("input text", dict(input=np.array(["ab", "cd"]), matrix=[1.0]), TypeError, "input"),
    ("input 0-d", dict(input=np.float32(1), matrix=np.eye(1)), ValueError, "input"),
    ("lower rank, no batch_axes", dict(input=np.ones((3, 4, 5)), matrix=np.eye(2)), ValueError, "batch_axes"),
    ("batch_axes repeated", dict(input=np.ones((3, 4, 5)), matrix=np.eye(1), batch_axes=(0, -3)), ValueError,
     "batch_axes"),
    ("batch_axes out of range", dict(input=np.ones((3, 4, 5)), matrix=np.eye(2), batch_axes=3), ValueError,
     "batch_axes"),
    ("batch_axes text", dict(input=np.ones((3, 4, 5)), matrix=np.eye(2), batch_axes="0"), TypeError, "batch_axes"),
    ("batch_axes all", dict(input=np.ones((3, 4)), matrix=np.eye(1), batch_axes=(0, 1)), ValueError, "batch_axes"),
    ("batch_axes inside, rank change", dict(input=np.ones((3, 4, 5)), matrix=np.ones((2, 1)), output_shape=(3, 7),
                                             batch_axes=1),
     ValueError, "batch_axes"),
    ("complex output, real input", dict(matrix=EYE, output=np.complex64), TypeError, "output"),
    ("output axes and matrix", dict(input=np.ones((3, 4)), matrix=np.ones((2, 4)), output_shape=(1, 2, 3)),
     ValueError, "output_shape"),
    ("batch axes differ", dict(input=np.ones((3, 4, 5)), matrix=np.eye(2), output_shape=(2, 4, 5), batch_axes=0),
     ValueError, "output_shape"),
]



@pytest.mark.parametrize("case,kwargs,exc,name", BAD_ARGUMENTS, ids=[c[0] for c in BAD_ARGUMENTS])
def test_invalid_arguments(case, kwargs, exc, name):
    """The right exception, naming the argument, and a caller's output array left untouched."""
    kwargs = dict(kwargs)
    inp = kwargs.pop("input", VOLUME)
    if isinstance(kwargs.get("output"), str) and kwargs["output"] == "array":
        kwargs["output"] = np.full((4, 5, 6), 7, np.float32)
    elif isinstance(kwargs.get("output"), str) and kwargs["output"] == "read-only":
        kwargs["output"] = read_only(np.full((4, 5, 6), 7, np.float32))
    out = kwargs.get("output")
    before = out.copy() if isinstance(out, np.ndarray) else None
    theirs = None if "batch_axes" in kwargs else raised_by(
        lambda: ndi.affine_transform(inp, **{k: v.copy() if isinstance(v, np.ndarray) else v for k, v in kwargs.items()}))
    with pytest.raises(exc) as info:
        zr.affine_transform(inp, **kwargs)
    assert name in str(info.value), str(info.value)
    assert_caught_as_scipy(info.value, theirs)
    if name == "input" and exc is TypeError:
        assert "supported" in str(info.value) and "float32" in str(info.value) and "uint64" in str(info.value)
    if before is not None:
        assert_same(out, before, "the output array was written")


@pytest.mark.parametrize("kwargs", (dict(mode="edge", output_shape=(3, 5)), dict(order=6),
                                    dict(matrix=np.eye(4)), dict(offset=[1.0, 2.0, 3.0])))
def test_failed_call_leaves_output_untouched(kwargs):
    """An output array of the right shape and dtype: untouched when a later argument is invalid."""
    inp = np.ones((0, 5), np.float32) if "mode" in kwargs else np.ones((3, 5), np.float32)
    shape = kwargs.get("output_shape", inp.shape)
    out = np.full(shape, 7, np.float32)
    args = dict(matrix=np.eye(2))
    args.update(kwargs)
    args.pop("output_shape", None)
    with pytest.raises((ValueError, TypeError)):
        zr.affine_transform(inp, output=out, **args)
    assert (out == 7).all()


def test_cval_text_is_refused():
    with pytest.raises(TypeError, match="cval"):
        zr.affine_transform(VOLUME, EYE, cval="1.5")


# ---- 8. edge cases ----------------------------------------------------------------------------------

@pytest.mark.parametrize("dtype", ("float32", "uint8", "float64", "float16"))
def test_empty_output(dtype):
    inp = np.ones((4, 5, 6), dtype)
    for shape in ((0, 5, 6), (4, 0, 6), (4, 5, 0)):
        got = zr.affine_transform(inp, EYE, output_shape=shape, mode="wrap")
        assert got.shape == shape and got.dtype == dtype
    out = np.zeros((3, 0), dtype)
    assert zr.affine_transform(np.ones((0, 0), dtype), np.eye(2), output=out, mode="reflect") is out


def _plan_fields(plan):
    """A plan's fields, its coordinate form by its values."""
    return tuple(f.__dask_tokenize__() if hasattr(f, "kind") else f for f in plan.__dask_tokenize__())


@pytest.mark.parametrize("dtype", ALL_DTYPES + ("complex64",))
def test_common_plan_equals_general_plan(monkeypatch, dtype):
    """The most common call's plan (one to three axes, a (k, k) float64 matrix, no output or batch
    axes), made without most of the checks, is the general path's plan field for field, for every
    order and mode and the offset's forms; calls just outside it take the general path."""
    from zentrova_resample import _plan
    rng = rng_for("common plan", dtype)
    for trial in range(9):
        ndim = 1 + trial % 3
        shape = tuple(int(v) for v in rng.integers(2, 12, ndim))
        data = random_data(rng, shape, dtype)
        kind = ("rotate", "shear", "scale_up", "general")[trial % 4]
        matrix, offset = random_transform(rng, shape, shape, kind)
        offset = (offset, tuple(offset), float(offset[0]), list(offset), int(offset[0]))[trial % 5]
        out_shape = (None, shape, list(shape))[trial % 3]
        args = (data, matrix, offset, out_shape, None, trial % 6, MODES[trial % len(MODES)], (0.0, 2.5, -1.0)[trial % 3])
        common = _plan.plan_common(*args)
        fits = matrix.shape == (ndim, ndim)
        assert (common is not None) == fits, args
        with monkeypatch.context() as general:
            general.setattr(_plan, "plan_common", lambda *a: None)
            expected = _plan.plan_affine(*args)
        if fits:
            assert _plan_fields(common[0]) == _plan_fields(expected[0]) and common[1:] == expected[1:], args
    data = random_data(rng, (5, 6, 7), dtype)
    outside = ((data, np.eye(3).tolist()), (data, np.eye(3, dtype=np.float32)), (data, np.ones(3)),
               (data[None], np.eye(4)), (data, np.eye(3), (1.0, 2.0)), (data, np.eye(3), 0.0, (5, 6)))
    for call in outside:
        matrix, offset, out_shape = call[1], (call + (0.0,))[2], (call + (0.0, None))[3]
        assert _plan.plan_common(call[0], matrix, offset, out_shape, None, 1, "constant", 0.0) is None
    assert _plan.plan_common(data, np.eye(3), 0.0, None, "float64", 1, "constant", 0.0) is None
    assert _plan.plan_common(data, np.eye(3), 0.0, None, None, 1, "constant", 0.0, batch_axes=0) is None


@pytest.mark.parametrize("dtype", ALL_DTYPES + ("complex64",))
def test_common_given_and_separable_plans_equal_general_plans(monkeypatch, dtype):
    """map_coordinates' and zoom's and shift's most common calls (one to three axes, NumPy coordinates
    of a real dtype, no output or batch axes) are planned as the general path plans them, field for
    field; calls just outside them take the general path."""
    from zentrova_resample import _plan
    rng = rng_for("common given plan", dtype)
    for trial in range(6):
        ndim = 1 + trial % 3
        shape = random_shape(rng, ndim, 2, 9)
        data = random_data(rng, shape, dtype)
        points = (rng.random((ndim,) + random_shape(rng, 1 + trial % 4, 1, 4)) * 9).astype(("f8", "f4", "i2")[trial % 3])
        order, mode, cval = trial % 6, MODES[trial % len(MODES)], (0.0, 2.5, -1.0)[trial % 3]
        zoom, shift = rng.uniform(0.5, 2, ndim).tolist(), rng.uniform(-3, 3, ndim).tolist()
        out_shape = tuple(int(n) for n in rng.integers(1, 9, ndim))
        for name, args in (("plan_given", (data, points, None, order, mode, cval)),
                           ("plan_separable", (data, zoom, shift, out_shape, None, order, mode, cval, trial % 2 == 1))):
            common = getattr(_plan, name + "_common")(*args)
            with monkeypatch.context() as general:
                general.setattr(_plan, name + "_common", lambda *a: None)
                expected = getattr(_plan, name)(*args)
            assert _plan_fields(common[0]) == _plan_fields(expected[0]) and common[1:] == expected[1:], (name, args)
    data = random_data(rng, (5, 6, 7), dtype)
    for call in ((data, np.zeros((2, 4))), (data, np.zeros(3)), (data, np.zeros((3, 4)).tolist()),
                 (data[None], np.zeros((4, 2)))):
        assert _plan.plan_given_common(*call, None, 1, "constant", 0.0) is None
    assert _plan.plan_given_common(data, np.zeros((3, 4)), "float64", 1, "constant", 0.0) is None
    assert _plan.plan_given_common(data, np.zeros((2, 4)), None, 1, "constant", 0.0, batch_axes=0) is None
    assert _plan.plan_separable_common(data[None], [1.0] * 4, [0.0] * 4, (1, 5, 6, 7), None, 1, "constant", 0.0) is None
    assert _plan.plan_separable_common(data, [1.0] * 3, [0.0] * 3, (5, 6, 7), np.empty_like(data), 1, "constant",
                                       0.0) is None


@pytest.mark.parametrize("dtype", ALL_DTYPES + ("complex64",))
def test_one_call_path_equals_general_path(monkeypatch, dtype):
    """The common in-memory call runs in one engine call on the caller's arrays (execute_volume); the
    general path (a copy of the input in the kernels' layout, a three-axis result) gives the same
    bits, for affine, separable and given coordinates, one to three axes (points of one to four
    axes), every order and mode, strided and reversed inputs."""
    from zentrova_resample import _execute, _run
    rng = rng_for("one call", dtype)
    for trial in range(12):
        ndim = 1 + trial % 3
        shape = random_shape(rng, ndim, 2, 8)
        data = random_data(rng, tuple(2 * n for n in shape), dtype)[tuple(slice(None, None, (2, -2)[trial % 2]) for _ in shape)]
        order, mode, cval = trial % 6, MODES[trial % len(MODES)], float(random_cval(rng, dtype))
        matrix, offset = random_transform(rng, shape, shape, ("rotate", "shear", "scale_up", "general")[trial % 4])
        points = rng.random((ndim,) + random_shape(rng, 1 + trial % 4, 1, 5)) * 1.4 * max(shape) - 2
        calls = (lambda: zr.affine_transform(data, matrix, offset, order=order, mode=mode, cval=cval),
                 lambda: zr.zoom(data, 1.3, order=order, mode=mode, cval=cval, grid_mode=trial % 2 == 1),
                 lambda: zr.map_coordinates(data, points, order=order, mode=mode, cval=cval))
        for call in calls:
            with monkeypatch.context() as general:
                general.setattr(_run, "execute_volume", lambda *a: None)
                error = raised_by(call)  # a NaN cval padded into integers: both raise NumPy's error
                expected = None if error else quiet(call)
            if error:
                assert raised_by(call) is error
                continue
            got = quiet(call)
            assert_identical(got, expected, f"trial {trial}")
            assert got.flags.c_contiguous


@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("ndim", (1, 2, 3, 4))
def test_every_voxel_is_written(monkeypatch, ndim, order):
    """Results come in memory whose values are not set beforehand: with that memory filled with 0xFF
    bytes (NaN, -1 or the maximum) first, every result is the same as without, cval 0 included, for
    thin and one-voxel axes, every mode, inputs of an axis or two of length 1, several dtypes."""
    from zentrova_resample import _dtypes, _execute
    empty = _execute._empty
    makers = (_execute, _dtypes)  # every place a result's memory comes from

    def poisoned(shape, dtype):
        out = empty(shape, dtype)
        out.view(np.uint8).fill(0xFF)
        return out

    rng = rng_for("every voxel", ndim, order)
    for trial in range(12):
        k = min(ndim, 3)
        in_shape = tuple(int(v) for v in rng.choice([1, 2, 3, 9], ndim))
        out_shape = in_shape[:ndim - k] + tuple(int(v) for v in rng.choice([1, 2, 5, 17], k))
        dtype = ("float32", "uint8", "float64", "int16", "float16", "uint64")[trial % 6]
        data = random_data(rng, in_shape, dtype)
        kind = ("rotate", "shear", "scale_up", "translate")[trial % 4]
        matrix, offset = random_transform(rng, in_shape[ndim - k:], out_shape[ndim - k:], kind)
        args = dict(output_shape=out_shape, order=order, mode=MODES[trial % len(MODES)], cval=0.0,
                    output=(None, "float32")[trial % 2])
        if ndim > k:
            args["batch_axes"] = tuple(range(ndim - k))
        expected = zr.affine_transform(data, matrix, offset, **args)
        for module in makers:
            monkeypatch.setattr(module, "_empty", poisoned)
        got = zr.affine_transform(data, matrix, offset, **args)
        for module in makers:
            monkeypatch.setattr(module, "_empty", empty)
        assert_same(got, expected, f"{kind} {in_shape}->{out_shape} {dtype} {args}")


@pytest.mark.parametrize("out_dtype", (None, "float32", "uint8", "int32", "float16"))
@pytest.mark.parametrize("dtype", ("float32", "uint8", "int64", "float64", "float16"))
def test_empty_input_is_all_cval(dtype, out_dtype):
    """An input with an empty axis: 'constant' and 'grid-constant' give cval (cast to the output
    type as the kernels cast it; at order 0 as scipy casts it); the other modes, with no sample to
    extend, zeros (scipy's output array starts as zeros; its kernels then read past the empty input)."""
    target = np.dtype(out_dtype or dtype)
    for order in (0, 1, 3):
        for cval in (7.6, -2.5, np.nan, 300.5, 0.49999999999999994):
            t = np.full((3, 4), cval).astype(compute_dtype(dtype, target, order=order))
            expected = saturate_wide(sm.cast_output(t, target), t.astype(np.float64), target)
            for mode in MODES:
                for empty in ((0, 4), (4, 0)):
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore", RuntimeWarning)
                        got = zr.affine_transform(np.ones(empty, dtype), np.eye(2), 0.5, (3, 4), output=out_dtype,
                                                  order=order, mode=mode, cval=cval)
                    context = f"{mode} order {order} cval {cval} from {empty}"
                    assert_same(got, expected if mode in ("constant", "grid-constant") else np.zeros_like(expected),
                                context)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", ("float32", "float64", "uint8", "int32"))
def test_zero_in_diagonal_matrix(dtype, mode):
    """A 0 in the (ndim,) form makes offset/0 an inf or NaN shift (scipy crashes on it with some
    modes): no crash, the same result twice, the model's value (cval, NaN or the first sample)."""
    rng = rng_for("zero diagonal", dtype, mode)
    inp = random_data(rng, (4, 5, 9), dtype, specials=False)
    for order in (0, 1):
        for diag, off in (([1.0, 0.0, 1.0], [0.5, 0.0, 0.5]), ([0.0, 1.0, 1.0], [2.0, 0.0, 0.0]),
                          ([1.0, 1.0, 0.0], [0.0, 0.0, -1.0])):
            got = zr.affine_transform(inp, diag, off, (3, 4, 11), order=order, mode=mode, cval=-3.0)
            again = zr.affine_transform(inp, diag, off, (3, 4, 11), order=order, mode=mode, cval=-3.0)
            assert not differing(got, again).any()
            assert_same(got, model(inp, diag, off, (3, 4, 11), order, mode, -3.0), f"{diag} {off} order {order}")
            if mode not in ("nearest", "grid-constant"):
                cval = sm.cast_output(np.full(got.shape, -3.0, compute_dtype(dtype)), dtype)
                assert_same(got, cval, "cval everywhere")


@pytest.mark.parametrize("cval", (np.nan, np.inf, -np.inf, 1e300, -0.0))
@pytest.mark.parametrize("dtype", ("float32", "float16", "uint8", "int8", "int32", "uint64", "float64"))
def test_nonfinite_cval(dtype, cval):
    """cval written outright ('constant') and blended ('grid-constant') into every dtype."""
    rng = rng_for("cval", dtype, str(cval))
    inp = random_data(rng, (3, 4, 10), dtype, specials=False)
    m, off = random_transform(rng, (3, 4, 10), (5, 6, 19), "rotate")
    for mode in ("constant", "grid-constant"):
        for order in (0, 1):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                got = zr.affine_transform(inp, m, off, (5, 6, 19), order=order, mode=mode, cval=cval)
            assert_same(got, model(inp, m, off, (5, 6, 19), order, mode, cval), f"{mode} order {order}")


@pytest.mark.parametrize("dtype", ("float32", "float64", "uint16"))
def test_inputs_that_are_not_arrays(dtype):
    """Nested lists, NumPy scalars in the arguments, a prefilter argument without effect."""
    rng = rng_for("lists", dtype)
    inp = random_data(rng, (4, 7), dtype, specials=False)
    m, off = general(rng, 2)
    expected = zr.affine_transform(inp, m, off, (5, 6), order=1)
    got = zr.affine_transform(inp, m.tolist(), tuple(off.tolist()), [np.int64(5), 6], order=np.int8(1),
                              prefilter=False)
    assert_same(got, expected, "lists")
    from_list = zr.affine_transform(inp.tolist(), m, off, (5, 6), order=1)
    assert_same(from_list, model(np.asarray(inp.tolist()), m, off, (5, 6)), "input as a list")


def test_spline_calls_in_many_axes_fit_a_small_address_space():
    """Orders 2 to 5 pad only the interpolated axes before the prefilter, and an empty output computes no
    coefficients: a 6-D float32 input of 1,728 values (padded along every axis, 623 million coefficients,
    2.5 GB) takes a few MB, under an address-space limit of the process's size plus 512 MB."""
    from conftest import run_python

    result = run_python("""
        import json, resource
        import numpy as np
        import zentrova_resample as zr
        x = np.random.default_rng(0).random((1, 1, 3, 4, 9, 16)).astype(np.float32)
        zr.zoom(x, 1.5, order=1)  # the pool started before the limit
        with open("/proc/self/status") as fh:
            vm = [int(l.split()[1]) * 1024 for l in fh if l.startswith("VmSize:")][0]
        resource.setrlimit(resource.RLIMIT_AS, (vm + 2**29, resource.getrlimit(resource.RLIMIT_AS)[1]))
        m = np.eye(6) * 1.1
        shapes = [zr.map_coordinates(x, np.ones((6, 0)), order=3, mode="nearest").shape,
                  zr.affine_transform(x, m, output_shape=(1, 1, 3, 4, 9, 0), order=5, mode="grid-constant").shape,
                  zr.zoom(x, (1, 1, 0.01, 2, 2, 2), order=3, mode="nearest").shape,
                  zr.zoom(x, (1, 1, 2, 2, 2, 2), order=3, mode="nearest").shape,
                  zr.affine_transform(x, m[2:, 2:], order=4, mode="grid-constant", batch_axes=(0, 1)).shape,
                  zr.map_coordinates(x, np.ones((4, 5)), order=3, mode="nearest", batch_axes=(0, 1)).shape]
        print(json.dumps(shapes))
    """)
    assert result == [[0], [1, 1, 3, 4, 9, 0], [1, 1, 0, 8, 18, 32], [1, 1, 6, 8, 18, 32], [1, 1, 3, 4, 9, 16],
                      [1, 1, 5]]


def test_no_import_cycle():
    """The package's modules import one another in one order: the graph of every relative import,
    those inside functions included, has no cycle (a cycle breaks when a module is imported first)."""
    import ast
    import pathlib
    folder = pathlib.Path(zr.__file__).parent
    imports = {}
    for path in folder.glob("*.py"):
        names = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                names.update([node.module] if node.module else [a.name for a in node.names])
        imports[path.stem] = {n for n in names if (folder / f"{n}.py").exists()}
    done, path = set(), []

    def visit(name):
        assert name not in path, f"import cycle: {' -> '.join(path[path.index(name):] + [name])}"
        if name in done:
            return
        path.append(name)
        for other in sorted(imports[name]):
            visit(other)
        path.pop()
        done.add(name)

    for name in sorted(imports):
        visit(name)
    assert {"_plan", "_execute", "_run", "_dask"} <= done

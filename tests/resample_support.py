"""Helpers of the zentrova_resample tests: random data and transforms, the model's expected
result for our dtype rules, and bit-for-bit comparison (two NaNs match)."""

import os
import sys
import warnings
import zlib

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scipy_model as sm  # noqa: E402

MODES = sm.MODES
# computed in binary32 / in binary64 (the kernels' two families)
SMALL = ("float32", "float16", "uint8", "int8", "uint16", "int16")
WIDE = ("float64", "int32", "uint32", "int64", "uint64")
ALL_DTYPES = SMALL + WIDE

FLOAT_CVALS = (0.0, -1.5, 2.5, float("nan"), float("inf"), -float("inf"), 1e20, 3.0000001)
INT_CVALS = (0.0, 7.5, -3.5, 2.5, 1e10, -1e10, float("nan"), 255.5, -128.5, 65535.5)


def rng_for(*parts):
    """A generator seeded from the test's parameters (stable across processes)."""
    return np.random.default_rng(zlib.crc32(repr(parts).encode()))


def quiet(fn, *args, **kwargs):
    """fn(*args, **kwargs) without warnings or floating-point complaints (scipy's and ours alike)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with np.errstate(all="ignore"):
            return fn(*args, **kwargs)


def compute_dtype(*dtypes, order=None):
    """float32 when every dtype is of the binary32 family, else float64; float64 at order 0 (an
    order-0 result is the sample scipy's float64 coordinate picks, for every dtype)."""
    if order == 0:
        return np.float64
    return np.float32 if all(np.dtype(d).name in SMALL for d in dtypes) else np.float64


def random_shape(rng, ndim, lo=1, hi=6):
    """`ndim` lengths in [lo, hi)."""
    return tuple(int(v) for v in rng.integers(lo, hi, ndim))


def random_data(rng, shape, dtype, specials=True):
    """Random values of `dtype`: integers over the whole range with their extremes; floats with
    integers, .5 ties, -0.0, subnormals and (if `specials`) NaN, inf and -inf; bool half true."""
    dtype = np.dtype(dtype)
    if dtype.kind == "b":
        return rng.integers(0, 2, shape).astype(bool)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        v = rng.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)
        pick = rng.random(shape)
        v[pick < 0.12] = info.max
        v[(pick >= 0.12) & (pick < 0.24)] = info.min
        small = (pick >= 0.24) & (pick < 0.4)
        v[small] = rng.integers(0, 4, small.sum())
        return v
    scale = 20.0 if dtype.itemsize > 2 else 8.0
    v = rng.normal(0, scale, shape)
    pick = rng.random(shape)
    v[pick < 0.15] = np.round(v[pick < 0.15])
    tie = (pick >= 0.15) & (pick < 0.25)
    v[tie] = np.round(v[tie]) + 0.5
    v[(pick >= 0.25) & (pick < 0.3)] = -0.0
    v[(pick >= 0.3) & (pick < 0.32)] = np.finfo(dtype).smallest_subnormal * 3
    if specials:
        v[(pick >= 0.32) & (pick < 0.34)] = np.nan
        v[(pick >= 0.34) & (pick < 0.35)] = np.inf
        v[(pick >= 0.35) & (pick < 0.36)] = -np.inf
    return v.astype(dtype)


def random_cval(rng, dtype):
    return float(rng.choice(INT_CVALS if np.dtype(dtype).kind in "iu" else FLOAT_CVALS))


TRANSFORM_KINDS = ("identity", "translate", "half_shift", "rotate", "scale_down", "scale_up", "shear", "flip",
                   "permute", "general", "diagonal")


def random_transform(rng, in_shape, out_shape, kind):
    """(matrix, offset) of a family, for an input of in_shape sampled on out_shape: the output
    centre maps near the input centre (so most voxels are inside and some are outside).
    'diagonal' returns the (ndim,) form."""
    n = len(in_shape)
    if kind == "identity":
        return np.eye(n), np.zeros(n)
    if kind == "translate":
        return np.eye(n), rng.uniform(-3, 3, n)
    if kind == "half_shift":
        return np.eye(n), rng.choice([-1.5, -0.5, 0.0, 0.5, 1.5], n)
    if kind == "rotate":
        m = np.linalg.qr(rng.normal(size=(n, n)))[0]
    elif kind == "scale_down":
        m = np.diag(rng.uniform(1.2, 2.5, n))
    elif kind == "scale_up":
        m = np.diag(rng.uniform(0.3, 0.9, n))
    elif kind == "shear":
        m = np.eye(n)
        if n > 1:
            i, j = rng.choice(n, 2, replace=False)
            m[i, j] = rng.uniform(-0.8, 0.8)
    elif kind == "flip":
        signs = rng.choice([-1.0, 1.0], n)
        signs[rng.integers(n)] = -1.0
        m = np.diag(signs)
    elif kind == "permute":
        m = np.eye(n)[rng.permutation(n)]
    elif kind == "general":
        m = np.eye(n) + rng.uniform(-0.5, 0.5, (n, n))
    elif kind == "diagonal":
        d = rng.choice([-1, 1], n) * rng.uniform(0.4, 2.0, n)
        return d, (np.asarray(in_shape) - 1) / 2 - d * (np.asarray(out_shape) - 1) / 2 + rng.uniform(-1, 1, n)
    else:
        raise ValueError(kind)
    ci, co = (np.asarray(in_shape) - 1) / 2, (np.asarray(out_shape) - 1) / 2
    return m, ci - m @ co + rng.uniform(-1, 1, n)


def saturate_wide(expected, t, dtype):
    """Our deliberate difference from scipy's x86 casts: int64 and uint64 results saturate where
    scipy wraps (int64: t + 0.5 == 2^63 gives INT64_MIN in scipy; uint64: t + 0.5 >= 2^64 gives
    0). `t` is the value before the cast (float64)."""
    dtype = np.dtype(dtype)
    if dtype not in (np.dtype(np.int64), np.dtype(np.uint64)):
        return expected
    with np.errstate(invalid="ignore"):
        r = np.where(t > 0, t + 0.5, t - 0.5)
        limit = 2.0**64 if dtype == np.uint64 else 2.0**63
        expected = expected.copy()
        expected[r >= limit] = np.iinfo(dtype).max
    return expected


def model(input, matrix, offset=0.0, output_shape=None, order=1, mode="constant", cval=0.0, output=None,
          prefilter=True):
    """What zentrova_resample.affine_transform must return, bit for bit: the scipy model in
    binary32 when the input and output dtypes are both of the binary32 family (float16 read exactly,
    rounded once to float16) at orders 1 to 5, else in binary64 (scipy's own arithmetic), with our
    saturating 64-bit casts."""
    input = np.asarray(input)
    out_dtype = np.dtype(input.dtype if output is None else output).newbyteorder("=")
    cd = compute_dtype(input.dtype.newbyteorder("="), out_dtype, order=order)
    native = input.astype(input.dtype.newbyteorder("="))
    with np.errstate(all="ignore"):
        exp = sm.affine_model(native, matrix, offset, output_shape, order, mode, cval, output=out_dtype,
                              compute_dtype=cd, prefilter=prefilter)
        if out_dtype.kind in "iu" and out_dtype.itemsize == 8:
            t = sm.affine_model(native, matrix, offset, output_shape, order, mode, cval, output=np.float64,
                                compute_dtype=cd, prefilter=prefilter)
            exp = saturate_wide(exp, t, out_dtype)
    return exp


def bits(a):
    a = np.asarray(a)
    return a.view({1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}[a.dtype.itemsize])


def differing(got, expected):
    """Mask of voxels whose bits differ (two NaNs of any payload match)."""
    got, expected = np.asarray(got), np.asarray(expected)
    assert got.shape == expected.shape, (got.shape, expected.shape)
    assert got.dtype.newbyteorder("=") == expected.dtype.newbyteorder("="), (got.dtype, expected.dtype)
    g = got.astype(got.dtype.newbyteorder("="))
    e = expected.astype(expected.dtype.newbyteorder("="))
    diff = bits(g) != bits(e)
    if g.dtype.kind == "f":
        diff &= ~(np.isnan(g) & np.isnan(e))
    return diff


def assert_identical(got, expected, context=""):
    """assert_same, and the same byte order too."""
    got, expected = np.asarray(got), np.asarray(expected)
    assert got.dtype == expected.dtype, (got.dtype, expected.dtype, context)
    assert_same(got, expected, context)


def assert_same(got, expected, context=""):
    """Same shape, dtype and bits (two NaNs match whatever their payload)."""
    diff = differing(got, expected)
    if diff.any():
        got, expected = np.asarray(got), np.asarray(expected)
        rows = [f"  at {tuple(map(int, p))}: expected {expected[tuple(p)]!r} got {got[tuple(p)]!r}"
                for p in np.argwhere(diff)[:8]]
        raise AssertionError(f"{context}: {int(diff.sum())} of {diff.size} voxels differ\n" + "\n".join(rows))


def raised_by(call):
    """The class of the exception call() raises (None if it raises none): scipy's function, asked with
    the same arguments as ours, copies of any arrays among them."""
    try:
        quiet(call)
    except Exception as exc:  # noqa: BLE001 - any class is the answer
        return type(exc)
    return None


def assert_caught_as_scipy(ours: BaseException, theirs) -> None:
    """Code written for scipy catches what scipy raises: our exception is a RuntimeError exactly where
    scipy's is (it is a ValueError or TypeError all the same). Where scipy raises nothing (a check it
    skips, as zoom's shortcut for factors of 1 skips the mode's), any class."""
    if theirs is not None:
        assert isinstance(ours, RuntimeError) == issubclass(theirs, RuntimeError), (type(ours), theirs, str(ours))

"""The three transforms bit for bit against the reference model, the model's own exactness, and scipy."""

from fractions import Fraction

import numpy as np
import pytest

import reference as ref
from conftest import (CVALS, FUNCS, LANES, TRANSFORM_KINDS, assert_bits_equal, bits, check, random_transform,
                      random_volume, seed)

NX_VALUES = (1, 7, 8, 9, 15, 16, 17, 24, 33)


def f32_from_bits(rng, n, emin, emax):
    e, m, s = rng.integers(emin, emax, n), rng.integers(0, 2**23, n), rng.integers(0, 2, n)
    return ((s << 31) | (e << 23) | m).astype(np.uint32).view(np.float32)


def test_fma_emulation_is_single_rounding():
    rng = np.random.default_rng(2024)
    a, b, c = (f32_from_bits(rng, 2000, 100, 160) for _ in range(3))
    # a*b within a hair of half an ulp of c: the exact sum sits next to a binary32 midpoint
    c2, a2 = f32_from_bits(rng, 2000, 110, 140), f32_from_bits(rng, 2000, 120, 135)
    b2 = (np.spacing(np.abs(c2)).astype(np.float64) / 2 / a2).astype(np.float32)
    c3 = (-(a[:300].astype(np.float64) * b[:300])).astype(np.float32)  # cancellation
    tiny = [f32_from_bits(rng, 300, lo, hi) for lo, hi in ((1, 6), (120, 128), (0, 3))]  # subnormal results
    A = np.concatenate([a, a2, a[:300], tiny[0], [3e38, 1 + 2**-23]]).astype(np.float32)
    B = np.concatenate([b, b2, b[:300], tiny[1], [3.0, 2**-24 * (1 - 2**-23)]]).astype(np.float32)
    C = np.concatenate([c, c2, c3, tiny[2], [3e38, 1 + 2**-23]]).astype(np.float32)
    exact = np.array([ref.round_fraction_to_f32(Fraction(float(x)) * Fraction(float(y)) + Fraction(float(z)))
                      for x, y, z in zip(A, B, C)], dtype=np.float32)
    assert_bits_equal(ref.fma_f32(A, B, C), exact, "f32", context="fma_f32")
    with np.errstate(over="ignore"):  # the set is hard: rounding through binary64 fails on it
        assert np.any(bits((A.astype(np.float64) * B + C).astype(np.float32)) != bits(exact))
        d = np.concatenate([rng.normal(size=1000) * 10.0 ** rng.integers(-45, 39, 1000), [3.5e38, 1 + 2**-24]])
        assert_bits_equal([ref.round_fraction_to_f32(Fraction(v)) for v in d], d.astype(np.float32), "f32")


def test_half_conversions_match_numpy():
    h = np.arange(0x10000, dtype=np.uint32).astype(np.uint16)
    nan = (h & 0x7C00 == 0x7C00) & (h & 0x3FF != 0)
    wide = bits(ref.f16_to_f32(h))
    assert np.array_equal(wide[~nan], bits(h.view(np.float16).astype(np.float32))[~nan])
    hu = h.astype(np.uint32)  # NaN: sign kept, fraction moved to the top, quiet bit forced
    assert np.array_equal(wide[nan], ((hu & 0x8000) << 16 | 0x7FC00000 | (hu & 0x3FF) << 13)[nan])
    # narrowing: random values across every half regime, every tie between finite halves and its neighbours
    rng = np.random.default_rng(42)
    mid = ((ref.f16_to_f32(h[:0x7C00]).astype(np.float64) + ref.f16_to_f32(h[1:0x7C01])) / 2).astype(np.float32)
    x = np.concatenate([f32_from_bits(rng, 300_000, 95, 150), mid, np.nextafter(mid, np.float32(np.inf)),
                        np.nextafter(mid, np.float32(0)), -mid, np.float32([0, -0.0, 1e-45, 3e38, -np.inf])])
    with np.errstate(over="ignore"):
        assert np.array_equal(ref.f32_to_f16(x), x.astype(np.float16).view(np.uint16))
    nans = np.uint32([0x7FC00000, 0xFFC00000, 0x7F800001, 0x7FA00000, 0xFFFFE000]).view(np.float32)
    assert ref.f32_to_f16(nans).tolist() == [0x7E00, 0xFE00, 0x7E00, 0x7F00, 0xFFFF]


@pytest.mark.parametrize("kind", FUNCS)
@pytest.mark.parametrize("tkind", TRANSFORM_KINDS)
@pytest.mark.parametrize("nx", NX_VALUES)
def test_random_transforms_match_reference(kind, tkind, nx):
    rng = np.random.default_rng(seed("rand", kind, tkind, nx))
    shape = (int(rng.integers(2, 10)), int(rng.integers(2, 10)), nx)
    m, off = random_transform(rng, shape, tkind)
    cval = CVALS[kind][seed(tkind, nx) % len(CVALS[kind])]
    specials = 3 + rng.integers(np.prod(shape) // 10 + 1) if tkind in ("identity", "rotate", "general") else 0
    check(kind, random_volume(rng, kind, shape, specials), m, off, cval, f"{tkind} {shape}")


NONFINITE_PARAMS = [("m", (0, 0), np.nan), ("m", (1, 2), np.nan), ("m", (2, 2), np.nan), ("m", (0, 0), np.inf),
                    ("m", (1, 1), -np.inf), ("m", (0, 2), 3e9), ("m", (2, 2), -1e30), ("o", 0, np.nan),
                    ("o", 2, np.nan), ("o", 1, np.inf), ("o", 2, 1e300), ("o", 2, -3e9)]


@pytest.mark.parametrize("kind", FUNCS)
@pytest.mark.parametrize("where, pos, value", NONFINITE_PARAMS)
@pytest.mark.parametrize("nx", (7, 24))
def test_nonfinite_parameters_match_reference(kind, where, pos, value, nx):
    rng = np.random.default_rng(seed("params", kind, where, pos, nx))
    shape = (int(rng.integers(2, 8)), int(rng.integers(2, 8)), nx)
    m, off = random_transform(rng, shape, "shear" if nx == 7 else "identity")
    (m if where == "m" else off)[pos] = value
    for cval in (CVALS[kind][1], CVALS[kind][-1]):
        check(kind, random_volume(rng, kind, shape), m, off, cval, f"{where}{pos}={value}")


@pytest.mark.parametrize("kind", FUNCS)
@pytest.mark.parametrize("tkind", ("rotate", "rotate_scale", "shear", "general"))
def test_module_agrees_with_scipy_on_interior(kind, tkind):
    ndimage = pytest.importorskip("scipy.ndimage")
    rng = np.random.default_rng(seed("scipy", kind, tkind))
    shape = (7, 9, 33)
    # binary32 parameters, so that scipy (binary64) starts from the same transform
    m, off = (np.float32(v).astype(np.float64) for v in random_transform(rng, shape, tkind))
    vol64 = rng.integers(0, 256, shape).astype(np.float64) if kind == "u8" else rng.uniform(-1, 1, shape)
    vol = {"f32": vol64.astype(np.float32), "u8": vol64.astype(np.uint8), "f16": vol64.astype(np.float16)}[kind]
    expected = ndimage.affine_transform(vol.astype(np.float64), m, off, order=1, prefilter=False)
    out = FUNCS[kind](vol.view(np.uint16) if kind == "f16" else vol, m, off, 0)
    got = (out.view(np.float16) if kind == "f16" else out).astype(np.float64)
    coords = np.tensordot(m, np.indices(shape), 1) + off[:, None, None, None]
    inside = np.all((coords >= 1e-3) & (coords <= np.array(shape)[:, None, None, None] - 1 - 1e-3), axis=0)
    assert inside.sum() > 200
    diff = expected[inside] - got[inside]
    if kind == "u8":  # truncation: the byte is the floor of the interpolated value, up to binary32 rounding
        assert diff.min() > -1e-3 and diff.max() < 1 + 1e-3, (diff.min(), diff.max())
    else:
        assert np.abs(diff).max() < (1e-4 if kind == "f32" else 1e-3)


# -- sharp cases documenting behaviour --------------------------------------

@pytest.mark.parametrize("nx", (7, 16, 24))
def test_half_ties_round_to_even(nx):
    """Columns alternate h, h+1 over the whole half range; read at +0.5 every voxel is an exact tie."""
    rng = np.random.default_rng(nx)
    start = rng.integers(0, 0x7BFF, (2, 8, 1)) | (rng.integers(0, 2, (2, 8, 1)) << 15)
    vol = (start + np.arange(nx) % 2).astype(np.uint16)
    got, _, _ = check("f16", vol, np.eye(3), [0.0, 0.0, 0.5], 0.0)
    even = (start + (start & 1)).astype(np.uint16)  # the even one of h, h+1
    assert np.all(got[:, :, :-1] == even)
    assert np.array_equal(got[:, :, -1], vol[:, :, -1])  # last column reads itself twice


def test_u8_truncates_uniform_255_to_254():
    vol = np.full((6, 7, 24), 255, np.uint8)
    m, off = random_transform(np.random.default_rng(11), vol.shape, "rotate")
    got, _, _ = check("u8", vol, m, off, 0)
    assert np.count_nonzero(got == 254) > 0  # binary32 sum just below 255 is never rounded up
    assert np.all(FUNCS["u8"](vol, np.eye(3), [0, 1, 0], 0)[:, :-1] == 255)


@pytest.mark.parametrize("nx", (7, 9, 17, 24))
def test_nan_matrix_row_gives_cval_in_blocks_and_nan_in_remainder(nx):
    """A NaN in row y makes every y coordinate NaN: a block voxel is outside; a remainder voxel takes cell 0."""
    m = np.eye(3)
    m[1, 2] = np.nan
    rng = np.random.default_rng(nx)
    for kind, cval, cval_bits in (("f32", 3.5, 0x40600000), ("u8", 7, 7), ("f16", 3.5, 0x4300)):
        got, _, _ = check(kind, random_volume(rng, kind, (3, 4, nx)), m, [0, 0, 0], cval)
        blk = ref.block_columns(nx, 8 if kind == "u8" else LANES)
        assert np.all(bits(got[:, :, blk]) == cval_bits)
        rem = got[:, :, ~blk]
        assert np.all(rem == 0) if kind == "u8" else np.all(np.isnan(rem.view(np.float16) if kind == "f16" else rem))


@pytest.mark.parametrize("kind", FUNCS)
@pytest.mark.parametrize("dx, outside_x", [(-0.0, None), (1.0, -1), (-1e-6, 0), (-0.5, 0), (0.5, None)])
def test_coordinate_boundaries(kind, dx, outside_x):
    """Inside exactly when 0 <= c < n: -0.0 and n - 0.5 are inside; n and (-1, 0) are outside."""
    rng = np.random.default_rng(seed("bounds", kind, dx))
    vol = random_volume(rng, kind, (2, 3, 17))
    _, _, outside = check(kind, vol, np.eye(3), [0.0, 0.0, dx], CVALS[kind][1])
    expected = np.zeros(vol.shape, bool)
    if outside_x is not None:
        expected[:, :, outside_x] = True
    assert np.array_equal(outside, expected)


def test_block_coordinates_are_fused_not_double_rounded(monkeypatch):
    """x*m + b with b = 2^-60: through binary64 the sum collapses onto a binary32 midpoint, fused it does not."""
    m22, b = float.fromhex("0x1.04257ep-1"), 2.0**-60
    X = np.arange(LANES, dtype=np.float32)
    via_double = (X.astype(np.float64) * m22 + b).astype(np.float32)
    assert np.any(ref.fma_f32(X, m22, b) != via_double)  # the case discriminates
    vol = (np.arange(LANES) % 2 * 1e6 * np.random.default_rng(5).uniform(1, 2, (2, 3, LANES))).astype(np.float32)
    mat = np.diag([1.0, 1.0, m22])
    _, exp, _ = check("f32", vol, mat, [0.0, 0.0, b], 0.0)
    monkeypatch.setattr(ref, "fma_f32", lambda a, m, c: (np.asarray(a, np.float64) * np.float32(m)
                                                         + np.asarray(c, np.float32)).astype(np.float32))
    assert np.any(bits(ref.reference(vol, mat, [0, 0, b], 0.0, LANES, "f32")) != bits(exp))  # and shows in the output

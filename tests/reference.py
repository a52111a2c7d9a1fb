"""Literal NumPy model of zentrova's resampling arithmetic, one binary32 operation per ufunc call."""

from fractions import Fraction

import numpy as np

F32 = np.float32
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
TWO31 = F32(2.0**31)


def fma_f32(a, b, c):
    """a*b + c rounded once to binary32."""
    a, b, c = (np.asarray(v, dtype=F32) for v in (a, b, c))
    with np.errstate(all="ignore"):
        # a*b is exact in binary64; the sum is computed exactly as s + e
        # (TwoSum) and s rounded to odd, which makes the final rounding to
        # binary32 a single correct rounding (53 >= 24 + 2 bits).
        p, cd = a.astype(np.float64) * b.astype(np.float64), c.astype(np.float64)
        s = p + cd
        bv = s - p
        e = (p - (s - bv)) + (cd - bv)
        even = (np.asarray(s).view(np.int64) & 1) == 0
        fix = np.isfinite(s) & (e != 0) & even
        return np.where(fix, np.nextafter(s, np.where(e > 0, np.inf, -np.inf)), s).astype(F32)


def round_fraction_to_f32(q):
    """Exact rational -> binary32, nearest, ties to even (the oracle for fma_f32)."""
    if q == 0:
        return F32(0.0)
    sign, q = (-1 if q < 0 else 1), abs(q)
    e = q.numerator.bit_length() - q.denominator.bit_length()
    e += (Fraction(2) ** (e + 1) <= q) - (Fraction(2) ** e > q)
    quantum = Fraction(2) ** (max(e, -126) - 23)  # subnormals share the smallest normal's quantum
    n = q / quantum
    fl, rem = divmod(n.numerator, n.denominator)
    fl += 2 * rem > n.denominator or (2 * rem == n.denominator and fl % 2 == 1)
    val = fl * quantum
    return F32(sign * np.inf) if val >= Fraction(2) ** 128 else F32(sign * float(val))


def f16_to_f32(h):
    """binary16 patterns -> binary32, bit by bit; NaNs keep sign and fraction, quiet bit forced."""
    h = np.asarray(h, dtype=np.uint16).astype(np.uint32)
    sign, exp, frac = (h & 0x8000) << 16, (h >> 10) & 0x1F, h & 0x3FF
    normal = sign | ((exp + 112) << 23) | (frac << 13)
    sub = sign | (frac.astype(F32) * F32(2.0**-24)).view(np.uint32)  # frac * 2^-24 is exact
    special = np.where(frac == 0, sign | 0x7F800000, sign | 0x7FC00000 | (frac << 13))
    out = np.where(exp == 0x1F, special, np.where(exp == 0, sub, normal))
    return out.astype(np.uint32).view(F32)


def f32_to_f16(x):
    """binary32 -> binary16 patterns, nearest even, gradual underflow, NaN quieted keeping its top bits."""
    with np.errstate(all="ignore"):
        return _f32_to_f16(x)


def _f32_to_f16(x):
    # int64 throughout: wide enough, and free of unsigned/signed promotion rules
    bits = np.asarray(x, dtype=F32).view(np.uint32).astype(np.int64)
    sign, exp, mant = (bits >> 16) & 0x8000, (bits >> 23) & 0xFF, bits & 0x7FFFFF
    m, e = mant | 0x800000, exp - 127
    # normal halves keep 11 significant bits; subnormal ones have quantum 2^-24
    shift = np.where(e >= -14, 13, np.minimum(126 - exp, 40))
    q = m >> shift
    rem, half = m & ((1 << shift) - 1), 1 << (shift - 1)
    q = q + ((rem > half) | ((rem == half) & ((q & 1) == 1))).astype(np.int64)
    biased = e + 15
    norm = (np.maximum(biased, 0) << 10) + (q - 0x400)  # a carry bumps the exponent
    norm = np.where((biased >= 31) | (norm >= 0x7C00), 0x7C00, norm)
    mag = np.where(exp == 0, 0, np.where(e >= -14, norm, q))
    special = np.where(mant == 0, sign | 0x7C00, sign | 0x7E00 | (mant >> 13))
    return np.where(exp == 0xFF, special, sign | mag).astype(np.uint16)


def f64_to_f16(v):
    """The cval route: binary64 -> binary32 -> binary16, each to nearest."""
    with np.errstate(all="ignore"):
        return f32_to_f16(np.asarray(v, dtype=np.float64).astype(F32))


def to_u8(r):
    """max(r, 0), min(., 255) in hardware operand order (NaN passes), truncate to int32 (NaN -> -2^31), low byte."""
    r = np.asarray(r, dtype=F32)
    b = np.where(F32(255.0) < r, F32(255.0), np.where(F32(0.0) > r, F32(0.0), r))
    t = np.where(np.isnan(b), INT32_MIN, np.trunc(np.nan_to_num(b)).astype(np.int64))
    return (t & 0xFF).astype(np.uint8)


def block_columns(nx, lanes):
    """True where column x belongs to a vector block."""
    return np.arange(nx) < lanes * (nx // lanes)


def _sample(vol32, m, o, block):
    """One evaluation form (vector block or remainder voxel) at every output voxel: (value, outside)."""
    shape = vol32.shape
    grid = [np.arange(n, dtype=np.float64).astype(F32).reshape([-1 if i == r else 1 for i in range(3)])
            for r, n in enumerate(shape)]
    Z, Y, X = grid
    idx, fs, gs = [], [], []
    for r in range(3):
        B = ((Y * m[r, 1]) + (Z * m[r, 0])) + o[r]  # per row, in this order
        c = fma_f32(np.broadcast_to(X, shape), m[r, 2], np.broadcast_to(B, shape)) if block else B + (X * m[r, 2])
        c = np.broadcast_to(c, shape).astype(F32)
        fl = np.floor(c)
        if block:  # NaN or out of int32 range -> -2^31
            bad = np.isnan(fl) | (fl < -TWO31) | (fl >= TWO31)
            i = np.where(bad, INT32_MIN, np.where(bad, F32(0), fl).astype(np.int64))
        else:  # saturating, NaN -> 0
            i = np.clip(np.clip(np.nan_to_num(fl, nan=0.0), -TWO31, TWO31).astype(np.int64), INT32_MIN, INT32_MAX)
        idx.append(i)
        fs.append(c - fl)
        gs.append(F32(1.0) - fs[-1])
    outside = np.zeros(shape, dtype=bool)
    for r in range(3):
        outside |= (idx[r] < 0) | (idx[r] >= shape[r])
    lo = [np.where(outside, 0, i) for i in idx]  # outside voxels read voxel 0, value discarded
    hi = [np.minimum(lo[r] + 1, shape[r] - 1) for r in range(3)]
    acc = None
    for k in range(8):  # k = 4*bz + 2*by + bx; a set bit takes the upper neighbour and the f factor
        bits = ((k >> 2) & 1, (k >> 1) & 1, k & 1)
        v = vol32[tuple(hi[r] if bits[r] else lo[r] for r in range(3))]
        zf, yf, xf = (fs[r] if bits[r] else gs[r] for r in range(3))
        term = v * (zf * (yf * xf)) if block else ((v * xf) * yf) * zf
        acc = term if acc is None else acc + term
    return acc.astype(F32), outside


def reference(volume, matrix, offset, cval, lanes, kind, return_outside=False):
    """Expected output of the kind ('f32', 'u8', 'f16' as uint16) kernel of lane width `lanes`."""
    volume = np.ascontiguousarray(volume)
    shape = volume.shape
    if kind == "f32":
        vol32, out_dtype = volume.astype(F32), F32
        with np.errstate(over="ignore"):
            cval_store = np.float64(cval).astype(F32)
    elif kind == "u8":
        vol32, cval_store, out_dtype = volume.astype(F32), np.uint8(int(cval)), np.uint8
    else:
        vol32, cval_store, out_dtype = f16_to_f32(volume), f64_to_f16(cval), np.uint16
    if min(shape) < 2:
        out = np.full(shape, cval_store, dtype=out_dtype)
        return (out, np.ones(shape, dtype=bool)) if return_outside else out
    with np.errstate(over="ignore"):
        m = np.asarray(matrix, dtype=np.float64).reshape(3, 3).astype(F32)
        o = np.asarray((0.0, 0.0, 0.0) if offset is None else offset, dtype=np.float64).reshape(3).astype(F32)
    with np.errstate(all="ignore"):
        val_b, out_b = _sample(vol32, m, o, block=True)
        val_r, out_r = _sample(vol32, m, o, block=False)
        # a block lane outside carries cval widened to binary32 and is narrowed
        # like any result; a remainder voxel stores the cval element itself
        if kind == "f32":
            res_b, res_r = np.where(out_b, cval_store, val_b), np.where(out_r, cval_store, val_r)
        elif kind == "u8":
            res_b, res_r = to_u8(np.where(out_b, F32(int(cval)), val_b)), np.where(out_r, cval_store, to_u8(val_r))
        else:
            res_b = f32_to_f16(np.where(out_b, f16_to_f32(cval_store), val_b))
            res_r = np.where(out_r, cval_store, f32_to_f16(val_r))
    in_block = block_columns(shape[2], lanes).reshape(1, 1, -1)
    out = np.where(in_block, res_b, res_r).astype(out_dtype)
    return (out, np.where(in_block, out_b, out_r)) if return_outside else out

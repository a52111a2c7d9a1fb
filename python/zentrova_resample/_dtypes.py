"""Which dtypes the resampler takes, in which precision each is computed, and how
a computed value is stored into an integer or float element (scipy.ndimage's
rounding, clamped to the type)."""

from __future__ import annotations

import numpy as np

# Computed in binary32 (exact for every value of these types) ...
SMALL = tuple(np.dtype(t) for t in ("u1", "i1", "u2", "i2", "f2", "f4"))
# ... and in binary64.
WIDE = tuple(np.dtype(t) for t in ("f8", "i4", "u4", "i8", "u8"))
SUPPORTED = SMALL + WIDE
SUPPORTED_NAMES = ", ".join(d.name for d in sorted(SUPPORTED, key=lambda d: (d.kind, d.itemsize)))


def native(dtype) -> np.dtype:
    """The dtype in the machine's byte order: NumPy's own object for a native dtype (``np.dtype('f')``
    stays the object it is, as scipy's results keep it), a new one for a byte-swapped dtype."""
    dt = np.dtype(dtype)
    return dt if dt.isnative else dt.newbyteorder("=")


def check(dtype, name: str) -> np.dtype:
    """The native form of a supported dtype; TypeError naming the argument otherwise."""
    try:
        dt = np.dtype(dtype)
    except TypeError as exc:
        raise TypeError(f"{name}: {dtype!r} is not a dtype; supported: {SUPPORTED_NAMES}") from exc
    if native(dt) not in SUPPORTED:
        raise TypeError(f"{name}: dtype {dt.name} is not supported; supported: {SUPPORTED_NAMES}")
    return native(dt)


def compute_dtype(*dtypes) -> np.dtype:
    """binary64 when any of the dtypes needs it, else binary32."""
    return np.dtype("f8") if any(native(d) in WIDE for d in dtypes) else np.dtype("f4")


def cast(t: np.ndarray, dtype) -> np.ndarray:
    """Stores values t (float32 or float64, the compute type) as `dtype`, each step in t's type:
    floats round to nearest; unsigned integers t > 0 ? t + 0.5 : 0, clamped, truncated; signed
    t +- 0.5 away from zero, clamped, truncated; NaN as the kernels store it (0 for 8- and 16-bit
    and unsigned types, the minimum for 32- and 64-bit signed types)."""
    dt = native(dtype)
    if dt.kind == "f":
        with np.errstate(over="ignore"):  # overflow to inf is the rounding asked for
            return t.astype(dt)
    info = np.iinfo(dt)
    ft = t.dtype.type
    with np.errstate(invalid="ignore", over="ignore"):
        if dt.kind == "u":
            r = np.where(t > 0, t + ft(0.5), ft(0))
        else:
            r = np.where(t > 0, t + ft(0.5), t - ft(0.5))
        nan = np.isnan(r)
        high = r >= ft(info.max) if dt.itemsize == 8 else r > ft(info.max)
        low = r < ft(info.min)
        safe = np.where(nan | high | low, ft(0), r)
        out = np.trunc(safe).astype(dt)
        out[high] = info.max
        out[low] = info.min
        if dt.kind == "i" and dt.itemsize >= 4:
            out[nan] = info.min
        else:
            out[nan] = 0
    return out

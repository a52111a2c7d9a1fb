"""Random calls of zentrova_resample's public functions, for comparing its targets (test_targets.py):
every dtype (and other output dtypes, bool included: the casts), orders 0 to 5 with and without the
prefilter (the spline filter), every mode, the three coordinate forms (a matrix, zoom and shift,
coordinates given by map_coordinates; four-axis inputs take the point kernel), inputs with NaN and
infinities, reversed and strided views. The calls' arguments are made once and pickled, and each
interpreter (one per target, one on a processor without AVX2) runs those very arguments: NumPy's own
results (sin and cos of the rotations, among others) differ between processors by an ulp, which would
make the inputs differ. Imports neither zentrova nor the test configuration, so that it also runs on
a processor without AVX2."""

import pickle

import numpy as np

import zentrova_resample as zr
from resample_support import ALL_DTYPES, MODES, quiet, random_cval, random_data, random_transform, rng_for

FORMS = ("matrix", "separable", "given")


def arguments(dtype, form, order, mode):
    """One call of the public functions: (the function's name, positional arguments, keywords)."""
    rng = rng_for("targets", dtype, form, order, mode)
    ndim = 3 if form != "matrix" or rng.random() < 0.7 else 2
    in_shape = tuple(int(v) for v in rng.integers(2, 12, ndim))
    x = random_data(rng, in_shape, dtype)
    view = rng.integers(3)  # C order, one axis reversed, every other sample along x
    if view == 1:
        x = np.flip(x, int(rng.integers(ndim)))
    elif view == 2:
        x = random_data(rng, in_shape[:-1] + (2 * in_shape[-1],), dtype)[..., ::2]
    out = dtype if rng.random() < 0.7 else str(rng.choice(ALL_DTYPES + ("bool",)))
    cval = random_cval(rng, dtype)
    if mode == "grid-constant" and order > 1 and np.dtype(dtype).kind in "iu":
        cval = float(rng.integers(0, 100))  # the prefilter pads the input with cval, which must fit it (as in scipy)
    kw = dict(order=order, mode=mode, cval=cval, output=np.dtype(out), prefilter=bool(rng.random() < 0.7))
    if form == "matrix":
        out_shape = tuple(int(v) for v in rng.integers(1, 14, ndim))
        kind = ("rotate", "general", "scale_up", "shear", "flip", "half_shift")[int(rng.integers(6))]
        matrix, offset = random_transform(rng, in_shape, out_shape, kind)
        return "affine_transform", (x, matrix, offset), dict(output_shape=out_shape, **kw)
    if form == "separable":
        if rng.random() < 0.5:
            return "shift", (x, rng.uniform(-3, 3, ndim)), kw
        return "zoom", (x, rng.uniform(0.4, 2.2, ndim)), dict(grid_mode=bool(rng.integers(2)), **kw)
    if rng.random() < 0.25:  # four interpolated axes: the point kernel
        x = random_data(rng, in_shape + (3,), dtype)
    shape = tuple(int(v) for v in rng.integers(1, 12, 3))
    coords = np.stack([rng.uniform(-3.0, n + 2.0, shape) for n in x.shape])
    odd = rng.random(coords.shape)
    coords[odd < 0.02] = np.nan
    coords[(odd >= 0.02) & (odd < 0.03)] = rng.choice([np.inf, -np.inf, 3e9, -3e9, 2.0**40])
    coords[(odd >= 0.03) & (odd < 0.2)] = np.round(coords[(odd >= 0.03) & (odd < 0.2)] * 2) / 2  # on samples, halfway
    return "map_coordinates", (x, coords), kw


def run(call):
    """The result of a call made by `arguments`, as an array."""
    name, args, kw = call
    return quiet(getattr(zr, name), *args, **kw)


ALL_CASES = [(d, f, o, m) for d in ALL_DTYPES for f in FORMS for o in range(6) for m in MODES]
# Every dtype and form, orders 0, 1 and 3, the modes in turn.
SOME_CASES = [(d, f, o, MODES[i % len(MODES)]) for i, (d, f, o) in
              enumerate((d, f, o) for d in ALL_DTYPES for f in FORMS for o in (0, 1, 3))]


def key(case):
    return "-".join(map(str, case))


def save_calls(path, cases=ALL_CASES):
    """The cases' calls, pickled to `path`; returns them by key."""
    calls = {key(c): arguments(*c) for c in cases}
    with open(path, "wb") as f:
        pickle.dump(calls, f)
    return calls


def compute_all(calls_path, path):
    """The results of the calls pickled at `calls_path`, saved to `path` (run with ZENTROVA_TARGET set,
    or on another processor)."""
    with open(calls_path, "rb") as f:
        calls = pickle.load(f)
    np.savez(path, **{k: run(call) for k, call in calls.items()})

"""The resampler's targets (portable, avx2, avx512) give the same bits, and ZENTROVA_TARGET picks one.

Each target computes the same random calls in a fresh interpreter with ZENTROVA_TARGET set: every
dtype (and other output dtypes, bool included: the casts), orders 0 to 5 with and without the
prefilter (the spline filter), every mode, the three coordinate forms (a matrix, zoom and shift,
coordinates given by map_coordinates; four-axis inputs take the point kernel), inputs with NaN and
infinities, reversed and strided views. The results must be equal bit for bit; two NaNs match
whatever their payload, as everywhere in these tests: where two NaNs meet in a sum, the one that
survives depends on the operand order the compiler picked, which differs between the targets' code."""

import os
import subprocess
import sys

import numpy as np
import pytest

import zentrova
import zentrova_resample as zr
from conftest import run_python
from resample_support import ALL_DTYPES, MODES, differing, quiet, random_cval, random_data, random_transform, rng_for
from zentrova_resample import _engine

TARGETS = ("portable", "avx2") + (("avx512",) if zentrova.build_info()["simd"]["avx512f"] else ())
FORMS = ("matrix", "separable", "given")
TESTS = os.path.dirname(os.path.abspath(__file__))


def _case(dtype, form, order, mode):
    """One call of the public functions, its result as an array."""
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
        return quiet(zr.affine_transform, x, matrix, offset, output_shape=out_shape, **kw)
    if form == "separable":
        if rng.random() < 0.5:
            return quiet(zr.shift, x, rng.uniform(-3, 3, ndim), **kw)
        return quiet(zr.zoom, x, rng.uniform(0.4, 2.2, ndim), grid_mode=bool(rng.integers(2)), **kw)
    if rng.random() < 0.25:  # four interpolated axes: the point kernel
        x = random_data(rng, in_shape + (3,), dtype)
    shape = tuple(int(v) for v in rng.integers(1, 12, 3))
    coords = np.stack([rng.uniform(-3.0, n + 2.0, shape) for n in x.shape])
    odd = rng.random(coords.shape)
    coords[odd < 0.02] = np.nan
    coords[(odd >= 0.02) & (odd < 0.03)] = rng.choice([np.inf, -np.inf, 3e9, -3e9, 2.0**40])
    coords[(odd >= 0.03) & (odd < 0.2)] = np.round(coords[(odd >= 0.03) & (odd < 0.2)] * 2) / 2  # on samples, halfway
    return quiet(zr.map_coordinates, x, coords, **kw)


def compute_all(path):
    """Every case's result, saved to `path` (run with ZENTROVA_TARGET set)."""
    results = {f"{d}-{f}-{o}-{m}": _case(d, f, o, m) for d in ALL_DTYPES for f in FORMS for o in range(6) for m in MODES}
    np.savez(path, **results)


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    found = {}
    for target in TARGETS:
        path = tmp_path_factory.mktemp("targets") / f"{target}.npz"
        run_python(f"import sys; sys.path.insert(0, {TESTS!r}); import test_targets; "
                   f"test_targets.compute_all({str(path)!r}); print('null')",
                   env={"ZENTROVA_TARGET": target}, timeout=900)
        found[target] = np.load(path)
    return found


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("dtype", ALL_DTYPES)
def test_targets_give_the_same_bits(results, dtype, form):
    first = results[TARGETS[0]]
    for target in TARGETS[1:]:
        for order in range(6):
            for mode in MODES:
                key = f"{dtype}-{form}-{order}-{mode}"
                a, b = first[key], results[target][key]
                assert (a.shape, a.dtype) == (b.shape, b.dtype), key
                differ = differing(a, b)
                assert not differ.any(), f"{key}: {TARGETS[0]} and {target} differ in {int(differ.sum())} of {a.size}"


def _engine_in(env_value, code="print(_engine.backend('float32'))"):
    env = dict(os.environ, ZENTROVA_TARGET=env_value)
    return subprocess.run([sys.executable, "-c", f"from zentrova_resample import _engine\n{code}"],
                          capture_output=True, text=True, env=env, timeout=60)


@pytest.mark.parametrize("target", TARGETS)
def test_forced_target_runs_every_kernel(target):
    """backend() reports the forced target for every type it has a kernel for (the 16-lane target has
    four; the others run on AVX2); the variable is read once; the fixed module keeps its choice."""
    got = run_python(f"""
        import json, os, numpy as np, zentrova
        from zentrova_resample import _engine
        kinds = {ALL_DTYPES!r}
        first = {{d: _engine.backend(np.dtype(d)) for d in kinds}}
        os.environ["ZENTROVA_TARGET"] = "portable" if "{target}" != "portable" else "avx2"
        again = {{d: _engine.backend(np.dtype(d)) for d in kinds}}
        print(json.dumps([first, again, zentrova.build_info()]))""", env={"ZENTROVA_TARGET": target})
    sixteen = ("float32", "float16", "uint16", "int16")
    assert got[0] == {d: "avx2" if target == "avx512" and d not in sixteen else target for d in ALL_DTYPES}
    assert got[1] == got[0]
    assert got[2] == run_python("import json, zentrova; print(json.dumps(zentrova.build_info()))")


def test_unset_or_empty_picks_the_best_target():
    best = "avx512" if "avx512" in TARGETS else "avx2"
    assert _engine.backend(np.dtype("float32")) == (os.environ.get("ZENTROVA_TARGET") or best)  # this run's
    run = _engine_in("")
    assert run.returncode == 0 and run.stdout.split() == [best], run.stderr


@pytest.mark.parametrize("value", ("AVX2", "sse2", "avx512 ", "x" * 100))
def test_unknown_target_refuses_import(value):
    run = _engine_in(value)
    assert run.returncode != 0
    assert "ImportError: ZENTROVA_TARGET=" in run.stderr and "is not a target: use portable, avx2 or avx512" in run.stderr
    assert len(run.stderr.splitlines()[-1]) < 200  # a long value is cut


def test_target_the_processor_lacks_refuses_import():
    if "avx512" in TARGETS:
        pytest.skip("this processor runs every target")
    run = _engine_in("avx512")
    assert run.returncode != 0 and "ImportError: ZENTROVA_TARGET=avx512: this processor cannot run that target" in run.stderr

"""The resampler's targets (portable, avx2, avx512 on x86-64; portable, neon on aarch64) give the same
bits, and ZENTROVA_TARGET picks one.

Each target computes the same random calls (target_cases.py: their arguments made once, here) in a
fresh interpreter with ZENTROVA_TARGET set, and so does a processor without AVX2 (qemu's model of
one, where qemu is installed). The results must be equal bit for bit; two NaNs match whatever their payload, as
everywhere in these tests: where two NaNs meet in a sum, the one that survives depends on the
operand order the compiler picked, which differs between the targets' code."""

import os
import platform
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import target_cases
from conftest import run_python, zentrova
from resample_support import ALL_DTYPES, MODES, differing
from zentrova_resample import _engine

# The targets this build has that this processor runs, lowest first.
TARGETS = _engine.targets()
X86_64 = platform.machine() == "x86_64"
# Every target of the build, as the refusal of an unknown one lists them.
BUILT = ("portable", "avx2", "avx512") if X86_64 else ("portable", "neon")
TESTS = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    where = tmp_path_factory.mktemp("targets")
    calls = where / "calls.pickle"
    target_cases.save_calls(calls)
    found = {}
    for target in TARGETS:
        path = where / f"{target}.npz"
        run_python(f"import sys; sys.path.insert(0, {TESTS!r}); import target_cases; "
                   f"target_cases.compute_all({str(calls)!r}, {str(path)!r}); print('null')",
                   env={"ZENTROVA_TARGET": target}, timeout=900)
        found[target] = np.load(path)
    return found


@pytest.mark.parametrize("form", target_cases.FORMS)
@pytest.mark.parametrize("dtype", ALL_DTYPES)
def test_targets_give_the_same_bits(results, dtype, form):
    first = results[TARGETS[0]]
    for target in TARGETS[1:]:
        for order in range(6):
            for mode in MODES:
                key = target_cases.key((dtype, form, order, mode))
                a, b = first[key], results[target][key]
                assert (a.shape, a.dtype) == (b.shape, b.dtype), key
                differ = differing(a, b)
                assert not differ.any(), f"{key}: {TARGETS[0]} and {target} differ in {int(differ.sum())} of {a.size}"


def _engine_in(env_value, code="print(_engine.backend('float32'))"):
    env = dict(os.environ, ZENTROVA_TARGET=env_value)
    return subprocess.run([sys.executable, "-c", f"from zentrova_resample import _engine\n{code}"],
                          capture_output=True, text=True, env=env, timeout=60)


def test_the_build_has_its_processors_targets():
    assert TARGETS[0] == "portable" and set(TARGETS) <= set(BUILT)
    assert TARGETS[:2] == BUILT[:2]  # AVX2 is the fixed module's need on x86-64; NEON is every aarch64's


@pytest.mark.parametrize("target", TARGETS)
def test_forced_target_runs_every_kernel(target):
    """backend() reports the forced target for every type it has a kernel for (the AVX-512 target has
    five: four of 16 lanes and float64's of 8; the others run on AVX2); the variable is read once; the
    fixed module (x86-64 only) keeps its choice."""
    got = run_python(f"""
        import json, os, numpy as np
        from zentrova_resample import _engine
        kinds = {ALL_DTYPES!r}
        first = {{d: _engine.backend(np.dtype(d)) for d in kinds}}
        os.environ["ZENTROVA_TARGET"] = "portable" if "{target}" != "portable" else "{TARGETS[-1]}"
        again = {{d: _engine.backend(np.dtype(d)) for d in kinds}}
        fixed = None
        if {X86_64}:
            import zentrova
            fixed = zentrova.build_info()
        print(json.dumps([first, again, fixed]))""", env={"ZENTROVA_TARGET": target})
    wide = ("float32", "float16", "uint16", "int16", "float64")
    assert got[0] == {d: "avx2" if target == "avx512" and d not in wide else target for d in ALL_DTYPES}
    assert got[1] == got[0]
    if X86_64:
        assert got[2] == run_python("import json, zentrova; print(json.dumps(zentrova.build_info()))")


def test_unset_or_empty_picks_the_best_target():
    best = TARGETS[-1]
    assert _engine.backend(np.dtype("float32")) == (os.environ.get("ZENTROVA_TARGET") or best)  # this run's
    run = _engine_in("")
    assert run.returncode == 0 and run.stdout.split() == [best], run.stderr


@pytest.mark.parametrize("value", ("AVX2", "sse2", "avx512 ", "x" * 100))
def test_unknown_target_refuses_import(value):
    run = _engine_in(value)
    assert run.returncode != 0
    names = ", ".join(BUILT[:-1]) + " or " + BUILT[-1]
    assert "ImportError: ZENTROVA_TARGET=" in run.stderr and f"is not a target: use {names}" in run.stderr
    assert len(run.stderr.splitlines()[-1]) < 200  # a long value is cut


def test_target_the_processor_lacks_refuses_import():
    if set(BUILT) == set(TARGETS):
        pytest.skip("this processor runs every target")
    run = _engine_in("avx512")
    assert run.returncode != 0 and "ImportError: ZENTROVA_TARGET=avx512: this processor cannot run that target" in run.stderr


QEMU = shutil.which("qemu-x86_64") if X86_64 else None


def _on_nehalem(code, target=None):
    """`code` run by this interpreter under qemu's model of a processor without AVX (Nehalem: SSE4.2
    at most; an AVX instruction stops it with SIGILL)."""
    env = {k: v for k, v in os.environ.items() if k != "ZENTROVA_TARGET"}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [TESTS, os.path.dirname(os.path.abspath(zentrova.__file__)),
                                                      env.get("PYTHONPATH")]))
    if target is not None:
        env["ZENTROVA_TARGET"] = target
    return subprocess.run([QEMU, "-cpu", "Nehalem", sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, env=env, timeout=600)


@pytest.mark.skipif(QEMU is None, reason="qemu-x86_64 (qemu-user) is not installed")
def test_a_processor_without_avx2(tmp_path):
    """On a processor without AVX2 the engine imports on the portable target and gives the native
    targets' bits; forcing avx2 or avx512 there, or importing the fixed module, raises ImportError."""
    calls, path = tmp_path / "calls.pickle", tmp_path / "nehalem.npz"
    made = target_cases.save_calls(calls, target_cases.SOME_CASES)
    run = _on_nehalem(f"""
        import numpy as np, target_cases
        from zentrova_resample import _engine
        assert {{_engine.backend(np.dtype(d)) for d in target_cases.ALL_DTYPES}} == {{"portable"}}
        target_cases.compute_all({str(calls)!r}, {str(path)!r})""")
    assert run.returncode == 0, run.stderr[-2000:]
    got = np.load(path)
    for key, call in made.items():  # against this processor's target
        assert not differing(got[key], target_cases.run(call)).any(), key
    for target in ("avx2", "avx512"):
        run = _on_nehalem("import zentrova_resample", target)
        assert f"ImportError: ZENTROVA_TARGET={target}: this processor cannot run that target; it lacks AVX, AVX2" \
            in run.stderr, run.stderr[-2000:]
    run = _on_nehalem("import zentrova")
    assert "ImportError" in run.stderr and "AVX2" in run.stderr, run.stderr[-2000:]

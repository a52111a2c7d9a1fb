"""scipy's own tests of affine_transform, shift, zoom, rotate, map_coordinates, spline_filter and
spline_filter1d (every order), from the installed scipy, run on zentrova_resample by scripts/scipy_suite.py:
no unexpected failure."""

import importlib.util
import inspect
import json
import os
import subprocess
import sys

import numpy as np
import pytest
import scipy

from conftest import SCIPY_TOO_OLD

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "scripts", "scipy_suite.py")
sys.path.insert(0, os.path.join(HERE, "scipy_suite"))

import zentrova_scipy_suite as suite  # noqa: E402

KNOWN_REASONS = {reason for reason, _ in suite.EXPECTED_FAILURES.values()}
# scipy's test classes (and test modules, for tests outside a class) that must all be run
CLASSES = {"TestAffineTransform", "TestShift", "TestZoom", "TestRotate", "TestMapCoordinates", "TestSpline",
           "TestBoundaries", "test_splines"}
# tests passed at least, per function they call (about two thirds of what scipy 1.17's tests give each)
MIN_PASSED = {"affine_transform": 140, "shift": 130, "zoom": 60, "rotate": 38, "map_coordinates": 38,
              "spline_filter": 85, "spline_filter1d": 12}


def test_scipy_suite_passes(tmp_path):
    if importlib.util.find_spec("scipy.ndimage.tests") is None:
        pytest.skip("this scipy ships no tests")
    if SCIPY_TOO_OLD:
        pytest.skip(f"scipy {scipy.__version__}'s tests are of an older release than the one followed")
    summary = tmp_path / "summary.json"
    proc = subprocess.run([sys.executable, SCRIPT, "--summary", str(summary)], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stdout[-6000:] + proc.stderr[-2000:]
    s = json.loads(summary.read_text())
    assert s["failed"] == [] and s["skipped"] == [], s
    assert s["passed"] + s["expected_failures"] == s["selected"] >= 750, s
    assert set(s["expected_failure_reasons"]) <= KNOWN_REASONS, s
    assert set(s["per_class"]) == CLASSES, s["per_class"]
    assert set(s["per_function"]) == set(suite.FUNCTIONS) == set(MIN_PASSED), s["per_function"]
    for name, least in MIN_PASSED.items():
        assert s["per_function"][name].get("passed", 0) >= least, (name, s["per_function"])
    # every spline order, and complex data, interpolated
    for order in range(6):
        assert s["per_order"][str(order)].get("passed", 0) >= 60, s["per_order"]
    assert s["per_dtype"]["complex128"].get("passed", 0) >= 30, s["per_dtype"]
    # what is not run: geometric_transform's tests, and the scipy-internal ones named with their reason
    assert set(s["deselected"]) <= {suite.NO_GEOMETRIC_TRANSFORM, *suite.DESELECTED.values()}, s["deselected"]
    assert s["deselected"][suite.NO_GEOMETRIC_TRANSFORM] >= 100, s["deselected"]


def test_faults_marked_are_ours_and_named():
    """A fault of ours marked as an expected failure says so in its reason, and is one of FAULTS: the
    strict mark fails the run once it is fixed, and the mark goes then."""
    for reason, exc in suite.EXPECTED_FAILURES.values():
        assert (reason in suite.FAULTS) == reason.startswith("fault of ours"), reason
        assert issubclass(exc, BaseException)


def test_wrapper_passes_scipy_defaults_explicitly():
    """The wrappers call ours with scipy's signature and every argument explicit: a test that gives no
    order interpolates with scipy's default 3, whatever our default."""
    from scipy import ndimage

    import zentrova_resample as zr
    calls, recorded = [], []

    def ours(*args, **kwargs):
        calls.append((args, kwargs))
        return zr.shift(*args, **kwargs)

    wrapped = suite._scipy_wrapper("shift", ours, ndimage.shift, record=recorded.append)
    x = np.arange(5.0)
    assert np.array_equal(wrapped(x, 1.5), ndimage.shift(x, 1.5))          # scipy's order 3
    assert not np.array_equal(wrapped(x, 1.5), zr.shift(x, 1.5, order=1))
    passed = inspect.signature(zr.shift).bind(*calls[0][0], **calls[0][1]).arguments
    assert (passed["order"], passed["mode"], passed["cval"], passed["prefilter"]) == (3, "constant", 0.0, True)
    assert np.array_equal(wrapped(x, 1.5, None, 1, "nearest"), ndimage.shift(x, 1.5, order=1, mode="nearest"))
    assert recorded == ["shift"] * 3
    lenient = suite._scipy_wrapper("shift", ours, ndimage.shift, default_order=0)
    assert np.array_equal(lenient(x, 1.5), ndimage.shift(x, 1.5, order=0))

    filt = suite._scipy_wrapper("spline_filter1d", zr.spline_filter1d, ndimage.spline_filter1d)
    y = np.random.default_rng(0).random((4, 6))
    assert np.array_equal(filt(y, axis=0), ndimage.spline_filter1d(y, axis=0))


def test_wrapper_rejects_calls_outside_the_selection():
    """An order outside 0 to 5, or geometric_transform (not ours), fails the test that calls it."""
    from scipy import ndimage

    calls = []
    wrapped = suite._scipy_wrapper("map_coordinates", lambda *a, **k: calls.append(a), ndimage.map_coordinates)
    with pytest.raises(suite.OutOfScopeCall, match="order=6"):
        wrapped(np.arange(5.0), [[1.5]], order=6)
    assert calls == []
    with pytest.raises(suite.OutOfScopeCall, match="geometric_transform"):
        suite._not_ours("geometric_transform")(np.arange(5.0), lambda c: c)

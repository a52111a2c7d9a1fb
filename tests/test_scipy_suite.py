"""scipy's own tests of affine_transform, shift, zoom and rotate (orders 0 and 1), from the installed scipy,
run on zentrova_resample by scripts/scipy_suite.py: no unexpected failure."""

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


def test_scipy_suite_passes(tmp_path):
    if importlib.util.find_spec("scipy.ndimage.tests") is None:
        pytest.skip("this scipy ships no tests")
    if SCIPY_TOO_OLD:
        pytest.skip(f"scipy {scipy.__version__}'s tests are of an older release than the one followed")
    summary = tmp_path / "summary.json"
    proc = subprocess.run([sys.executable, SCRIPT, "--summary", str(summary)], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout[-6000:] + proc.stderr[-2000:]
    s = json.loads(summary.read_text())
    assert s["failed"] == [] and s["skipped"] == [], s
    assert s["passed"] + s["expected_failures"] == s["selected"] >= 200, s
    assert set(s["expected_failure_reasons"]) <= KNOWN_REASONS, s
    assert set(s["per_function"]) == set(suite.FUNCTIONS)
    assert all(counts.get("passed", 0) >= 10 for counts in s["per_function"].values()), s


def test_wrapper_rejects_calls_outside_the_selection():
    """The wrappers keep scipy's default order 3: a selected test that gives no order fails loudly."""
    from scipy import ndimage

    import zentrova_resample as zr
    calls = []

    def ours(*args, **kwargs):
        calls.append((args, kwargs))
        return zr.shift(*args, **kwargs)

    wrapped = suite._scipy_wrapper("shift", ours, ndimage.shift)
    x = np.arange(5.0)
    with pytest.raises(suite.OutOfScopeCall, match="order=3"):
        wrapped(x, 1.5)
    with pytest.raises(suite.OutOfScopeCall, match="order=2"):
        wrapped(x, 1.5, None, 2)
    assert calls == []
    assert np.array_equal(wrapped(x, 1.5, order=1, mode="nearest"), ndimage.shift(x, 1.5, order=1, mode="nearest"))
    passed = inspect.signature(zr.shift).bind(*calls[0][0], **calls[0][1]).arguments
    assert (passed["order"], passed["mode"], passed["prefilter"]) == (1, "nearest", True)
    lenient = suite._scipy_wrapper("shift", ours, ndimage.shift, default_order=0)
    assert np.array_equal(lenient(x, 1.5), ndimage.shift(x, 1.5, order=0))

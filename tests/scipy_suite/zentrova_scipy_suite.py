"""pytest plugin: scipy's own tests of affine_transform, shift, zoom and rotate, run on zentrova_resample.

Load it into a pytest run of the *installed* scipy's tests (``scripts/scipy_suite.py`` does this):

    python -m pytest --pyargs scipy.ndimage.tests.test_interpolation -p zentrova_scipy_suite

with this folder on ``sys.path``. It

* selects the test cases of scipy's ``TestAffineTransform``, ``TestShift``, ``TestZoom`` and
  ``TestRotate`` that interpolate with order 0 or 1: those parametrized by ``order`` in (0, 1), and
  those that pass ``order=0``/``order=1`` in their body (``EXPLICIT_ORDER``). The others are
  deselected: an ``order`` of 2 to 5, or none at all (scipy's default order is 3);
* replaces ``scipy.ndimage.affine_transform``/``shift``/``zoom``/``rotate`` by wrappers with scipy's
  signature (so its default ``order=3``) that call ours, and fail a test whose call uses an order
  other than 0 or 1: a check that the selection is right;
* marks the cases known to fail for reasons outside our scope (``EXPECTED_FAILURES``) as strict
  xfail: a case that starts to pass, or fails otherwise, fails the run;
* writes a summary (selected, passed, expected failures with their reasons, failures, deselected with
  theirs) to the file named by ``ZENTROVA_SCIPY_SUITE_SUMMARY``, and prints it.
"""

import inspect
import json
import os
from collections import Counter

import pytest

FUNCTIONS = ("affine_transform", "shift", "zoom", "rotate")
CLASSES = {"TestAffineTransform": "affine_transform", "TestShift": "shift", "TestZoom": "zoom",
           "TestRotate": "rotate"}
MODULE = "test_interpolation.py"

# Tests without an `order` parameter that interpolate with an explicit order 0 or 1 in their body.
EXPLICIT_ORDER = {"test_shift_grid_constant_order1", "test_zoom_by_int_order0", "test_zoom_grid_by_int_order0"}

# (test function name, parameter that must match or None) -> (reason, the exception the failure raises)
EXPECTED_FAILURES = {}

# With --zentrova-default-order=1 (not part of the selection above): the tests that give no order, run
# with our default order 1 instead of scipy's 3; the ones that fail then, and why.
ORDER_FREE_FAILURES = {
    ("test_affine_transform_output_shape", None): ("a wrong output shape raises ValueError (scipy: RuntimeError)",
                                                   ValueError),
    ("test_rotate10", None): ("expected values are scipy's order-3 result", AssertionError),
}


class OutOfScopeCall(AssertionError):
    """A selected test called one of the functions with an order other than 0 or 1."""


def _scipy_wrapper(name, ours, theirs, default_order=None):
    signature = inspect.signature(theirs)   # scipy's, with its default order=3
    if default_order is not None:
        signature = signature.replace(parameters=[p.replace(default=default_order) if p.name == "order" else p
                                                  for p in signature.parameters.values()])

    def wrapper(*args, **kwargs):
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        order = bound.arguments["order"]
        if order not in (0, 1):
            raise OutOfScopeCall(f"{name} called with order={order!r}: the selection is wrong")
        return ours(*bound.args, **bound.kwargs)

    wrapper.__name__ = wrapper.__qualname__ = name
    wrapper.__wrapped__ = ours
    return wrapper


def _selected(item, order_free=False):
    """(selected, reason if not); order_free: also the tests that give no order."""
    if getattr(item, "cls", None) is None or item.cls.__name__ not in CLASSES or item.path.name != MODULE:
        return False, "not a test of affine_transform, shift, zoom or rotate"
    params = getattr(getattr(item, "callspec", None), "params", {})
    if "order" in params:
        return (True, None) if params["order"] in (0, 1) else (False, "order 2 to 5")
    if item.originalname in EXPLICIT_ORDER or order_free:
        return True, None
    return False, "no order given: scipy's default order 3"


def _expected_failure(item, table=EXPECTED_FAILURES):
    params = getattr(getattr(item, "callspec", None), "params", {})
    values = {str(v) for v in params.values()}
    for (name, param), reason in table.items():
        if item.originalname == name and (param is None or param in values):
            return reason
    return None


class SuitePlugin:
    def __init__(self, default_order=None):
        self.default_order = default_order
        self.deselected = Counter()
        self.selected = []
        self.outcomes = {}
        self.reasons = {}

    def pytest_collection_modifyitems(self, config, items):
        keep, drop = [], []
        for item in items:
            ok, why = _selected(item, self.default_order is not None)
            if ok:
                keep.append(item)
                known = _expected_failure(item)
                if known is None and self.default_order is not None:
                    known = _expected_failure(item, ORDER_FREE_FAILURES)
                if known is not None:
                    reason, exc = known
                    self.reasons[item.nodeid] = reason
                    item.add_marker(pytest.mark.xfail(reason=reason, raises=exc, strict=True))
            else:
                drop.append(item)
                self.deselected[why] += 1
        items[:] = keep
        self.selected = [item.nodeid for item in keep]
        if drop:
            config.hook.pytest_deselected(items=drop)

    @pytest.fixture(autouse=True)
    def _zentrova_functions(self, monkeypatch):
        import scipy.ndimage as ndimage

        import zentrova_resample as zr
        for name in FUNCTIONS:
            monkeypatch.setattr(ndimage, name, _scipy_wrapper(name, getattr(zr, name), getattr(ndimage, name),
                                                              self.default_order))
        yield

    def pytest_runtest_logreport(self, report):
        if report.when == "call" or (report.when == "setup" and report.outcome != "passed"):
            if hasattr(report, "wasxfail"):
                outcome = "xfailed" if report.skipped else "xpassed"
            else:
                outcome = report.outcome
            self.outcomes[report.nodeid] = outcome

    def summary(self):
        counts = Counter(self.outcomes.values())
        by_reason = Counter(self.reasons[n] for n, o in self.outcomes.items() if o == "xfailed")
        per_function = {}
        for nodeid in self.selected:
            cls = nodeid.split("::")[1]
            entry = per_function.setdefault(CLASSES[cls], Counter())
            entry[self.outcomes.get(nodeid, "not run")] += 1
        return {
            "selected": len(self.selected),
            "passed": counts["passed"],
            "expected_failures": counts["xfailed"],
            "expected_failure_reasons": dict(by_reason),
            "failed": sorted(n for n, o in self.outcomes.items() if o in ("failed", "xpassed")),
            "skipped": sorted(n for n, o in self.outcomes.items() if o == "skipped"),
            "per_function": {k: dict(v) for k, v in per_function.items()},
            "deselected": dict(self.deselected),
        }

    def pytest_terminal_summary(self, terminalreporter):
        s = self.summary()
        tr = terminalreporter
        tr.section("zentrova_resample on scipy's tests")
        scope = ("orders 0 and 1" if self.default_order is None else
                 f"orders 0 and 1, and order {self.default_order} where a test gives none")
        tr.line(f"selected {s['selected']} ({scope}): {s['passed']} passed, "
                f"{s['expected_failures']} expected failures, {len(s['failed'])} unexpected failures, "
                f"{len(s['skipped'])} skipped")
        for func, counts in s["per_function"].items():
            tr.line(f"  {func}: " + ", ".join(f"{v} {k}" for k, v in sorted(counts.items())))
        for reason, n in s["expected_failure_reasons"].items():
            tr.line(f"  expected failure x{n}: {reason}")
        for nodeid in s["failed"]:
            tr.line(f"  UNEXPECTED: {nodeid}")
        tr.line("deselected: " + "; ".join(f"{n} {why}" for why, n in s["deselected"].items()))
        path = os.environ.get("ZENTROVA_SCIPY_SUITE_SUMMARY")
        if path:
            with open(path, "w") as f:
                json.dump(s, f, indent=1)


def pytest_addoption(parser):
    parser.addoption("--zentrova-default-order", type=int, default=None, choices=(0, 1),
                     help="also run scipy's tests that give no order, with this order in place of scipy's default 3")


def pytest_configure(config):
    plugin = SuitePlugin(config.getoption("--zentrova-default-order"))
    config.pluginmanager.register(plugin, "zentrova_scipy_suite_state")

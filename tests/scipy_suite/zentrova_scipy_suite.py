"""pytest plugin: scipy's own tests of its interpolation functions, run on zentrova_resample.

Load it into a pytest run of the *installed* scipy's tests (``scripts/scipy_suite.py`` does this):

    python -m pytest --pyargs scipy.ndimage.tests.test_interpolation scipy.ndimage.tests.test_splines \
        -p zentrova_scipy_suite

with this folder on ``sys.path``. It

* selects every test of those modules except the ones that call ``geometric_transform``, which
  zentrova_resample does not have (``TestGeometricTransform``, ``TestGeometricTransformExtra`` and
  the two ``TestBoundaries`` tests built on it), and those in ``DESELECTED`` (scipy-internal details),
  each with its reason: every spline order 0 to 5, every mode, complex data;
* replaces scipy.ndimage's ``affine_transform``, ``shift``, ``zoom``, ``rotate``,
  ``map_coordinates``, ``spline_filter`` and ``spline_filter1d`` by wrappers with scipy's signature
  that call ours with every argument given explicitly: a test that gives no order gets scipy's
  default 3 whatever our default is. ``geometric_transform`` is replaced by a function that fails the
  test (a check that the selection is right). The wrappers record which functions each test calls;
* marks the cases known to fail (``EXPECTED_FAILURES``: a difference from scipy we document, or a
  fault of ours found here and not fixed yet, ``FAULTS``) as strict xfail: a case that starts to pass,
  or fails otherwise, fails the run;
* writes a summary (selected, passed, expected failures with their reasons, failures, deselected with
  theirs; per scipy test class, per function called, per order and dtype parameter) to the file named
  by ``ZENTROVA_SCIPY_SUITE_SUMMARY``, and prints it.
"""

import inspect
import json
import os
from collections import Counter

import pytest

FUNCTIONS = ("affine_transform", "shift", "zoom", "rotate", "map_coordinates", "spline_filter", "spline_filter1d")
# the scipy test modules run; the package's test driver names them to pytest
MODULES = ("test_interpolation", "test_splines")
# our default order differs from scipy's 3 for these (--zentrova-default-order applies to them only)
OUR_DEFAULT_ORDER_DIFFERS = ("affine_transform", "shift", "zoom", "rotate")

NO_GEOMETRIC_TRANSFORM = "calls geometric_transform, which zentrova_resample does not have"

# test function name -> why it is not run (a scipy-internal detail, not the functions' meaning); none of
# scipy 1.17's tests of these functions needs it: they call the public functions only
DESELECTED = {}

# Differences from scipy that zentrova_resample documents, as the reasons of expected failures. scipy
# 1.17's tests meet none: they interpolate float64 and complex128 data, and the other types only
# through spline_filter, whose coefficients are float64 for every input type.
FLOAT32 = ("float16, float32, 8- and 16-bit integer inputs are computed in float32 (orders 2 to 5: "
           "coefficients stored in float32 after every axis)")
SATURATION = "int64 and uint64 results saturate where scipy's conversion wraps"
BOOL_BYTES = "bool results hold only 0 and 1 bytes"
CARRIED = "axes that a transform of more than three axes leaves alone are carried along without interpolation"

# Faults of ours that scipy's tests found, marked here only until they are fixed (so that the run stays
# green and any other failure stands out); each reason says what is wrong. None open.
FAULTS: tuple = ()

# (test function name, {parameter: value} that must all match, or None) -> (reason, the exception the failure raises)
EXPECTED_FAILURES: dict = {}

# With --zentrova-default-order=1: the tests that give affine_transform, shift, zoom or rotate no order run
# with our default order 1 instead of scipy's 3; the ones that fail then, and why.
ORDER_FREE_FAILURES = {
    ("test_rotate10", None): ("expected values are scipy's order-3 result", AssertionError),
}


class OutOfScopeCall(AssertionError):
    """A selected test called a function that is not ours (geometric_transform), or one of ours with an
    order outside 0 to 5."""


def _scipy_wrapper(name, ours, theirs, default_order=None, record=None):
    """scipy's function ``theirs`` as a call of ``ours`` with every argument explicit (scipy's defaults,
    or ``default_order`` in place of scipy's default order); ``record(name)`` on each call."""
    signature = inspect.signature(theirs)
    if default_order is not None:
        signature = signature.replace(parameters=[p.replace(default=default_order) if p.name == "order" else p
                                                  for p in signature.parameters.values()])

    def wrapper(*args, **kwargs):
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        order = bound.arguments.get("order")
        if order not in range(6):
            raise OutOfScopeCall(f"{name} called with order={order!r}: the selection is wrong")
        if record is not None:
            record(name)
        return ours(*bound.args, **bound.kwargs)

    wrapper.__name__ = wrapper.__qualname__ = name
    wrapper.__wrapped__ = ours
    return wrapper


def _not_ours(name):
    def refuse(*args, **kwargs):
        raise OutOfScopeCall(f"{name} is not one of zentrova_resample's functions: the selection is wrong")
    refuse.__name__ = refuse.__qualname__ = name
    return refuse


def _group(nodeid):
    """The scipy test class of a test id, or its module for a test outside a class."""
    parts = nodeid.split("::")
    module = os.path.splitext(os.path.basename(parts[0]))[0]
    return parts[1] if len(parts) > 2 else module


def _dtype_name(value):
    """'float64' for the name and for the type alike (scipy parametrizes by both)."""
    import numpy as np
    try:
        return np.dtype(value).name
    except TypeError:
        return str(value)


def _source(item):
    try:
        return inspect.getsource(item.function)   # with its decorators
    except (OSError, TypeError):
        return ""


def _selected(item):
    """(selected, reason if not)."""
    if item.path.stem not in MODULES:
        return False, "not a test of scipy's interpolation functions"
    if item.originalname in DESELECTED:
        return False, DESELECTED[item.originalname]
    cls = getattr(item, "cls", None)
    if (cls is not None and "GeometricTransform" in cls.__name__) or "geometric_transform" in _source(item):
        return False, NO_GEOMETRIC_TRANSFORM
    return True, None


def _expected_failure(item, table=EXPECTED_FAILURES):
    params = getattr(getattr(item, "callspec", None), "params", {})
    for (name, match), reason in table.items():
        if item.originalname == name and all(k in params and str(params[k]) == str(v)
                                             for k, v in (match or {}).items()):
            return reason
    return None


class SuitePlugin:
    def __init__(self, default_order=None):
        self.default_order = default_order
        self.deselected = Counter()
        self.selected = []
        self.outcomes = {}
        self.reasons = {}
        self.calls = {}
        self.params = {}

    @pytest.hookimpl(trylast=True)   # after -k and -m: the summary counts what is run
    def pytest_collection_modifyitems(self, config, items):
        keep, drop = [], []
        for item in items:
            ok, why = _selected(item)
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
        self.params = {item.nodeid: dict(getattr(getattr(item, "callspec", None), "params", {})) for item in keep}
        if drop:
            config.hook.pytest_deselected(items=drop)

    @pytest.fixture(autouse=True)
    def _zentrova_functions(self, request, monkeypatch):
        import scipy.ndimage as ndimage

        import zentrova_resample as zr
        called = self.calls.setdefault(request.node.nodeid, set())
        for name in FUNCTIONS:
            default = self.default_order if name in OUR_DEFAULT_ORDER_DIFFERS else None
            monkeypatch.setattr(ndimage, name, _scipy_wrapper(name, getattr(zr, name), getattr(ndimage, name),
                                                              default, called.add))
        monkeypatch.setattr(ndimage, "geometric_transform", _not_ours("geometric_transform"))
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
        per_class, per_function, per_order, per_dtype = {}, {}, {}, {}
        for nodeid in self.selected:
            outcome = self.outcomes.get(nodeid, "not run")
            per_class.setdefault(_group(nodeid), Counter())[outcome] += 1
            params = self.params.get(nodeid, {})
            # a test without an order parameter gives its orders in its body, or none (scipy's default)
            per_order.setdefault(str(params.get("order", "in the body or none")), Counter())[outcome] += 1
            if "dtype" in params:
                per_dtype.setdefault(_dtype_name(params["dtype"]), Counter())[outcome] += 1
            for name in sorted(self.calls.get(nodeid, ())):
                per_function.setdefault(name, Counter())[outcome] += 1
        return {
            "selected": len(self.selected),
            "passed": counts["passed"],
            "expected_failures": counts["xfailed"],
            "expected_failure_reasons": dict(by_reason),
            "failed": sorted(n for n, o in self.outcomes.items() if o in ("failed", "xpassed")),
            "skipped": sorted(n for n, o in self.outcomes.items() if o == "skipped"),
            "per_class": {k: dict(v) for k, v in per_class.items()},
            # a test counts for each function it called (before it failed, for a failure)
            "per_function": {k: dict(per_function[k]) for k in FUNCTIONS if k in per_function},
            "per_order": {k: dict(v) for k, v in per_order.items()},
            "per_dtype": {k: dict(v) for k, v in per_dtype.items()},
            "deselected": dict(self.deselected),
        }

    def pytest_terminal_summary(self, terminalreporter):
        s = self.summary()
        tr = terminalreporter
        tr.section("zentrova_resample on scipy's tests")
        scope = ("orders 0 to 5" if self.default_order is None else
                 f"orders 0 to 5, and order {self.default_order} where a test gives "
                 f"{', '.join(OUR_DEFAULT_ORDER_DIFFERS)} none")
        tr.line(f"selected {s['selected']} ({scope}): {s['passed']} passed, "
                f"{s['expected_failures']} expected failures, {len(s['failed'])} unexpected failures, "
                f"{len(s['skipped'])} skipped")
        for title, table in (("per scipy test class", s["per_class"]), ("per function called", s["per_function"]),
                             ("per order parameter", s["per_order"]), ("per dtype parameter", s["per_dtype"])):
            tr.line(title + ":")
            for key, counts in table.items():
                tr.line(f"  {key}: " + ", ".join(f"{v} {k}" for k, v in sorted(counts.items())))
        for reason, n in s["expected_failure_reasons"].items():
            tr.line(f"expected failure x{n}: {reason}")
        for nodeid in s["failed"]:
            tr.line(f"UNEXPECTED: {nodeid}")
        for nodeid in s["skipped"]:
            tr.line(f"SKIPPED: {nodeid}")
        tr.line("deselected: " + "; ".join(f"{n} {why}" for why, n in s["deselected"].items()))
        path = os.environ.get("ZENTROVA_SCIPY_SUITE_SUMMARY")
        if path:
            with open(path, "w") as f:
                json.dump(s, f, indent=1)


def pytest_addoption(parser):
    parser.addoption("--zentrova-default-order", type=int, default=None, choices=(0, 1),
                     help="run the tests that give affine_transform, shift, zoom or rotate no order with this "
                          "order (our default) in place of scipy's default 3")


def pytest_configure(config):
    plugin = SuitePlugin(config.getoption("--zentrova-default-order"))
    config.pluginmanager.register(plugin, "zentrova_scipy_suite_state")

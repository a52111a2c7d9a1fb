"""zentrova_resample standing in for scipy.ndimage's interpolation functions in another project's test
suite (used by scripts/downstream_suites.sh).

As a pytest plugin (``-p downstream_standin``, this folder on PYTHONPATH): before the suite imports
anything, scipy.ndimage's affine_transform, shift, zoom, rotate, map_coordinates, spline_filter and
spline_filter1d are replaced by functions that call ours (whose result or error the suite gets) and
scipy's own on copies of the arrays, and append one JSON line per call to $STANDIN_LOG: the function,
order, input dtype and mode, and how the two compared (equal bits, or the largest difference, or who
raised what).

As a script (``python downstream_standin.py LOG...``): a table of the calls by function, order and
outcome, and the calls to look at (a difference in a type computed in float64, a float32 one beyond
1e-5 of the values' scale, a NaN in one result only, one side raising alone).
"""

import collections
import functools
import json
import os
import sys
import warnings

import numpy as np

NAMES = ("affine_transform", "shift", "zoom", "rotate", "map_coordinates", "spline_filter", "spline_filter1d")
# Where each function takes `order` positionally.
ORDER_AT = {"affine_transform": 5, "shift": 3, "zoom": 3, "rotate": 5, "map_coordinates": 3, "spline_filter": 1,
            "spline_filter1d": 1}
BINARY32 = ("float16", "float32", "uint8", "int8", "uint16", "int16")


def _compare(ours, theirs) -> dict:
    a, b = np.ascontiguousarray(ours), np.ascontiguousarray(theirs)
    if a.shape != b.shape or a.dtype != b.dtype:
        return {"mismatch": f"{a.dtype}{a.shape} against {b.dtype}{b.shape}"}
    if a.size == 0 or np.array_equal(a.view(np.uint8), b.view(np.uint8)):
        return {"equal": True}
    with np.errstate(all="ignore"):
        d = np.abs(a.astype(np.complex128) - b.astype(np.complex128))
        finite = d[np.isfinite(d)]
        scale = float(np.nanmax(np.abs(b.astype(np.complex128))))
    nan_same = bool(np.array_equal(np.isnan(a), np.isnan(b))) if a.dtype.kind in "fc" else True
    return {"equal": False, "max_abs": float(finite.max()) if finite.size else 0.0, "scale": scale,
            "nan_same": nan_same, "count": int(np.count_nonzero(a != b)), "size": int(a.size)}


def _wrap(name, theirs_fn, ours_fn, log):
    @functools.wraps(theirs_fn)
    def call(*args, **kwargs):
        # scipy works on copies: an output array, and any writable input (an input that is its own output)
        s_args = [a.copy() if isinstance(a, np.ndarray) and a.flags.writeable else a for a in args]
        s_kwargs = {k: v.copy() if isinstance(v, np.ndarray) else v for k, v in kwargs.items()}
        order = kwargs.get("order", args[ORDER_AT[name]] if len(args) > ORDER_AT[name] else 3)
        record = {"fn": name, "order": str(order), "mode": str(kwargs.get("mode", "default")),
                  "dtype": str(getattr(args[0], "dtype", type(args[0]).__name__)) if args else "?"}
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                theirs = theirs_fn(*s_args, **s_kwargs)
            if theirs is None and isinstance(s_kwargs.get("output"), np.ndarray):
                theirs = s_kwargs["output"]
            their_error = None
        except Exception as e:  # noqa: BLE001 - recorded
            theirs, their_error = None, f"{type(e).__name__}: {e}"[:300]
        try:
            ours = ours_fn(*args, **kwargs)
        except Exception as e:
            record.update(ours_raised=f"{type(e).__name__}: {e}"[:300], scipy_raised=their_error)
            log.write(json.dumps(record) + "\n")
            log.flush()
            raise
        got = ours if ours is not None else kwargs.get("output")
        if their_error is not None:
            record["scipy_raised"] = their_error
        elif got is not None:
            record.update(_compare(np.asarray(got), np.asarray(theirs)))
        log.write(json.dumps(record) + "\n")
        log.flush()
        return ours

    return call


def pytest_configure(config):
    import scipy.ndimage as ndi
    import scipy.ndimage._interpolation as interpolation

    import zentrova_resample as zr

    log = open(os.environ.get("STANDIN_LOG", "standin.jsonl"), "a")
    for name in NAMES:
        wrapped = _wrap(name, getattr(ndi, name), getattr(zr, name), log)
        setattr(ndi, name, wrapped)
        setattr(interpolation, name, wrapped)


def _outcome(r: dict):
    """(outcome, whether to look at the call)."""
    if "ours_raised" in r:
        return ("both raised", False) if r.get("scipy_raised") else ("OURS RAISED", True)
    if r.get("scipy_raised"):
        return "scipy raised, ours returned", True
    if "mismatch" in r:
        return "SHAPE OR DTYPE", True
    if r.get("equal"):
        return "equal bits", False
    binary32 = r["dtype"] in BINARY32
    far = r["max_abs"] > 1e-5 * max(r["scale"], 1e-300)
    return ("differs (float32)" if binary32 else "DIFFERS (float64)"), (not binary32) or far or not r["nan_same"]


def summarize(paths) -> None:
    rows = [json.loads(line) for p in paths for line in open(p)]
    counts = collections.Counter()
    look = []
    for r in rows:
        outcome, flag = _outcome(r)
        counts[(r["fn"], r["order"], outcome)] += 1
        if flag:
            look.append(r)
    for (fn, order, outcome), n in sorted(counts.items()):
        print(f"{fn:18} order {order:>2}  {outcome:30} {n:6}")
    print(f"{len(rows)} calls; {len(look)} to look at")
    for r in look[:50]:
        print(json.dumps(r))


if __name__ == "__main__":
    summarize(sys.argv[1:])

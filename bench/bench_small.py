"""The fixed cost of a call on small arrays, beside scipy.ndimage.

    python bench/bench_small.py [--repeat 7] [--quick] [--cases affine] [--json PATH]

Loops over small arrays (a reslice per slice, a reprojection per tile, an augmentation pipeline)
pay the cost of a call more than the cost of a voxel. Each case below is run by
scipy.ndimage and by zentrova_resample with the same arguments, and by ours again with a pool of
one thread (set_num_threads(1)): the three interleaved in every round, each sample the mean of a
loop of calls sized to about 3 ms, the median of --repeat rounds reported in microseconds a call.
Every case checks once that both give the same result ("equal"), else reports the largest
difference (values in [0, 1); float32, uint8 and complex64 are computed in float32 at orders 1
to 5: README).
"""
import argparse
import json
import statistics
import time

import numpy as np
import scipy
import scipy.ndimage as ndi

import zentrova_resample as zr


def rotation(ndim, degrees=17.0):
    """17 degrees about the last two axes, scaled by 1.1: every output voxel between input voxels."""
    a = np.deg2rad(degrees)
    c, s = np.cos(a), np.sin(a)
    m = np.array([[c, -s], [s, c]]) * 1.1
    return m if ndim == 2 else np.block([[np.eye(1), np.zeros((1, 2))], [np.zeros((2, 1)), m]])


def data(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    if np.dtype(dtype).kind == "u":
        return rng.integers(0, 256, shape).astype(dtype)
    if np.dtype(dtype).kind == "c":
        return (rng.random(shape) + 1j * rng.random(shape)).astype(dtype)
    return rng.random(shape).astype(dtype)


def points(count, n=10, seed=1):
    return np.random.default_rng(seed).random((2, count)) * (n - 1)


IMG, CUBE, R2, R3 = data((10, 10), np.float64), data((10,) * 3, np.float32), rotation(2), rotation(3)

# name, function, positional arguments, keyword arguments: each case is called as
# getattr(library, function)(*args, **kwargs) for scipy.ndimage and for zentrova_resample.
CASES = [
    ("affine 10x10 float64 order 0", "affine_transform", (IMG, R2, 0.5), {"order": 0}),
    ("affine 10x10 float64 order 1", "affine_transform", (IMG, R2, 0.5), {"order": 1}),
    ("affine 10x10 float64 order 3", "affine_transform", (IMG, R2, 0.5), {"order": 3}),
    ("affine 10^3 float32 order 1", "affine_transform", (CUBE, R3, 0.5), {"order": 1}),
    ("affine 10^3 float32 order 3", "affine_transform", (CUBE, R3, 0.5), {"order": 3}),
    ("map_coordinates 10x10, 7 points, order 1", "map_coordinates", (IMG, points(7)), {"order": 1}),
    ("map_coordinates 10x10, 7 points, order 3", "map_coordinates", (IMG, points(7)), {"order": 3}),
    ("map_coordinates 10x10, 1000 points, order 1", "map_coordinates", (IMG, points(1000)), {"order": 1}),
    ("zoom 10x10 float64 x1.5 order 1", "zoom", (IMG, 1.5), {"order": 1}),
    ("shift 10x10 float64 0.3 order 3", "shift", (IMG, 0.3), {"order": 3}),
    ("rotate 10x10 float64 17 deg order 1", "rotate", (IMG, 17.0), {"order": 1}),
    ("spline_filter 10x10 float64", "spline_filter", (IMG,), {}),
    ("affine 16x16 uint8 order 1", "affine_transform", (data((16, 16), np.uint8), R2, 0.5), {"order": 1}),
    ("affine 32^3 float32 order 1", "affine_transform", (data((32,) * 3, np.float32), R3, 0.5), {"order": 1}),
    ("shift 10x10 complex64 0.3 order 1", "shift", (data((10, 10), np.complex64), 0.3), {"order": 1}),
]


def sameness(ours, theirs):
    if ours.shape != theirs.shape or ours.dtype != theirs.dtype:
        return f"differ: {ours.dtype}{ours.shape} vs {theirs.dtype}{theirs.shape}"
    if np.array_equal(ours, theirs, equal_nan=True):
        return "equal"
    diff = np.abs(ours.astype(np.complex128 if ours.dtype.kind == "c" else np.float64) - theirs)
    return f"max diff {np.nanmax(diff):.2g}"


def loop_size(fn, target):
    """Calls that take about `target` seconds (at least 1)."""
    calls, t0 = 0, time.perf_counter()
    while time.perf_counter() - t0 < target / 4:
        fn()
        calls += 1
    return max(1, int(calls * target / (time.perf_counter() - t0)))


def sample(fn, calls):
    t0 = time.perf_counter_ns()
    for _ in range(calls):
        fn()
    return (time.perf_counter_ns() - t0) / calls / 1e3


def measure(func, args, kwargs, repeat, target, threads):
    theirs = lambda: getattr(ndi, func)(*args, **kwargs)  # noqa: E731
    ours = lambda: getattr(zr, func)(*args, **kwargs)  # noqa: E731
    same = sameness(ours(), theirs())
    variants = {"scipy": (theirs, threads), "ours": (ours, threads), "ours_1t": (ours, 1)}
    sizes = {}
    for name, (fn, n) in variants.items():
        zr.set_num_threads(n)
        sizes[name] = loop_size(fn, target)  # also the warm-up
    times = {name: [] for name in variants}
    for _ in range(repeat):
        for name, (fn, n) in variants.items():  # scipy, ours, ours one thread, scipy, ...
            zr.set_num_threads(n)
            times[name].append(sample(fn, sizes[name]))
    zr.set_num_threads(threads)
    row = {name + "_us": statistics.median(t) for name, t in times.items()}
    row.update(ratio=row["ours_us"] / row["scipy_us"], ratio_1t=row["ours_1t_us"] / row["scipy_us"], result=same)
    return row


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=7, help="rounds; the median is reported")
    ap.add_argument("--quick", action="store_true", help="3 rounds of 1 ms loops (a smoke run)")
    ap.add_argument("--cases", default="", help="only the cases whose name holds this substring")
    ap.add_argument("--json", help="write the results here")
    args = ap.parse_args()
    repeat, target = (min(args.repeat, 3), 1e-3) if args.quick else (args.repeat, 3e-3)
    cases = [c for c in CASES if args.cases.lower() in c[0].lower()]
    if not cases:
        ap.error(f"no case name holds {args.cases!r}")

    threads = zr.get_num_threads()
    print(f"scipy {scipy.__version__}, numpy {np.__version__}; our pool {threads} threads; "
          f"median of {repeat} interleaved rounds, us a call\n")
    print("| case | scipy | ours | ours/scipy | ours, 1 thread | 1 thread/scipy | result |")
    print("|---|---|---|---|---|---|---|")
    rows = []
    for name, func, fargs, kwargs in cases:
        row = {"case": name, **measure(func, fargs, kwargs, repeat, target, threads)}
        rows.append(row)
        print(f"| {name} | {row['scipy_us']:.1f} | {row['ours_us']:.1f} | {row['ratio']:.2f}x | "
              f"{row['ours_1t_us']:.1f} | {row['ratio_1t']:.2f}x | {row['result']} |", flush=True)
    ratios = [r["ratio"] for r in rows]
    print(f"\nours/scipy: geometric mean {statistics.geometric_mean(ratios):.2f}x, "
          f"range {min(ratios):.2f}-{max(ratios):.2f}x")
    if args.json:
        meta = {"scipy": scipy.__version__, "numpy": np.__version__, "threads": threads, "repeat": repeat}
        with open(args.json, "w") as fh:
            json.dump({"meta": meta, "cases": rows}, fh, indent=1)


if __name__ == "__main__":
    main()

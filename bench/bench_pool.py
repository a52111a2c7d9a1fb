"""The fixed cost of a call: small volumes, where the pool's round trip weighs most.

For each cube size the time of one affine_transform call (float32, a rotation) is
measured in a process with one worker and in one with the default pool size
(or --threads), the two processes run in alternation for --rounds rounds, and
the medians are compared:

- "vs compute": the call time against the single-thread compute time of the
  same voxels, taken from the per-voxel time of a 1-worker call on a 160^3
  volume (where the round trip is negligible);
- "scaling": the call time against the ideal, the 1-worker call time divided by
  the number of workers.

    python bench/bench_pool.py [--rounds 7] [--threads N]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

SIZES = (4, 16, 32, 64, 96, 160)

CHILD = r"""
import json, sys, time
import numpy as np
import zentrova

def rotation(n):
    a = np.deg2rad(17.0)
    c, s = np.cos(a), np.sin(a)
    m = np.array([[1, 0, 0], [0, c, -s], [0, s, c]]) @ np.array([[c, 0, s], [0, 1, 0], [-s, 0, c]])
    centre = np.full(3, (n - 1) / 2.0)
    return m, centre - m @ centre

out = {}
for n in map(int, sys.argv[1:]):
    vol = np.random.default_rng(n).random((n, n, n), dtype=np.float32)
    m, off = rotation(n)
    f = zentrova.affine_transform
    f(vol, m, off)
    # enough calls for about 50 ms per sample, the best of 5 samples
    t0, calls = time.perf_counter(), 0
    while time.perf_counter() - t0 < 0.02:
        f(vol, m, off)
        calls += 1
    best = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        for _ in range(calls * 2):
            f(vol, m, off)
        best = min(best, (time.perf_counter() - t0) / (calls * 2))
    out[n] = best
print(json.dumps({"threads": zentrova.build_info()["num_threads"], "times": out}))
"""


def measure(threads):
    env = {k: v for k, v in os.environ.items()
           if k not in ("ZENTROVA_NUM_THREADS", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    if threads:
        env["ZENTROVA_NUM_THREADS"] = str(threads)
    proc = subprocess.run([sys.executable, "-c", CHILD, *map(str, SIZES)], env=env, capture_output=True, text=True,
                          check=True)
    return json.loads(proc.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--threads", type=int, default=0, help="pool size of the parallel runs (default: the pool's own)")
    args = parser.parse_args()

    one, many, workers = {n: [] for n in SIZES}, {n: [] for n in SIZES}, None
    for _ in range(args.rounds):
        for n, t in measure(1)["times"].items():
            one[int(n)].append(t)
        result = measure(args.threads)
        workers = result["threads"]
        for n, t in result["times"].items():
            many[int(n)].append(t)

    t1 = {n: statistics.median(v) for n, v in one.items()}
    tp = {n: statistics.median(v) for n, v in many.items()}
    big = max(SIZES)
    per_voxel = t1[big] / big**3
    print(f"{workers} workers against 1, median of {args.rounds} alternating rounds")
    print(f"{'size':>6} {'1 worker us':>12} {f'{workers} workers us':>14} {'compute us':>11} {'vs compute':>11} "
          f"{'scaling':>8}")
    for n in SIZES:
        compute = per_voxel * n**3
        print(f"{n:>4}^3 {t1[n] * 1e6:12.1f} {tp[n] * 1e6:14.1f} {compute * 1e6:11.1f} {tp[n] / compute:10.2f}x "
              f"{tp[n] / (t1[n] / workers):7.2f}x")


if __name__ == "__main__":
    main()

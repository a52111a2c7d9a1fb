"""zentrova_resample's targets against each other: the rotation of bench_transforms (17 degrees about
two axes, about the volume centre) of a cube, per dtype and order, on each target the processor runs
(ZENTROVA_TARGET, one fresh interpreter per target). Prints the best of --repeat calls (after a
warm-up) and each target's time relative to avx2's.

    python bench/bench_targets.py [--size 128] [--repeat 5] [--orders 0 1 3] [--dtypes float32 uint8 ...]
"""
import argparse
import json
import os
import subprocess
import sys

import zentrova

HERE = os.path.dirname(os.path.abspath(__file__))

# Runs in the interpreter of one target: prints {"dtype order": seconds} as JSON.
TIMING = """
import json, sys, time
import numpy as np
import zentrova_resample as zr
sys.path.insert(0, {here!r})
from bench_transforms import best_time, rotation
size, repeat, orders, dtypes = {size}, {repeat}, {orders!r}, {dtypes!r}
rng = np.random.default_rng(0)
m, off = rotation((size,) * 3)
times = {{}}
for dtype in dtypes:
    vol = (rng.random((size,) * 3) * 200).astype(dtype)
    for order in orders:
        times[f"{{dtype}} {{order}}"] = best_time(lambda: zr.affine_transform(vol, m, off, order=order), repeat)
print(json.dumps(times))
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=128)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--orders", type=int, nargs="+", default=[0, 1, 3])
    ap.add_argument("--dtypes", nargs="+", default=["float32", "uint8", "int16", "float64"])
    args = ap.parse_args()
    targets = ["portable", "avx2"] + (["avx512"] if zentrova.build_info()["simd"]["avx512f"] else [])
    code = TIMING.format(here=HERE, size=args.size, repeat=args.repeat, orders=args.orders, dtypes=args.dtypes)
    results = {}
    for target in targets:
        out = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, ZENTROVA_TARGET=target),
                             capture_output=True, text=True, check=True).stdout
        results[target] = json.loads(out.strip().splitlines()[-1])
    print(f"rotation of {args.size}^3, best of {args.repeat}, {zentrova.build_info()['num_threads']} threads; "
          "ms, and relative to avx2")
    print(f"{'dtype':8} {'order':>5}" + "".join(f" {t:>18}" for t in targets))
    for key in results["avx2"]:
        dtype, order = key.split()
        row = "".join(f" {results[t][key] * 1e3:9.1f} ({results[t][key] / results['avx2'][key]:5.2f}x)"
                      for t in targets)
        print(f"{dtype:8} {order:>5}{row}")


if __name__ == "__main__":
    main()

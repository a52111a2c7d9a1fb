"""Calls on a busy machine: what the worker pool costs a call when the CPUs are taken by others.

    python bench/bench_load.py [--package DIR] [--busy 4] [--callers 4] [--rounds 15] [--seconds 4]

Three measurements, of the zentrova_resample on sys.path (or of the one in --package DIR, a folder put
first on sys.path: another build to compare with):

1. Under load: --busy processes spin on the CPUs (a data-loading pipeline's workers, a dask worker's
   neighbours) while one process times a 24^3 float32 linear rotation in a loop, with the default
   pool, with a pool of one thread and with scipy, the three interleaved in rounds of calls. Median
   and 99th percentile of each.
2. Several callers: --callers processes on the machine's CPUs, each calling the same rotation (48^3)
   in a loop for --seconds: the calls per second of all of them together, with the default pool
   and with one thread each (in alternation, --rounds // 5 times each).
3. Idle: the median round trip of a 16^3 call and of a 256^3 cubic rotation (float32, memory warmed),
   default pool and one thread.

Memory that a process has not touched before costs 100-225 ms per 15 MB here on its first touch:
every timed call writes into an output allocated before (output=), so that only the pool and the
kernels are timed.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

TIMER = r"""
import json, sys, time
import numpy as np
from scipy import ndimage as ndi
import zentrova_resample as zr

n, rounds, per_round = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
a = np.deg2rad(17.0)
m = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
centre = np.full(3, (n - 1) / 2)
off = centre - m @ centre
vol = np.random.default_rng(0).random((n, n, n), dtype=np.float32)
out = np.empty_like(vol)
default = zr.get_num_threads()
variants = {
    "default pool": lambda: (zr.set_num_threads(default), zr.affine_transform(vol, m, off, output=out, order=1)),
    "one thread": lambda: (zr.set_num_threads(1), zr.affine_transform(vol, m, off, output=out, order=1)),
    "scipy": lambda: ndi.affine_transform(vol, m, off, output=out, order=1),
}
times = {k: [] for k in variants}
for f in variants.values():
    for _ in range(20):
        f()
for _ in range(rounds):
    for name, f in variants.items():
        f()  # the size set, the memory warm
        for _ in range(per_round):
            t0 = time.perf_counter()
            f()
            times[name].append(time.perf_counter() - t0)
zr.set_num_threads(default)
print(json.dumps({"threads": default, "times": times}))
"""

CALLER = r"""
import sys, time
import numpy as np
import zentrova_resample as zr

threads, seconds, start_at = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
if threads:
    zr.set_num_threads(threads)
n = 48
a = np.deg2rad(17.0)
m = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
centre = np.full(3, (n - 1) / 2)
vol = np.random.default_rng(0).random((n, n, n), dtype=np.float32)
out = np.empty_like(vol)
zr.affine_transform(vol, m, centre - m @ centre, output=out, order=1)
while time.time() < start_at:
    time.sleep(0.001)
calls, t0 = 0, time.perf_counter()
while time.perf_counter() - t0 < seconds:
    zr.affine_transform(vol, m, centre - m @ centre, output=out, order=1)
    calls += 1
print(calls / (time.perf_counter() - t0))
"""

IDLE = r"""
import json, statistics, sys, time
import numpy as np
import zentrova_resample as zr

def rotation(n):
    a = np.deg2rad(17.0)
    m = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
    centre = np.full(3, (n - 1) / 2)
    return m, centre - m @ centre

rounds = int(sys.argv[1])
default = zr.get_num_threads()
result = {}
for n, order, calls in ((16, 1, 400), (256, 3, 3)):
    vol = np.random.default_rng(n).random((n, n, n), dtype=np.float32)
    out = np.empty_like(vol)
    m, off = rotation(n)
    for threads in (default, 1):
        zr.set_num_threads(threads)
        zr.affine_transform(vol, m, off, output=out, order=order)
        samples = []
        for _ in range(rounds):
            t0 = time.perf_counter()
            for _ in range(calls):
                zr.affine_transform(vol, m, off, output=out, order=order)
            samples.append((time.perf_counter() - t0) / calls)
        result[f"{n}^3 order {order}, {threads} thread{'s' if threads > 1 else ''}"] = statistics.median(samples)
zr.set_num_threads(default)
print(json.dumps(result))
"""


def child_env(package):
    env = {k: v for k, v in os.environ.items()
           if k not in ("ZENTROVA_NUM_THREADS", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    if package:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.abspath(package), env.get("PYTHONPATH")]))
    return env


def busy(count):
    return [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]


def stop(procs):
    for p in procs:
        p.kill()
    for p in procs:
        p.wait()


def percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


def under_load(args, env):
    spinners = busy(args.busy)
    try:
        time.sleep(0.5)
        proc = subprocess.run([sys.executable, "-c", TIMER, "24", str(args.rounds), "40"], env=env,
                              capture_output=True, text=True, check=True)
    finally:
        stop(spinners)
    data = json.loads(proc.stdout)
    print(f"1. a 24^3 float32 linear rotation with {args.busy} busy processes on {os.cpu_count()} CPUs "
          f"(default pool: {data['threads']} threads), {args.rounds} rounds of 40 calls:")
    rows = {}
    for name, times in data["times"].items():
        rows[name] = {"median_us": statistics.median(times) * 1e6, "p99_us": percentile(times, 0.99) * 1e6}
        print(f"   {name:13s} median {rows[name]['median_us']:8.0f} us   p99 {rows[name]['p99_us']:8.0f} us")
    one = rows["one thread"]["median_us"]
    print(f"   default pool / one thread (median): {rows['default pool']['median_us'] / one:.2f}x; "
          f"p99 default pool / scipy: {rows['default pool']['p99_us'] / rows['scipy']['p99_us']:.2f}x")
    return rows


def callers(args, env):
    totals = {"default pool": [], "one thread": []}
    for _ in range(max(1, args.rounds // 5)):
        for name, threads in (("default pool", 0), ("one thread", 1)):
            start_at = time.time() + 2.0  # every process imported and warm before the clock starts
            procs = [subprocess.Popen([sys.executable, "-c", CALLER, str(threads), str(args.seconds), str(start_at)],
                                      env=env, stdout=subprocess.PIPE, text=True) for _ in range(args.callers)]
            totals[name].append(sum(float(p.communicate()[0]) for p in procs))
    print(f"2. {args.callers} processes each calling a 48^3 linear rotation in a loop for {args.seconds} s "
          f"(calls per second, all together; median of {len(totals['one thread'])}):")
    rows = {name: statistics.median(v) for name, v in totals.items()}
    for name, v in rows.items():
        print(f"   {name:13s} {v:8.0f} /s")
    print(f"   default pool / one thread each: {rows['default pool'] / rows['one thread']:.2f}x")
    return rows


def idle(args, env):
    proc = subprocess.run([sys.executable, "-c", IDLE, str(max(5, args.rounds // 2))], env=env, capture_output=True,
                          text=True, check=True)
    rows = json.loads(proc.stdout)
    print("3. idle, median per call:")
    for name, t in rows.items():
        print(f"   {name:28s} {t * 1e6:10.1f} us")
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--package", help="a folder with another build's zentrova_resample, put first on sys.path")
    parser.add_argument("--busy", type=int, default=4)
    parser.add_argument("--callers", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--only", choices=("load", "callers", "idle"), action="append")
    parser.add_argument("--json", help="write the numbers here")
    args = parser.parse_args()
    env = child_env(args.package)
    which = args.only or ["load", "callers", "idle"]
    result = {}
    if "load" in which:
        result["under_load"] = under_load(args, env)
    if "callers" in which:
        result["callers"] = callers(args, env)
    if "idle" in which:
        result["idle"] = idle(args, env)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(result, fh, indent=1)


if __name__ == "__main__":
    main()

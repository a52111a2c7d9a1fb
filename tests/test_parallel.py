"""Plane-parallel execution: results independent of the pool size, fork() after use, concurrent Python threads;
one pool per process for both packages, its size set at run time, capped, and limited through threadpoolctl."""

import textwrap
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import reference as ref
import zentrova_resample
from conftest import COUNTS_THREADS, CVALS, FUNCS, lanes_of, pool_cap, random_transform, random_volume, run_python

# Run here and in fresh processes. nx 37 and 40 put voxels in both evaluation forms at 8 and 16 lanes,
# (3, 40, 40) has fewer planes than many pools have threads, (2, 2, 2) is the smallest parallel volume.
WORKLOAD = """
import hashlib
import numpy as np
import zentrova

def digest():
    rng, h = np.random.default_rng(20240607), hashlib.sha256()
    for shape in ((19, 23, 37), (3, 40, 40), (2, 2, 2), (33, 9, 24)):
        a, b = rng.uniform(-0.7, 0.7, 2)
        m = np.array([[np.cos(a), -np.sin(a), 0], [np.sin(a), np.cos(a), 0], [0, 0, 1]]) @ np.array(
            [[1, 0, 0], [0, np.cos(b), np.sin(b)], [0, -np.sin(b), np.cos(b)]]) * rng.uniform(0.9, 1.1)
        ctr = (np.array(shape) - 1) / 2
        off = ctr - m @ ctr + rng.uniform(-0.5, 0.5, 3)
        vol = rng.normal(size=shape) * 10
        h.update(zentrova.affine_transform(vol.astype(np.float32), m, off, -1.25).tobytes())
        h.update(zentrova.affine_transform_u8((vol * 8 + 128).clip(0, 255).astype(np.uint8), m, off, 17).tobytes())
        h.update(zentrova.affine_transform_f16(vol.astype(np.float16).view(np.uint16), m, off, 0.5).tobytes())
    return h.hexdigest()
"""

# The resampler's counterpart: orders 0 and 1, several dtypes, a window more planes than any pool has threads.
RESAMPLER_WORKLOAD = """
import hashlib
import numpy as np
import zentrova_resample

def resampler_digest():
    rng, h = np.random.default_rng(20240611), hashlib.sha256()
    for shape, dtype, order in (((21, 17, 40), "float32", 1), ((3, 30, 33), "int16", 0), ((40, 6, 19), "float64", 1),
                                ((2, 2, 2), "uint8", 1)):
        m = np.eye(3) + rng.uniform(-0.2, 0.2, (3, 3))
        vol = (rng.normal(size=shape) * 50).astype(dtype)
        h.update(zentrova_resample.affine_transform(vol, m, rng.uniform(-2, 2, 3), order=order, mode="reflect",
                                                    cval=1.5).tobytes())
    return h.hexdigest()
"""

# Threads of this process besides the calling one (the pool's workers, once no other library starts any).
TASKS = """
import os
def threads():
    return len(os.listdir("/proc/self/task"))
"""
# Context switches of each thread but the calling one: a worker that has been woken has a new count.
SWITCHES = """
import os, threading
def switches():
    counts = {}
    for tid in os.listdir("/proc/self/task"):
        if int(tid) != threading.get_native_id():
            with open(f"/proc/self/task/{tid}/status") as fh:
                counts[tid] = sum(int(l.split()[1]) for l in fh if "ctxt_switches" in l)
    return counts
"""
# Keeps numpy's and scipy's BLAS from starting threads of their own, which the counts above would see.
QUIET_BLAS = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}


@pytest.fixture(scope="module")
def in_process_digest():
    namespace = {}
    exec(WORKLOAD, namespace)
    return namespace["digest"]()


@pytest.fixture(scope="module")
def in_process_resampler_digest():
    namespace = {}
    exec(RESAMPLER_WORKLOAD, namespace)
    return namespace["resampler_digest"]()


@pytest.mark.parametrize("threads", [1, 2, 3, 8])
def test_result_independent_of_pool_size_and_of_racing_first_use(in_process_digest, threads):
    out = run_python(WORKLOAD + """
import json, threading
barrier, results = threading.Barrier(4), []
def first_use():
    barrier.wait()
    results.append(digest())
workers = [threading.Thread(target=first_use) for _ in range(4)]
for t in workers:
    t.start()
for t in workers:
    t.join()
print(json.dumps(results + [digest(), zentrova.build_info()["num_threads"]]))
""", {"RAYON_NUM_THREADS": str(threads)})
    assert out == [in_process_digest] * 5 + [min(threads, pool_cap())]


@pytest.mark.parametrize("threads", [None, "3"])
def test_fork_after_pool_use(in_process_digest, threads):
    """The child makes a fresh pool on first use, of the size the parent last set."""
    out = run_python(WORKLOAD + TASKS + """
import json, os, signal
import zentrova_resample
expected = digest()  # the pool now exists and has run work
zentrova_resample.set_num_threads(2)
pid = os.fork()
if pid == 0:
    signal.alarm(20)  # a hang ends the child with SIGALRM
    base, size = threads(), zentrova_resample.get_num_threads()
    ok = digest() == expected and size == 2 and threads() - base == 2 and zentrova.build_info()["num_threads"] == 2
    os._exit(0 if ok else 3)
print(json.dumps([os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), digest() == expected, expected]))
""", {"RAYON_NUM_THREADS": threads, **QUIET_BLAS} if threads else QUIET_BLAS, timeout=40)
    assert out == [0, True, in_process_digest]


def test_concurrent_python_threads():
    rng = np.random.default_rng(3)
    cases = []
    for i in range(12):
        kind = list(FUNCS)[i % 3]
        shape = (int(rng.integers(2, 7)), int(rng.integers(2, 7)), int(rng.integers(7, 40)))
        vol = random_volume(rng, kind, shape)
        m, off = random_transform(rng, shape, "rotate_scale")
        cases.append((kind, vol, m, off, ref.reference(vol, m, off, CVALS[kind][1], lanes_of(kind), kind).tobytes()))

    def run(case):
        kind, vol, m, off, expected = case
        return all(FUNCS[kind](vol, m, off, CVALS[kind][1]).tobytes() == expected for _ in range(10))

    with ThreadPoolExecutor(max_workers=8) as pool:  # every input is used by two threads at once
        assert all(pool.map(run, cases * 2))


def test_failed_pool_start_is_not_kept():
    """No worker can start under a tight address-space limit; once the limit is lifted the next call starts them."""
    out = run_python("""
        import json, resource
        import numpy as np
        import zentrova
        vol = np.ones((4, 4, 4), np.float32)
        with open("/proc/self/status") as fh:
            vm = [int(l.split()[1]) * 1024 for l in fh if l.startswith("VmSize:")][0]
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + 4 * 2**20, hard))  # less than one thread stack
        seen = []
        for _ in range(2):
            try:
                zentrova.affine_transform(vol, np.eye(3))
                seen.append("returned")
            except BaseException as exc:
                seen.append(f"{type(exc).__name__}: {exc}")
        seen.append(zentrova.build_info()["num_threads"])
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        seen.append(bool((zentrova.affine_transform(vol, np.eye(3)) == 1).all()))
        seen.append(zentrova.build_info()["num_threads"])
        print(json.dumps(seen))
    """, {"RAYON_NUM_THREADS": "3"})
    assert out == ["PanicException: could not start the worker threads"] * 2 + [0, True, 3]


@COUNTS_THREADS
def test_a_call_wakes_no_more_workers_than_it_has_tasks():
    """With the largest pool (asked for 64, capped), a call of two planes (two tasks) wakes at most two workers."""
    out = run_python(SWITCHES + textwrap.dedent("""
        import json, time
        import numpy as np
        import zentrova

        assert zentrova.build_info()["num_threads"] == CAP
        woken = []
        for shape in ((2, 2, 2), (2, 64, 64), (3, 4, 4)):
            vol = np.ones(shape, np.float32)
            time.sleep(0.3)  # every worker asleep
            before = switches()
            zentrova.affine_transform(vol, np.eye(3))
            time.sleep(0.3)  # the ones that worked have gone back to sleep
            after = switches()
            woken.append(sum(after[t] != before.get(t) for t in after))
        print(json.dumps(woken))
    """).replace("CAP", str(pool_cap())), {"ZENTROVA_NUM_THREADS": "64", **QUIET_BLAS})
    assert all(1 <= w <= tasks for w, tasks in zip(out, (2, 2, 3))), out


# ---- a caller that computes too (the resampler's jobs) ---------------------------------------------

POOL_JOBS = """
import json, threading, time
import zentrova_kernels as zk
import zentrova_resample
"""


def test_a_working_caller_never_waits_for_the_pool():
    """Jobs whose caller computes too: with a pool of one thread, or work worth one thread, every task
    runs on the caller (no worker is asked); a caller that waits computes none; and while another
    caller's job holds every worker (its tasks held at a gate), a working caller's job is done by the
    caller alone instead of waiting for that job to end. Many small jobs in a row: every task run
    exactly once (no late worker touches a job after its caller has returned)."""
    pytest.importorskip("zentrova_kernels")
    out = run_python(POOL_JOBS + textwrap.dedent("""
        seen = {}
        zentrova_resample.set_num_threads(1)
        caller, tids = zk.pool_job(40, True)
        seen["one thread"] = set(tids) == {caller}
        zentrova_resample.set_num_threads(3)
        caller, tids = zk.pool_job(40, True, 1)
        seen["worth one"] = set(tids) == {caller}
        caller, tids = zk.pool_job(40, False)
        seen["waiting caller"] = caller not in tids and 0 not in tids
        zk.pool_gate(False)
        held = threading.Thread(target=zk.pool_job, args=(3, False, 0, True))
        held.start()
        while zk.pool_waiting() < 3:  # every worker in a held task
            time.sleep(0.001)
        caller, tids = zk.pool_job(200, True)
        seen["busy pool"] = set(tids) == {caller} and zk.pool_waiting() == 3
        zk.pool_gate(True)
        held.join()
        complete = True
        for n in range(20000):
            caller, tids = zk.pool_job(1 + n % 5, True)
            complete = complete and 0 not in tids
        seen["many jobs"] = complete
        print(json.dumps(seen))
    """), {"ZENTROVA_NUM_THREADS": "3"})
    assert out == {"one thread": True, "worth one": True, "waiting caller": True, "busy pool": True,
                   "many jobs": True}


@COUNTS_THREADS
def test_a_working_caller_computes_alone_on_crowded_processors():
    """With every processor taken by other processes, the caller finds itself waiting for a processor
    (its run-queue time): it then computes its jobs alone, since a worker could only take processor
    time from it."""
    pytest.importorskip("zentrova_kernels")
    import os
    import subprocess
    import sys
    import tempfile
    import time
    code = POOL_JOBS + SWITCHES + textwrap.dedent("""
        def jobs_for(seconds):
            end = time.time() + seconds
            while time.time() < end:
                caller, tids = zk.pool_job(64, True)
        zk.pool_job(64, True)  # the pool made before the processors are taken
        open("READY", "w").close()
        while not os.path.exists("GO"):
            time.sleep(0.01)
        jobs_for(0.3)  # the caller has looked at the processors
        before = switches()
        jobs_for(0.3)
        after = switches()
        print(json.dumps(sum(after[t] != before.get(t) for t in after)))  # workers woken meanwhile
    """)
    cwd = tempfile.mkdtemp()
    child = subprocess.Popen([sys.executable, "-c", code], cwd=cwd, stdout=subprocess.PIPE, text=True,
                             env={**{k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS",)},
                                  "ZENTROVA_NUM_THREADS": "2", **QUIET_BLAS})
    spinners = []
    try:
        while not os.path.exists(os.path.join(cwd, "READY")):
            time.sleep(0.01)
        spinners = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
                    for _ in range(2 * len(os.sched_getaffinity(0)) + 1)]
        time.sleep(0.1)
        open(os.path.join(cwd, "GO"), "w").close()
        out, _ = child.communicate(timeout=60)
    finally:
        for proc in spinners:
            proc.kill()
            proc.wait()
        child.kill()
    assert child.returncode == 0 and int(out.strip().splitlines()[-1]) == 0, out


# ---- one pool for both packages, its size at run time ----------------------------------------------

@COUNTS_THREADS
@pytest.mark.parametrize("order", [("resampler", "fixed", "kernels"), ("kernels", "fixed", "resampler")])
def test_one_pool_for_every_module(order):
    """The resampler, the fixed module and the test-only kernel module all run on one pool of
    ZENTROVA_NUM_THREADS threads, whichever calls first: no call adds threads after the first (the
    resampler's call large enough to be worth the pool: a small one runs on the caller alone)."""
    out = run_python(TASKS + """
import json
import numpy as np
import zentrova, zentrova_resample
try:
    import zentrova_kernels
except ImportError:  # a release build has no kernel module
    zentrova_kernels = None
vol = np.ones((8, 8, 8), np.float32)
big = np.ones((48, 48, 48), np.float32)
calls = {"resampler": lambda: zentrova_resample.affine_transform(big, np.eye(3) * 0.9, order=1),
         "fixed": lambda: zentrova.affine_transform(vol, np.eye(3)),
         "kernels": lambda: zentrova_kernels and zentrova_kernels.run("f32_avx2", vol, np.eye(3), [0.0] * 3, 0.0)}
before, seen = threads(), []
for name in ORDER:
    calls[name]()
    seen.append(threads() - before)
print(json.dumps(seen + [zentrova_resample.get_num_threads(), zentrova.build_info()["num_threads"]]))
""".replace("ORDER", repr(order)), {"ZENTROVA_NUM_THREADS": "3", **QUIET_BLAS})
    assert out == [3, 3, 3, 3, 3]


@COUNTS_THREADS
def test_set_num_threads_keeps_results_and_both_modules_see_it(in_process_digest, in_process_resampler_digest):
    """Sizes set one after the other, growing and shrinking: each call of either package runs on the size last
    set (the fixed module's build_info says so too), results stay bit for bit the same, a smaller size keeps its
    threads (parked) and a larger one starts only the missing ones."""
    cap = pool_cap()
    sizes = [2, 1, cap, 3, cap, 1]
    out = run_python(WORKLOAD + RESAMPLER_WORKLOAD + TASKS + """
import json
base = threads()
rows = [[zentrova_resample.get_num_threads()]]
for n in SIZES:
    previous = zentrova_resample.set_num_threads(n)
    rows.append([previous, zentrova_resample.get_num_threads(), digest(), resampler_digest(),
                 zentrova.build_info()["num_threads"], threads() - base])
print(json.dumps(rows))
""".replace("SIZES", repr(sizes)), {"ZENTROVA_NUM_THREADS": "2", **QUIET_BLAS})
    assert out[0] == [2]  # before any call: the size the pool will have
    started = 0
    for previous, n, row in zip([2] + sizes, sizes, out[1:]):
        started = max(started, n)
        assert row == [previous, n, in_process_digest, in_process_resampler_digest, n, started], (n, row)


@COUNTS_THREADS
def test_size_is_capped():
    """A size beyond four threads per usable CPU, from the environment or set_num_threads, is clamped to that:
    the pool starts that many threads, not a thousand million."""
    cap = pool_cap()
    out = run_python(TASKS + """
import json
import numpy as np
import zentrova, zentrova_resample
base, seen = threads(), [zentrova_resample.get_num_threads()]
zentrova.affine_transform(np.ones((4, 4, 4), np.float32), np.eye(3))
seen += [threads() - base, zentrova_resample.set_num_threads(1), zentrova_resample.set_num_threads(10**40),
         zentrova.build_info()["num_threads"], threads() - base]
print(json.dumps(seen))
""", {"RAYON_NUM_THREADS": "1000000000", **QUIET_BLAS})
    assert out == [cap, cap, cap, 1, cap, cap]


def test_resizing_while_both_packages_call_from_several_threads(in_process_digest, in_process_resampler_digest):
    """Three threads call the resampler (lock released), two the fixed module (lock held) while another sets the
    size again and again: no deadlock (the run would time out), every result as with a fixed size."""
    out = run_python(WORKLOAD + RESAMPLER_WORKLOAD + """
import json, threading
import zentrova_resample
stop, results = threading.Event(), []
def call(f):
    while not stop.is_set():
        results.append(f())
def resize():
    for i in range(60):
        zentrova_resample.set_num_threads((1, CAP, 2, 3)[i % 4])
    stop.set()
threads = [threading.Thread(target=call, args=(f,)) for f in [resampler_digest] * 3 + [digest] * 2]
threads.append(threading.Thread(target=resize))
for t in threads:
    t.start()
for t in threads:
    t.join()
print(json.dumps([sorted(set(results)), len(results) >= 5]))
""".replace("CAP", str(pool_cap())), timeout=120)
    assert out == [sorted({in_process_digest, in_process_resampler_digest}), True]


@COUNTS_THREADS
def test_surplus_workers_stay_parked_after_shrinking():
    """After the size shrinks from the cap to 2, calls of many tasks wake no more than 2 workers; once it grows
    back, the same call wakes every worker."""
    out = run_python(SWITCHES + textwrap.dedent("""
        import json, time
        import numpy as np
        import zentrova, zentrova_resample

        def woken_by_calls(vol):
            zentrova.affine_transform(vol, np.eye(3))  # settles a worker that was on its way to sleep
            time.sleep(0.3)  # every worker asleep or parked
            before = switches()
            for _ in range(3):
                zentrova.affine_transform(vol, np.eye(3))
                zentrova_resample.affine_transform(vol, np.eye(3), order=1)
            time.sleep(0.3)
            after = switches()
            return sum(after[t] != before.get(t) for t in after)

        vol = np.ones((2 * CAP, 16, 16), np.float32)  # at least 2 * CAP tasks
        zentrova.affine_transform(vol, np.eye(3))
        zentrova_resample.set_num_threads(2)
        shrunk = woken_by_calls(vol)
        zentrova_resample.set_num_threads(CAP)
        print(json.dumps([shrunk, woken_by_calls(vol)]))
    """).replace("CAP", str(pool_cap())), {"ZENTROVA_NUM_THREADS": "64", **QUIET_BLAS})
    assert out == [2, pool_cap()]


@pytest.mark.parametrize("n, error, match", [
    ("2", TypeError, "n must be an integer, not str"),
    (2.0, TypeError, "n must be an integer, not float"),
    (True, TypeError, "n must be an integer, not bool"),
    (None, TypeError, "n must be an integer"),
    (0, ValueError, "n must be at least 1, got 0"),
    (-3, ValueError, "n must be at least 1, got -3"),
    (-10**30, ValueError, "n must be at least 1"),
])
def test_set_num_threads_refuses_what_is_no_size(n, error, match):
    size = zentrova_resample.get_num_threads()
    with pytest.raises(error, match=match):
        zentrova_resample.set_num_threads(n)
    assert zentrova_resample.get_num_threads() == size
    # an integer of another type is taken (setting the size it already has changes nothing)
    assert zentrova_resample.set_num_threads(n=np.int64(size)) == size


def test_threadpoolctl_lists_and_limits_the_pool(in_process_digest):
    out = run_python(WORKLOAD + """
import json, os
import threadpoolctl
import zentrova_resample
from zentrova_resample import get_num_threads
def ours():
    return [i for i in threadpoolctl.threadpool_info() if i["internal_api"] == "zentrova"]
expected = digest()
info = ours()
where = os.path.dirname(zentrova_resample._engine.__file__)
seen = [[(i["user_api"], i["prefix"], os.path.dirname(i["filepath"]) == where, i["num_threads"]) for i in info]]
with threadpoolctl.threadpool_limits(1):
    seen.append([get_num_threads(), zentrova.build_info()["num_threads"], ours()[0]["num_threads"],
                 digest() == expected])
with threadpoolctl.threadpool_limits(limits=1, user_api="blas"):  # another kind of pool
    seen.append(get_num_threads())
seen.append([get_num_threads(), digest() == expected])
print(json.dumps(seen))
""", {"ZENTROVA_NUM_THREADS": "3"})
    assert out == [[["zentrova", "libzentrova_pool", True, 3]], [1, 1, 1, True], 3, [3, True]]


def test_import_without_threadpoolctl():
    out = run_python("""
        import json, sys
        sys.modules["threadpoolctl"] = None  # cannot be imported
        import numpy as np
        import zentrova_resample
        out = zentrova_resample.affine_transform(np.ones((3, 3, 3), np.float32), np.eye(3), order=1)
        print(json.dumps([zentrova_resample.set_num_threads(2), zentrova_resample.get_num_threads(),
                          bool((out == 1).all())]))
    """, {"ZENTROVA_NUM_THREADS": "1"})
    assert out == [1, 2, True]

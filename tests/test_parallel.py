"""Plane-parallel execution: results independent of the pool size, fork() after use, concurrent Python threads."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import reference as ref
from conftest import CVALS, FUNCS, lanes_of, random_transform, random_volume, run_python

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


@pytest.fixture(scope="module")
def in_process_digest():
    namespace = {}
    exec(WORKLOAD, namespace)
    return namespace["digest"]()


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
    assert out == [in_process_digest] * 5 + [threads]


@pytest.mark.parametrize("threads", [None, "3"])
def test_fork_after_pool_use(in_process_digest, threads):
    out = run_python(WORKLOAD + """
import json, os, signal
expected = digest()  # the pool now exists and has run work
pid = os.fork()
if pid == 0:
    signal.alarm(20)  # a hang ends the child with SIGALRM
    os._exit(0 if digest() == expected and zentrova.build_info()["num_threads"] >= 1 else 3)
print(json.dumps([os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), digest() == expected, expected]))
""", {"RAYON_NUM_THREADS": threads} if threads else None, timeout=40)
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


def test_a_call_wakes_no_more_workers_than_it_has_tasks():
    """With 64 sleeping workers, a call of two planes (two tasks) wakes at most two of them."""
    out = run_python("""
        import json, os, threading, time
        import numpy as np
        import zentrova

        def switches():
            counts = {}
            for tid in os.listdir("/proc/self/task"):
                if int(tid) == threading.get_native_id():
                    continue
                with open(f"/proc/self/task/{tid}/status") as fh:
                    counts[tid] = sum(int(l.split()[1]) for l in fh if "ctxt_switches" in l)
            return counts

        assert zentrova.build_info()["num_threads"] == 64
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
    """, {"RAYON_NUM_THREADS": "64", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"})
    assert all(1 <= w <= tasks for w, tasks in zip(out, (2, 2, 3))), out

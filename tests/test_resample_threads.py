"""zentrova_resample.affine_transform from several Python threads at once, and the interpreter
lock released while the engine runs."""

import threading

import numpy as np

import zentrova_resample as zr
from resample_support import MODES, assert_same, random_data, random_transform, rng_for
from zentrova_resample import _engine


def jobs():
    rng = rng_for("threads")
    out = []
    for i, dtype in enumerate(("float32", "float16", "uint8", "int16", "float64", "int64", "uint32", "int8")):
        inp = random_data(rng, (12, 20, 41), dtype)
        m, off = random_transform(rng, inp.shape, (11, 21, 45), ("rotate", "general", "scale_up", "shear")[i % 4])
        if i == 3:   # a batch of images
            m, off = m[1:, 1:], off[1:]
        out.append((inp, m, off, (11, 21, 45) if i != 3 else (12, 21, 45), i % 2, MODES[i], 0 if i == 3 else None))
    return out


def test_eight_threads_at_once():
    """Eight threads, each its own dtype, started together and repeated: every result equals the
    single-threaded one."""
    work = jobs()
    expected = [zr.affine_transform(a, m, o, s, order=od, mode=md, cval=1.5, batch_axes=b)
                for a, m, o, s, od, md, b in work]
    results = [[] for _ in work]
    errors = []
    start = threading.Barrier(len(work))

    def run(k):
        a, m, o, s, od, md, b = work[k]
        try:
            start.wait()
            for _ in range(6):
                results[k].append(zr.affine_transform(a, m, o, s, order=od, mode=md, cval=1.5, batch_axes=b))
        except Exception as exc:  # reported below, with the thread's job
            errors.append((k, exc))

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(work))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    for k, got in enumerate(results):
        assert len(got) == 6
        for i, r in enumerate(got):
            assert_same(r, expected[k], f"thread {k} ({work[k][0].dtype}) call {i}")


def test_threads_converting_dtypes_and_layouts():
    """Threads whose calls convert dtypes, byte orders and layouts at the same time (copies made
    before the engine, casts after it) get the single-threaded results."""
    rng = rng_for("threads convert")
    inp = random_data(rng, (9, 10, 33), "int16")
    m, off = random_transform(rng, inp.shape, inp.shape, "general")
    views = (inp, inp[::-1], np.asfortranarray(inp), inp.astype(">i2"))
    outputs = (np.float64, np.uint8, "f2", ">f4")

    def call(view, output):
        if output == ">f4":   # a preallocated big-endian array
            return zr.affine_transform(view, m, off, output=np.zeros(inp.shape, ">f4"), mode="wrap")
        return zr.affine_transform(view, m, off, output=output, mode="wrap")

    expected = [[call(v, o) for o in outputs] for v in views]
    results = [[] for _ in views]
    start = threading.Barrier(len(views))

    def run(i):
        start.wait()
        for _ in range(4):
            results[i].append([call(views[i], o) for o in outputs])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(views))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, rounds in enumerate(results):
        assert len(rounds) == 4
        for got in rounds:
            for j, g in enumerate(got):
                assert_same(g, expected[i][j], f"view {i} output {outputs[j]}")


def test_engine_releases_the_interpreter_lock():
    """While the engine fills an output, another Python thread runs: it sees the output partly
    filled (some planes written, some not), which it can only see while the engine is inside its
    call. With the lock held through the call it would see only all-zero or all-filled states. The
    pool runs on one thread here, so that a core stays free for the watcher on a busy machine."""
    previous = zr.set_num_threads(1)
    try:
        _watch_a_call_from_another_thread()
    finally:
        zr.set_num_threads(previous)


def _watch_a_call_from_another_thread():
    inp = np.ones((150, 150, 150), np.float32)
    matrix = tuple((np.eye(3) * 0.9).ravel().tolist())
    seen = {"count": 0, "partial": 0, "stop": False}

    def watch(out):
        while not seen["stop"]:
            seen["count"] += 1
            first, last = out[0, 0, 0], out[-1, -1, -1]
            if first != last:   # one written (1.0), the other not yet (0.0)
                seen["partial"] += 1

    for attempt in range(10):
        out = np.zeros((150, 150, 150), np.float32)
        seen["stop"] = False
        watcher = threading.Thread(target=watch, args=(out,))
        watcher.start()
        try:
            _engine.resample(inp, out, matrix, (0.5, 0.5, 0.5), 0, 2, 0.0)   # order 0, "nearest": all 1.0
        finally:
            seen["stop"] = True
            watcher.join()
        assert (out == 1.0).all()
        if seen["partial"]:
            break
    assert seen["count"] > 0
    assert seen["partial"] > 0, "the other thread never ran while the engine was filling the output"

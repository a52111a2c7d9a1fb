"""The result array and its buffer, out-of-memory, and oversized dimensions."""

import gc
import os
import sys

import numpy as np
import pytest

from conftest import DTYPES, FUNCS, fortran_only, run_python, volume


@pytest.mark.parametrize("kind", FUNCS)
@pytest.mark.parametrize("shape", [(3, 4, 5), (1, 5, 5), (5, 5, 1), (7, 3, 33), (0, 3, 4), (3, 4, 0)])
def test_result_array(kind, shape):
    vol = volume(kind, shape)
    out = FUNCS[kind](vol, np.eye(3))
    assert type(out) is np.ndarray and out.dtype == DTYPES[kind] and out.shape == shape
    assert out.flags.c_contiguous and out.flags.writeable and not out.flags.owndata
    assert type(out.base).__name__ == "PySliceContainer" and not np.shares_memory(out, vol)
    item = out.itemsize
    assert out.strides == ((0, 0, 0) if out.size == 0 else (shape[1] * shape[2] * item, shape[2] * item, item))
    assert sys.getrefcount(out) == sys.getrefcount(np.empty(3))  # only the caller holds it
    view = out[1:]
    del out
    gc.collect()
    churn = [FUNCS[kind](volume(kind, shape, s), np.eye(3)) for s in range(10)]  # would reuse a freed buffer
    expected = vol if min(shape) > 1 else np.zeros_like(vol)  # identity read, or a cval-0 fill
    assert view.tobytes() == expected[1:].tobytes() and len(churn) == 10


def _rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("kind, shape", [("f32", (32, 128, 128)), ("f16", (64, 128, 128)), ("u8", (128, 128, 128))])
def test_output_buffers_are_freed(kind, shape):
    """2 MiB outputs filled with a non-zero cval: 100 leaked ones on either path would be 200 MiB resident."""
    vol, bad = volume(kind, shape), fortran_only(kind, shape)
    for i in range(105):
        if i == 5:  # the first calls may set up process-wide state
            start = _rss()
        FUNCS[kind](vol, np.eye(3), (0.5, 0.5, 0.5), 3)
        with pytest.raises(BaseException, match="Input must be C-contiguous"):
            FUNCS[kind](bad, np.eye(3), None, 3)
    assert _rss() - start < 64 * 2**20


def test_out_of_memory_and_dimensions_of_2_31_or_more():
    # the output is allocated before the input layout is read, so a zero-stride input
    # of 4 Gi voxels only needs the output allocation to fail under the address-space limit
    results = run_python("""
        import json, resource
        import numpy as np
        from numpy.lib.stride_tricks import as_strided
        import zentrova

        def outcome(f, dt, shape, cval):
            try:
                f(as_strided(np.zeros(1, dt), shape=shape, strides=(0, 0, 0)), np.eye(3), cval=cval)
                return "returned"
            except BaseException as exc:
                return type(exc).__name__ + (" 2**31" if "2**31" in str(exc) else "")

        funcs = [(zentrova.affine_transform, np.float32), (zentrova.affine_transform_u8, np.uint8)]
        [f(np.ones((4, 4, 4), dt), np.eye(3)) for f, dt in funcs]  # start the pool before the limit
        results = [outcome(f, dt, shape, 0) for f, dt in funcs
                   for shape in ((2, 2, 2**31), (2, 2**31, 2), (2**31, 2, 2), (2, 2, 2**32 + 3))]
        with open("/proc/self/status") as fh:
            vm = [int(l.split()[1]) * 1024 for l in fh if l.startswith("VmSize:")][0]
        resource.setrlimit(resource.RLIMIT_AS, (max(vm + 2**30, 2**31), resource.getrlimit(resource.RLIMIT_AS)[1]))
        results += [outcome(f, dt, (4, 2**15, 2**15), cval) for f, dt in funcs for cval in (0, 9)]
        results += [bool((f(np.ones((4, 4, 4), dt), np.eye(3)) == 1).all()) for f, dt in funcs]  # the process lives
        print(json.dumps(results))
    """)
    assert results == ["ValueError 2**31"] * 8 + ["MemoryError"] * 4 + [True, True]

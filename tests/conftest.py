"""Shared helpers: random volumes and transforms, bit-exact comparison, fresh-interpreter runner."""

import functools
import json
import os
import platform
import subprocess
import sys
import textwrap
import zlib

import numpy as np
import pytest

# the tests import the reference model and these helpers by name in any import mode
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import reference as ref  # noqa: E402
try:
    import zentrova  # noqa: E402
except ImportError:
    # A build for another processor (aarch64: scripts/aarch64.sh) has the resampler alone, and the
    # fixed module's import refuses there; the resampler's tests still run. On x86-64 it is an error.
    if platform.machine() == "x86_64":
        raise
    zentrova = None

# zentrova_resample follows the order-0/1 results of scipy 1.17 (border rules, the shapes and
# factors of zoom and rotate, the casts); older scipy releases differ in places. On an older
# scipy (the newest a Python as old as 3.9 gets is 1.13), the resampler's tests skip where they
# would compare with scipy itself; their comparisons with the model of scipy's arithmetic
# (tests/scipy_model.py) still run. The fixed module's tests compare interior voxels only and
# use any scipy.
import scipy  # noqa: E402
from scipy import ndimage as _ndi  # noqa: E402

SCIPY_FOLLOWED = (1, 17)
SCIPY_VERSION = tuple(int(part) for part in scipy.__version__.split(".")[:2])
SCIPY_TOO_OLD = SCIPY_VERSION < SCIPY_FOLLOWED
RESAMPLER_TESTS = ("test_resample", "test_derived", "test_scipy_model", "test_scipy_suite", "test_world")


def _skip_old_scipy_in_resampler_tests(function):
    @functools.wraps(function)  # the signature stays scipy's
    def call(*args, **kwargs):
        test = os.path.basename(os.environ.get("PYTEST_CURRENT_TEST", "").split("::")[0])
        if test.startswith(RESAMPLER_TESTS):
            pytest.skip(f"scipy {scipy.__version__} is older than {'.'.join(map(str, SCIPY_FOLLOWED))}, "
                        "whose results these tests compare with")
        return function(*args, **kwargs)
    return call


if SCIPY_TOO_OLD:
    for _name in ("affine_transform", "shift", "zoom", "rotate"):
        setattr(_ndi, _name, _skip_old_scipy_in_resampler_tests(getattr(_ndi, _name)))

# scipy up to 1.17 started the 'nearest' and 'reflect' prefilter with a sum that read its own partial
# result (scipy gh-24550, fixed in 1.18): lines of a few samples came out wrong. zentrova_resample
# filters as the corrected scipy does; with an older scipy, the tests compare with that scipy whose C
# filter, for those two modes, is the model's (the other modes and everything else stay scipy's).
SCIPY_REFLECT_START_FIXED = SCIPY_VERSION >= (1, 18)


class _CorrectedFilter:
    def __init__(self, module):
        self._module = module

    def __getattr__(self, name):
        return getattr(self._module, name)

    def spline_filter1d(self, input, order, axis, output, mode):
        if mode not in (0, 2):  # the C codes of 'nearest' and 'reflect'
            return self._module.spline_filter1d(input, order, axis, output, mode)
        import scipy_model
        with np.errstate(all="ignore"):
            output[...] = scipy_model.spline_filter1d(input, order, axis, "reflect")
        return None


if not SCIPY_REFLECT_START_FIXED:
    from scipy.ndimage import _interpolation as _ndi_interpolation  # noqa: E402
    _ndi_interpolation._nd_image = _CorrectedFilter(_ndi_interpolation._nd_image)

FUNCS = ({"f32": zentrova.affine_transform, "u8": zentrova.affine_transform_u8, "f16": zentrova.affine_transform_f16}
         if zentrova is not None else {})
DTYPES = {"f32": np.float32, "u8": np.uint8, "f16": np.uint16}
CVALS = {"f32": (0.0, -1.0, 3.5, float("nan")), "u8": (0, 7, 255),
         "f16": (0.0, -1.0, 3.5, float("nan"), 1.0004882812509095, 1e10)}  # a tie only once rounded to binary32
LARGE_TESTS = os.environ.get("ZENTROVA_LARGE_TESTS") == "1"
LANES = (16 if zentrova.build_info()["simd"]["avx512f"] else 8) if zentrova is not None else None
# out[z, y, x] == vol[y, x, z]: every sample lands on a voxel centre, and it is not symmetric
PERM = np.array([[0.0, 1.0, 0.0], [0.0, 0.0, 1.0], [1.0, 0.0, 0.0]])
TRANSFORM_KINDS = ("identity", "shift_half", "translate", "rotate", "rotate_scale", "scale", "shear", "flip",
                   "general")


def _sanitizer_runtimes():
    """The sanitizers whose runtime this process has loaded (a sanitized build: scripts/sanitize.sh)."""
    with open("/proc/self/maps") as fh:
        maps = fh.read()
    return {name for name in ("asan", "tsan", "ubsan") if f"/lib{name}.so" in maps}


SANITIZERS = _sanitizer_runtimes()
# ThreadSanitizer's runtime starts a thread of its own in a process once that starts one, and it wakes
# every so often: a count of the process's threads, or of those woken, is then one more than the pool's.
COUNTS_THREADS = pytest.mark.skipif("tsan" in SANITIZERS, reason="ThreadSanitizer's runtime has a thread in the "
                                                                 "process, which the count would include")


def pytest_collection_modifyitems(config, items):
    """Tests marked `large` (several GB of memory, seconds each) run only with ZENTROVA_LARGE_TESTS=1."""
    if LARGE_TESTS:
        return
    skip = pytest.mark.skip(reason="large-volume test (about 4.3 GB of memory): set ZENTROVA_LARGE_TESTS=1 to run it")
    for item in items:
        if "large" in item.keywords:
            item.add_marker(skip)


def lanes_of(kind):
    return 8 if kind == "u8" else LANES


def seed(*parts):
    """Stable across processes (str hashing is randomised)."""
    return zlib.crc32(repr(parts).encode())


def random_transform(rng, shape, kind):
    """(matrix, offset) of a family; the linear ones keep the volume centre near its place."""
    m = np.eye(3)
    if kind == "shift_half":
        s = rng.choice([-0.5, 0.5])
        return m, np.array([rng.choice([0, s]), rng.choice([0, s]), s])
    if kind in ("identity", "translate"):
        return m, rng.uniform(-1.5, 1.5, 3) if kind == "translate" else np.zeros(3)
    if kind == "shear":
        m[tuple(rng.choice(3, 2, replace=False))] = rng.uniform(-0.6, 0.6)
    elif kind == "general":
        m += rng.uniform(-0.4, 0.4, (3, 3))
    elif kind == "flip":
        m = np.diag([*rng.choice([-1.0, 1.0], 2), -1.0])
    elif kind == "scale":
        m = np.diag(rng.uniform(0.3, 1.7, 3))
    else:  # an orthogonal matrix, scaled per axis for rotate_scale
        m = np.linalg.qr(rng.normal(size=(3, 3)))[0] * (rng.uniform(0.6, 1.4, 3) if kind == "rotate_scale" else 1)
    ctr = (np.maximum(shape, 2) - 1) / 2
    return m, ctr - m @ ctr + rng.uniform(-0.3, 0.3, 3)


def random_volume(rng, kind, shape, specials=0):
    """Random data with ties, zeros, -0.0 and saturated bytes; `specials` non-finite voxels (half: also huge values)."""
    if kind == "u8":
        vol = rng.integers(0, 256, shape, dtype=np.uint8)
        vol[rng.random(shape) < 0.1] = 255
        vol[rng.random(shape) < 0.1] = 0
        return vol
    vol = rng.uniform(-4, 4, shape).astype(np.float32)
    mask = rng.random(shape) < 0.1
    vol[mask] = rng.integers(-3, 4, mask.sum())
    vol[rng.random(shape) < 0.03] = -0.0
    if kind == "f16":
        vol = vol.astype(np.float16).view(np.uint16)
        sub = rng.random(shape) < 0.1
        vol[sub] = rng.integers(0, 0x400, sub.sum()) | (rng.integers(0, 2, sub.sum()) << 15)
        pool = np.array([0x7C00, 0xFC00, 0x7E00, 0xFE00, 0x7C01, 0x7BFF, 0xFBFF], np.uint16)
    else:
        pool = np.array([np.nan, np.inf, -np.inf], np.float32)
    n = min(specials, vol.size)
    vol.reshape(-1)[rng.choice(vol.size, n, replace=False)] = rng.choice(pool, n)
    return vol


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    """__float__ returns the value, or raises a new one when it is an exception class."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, type):
            raise self.value("from __float__")
        return self.value


def volume(kind, shape=(3, 4, 5), seed=0):
    rng = np.random.default_rng(seed)
    if kind == "u8":
        return rng.integers(0, 256, size=shape, dtype=np.uint8)
    values = rng.random(shape) + 0.5  # positive and finite: no -0.0, no NaN
    return values.astype(np.float32) if kind == "f32" else values.astype(np.float16).view(np.uint16)


def fortran_only(kind, shape=(3, 4, 5)):
    return np.ascontiguousarray(volume(kind, shape[::-1])).transpose(2, 1, 0)


def bits(a):
    a = np.asarray(a)
    return a.view({4: np.uint32, 2: np.uint16, 1: np.uint8}[a.dtype.itemsize])


def assert_bits_equal(got, expected, kind, lanes=None, strict=None, context=""):
    """Bit-for-bit equality; two NaNs match unless `strict` marks the voxel (the surviving payload of
    two different NaNs depends on the operand order the compiler picked)."""
    got, expected = np.asarray(got), np.asarray(expected)
    assert (got.shape, got.dtype) == (expected.shape, expected.dtype), context
    g, e = bits(got), bits(expected)
    exp_mask, frac_mask = {"f32": (0x7F800000, 0x007FFFFF), "f16": (0x7C00, 0x03FF), "u8": (0, 0)}[kind]
    both_nan = np.ones(g.shape, bool)  # bytes: frac_mask 0 makes this all False
    for b in (g, e):
        both_nan &= ((b & exp_mask) == exp_mask) & ((b & frac_mask) != 0)
    if strict is not None:
        both_nan &= ~np.asarray(strict, bool)
    diff = (g != e) & ~both_nan
    if diff.any():
        rows = [f"  {tuple(map(int, p))}{' block' if lanes and ref.block_columns(got.shape[2], lanes)[p[2]] else ''}:"
                f" expected {hex(int(e[tuple(p)]))} got {hex(int(g[tuple(p)]))}" for p in np.argwhere(diff)[:10]]
        raise AssertionError(f"{context}: {diff.sum()} of {diff.size} voxels differ, shape {got.shape}\n"
                             + "\n".join(rows))


def check(kind, vol, m, off, cval, context=""):
    """Run the entry point and compare with the reference bit for bit; returns (got, expected, outside)."""
    got = FUNCS[kind](vol, np.ascontiguousarray(m, np.float64), list(map(float, off)), cval)
    exp, outside = ref.reference(vol, m, off, cval, lanes_of(kind), kind, return_outside=True)
    assert_bits_equal(got, exp, kind, lanes_of(kind), outside, f"{kind} {context} m={np.asarray(m).tolist()} "
                                                         f"off={list(off)} cval={cval}")
    return got, exp, outside


# The variables that size the worker pool, in the order the pool reads them.
POOL_VARIABLES = ("ZENTROVA_NUM_THREADS", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


def usable_cpus():
    """Affinity capped by the CPU quota of this process's cgroup (v2 cpu.max, or v1 cfs files)."""
    quotas = []
    with open("/proc/self/cgroup") as fh:
        for _, controllers, path in (line.rstrip("\n").split(":", 2) for line in fh):
            v1 = [f"/sys/fs/cgroup/cpu{path}/cpu.cfs_{n}_us" for n in ("quota", "period")]
            files = v1 if "cpu" in controllers.split(",") else [] if controllers else [f"/sys/fs/cgroup{path}/cpu.max"]
            try:
                quota, period = " ".join(open(f).read() for f in files).split()
                quotas += [max(1, int(quota) // int(period))] if int(quota) > 0 else []
            except (OSError, ValueError):  # no such files, or no quota ("max")
                pass
    return min([len(os.sched_getaffinity(0))] + quotas)


def pool_cap():
    """The largest size the pool takes: four threads per usable CPU."""
    return 4 * usable_cpus()


def run_python(code, env=None, timeout=60):
    """Run `code` in a fresh interpreter (no pool-size variables unless given); returns its last line as JSON."""
    full = {k: v for k, v in os.environ.items() if k not in POOL_VARIABLES}
    if zentrova is not None:
        mod_dir = os.path.dirname(os.path.abspath(zentrova.__file__))
    else:  # the folder that holds the package, as it holds the fixed module beside it
        import zentrova_resample
        mod_dir = os.path.dirname(os.path.dirname(os.path.abspath(zentrova_resample.__file__)))
    full["PYTHONPATH"] = os.pathsep.join(filter(None, [mod_dir, full.get("PYTHONPATH")]))
    full.update(env or {})
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=full)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])

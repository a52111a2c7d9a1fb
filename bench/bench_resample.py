"""zentrova_resample against its peers: speed and mapping, in one run.

Systems (each given the same number of threads, the size of zentrova's worker pool):
- ours: zentrova_resample (affine_transform, map_coordinates, spline_filter), every dtype it takes
  that is listed below; orders 2 to 5 with its prefilter (the default), inside the timing;
- scipy.ndimage (single-threaded; it rejects float16, so for float16 it runs on a float32 copy of
  the input, made outside the timing); orders 2 to 5 with its prefilter, inside the timing;
- SimpleITK ResampleImageFilter with an AffineTransform (sitkNearestNeighbor, sitkLinear,
  sitkBSpline2 to sitkBSpline5, whose coefficients it computes itself, with its own border rule),
  timed on an sitk.Image made beforehand, its result viewed without a copy; for map_coordinates a
  DisplacementFieldTransform holding the same displacements; for spline_filter its
  BSplineDecompositionImageFilter;
- torch affine_grid + grid_sample (align_corners=True, padding 'zeros'; 'bilinear' is trilinear
  in 3-D; 'bicubic', Keys' cubic convolution and not a B-spline, in 2-D only), float32 and float64,
  the grid computed inside the timing;
- the fixed module zentrova.affine_transform / _u8 / _f16 (order 1 only).

Workloads:
- a rotation about the volume centre mixing all three axes, on cubes of --sizes, orders 1 and 0;
  the same rotation with orders 2 to 5 (--spline-sizes; order 3 for the dtypes below, the other
  orders float32 only; at 256^3 and above order 3 for --spline-large-dtypes only);
- a light-sheet style deskew (shear of y along z with a scale along z) of a uint16 stack;
- a rotation of a 2-D float32 image (--size-2d), orders 1 and 3;
- map_coordinates of a float32 cube on a dense deformation field (identity plus a smooth random
  displacement of about 4 voxels at most, float64 coordinates of shape (3, n, n, n)), orders 1 and 3, with
  the peak memory of one call in a fresh process;
- spline_filter (order 3, mode 'mirror') of a float32 and a float64 cube.

Each peer's mapping is checked against scipy's result on interior voxels (output voxels whose input
coordinate lies at least 1.5 voxels inside the input on every axis): orders 1 to 5, the largest
absolute difference against a tolerance for the dtype (also relative to the input's value range,
and for orders 2 to 5 on the deep interior, 8 voxels in, where the prefilter's border no longer
shows); order 0, the fraction of equal voxels. A peer that computes another interpolant (torch's
bicubic) is reported as such, not as a wrong mapping.

Timing: one warm-up call per system, then the systems interleaved call by call; the median of the
repeats (a slow system gets fewer, within --budget seconds per cell). Mvox/s = output voxels / s.

    python bench/bench_resample.py [--quick] [--sizes 64 128 256] [--repeat 5]
        [--deskew-shape 256 512 512] [--spline-sizes 64 128 256] [--size-2d 2048]
        [--map-sizes 128 256] [--filter-size 256] [--sections rotation fixed deskew spline 2d map filter]
        [--plot bench/resample.png] [--json bench/resample.json]
"""
import argparse
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import tracemalloc

import numpy as np
import scipy
import scipy.ndimage as ndi

import zentrova
import zentrova_resample

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_transforms import rotation  # noqa: E402  the same workload as the fixed module's benchmark

DTYPES = ["float32", "uint8", "uint16", "int16", "float16", "float64", "int32", "int64"]
SITK_DTYPES = ["float32", "uint8", "uint16", "int16", "float64", "int32", "int64"]
TORCH_DTYPES = ["float32", "float64"]
FIXED_DTYPES = ["float32", "uint8", "float16"]

OURS, SCIPY, SITK, TORCH, FIXED = "zentrova_resample", "scipy.ndimage", "SimpleITK", "torch", "zentrova (fixed)"
SYSTEM_ORDER = [OURS, FIXED, SITK, TORCH, SCIPY]
SPLINE_ORDERS = [2, 3, 4, 5]
ORDER_NAMES = {0: "nearest", 1: "linear", 2: "quadratic B-spline", 3: "cubic B-spline", 4: "quartic B-spline",
               5: "quintic B-spline"}
SECTIONS = ["rotation", "fixed", "deskew", "spline", "2d", "map", "filter"]
SITK_INTERPOLATORS = {0: "sitkNearestNeighbor", 1: "sitkLinear", 2: "sitkBSpline2", 3: "sitkBSpline3",
                      4: "sitkBSpline4", 5: "sitkBSpline5"}
TORCH_MODES = {0: "nearest", 1: "bilinear", 3: "bicubic"}  # bicubic: 2-D only
# Peers whose interpolant is not scipy's: their difference is reported, not judged.
OTHER_INTERPOLANT = {(TORCH, 3): "cubic convolution (Keys, a=-0.75), not a B-spline"}

NTHREADS = zentrova.build_info()["num_threads"]
MISSING = {}  # peer -> why it is not run

try:
    import SimpleITK as sitk
    sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(NTHREADS)
except Exception as exc:  # noqa: BLE001 - any failure to load is reported
    sitk = None
    MISSING[SITK] = f"{type(exc).__name__}: {exc}"

try:
    import torch
    import torch.nn.functional as tF
    torch.set_num_threads(NTHREADS)
except Exception as exc:  # noqa: BLE001
    torch = None
    MISSING[TORCH] = f"{type(exc).__name__}: {exc}"


# ---- workloads ------------------------------------------------------------------------------------


def deskew(shape, angle_deg=30.0, stage_step=2 / math.sqrt(3)):
    """Stage-scan light-sheet deskew of a [z, y, x] stack: raw plane k lies `stage_step` pixels
    further along y, seen under a sheet at `angle_deg`. Raw plane k is shifted by
    stage_step * cos(angle) pixels along y per plane, and the output is sampled isotropically along
    z (planes stage_step * sin(angle) pixels apart). Output voxel (z, y, x) samples the input at
    z_in = z / z_scale, y_in = y - shear * z_in, x_in = x. With the defaults, shear = 1 pixel per
    plane and z_scale = 0.577: the output is ~1.5x longer along y, ~0.58x along z."""
    a = np.deg2rad(angle_deg)
    shear = stage_step * np.cos(a)
    z_scale = stage_step * np.sin(a)
    nz, ny, nx = shape
    m = np.array([[1 / z_scale, 0, 0], [-shear / z_scale, 1, 0], [0, 0, 1]])
    out_shape = (int((nz - 1) * z_scale) + 1, ny + int(math.ceil(shear * (nz - 1))), nx)
    return m, np.zeros(3), out_shape, dict(angle_deg=angle_deg, stage_step=stage_step, shear=shear,
                                             z_scale=z_scale)


def rotation2d(shape, degrees=17.0):
    """Rotation of a 2-D image about its centre."""
    a = np.deg2rad(degrees)
    c, s = np.cos(a), np.sin(a)
    m = np.array([[c, -s], [s, c]])
    centre = (np.array(shape) - 1) / 2.0
    return m, centre - m @ centre


def deformation(n, seed, amplitude=6.0, terms=2):
    """Dense float64 coordinates of shape (3, n, n, n): the identity plus a smooth random
    displacement, per axis a sum of `terms` separable products of sines of 1 to 3 periods across the
    cube, at most `amplitude` voxels (about 4 reached). C-contiguous, 24 bytes a voxel."""
    rng = np.random.default_rng(seed)
    coords = np.indices((n, n, n), dtype=np.float64)
    t = np.arange(n, dtype=np.float64) * (2 * np.pi / n)
    for a in range(3):
        for _ in range(terms):
            k = rng.integers(1, 4, size=3)
            ph = rng.uniform(0, 2 * np.pi, size=3)
            amp = amplitude / terms * rng.uniform(0.5, 1.0)
            coords[a] += (amp * np.sin(k[0] * t + ph[0]))[:, None, None] * np.sin(k[1] * t + ph[1])[None, :, None] \
                * np.sin(k[2] * t + ph[2])[None, None, :]
    return coords


def make_volume(shape, dtype, seed):
    """Uniform noise over a range typical of the dtype (integers: their whole range, or +-2^40
    for int64, so that float64 arithmetic stays exact)."""
    rng = np.random.default_rng(seed)
    dt = np.dtype(dtype)
    if dt.kind == "f":
        return (rng.random(shape, dtype=np.float32) * 100).astype(dt)
    if dt == np.int64:
        return rng.integers(-2 ** 40, 2 ** 40, size=shape, dtype=np.int64)
    info = np.iinfo(dt)
    return rng.integers(info.min, info.max, size=shape, dtype=dt, endpoint=True)


_MASKS = {}


def interior_mask(m, off, in_shape, out_shape, margin=1.5):
    key = (m.tobytes(), off.tobytes(), tuple(in_shape), tuple(out_shape), margin)
    if key not in _MASKS:
        if len(_MASKS) >= 2:  # the interior and the deep interior of one cell
            _MASKS.clear()
        _MASKS[key] = _interior_mask(m, off, in_shape, out_shape, margin)
    return _MASKS[key]


def _interior_mask(m, off, in_shape, out_shape, margin):
    """Output voxels whose input coordinate m @ o + off lies in [margin, n - 1 - margin] on every axis."""
    nd = len(out_shape)
    grids = [np.arange(n, dtype=np.float64).reshape([-1 if j == i else 1 for j in range(nd)])
             for i, n in enumerate(out_shape)]
    mask = np.ones(out_shape, dtype=bool)
    for a in range(len(in_shape)):
        c = off[a] + sum(m[a, j] * grids[j] for j in range(nd))
        mask &= (c >= margin) & (c <= in_shape[a] - 1 - margin)
    return mask


def coords_mask(coords, in_shape, margin=1.5):
    """Output voxels of map_coordinates whose coordinate lies in [margin, n - 1 - margin] on every axis."""
    mask = np.ones(coords.shape[1:], dtype=bool)
    for a, n in enumerate(in_shape):
        mask &= (coords[a] >= margin) & (coords[a] <= n - 1 - margin)
    return mask


# ---- systems ---------------------------------------------------------------------------------------
# Each runner returns (fn, as_array): fn() does the timed work and returns its result; as_array(result)
# gives that result as a NumPy array (outside the timing, for the mapping check).

def ours_runner(vol, m, off, out_shape, order):
    def fn():
        return zentrova_resample.affine_transform(vol, m, off, output_shape=out_shape, order=order,
                                                  mode="constant", cval=0.0)
    return fn, np.asarray


def scipy_runner(vol, m, off, out_shape, order):
    src = vol.astype(np.float32) if vol.dtype == np.float16 else vol  # scipy rejects float16

    def fn():  # the prefilter (orders 2 to 5) inside the timing, as ours
        return ndi.affine_transform(src, m, off, output_shape=out_shape, order=order, mode="constant",
                                    cval=0.0, prefilter=order > 1)
    return fn, np.asarray


def sitk_has(order):
    return sitk is not None and hasattr(sitk, SITK_INTERPOLATORS.get(order, "-"))


def sitk_resampler(img, tr, out_shape, order):
    """A ResampleImageFilter onto indices (origin 0, spacing 1, identity direction) of out_shape
    ([z, y, x] order), with `tr` and the interpolator of `order`."""
    nd = len(out_shape)
    f = sitk.ResampleImageFilter()
    f.SetSize([int(n) for n in out_shape[::-1]])
    f.SetOutputOrigin((0.0,) * nd)
    f.SetOutputSpacing((1.0,) * nd)
    f.SetOutputDirection(np.eye(nd).ravel().tolist())
    f.SetTransform(tr)
    f.SetInterpolator(getattr(sitk, SITK_INTERPOLATORS[order]))
    f.SetDefaultPixelValue(0.0)
    f.SetOutputPixelType(img.GetPixelID())
    f.SetNumberOfThreads(NTHREADS)
    return f


def sitk_runner(vol, m, off, out_shape, order):
    # NumPy [z, y, x] is SimpleITK's (x, y, z): the matrix reversed on both axes, the offset reversed.
    # Origin 0, spacing 1 and identity direction on both sides, so physical points are indices.
    img = sitk.GetImageFromArray(vol)
    tr = sitk.AffineTransform(vol.ndim)
    tr.SetMatrix(np.ascontiguousarray(m[::-1, ::-1]).ravel().tolist())
    tr.SetTranslation(off[::-1].tolist())
    f = sitk_resampler(img, tr, out_shape, order)

    def fn():
        return f.Execute(img)
    return fn, lambda out: sitk.GetArrayFromImage(out)


def torch_theta(m, off, in_shape, out_shape):
    """theta (1, d, d + 1) for affine_grid with align_corners=True: normalized coordinates u in
    [-1, 1] are indices (u + 1) (n - 1) / 2 on both sides; rows and columns in torch's (x, y, z)
    order."""
    si, so = np.asarray(in_shape, float), np.asarray(out_shape, float)
    nd = len(si)
    to_norm = np.diag(2.0 / (si - 1))
    a = to_norm @ m @ np.diag((so - 1) / 2)
    t = to_norm @ (m @ ((so - 1) / 2) + off - (si - 1) / 2)
    theta = np.zeros((1, nd, nd + 1))
    theta[0, :, :nd] = a[::-1, ::-1]
    theta[0, :, nd] = t[::-1]
    return theta


def torch_runner(vol, m, off, out_shape, order):
    x = torch.from_numpy(vol)[None, None]
    theta = torch.tensor(torch_theta(m, off, vol.shape, out_shape), dtype=x.dtype)
    size = (1, 1) + tuple(out_shape)
    mode = TORCH_MODES[order]

    def fn():
        with torch.inference_mode():
            grid = tF.affine_grid(theta, size, align_corners=True)
            return tF.grid_sample(x, grid, mode=mode, padding_mode="zeros", align_corners=True)
    return fn, lambda out: out[0, 0].numpy()


def fixed_runner(vol, m, off, out_shape, order):
    assert order == 1 and tuple(out_shape) == vol.shape
    if vol.dtype == np.float32:
        return (lambda: zentrova.affine_transform(vol, m, off, cval=0.0)), np.asarray
    if vol.dtype == np.uint8:
        return (lambda: zentrova.affine_transform_u8(vol, m, off, cval=0)), np.asarray
    bits = vol.view(np.uint16)
    return (lambda: zentrova.affine_transform_f16(bits, m, off)), lambda out: out.view(np.float16)


RUNNERS = {OURS: ours_runner, SCIPY: scipy_runner, SITK: sitk_runner, TORCH: torch_runner, FIXED: fixed_runner}


def systems_for(dtype, order, rotation_cube=True, ndim=3):
    out = [SCIPY, OURS]
    if order == 1 and dtype in FIXED_DTYPES and rotation_cube and ndim == 3:
        out.append(FIXED)
    if sitk_has(order) and dtype in SITK_DTYPES:
        out.append(SITK)
    if torch is not None and dtype in TORCH_DTYPES and (order in (0, 1) or (order == 3 and ndim == 2)):
        out.append(TORCH)
    return out


# ---- mapping check ----------------------------------------------------------------------------------

def tolerance(dtype, vol):
    """Largest difference from scipy (which computes in float64) still taken as the same mapping,
    order 1: the precision zentrova_resample computes the dtype in (float32 for float16/32 and 8-
    and 16-bit integers, float64 for the rest; coordinates included, so with noise data an error
    of the coordinate shows scaled by the value range), plus the rounding of the stored result
    (1 for integers, one unit in the last place for float16). A wrong mapping is off by a sizeable
    part of the value range. A coordinate's rounding error grows with its size: beyond 256 voxels
    along an axis (a 2-D image of 1024^2 and more) the relative tolerance grows in proportion."""
    dt = np.dtype(dtype)
    span = float(np.max(np.abs(vol.astype(np.float64))))
    rel = (1e-4 if dt.itemsize <= 2 or dt == np.float32 else 1e-6) * max(1.0, max(vol.shape) / 256)
    if dt.kind in "iu":
        return 1.0 + rel * span
    if dt == np.float16:
        return float(np.spacing(np.float16(span))) + rel * span
    return rel * span


def data_range(vol):
    return float(np.max(vol).astype(np.float64) - np.min(vol).astype(np.float64))


def compare(out, ref, mask, order, tol, value_range=None, deep=None, other=None, whole=False):
    """The mapping check on the voxels of `mask`. With `value_range` (the input's max - min) the
    difference is also given relative to it; with `deep` (a mask of voxels further inside) also
    the largest difference there; with `whole`, also over every voxel (the border included, where
    samples near or beyond the edge follow each system's border rule); with `other` (why the peer
    computes another interpolant) the difference is reported without a verdict."""
    a = np.asarray(out)[mask].astype(np.float64)
    b = np.asarray(ref)[mask].astype(np.float64)
    if order == 0:
        equal = float(np.mean(a == b))
        return dict(equal_fraction=equal, ok=equal >= 0.999, interior_voxels=int(a.size))
    diff = float(np.max(np.abs(a - b))) if a.size else 0.0
    span = float(np.max(np.abs(b))) if b.size else 0.0
    c = dict(max_abs_diff=diff, relative=diff / span if span else 0.0, tolerance=tol, ok=diff <= tol,
             interior_voxels=int(a.size))
    del a, b
    if value_range:
        c["value_range"] = value_range
        c["relative_to_range"] = diff / value_range
    if deep is not None:
        d = np.abs(np.asarray(out)[deep].astype(np.float64) - np.asarray(ref)[deep].astype(np.float64))
        c["deep_max_abs_diff"] = float(np.max(d)) if d.size else 0.0
        c["deep_interior_voxels"] = int(d.size)
    if whole:
        c["all_max_abs_diff"] = float(np.max(np.abs(np.asarray(out).astype(np.float64)
                                                    - np.asarray(ref).astype(np.float64))))
    if other:
        c["other_interpolant"] = other
        c["ok"] = None
    return c


def check_text(c):
    if c is None:
        return ""
    if "reference" in c:
        return "reference"
    flag = {True: "ok", False: "WRONG MAPPING", None: "other interpolant"}[c["ok"]]
    if "equal_fraction" in c:
        return f"{100 * c['equal_fraction']:.4f}% equal {flag}"
    if "relative_to_range" not in c:
        return f"max|d|={c['max_abs_diff']:.3g} ({c['relative']:.1e} of max; tol {c['tolerance']:.3g}) {flag}"
    deep = f", deep {c['deep_max_abs_diff']:.3g}" if "deep_max_abs_diff" in c else ""
    if "all_max_abs_diff" in c:
        deep += f", all voxels {c['all_max_abs_diff']:.3g}"
    return (f"max|d|={c['max_abs_diff']:.3g} ({c['relative_to_range']:.1e} of range{deep}; "
            f"tol {c['tolerance']:.3g}) {flag}")


# ---- timing -----------------------------------------------------------------------------------------

def timed(fn):
    time.sleep(0.003)  # let threads of the previous call (ours or a peer's) go idle first
    t0 = time.perf_counter()
    out = fn()
    t1 = time.perf_counter()
    del out  # freed outside the timing
    return t1 - t0


def first_call(fn):
    """The warm-up call: (its result, its duration)."""
    time.sleep(0.003)
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


def run_interleaved(fns, warm, repeat, budget):
    """fns: {name: fn}, each warmed up already, the warm-up taking warm[name] seconds.
    Returns {name: [seconds per call]}: calls interleaved system by system; a system whose warm-up
    took long gets fewer calls (within `budget` seconds, but at least two unless `repeat` is 1), a fast
    one up to 3x `repeat`."""
    reps = {}
    for name in fns:
        t = warm[name]
        cap = 3 * repeat if t < 0.02 else repeat
        reps[name] = max(min(2, repeat), min(cap, int(budget / max(t, 1e-6))))
    times = {name: [] for name in fns}
    gc.disable()
    try:
        for r in range(max(reps.values())):
            for name, fn in fns.items():
                if r < reps[name]:
                    times[name].append(timed(fn))
    finally:
        gc.enable()
    return times


# ---- the benchmark ----------------------------------------------------------------------------------

def cube_cell(n, dtype, order, args, seed):
    """All systems on one (size, dtype, order) of the 3-D rotation."""
    shape = (n, n, n)
    m, off = rotation(shape)
    names = systems_for(dtype, order) if order < 2 else spline_systems(n, dtype, order)
    return transform_cell("rotation", make_volume(shape, dtype, seed), m, off, order, names, args)


def transform_cell(workload, vol, m, off, order, names, args):
    """All systems `names` (scipy first) on one affine transform of `vol` onto its own shape:
    mapping check, then interleaved timing. Orders 2 to 5 are checked relative to the input's
    value range too, and on the deep interior."""
    shape = vol.shape
    n = shape[0]
    dtype = vol.dtype.name
    mask = interior_mask(m, off, shape, shape)
    spline = order > 1
    deep = interior_mask(m, off, shape, shape, margin=8.0) if spline else None
    value_range = data_range(vol) if spline or vol.ndim != 3 else None
    fns, checks, warm = {}, {}, {}
    ref = None
    tol = tolerance(dtype, vol)
    for name in names:  # SCIPY first: the reference; every system's first call is its warm-up
        fn, as_array = RUNNERS[name](vol, m, off, shape, order)
        out, warm[name] = first_call(fn)
        res = as_array(out)
        if name == SCIPY:
            ref = res
            checks[name] = {"reference": True}
        else:
            checks[name] = compare(res, ref, mask, order, tol, value_range, deep,
                                   OTHER_INTERPOLANT.get((name, order)), whole=spline)
        del res, out
        fns[name] = fn
    del ref
    times = run_interleaved(fns, warm, args.repeat, args.budget)
    rows = []
    mvox = vol.size / 1e6
    for name in names:
        t = statistics.median(times[name])
        rows.append(dict(workload=workload, system=name, dtype=dtype, order=order, size=n,
                         shape=list(shape), output_shape=list(shape), seconds=t, mvox_s=mvox / t,
                         repeats=len(times[name]), all_seconds=times[name], check=checks[name],
                         note="input converted to float32 (scipy rejects float16)"
                         if name == SCIPY and dtype == "float16" else ""))
        if spline and name in (OURS, SCIPY):
            rows[-1]["prefilter"] = "included (the default)"
        elif spline and name == SITK:
            rows[-1]["prefilter"] = "its own coefficients, included"
    base = next(r for r in rows if r["system"] == SCIPY)["mvox_s"]
    for r in rows:
        r["ratio_to_scipy"] = r["mvox_s"] / base
    return rows


def engine_runner(vol, m, off):
    """zentrova_resample's private engine alone, writing into an existing array: the kernels'
    time without the Python layer and without a fresh result (None if not available)."""
    try:
        from zentrova_resample import _engine
    except ImportError:
        return None
    out = np.empty_like(vol)
    mt, ot = tuple(m.ravel().tolist()), tuple(off.tolist())
    return lambda: _engine.resample(vol, out, mt, ot, 1, 0, 0.0)


def fixed_comparison(n, args, seed):
    """Ours against the fixed module on the same work (same shape, linear, mode 'constant'),
    call by call in turn (the order rotating), 3x --repeat rounds (more for small volumes); ratio =
    ours / fixed in Mvox/s.
    Also the engine alone (into an existing output), to tell the kernels from the Python layer."""
    shape = (n, n, n)
    m, off = rotation(shape)
    out = []
    for dtype in FIXED_DTYPES:
        vol = make_volume(shape, dtype, seed)
        fns = {"fixed": fixed_runner(vol, m, off, shape, 1)[0], "ours": ours_runner(vol, m, off, shape, 1)[0]}
        eng = engine_runner(vol, m, off)
        if eng is not None:
            fns["engine"] = eng
        for fn in fns.values():
            first_call(fn)
        times = {k: [] for k in fns}
        again = {k: [] for k in fns}
        names = list(fns)
        gc.disable()
        try:
            # Small volumes take a millisecond a call and the machine's noise is larger than that:
            # many more rounds for them (about 190 at 64^3).
            for i in range(max(3, 3 * args.repeat, min(300, int(5e7 / n ** 3)))):
                for k in names[i % len(names):] + names[:i % len(names)]:  # who goes first rotates
                    times[k].append(timed(fns[k]))
                    # The same call again at once, as in a loop over volumes: after the pause of
                    # timed() the caller's code and data are out of the caches (a Python layer of
                    # 15 us back to back takes about 140 us then).
                    t0 = time.perf_counter()
                    fns[k]()
                    again[k].append(time.perf_counter() - t0)
        finally:
            gc.enable()
        med = {k: statistics.median(v) for k, v in times.items()}
        med_again = {k: statistics.median(v) for k, v in again.items()}
        mvox = n ** 3 / 1e6
        row = dict(size=n, dtype=dtype, fixed_mvox_s=mvox / med["fixed"], ours_mvox_s=mvox / med["ours"],
                   ratio=med["fixed"] / med["ours"],
                   median_round_ratio=statistics.median(f / u for f, u in zip(times["fixed"], times["ours"])),
                   ratio_back_to_back=med_again["fixed"] / med_again["ours"],
                   rounds=len(times["fixed"]), seconds=times, seconds_back_to_back=again)
        if "engine" in med:
            row["engine_mvox_s"] = mvox / med["engine"]
            row["engine_ratio"] = med["fixed"] / med["engine"]
        out.append(row)
    return out


def deskew_bench(args, seed):
    shape = tuple(args.deskew_shape)
    m, off, out_shape, params = deskew(shape)
    vol = make_volume(shape, "uint16", seed)
    mask = interior_mask(m, off, shape, out_shape)
    mvox = float(np.prod(out_shape)) / 1e6
    rows = []
    refs = {}
    for order in (1, 0):
        names = [OURS] + ([SCIPY] if order == 1 else []) + ([SITK] if sitk is not None else [])
        fns, checks, warm = {}, {}, {}
        for name in [n for n in SYSTEM_ORDER[::-1] if n in names]:  # scipy (order 1) first
            fn, as_array = RUNNERS[name](vol, m, off, out_shape, order)
            out, warm[name] = first_call(fn)
            res = as_array(out)
            del out
            if order == 1 and name == SCIPY:
                refs[1] = res
                checks[name] = {"reference": True}
            elif order == 0 and name == SITK:
                refs[0] = res  # scipy order 0 is not run here: ours is checked against SimpleITK
                checks[name] = {"reference": True, "note": "order 0 reference (SimpleITK)"}
            fns[name] = (fn, res)
        for name, (fn, res) in fns.items():
            if name not in checks:
                ref = refs.get(order)
                checks[name] = compare(res, ref, mask, order, tolerance("uint16", vol)) if ref is not None else None
                if checks[name] is not None and order == 0:
                    checks[name]["against"] = SITK
        fns = {name: fn for name, (fn, res) in fns.items()}
        refs.pop(order, None)
        times = run_interleaved(fns, warm, args.repeat, args.budget)
        for name in names:
            t = statistics.median(times[name])
            rows.append(dict(workload="deskew", system=name, dtype="uint16", order=order, shape=list(shape),
                             output_shape=list(out_shape), seconds=t, mvox_s=mvox / t, repeats=len(times[name]),
                             all_seconds=times[name], check=checks[name]))
        if order == 1:
            base = next(r for r in rows if r["system"] == SCIPY and r["order"] == 1)["mvox_s"]
            for r in rows:
                r["ratio_to_scipy"] = r["mvox_s"] / base
    return rows, dict(matrix=m.tolist(), offset=off.tolist(), input_shape=list(shape),
                      output_shape=list(out_shape), **params)


def spline_systems(n, dtype, order):
    """Systems of the rotation with `order` 2 to 5: SimpleITK's orders 2, 4 and 5 only below 256^3 (its
    orders 4 and 5 take over 10 s a call there, as scipy's)."""
    names = systems_for(dtype, order)
    if n >= 256 and order != 3:
        names = [x for x in names if x != SITK]
    return names


def spline_dtypes(n, order, args):
    """The dtypes of the rotation with `order` 2 to 5 at size n: order 3 every dtype of the run up to
    128^3, --spline-large-dtypes from 256^3; the other orders float32 only."""
    if order != 3:
        return [d for d in ["float32"] if d in args.dtypes]
    if n >= 256:
        return [d for d in args.dtypes if d in args.spline_large_dtypes]
    return list(args.dtypes)


def rotation_2d_bench(args, seed):
    """A float32 image of --size-2d squared turned 17 degrees, orders 1 and 3: scipy, ours, SimpleITK
    (linear, B-spline of order 3) and torch (bilinear, bicubic)."""
    n = args.size_2d
    shape = (n, n)
    m, off = rotation2d(shape)
    vol = make_volume(shape, "float32", seed)
    rows = []
    for order in (1, 3):
        names = systems_for("float32", order, rotation_cube=False, ndim=2)
        rows.extend(transform_cell("rotation2d", vol, m, off, order, names, args))
    return rows


# map_coordinates on a dense deformation field

def map_runner(name, vol, coords, order):
    """(fn, as_array) of system `name` mapping `vol` at `coords` (mode 'constant', cval 0)."""
    if name == OURS:
        return (lambda: zentrova_resample.map_coordinates(vol, coords, order=order, mode="constant", cval=0.0)), \
            np.asarray
    if name == SCIPY:
        return (lambda: ndi.map_coordinates(vol, coords, order=order, mode="constant", cval=0.0)), np.asarray
    if name == SITK:
        # The same samples as a DisplacementFieldTransform on indices: output point p samples the input
        # at p + d(p), d given at every output voxel (linear interpolation of the field at grid points
        # returns it exactly). Components in SimpleITK's (x, y, z) order, float64.
        nd = vol.ndim
        grid = np.indices(coords.shape[1:], dtype=np.float64)
        disp = np.stack([coords[a] - grid[a] for a in range(nd)][::-1], axis=-1)
        del grid
        field = sitk.GetImageFromArray(disp, isVector=True)
        del disp
        tr = sitk.DisplacementFieldTransform(field)  # takes the field's buffer
        img = sitk.GetImageFromArray(vol)
        f = sitk_resampler(img, tr, coords.shape[1:], order)
        return (lambda: f.Execute(img)), (lambda out: sitk.GetArrayFromImage(out))
    raise ValueError(name)


def map_systems(order):
    return [SCIPY, OURS] + ([SITK] if sitk_has(order) else [])


def rss_bytes():
    """(VmRSS, VmHWM) of this process in bytes."""
    got = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                got[key] = int(value.split()[0]) * 1024
    return got["VmRSS"], got["VmHWM"]


def memory_probe(name, order, n, seed):
    """Run in a fresh process: one call of map_coordinates by `name` on the workload (n, seed), inputs
    made first. Returns the growth of the peak resident memory during the call over the resident
    memory before it (the peak is reset first, by writing 5 to /proc/self/clear_refs), and the peak
    of NumPy's and Python's allocations seen by tracemalloc during it (a library's own allocations,
    SimpleITK's or ours in C++, are not seen by tracemalloc)."""
    vol = make_volume((n, n, n), "float32", seed)
    coords = deformation(n, seed + 1)
    if name == OURS:  # start the worker pool and load the modules on a tiny call
        zentrova_resample.map_coordinates(vol[:4, :4, :4], coords[:, :2, :2, :2] % 3, order=order)
    elif name == SCIPY:
        ndi.map_coordinates(vol[:4, :4, :4], coords[:, :2, :2, :2] % 3, order=order)
    fn, _ = map_runner(name, vol, coords, order)
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        reset = True
    except OSError:
        reset = False
    rss0, _ = rss_bytes()
    tracemalloc.start()
    out = fn()
    _, traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    _, hwm = rss_bytes()
    out_bytes = int(np.asarray(out).nbytes) if name != SITK else int(np.prod(coords.shape[1:])) * 4
    return dict(system=name, order=order, size=n, rss_before=rss0, peak_rss=hwm,
                peak_extra_rss=hwm - rss0 if reset else None, tracemalloc_peak=traced_peak,
                output_bytes=out_bytes, coordinates_bytes=int(coords.nbytes), input_bytes=int(vol.nbytes))


def probe_in_subprocess(name, order, n, seed):
    cmd = [sys.executable, os.path.abspath(__file__), "--memory-probe", name, str(order), str(n), str(seed)]
    # glibc's allocator with a fixed threshold: every large block is mapped on its own and returned when
    # freed, so that memory freed while the inputs were made does not hide the call's own.
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072", MALLOC_TRIM_THRESHOLD_="131072")
    try:
        res = subprocess.run(cmd, capture_output=True, text=True, timeout=900, check=True, env=env)
        return json.loads(res.stdout.strip().splitlines()[-1])
    except (subprocess.SubprocessError, ValueError, IndexError) as exc:
        return dict(system=name, order=order, size=n, error=f"{type(exc).__name__}: {exc}")


def map_bench(args, seed):
    """map_coordinates of a float32 cube on a dense deformation field, orders 1 and 3, for each of
    --map-sizes: mapping check, interleaved timing, and the peak memory of one call in a fresh process."""
    rows = []
    for n in args.map_sizes:
        vol = make_volume((n, n, n), "float32", seed + n)
        coords = deformation(n, seed + n + 1)
        mask = coords_mask(coords, vol.shape)
        deep = coords_mask(coords, vol.shape, margin=8.0)
        tol = tolerance("float32", vol)
        value_range = data_range(vol)
        disp = max(float(np.max(np.abs(coords[a] - np.arange(n).reshape([-1 if j == a else 1 for j in range(3)]))))
                   for a in range(3))
        for order in (1, 3):
            names = map_systems(order)
            fns, checks, warm = {}, {}, {}
            ref = None
            for name in names:
                fn, as_array = map_runner(name, vol, coords, order)
                out, warm[name] = first_call(fn)
                res = as_array(out)
                if name == SCIPY:
                    ref = res
                    checks[name] = {"reference": True}
                else:
                    checks[name] = compare(res, ref, mask, order, tol, value_range, deep if order > 1 else None,
                                           whole=order > 1)
                del res, out
                fns[name] = fn
            del ref
            times = run_interleaved(fns, warm, args.repeat, args.budget)
            del fns
            gc.collect()
            mvox = n ** 3 / 1e6
            cell = []
            for name in names:
                t = statistics.median(times[name])
                mem = probe_in_subprocess(name, order, n, seed + n) if name in (OURS, SCIPY) else {}
                cell.append(dict(workload="map_coordinates", system=name, dtype="float32", order=order, size=n,
                                 shape=[n, n, n], coordinates_shape=list(coords.shape), coordinates_dtype="float64",
                                 max_displacement=disp, seconds=t, mvox_s=mvox / t, repeats=len(times[name]),
                                 all_seconds=times[name], check=checks[name], memory=mem))
            base = next(r for r in cell if r["system"] == SCIPY)["mvox_s"]
            for r in cell:
                r["ratio_to_scipy"] = r["mvox_s"] / base
            rows.extend(cell)
        del vol, coords, mask, deep
        gc.collect()
    return rows


# spline_filter

def filter_runner(name, vol, out_dtype):
    """(fn, as_array), as the other runners."""
    if name == OURS:
        return (lambda: zentrova_resample.spline_filter(vol, order=3, output=out_dtype, mode="mirror")), np.asarray
    if name == SCIPY:
        return (lambda: ndi.spline_filter(vol, order=3, output=out_dtype, mode="mirror")), np.asarray
    img = sitk.GetImageFromArray(vol)
    f = sitk.BSplineDecompositionImageFilter()
    f.SetSplineOrder(3)
    f.SetNumberOfThreads(NTHREADS)
    return (lambda: f.Execute(img)), (lambda out: sitk.GetArrayFromImage(out))


def filter_bench(args, seed):
    """spline_filter of order 3 (mode 'mirror') of a cube of --filter-size: float32 and float64 in,
    float64 out (the default), and float32 in and out. SimpleITK's BSplineDecompositionImageFilter
    (its coefficients in the input's type) for the float32 -> float64 and float64 cases."""
    n = args.filter_size
    rows = []
    for i, (dtype, out_dtype) in enumerate([("float32", "float64"), ("float64", "float64"), ("float32", "float32")]):
        vol = make_volume((n, n, n), dtype, seed + i)
        names = [SCIPY, OURS] + ([SITK] if sitk is not None and out_dtype == "float64" else [])
        fns, checks, warm = {}, {}, {}
        ref = None
        value_range = data_range(vol)
        for name in names:
            fn, as_array = filter_runner(name, vol, np.dtype(out_dtype))
            out, warm[name] = first_call(fn)
            res = as_array(out)
            if name == SCIPY:
                ref = res
                checks[name] = {"reference": True}
            else:
                d = np.abs(res.astype(np.float64) - ref.astype(np.float64))
                diff = float(np.max(d))
                inner = d[(slice(8, -8),) * 3]
                checks[name] = dict(max_abs_diff=diff, relative_to_range=diff / value_range, value_range=value_range,
                                    deep_max_abs_diff=float(np.max(inner)), equal_bits=bool(
                                        res.dtype == ref.dtype and np.array_equal(res.view(np.uint8),
                                                                                  ref.view(np.uint8))),
                                    result_dtype=str(res.dtype))
                del d, inner
            del res, out
            fns[name] = fn
        del ref
        times = run_interleaved(fns, warm, args.repeat, args.budget)
        mvox = n ** 3 / 1e6
        cell = []
        for name in names:
            t = statistics.median(times[name])
            cell.append(dict(workload="spline_filter", system=name, dtype=dtype, output_dtype=out_dtype, order=3,
                             mode="mirror", size=n, shape=[n, n, n], seconds=t, mvox_s=mvox / t,
                             repeats=len(times[name]), all_seconds=times[name], check=checks[name]))
        base = next(r for r in cell if r["system"] == SCIPY)["mvox_s"]
        for r in cell:
            r["ratio_to_scipy"] = r["mvox_s"] / base
        rows.extend(cell)
    return rows


# ---- output -------------------------------------------------------------------------------------------

def print_table(rows, title):
    print(f"\n{title}")
    head = f"{'system':18s} {'dtype':8s} {'order':>5s} {'size':>14s} {'Mvox/s':>9s} {'reps':>4s} {'x scipy':>8s}  mapping vs scipy (interior)"
    print(head)
    print("-" * len(head))
    for r in rows:
        size = f"{r['size']}^{len(r['shape'])}" if "size" in r else "x".join(map(str, r["shape"]))
        ratio = r.get("ratio_to_scipy")
        dt = r["dtype"] + ("*" if r["system"] == SCIPY and r["dtype"] == "float16" else "")
        print(f"{r['system']:18s} {dt:8s} {r['order']:5d} {size:>14s} {r['mvox_s']:9.1f} {r['repeats']:4d} "
              f"{'' if ratio is None else f'{ratio:7.1f}x':>8s}  {check_text(r['check'])}")


def mib(b):
    return "-" if b is None else f"{b / 2 ** 20:.0f}"


def print_map_table(rows, title):
    print(f"\n{title}")
    head = (f"{'system':18s} {'order':>5s} {'size':>6s} {'Mvox/s':>8s} {'reps':>4s} {'x scipy':>8s} "
            f"{'peak+ MiB':>9s} {'traced MiB':>10s}  mapping vs scipy (interior)")
    print(head)
    print("-" * len(head))
    for r in rows:
        mem = r["memory"] or {}
        print(f"{r['system']:18s} {r['order']:5d} {str(r['size']) + '^3':>6s} {r['mvox_s']:8.2f} {r['repeats']:4d} "
              f"{r['ratio_to_scipy']:7.2f}x {mib(mem.get('peak_extra_rss')):>9s} "
              f"{mib(mem.get('tracemalloc_peak')):>10s}  {check_text(r['check'])}"
              + (f"  memory probe failed: {mem['error']}" if "error" in mem else ""))


def print_filter_table(rows, title):
    print(f"\n{title}")
    head = f"{'system':18s} {'in -> out':18s} {'size':>6s} {'Mvox/s':>8s} {'reps':>4s} {'x scipy':>8s}  against scipy"
    print(head)
    print("-" * len(head))
    for r in rows:
        c = r["check"]
        if "reference" in c:
            text = "reference"
        else:
            text = (f"max|d|={c['max_abs_diff']:.3g} ({c['relative_to_range']:.1e} of range, deep "
                    f"{c['deep_max_abs_diff']:.3g}){' bit for bit' if c['equal_bits'] else ''}"
                    + ("" if c["result_dtype"] == r["output_dtype"] else f" (its result {c['result_dtype']})"))
        print(f"{r['system']:18s} {r['dtype'] + ' -> ' + r['output_dtype']:18s} {str(r['size']) + '^3':>6s} "
              f"{r['mvox_s']:8.1f} {r['repeats']:4d} {r['ratio_to_scipy']:7.1f}x  {text}")


def plot(rows, path, info):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullFormatter

    colors = {OURS: "tab:red", FIXED: "tab:orange", SITK: "tab:blue", TORCH: "tab:green", SCIPY: "tab:gray"}
    styles = {OURS: "-", FIXED: "--", SITK: "-.", TORCH: ":", SCIPY: "-"}
    markers = dict(zip(DTYPES, ["o", "s", "^", "v", "D", "P", "X", "*"]))
    # Order 3 (cubic B-spline, prefilter included) where the rows have it.
    orders = [o for o in (1, 0, 3) if any(r["workload"] == "rotation" and r["order"] == o for r in rows)]
    fig, axes = plt.subplots(1, len(orders), figsize=(7 * len(orders), 6.2), sharey=True, squeeze=False)
    axes = axes[0]
    right = 1 - 0.18 * 2 / len(orders)  # the legends' column keeps its width
    for ax, order in zip(axes, orders):
        for system in SYSTEM_ORDER:
            for dtype in DTYPES:
                pts = sorted((r["size"], r["mvox_s"]) for r in rows if r["workload"] == "rotation"
                             and r["system"] == system and r["dtype"] == dtype and r["order"] == order)
                if not pts or (system == SCIPY and dtype == "float16"):
                    continue
                ours = system == OURS
                ax.plot([p[0] for p in pts], [p[1] for p in pts], color=colors[system], linestyle=styles[system],
                        marker=markers[dtype], markersize=7 if ours else 5, linewidth=2.0 if ours else 1.2,
                        alpha=0.95 if ours else 0.75, zorder=3 if ours else 2)
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.yaxis.set_major_locator(FixedLocator([1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000]))
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        ax.yaxis.set_minor_formatter(NullFormatter())
        sizes = sorted({r["size"] for r in rows if r["workload"] == "rotation"})
        ax.set_xticks(sizes)
        ax.set_xticklabels([f"{s}³" for s in sizes])
        ax.set_xlabel("volume size (voxels)")
        ax.set_title(f"order {order} ({ORDER_NAMES[order]})")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("Mvox/s (output voxels per second, log scale)")
    sys_handles = [Line2D([], [], color=colors[s], linestyle=styles[s], linewidth=2.0 if s == OURS else 1.4,
                          label=s + (" (1 thread)" if s == SCIPY else "")) for s in SYSTEM_ORDER
                   if any(r["system"] == s for r in rows)]
    sys_handles += [Line2D([], [], color="none", label=f"{s}: missing") for s in info.get("missing", {})]
    dt_handles = [Line2D([], [], color="black", linestyle="none", marker=markers[d], label=d) for d in DTYPES]
    leg1 = fig.legend(handles=sys_handles, title="system (color, line)", loc="upper left",
                      bbox_to_anchor=(right + 0.01, 0.90), frameon=False)
    fig.add_artist(leg1)
    fig.legend(handles=dt_handles, title="dtype (marker)", loc="upper left", bbox_to_anchor=(right + 0.01, 0.60),
               frameon=False)
    note = ("scipy has no float16:\nours' float16 compares with\nscipy on a float32 copy.\n"
            "Shared machine: compare systems\nwithin one size and order.")
    if 3 in orders:
        note += ("\nOrder 3: prefilter included\n(scipy's and ours; SimpleITK\ncomputes its own); "
                 "at 256³\nsome dtypes only.")
    fig.text(right + 0.015, 0.04, note, fontsize=8, va="bottom", color="dimgray")
    fig.suptitle(f"3-D affine resampling, rotation 17° about two axes — {info['cpu']}, "
                 f"{info['threads']} threads (scipy: 1)", fontsize=11)
    fig.tight_layout(rect=(0, 0, right, 0.95))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=None, help="cube sizes (default 64 128 256)")
    ap.add_argument("--repeat", type=int, default=None, help="timed calls per system and cell (default 5)")
    ap.add_argument("--budget", type=float, default=None,
                    help="seconds of timed calls per system and cell; slower systems get fewer repeats (default 2.5)")
    ap.add_argument("--quick", action="store_true", help="sizes 64 128, 3 repeats, a smaller deskew")
    ap.add_argument("--dtypes", nargs="+", default=DTYPES, choices=DTYPES)
    ap.add_argument("--deskew-shape", type=int, nargs=3, default=None, metavar=("Z", "Y", "X"),
                    help="deskew input shape [z, y, x] (default 256 512 512)")
    ap.add_argument("--no-deskew", action="store_true")
    ap.add_argument("--spline-sizes", type=int, nargs="+", default=None,
                    help="cube sizes of the rotation with orders 2 to 5 (default 64 128 256; --quick 64 128)")
    ap.add_argument("--spline-orders", type=int, nargs="+", default=SPLINE_ORDERS, choices=SPLINE_ORDERS)
    ap.add_argument("--spline-large-dtypes", nargs="+", default=["float32", "uint16", "float64"], choices=DTYPES,
                    help="dtypes of order 3 at 256^3 and above (every dtype below)")
    ap.add_argument("--size-2d", type=int, default=None, help="2-D rotation image size (default 2048; --quick 1024)")
    ap.add_argument("--map-sizes", type=int, nargs="+", default=None,
                    help="cube sizes of map_coordinates (default 128 256; --quick 64 128)")
    ap.add_argument("--filter-size", type=int, default=None, help="spline_filter cube size (default 256; --quick 128)")
    ap.add_argument("--sections", nargs="+", default=SECTIONS, choices=SECTIONS, help="what to run (default all)")
    ap.add_argument("--memory-probe", nargs=4, metavar=("SYSTEM", "ORDER", "N", "SEED"), help=argparse.SUPPRESS)
    ap.add_argument("--plot", default="bench/resample.png")
    ap.add_argument("--json", default="bench/resample.json")
    ap.add_argument("--replot", metavar="JSON", help="only draw --plot again from a JSON this script wrote")
    args = ap.parse_args()
    if args.memory_probe:
        name, order, n, seed = args.memory_probe
        print(json.dumps(memory_probe(name, int(order), int(n), int(seed))))
        return
    if args.replot:
        with open(args.replot) as f:
            saved = json.load(f)
        plot(saved["rotation"], args.plot, saved["info"])
        print(f"wrote {args.plot}")
        return
    args.sizes = args.sizes or ([64, 128] if args.quick else [64, 128, 256])
    args.repeat = args.repeat or (3 if args.quick else 5)
    args.budget = args.budget if args.budget is not None else (1.0 if args.quick else 2.5)
    args.deskew_shape = args.deskew_shape or ([128, 256, 256] if args.quick else [256, 512, 512])
    args.spline_sizes = args.spline_sizes or ([64, 128] if args.quick else [64, 128, 256])
    args.size_2d = args.size_2d or (1024 if args.quick else 2048)
    args.map_sizes = args.map_sizes or ([64, 128] if args.quick else [128, 256])
    args.filter_size = args.filter_size or (128 if args.quick else 256)
    if args.no_deskew and "deskew" in args.sections:
        args.sections = [x for x in args.sections if x != "deskew"]

    t_start = time.perf_counter()
    info = dict(cpu=cpu_name(), cores=os.cpu_count(), zentrova=zentrova.build_info(), numpy=np.__version__,
                scipy=scipy.__version__, python=platform.python_version(), threads=NTHREADS,
                scipy_threads=1, missing=MISSING,
                simpleitk=None if sitk is None else sitk.Version.VersionString(),
                torch=None if torch is None else torch.__version__,
                torch_cuda=None if torch is None else torch.version.cuda,
                torch_threads=None if torch is None else torch.get_num_threads(),
                sitk_threads=None if sitk is None else sitk.ProcessObject.GetGlobalDefaultNumberOfThreads(),
                args=vars(args), loadavg_start=os.getloadavg())
    print(f"{info['cpu']}, {info['cores']} CPUs; zentrova {info['zentrova']['version']} "
          f"(f32 {info['zentrova']['backend_f32']}, f16 {info['zentrova']['backend_f16']}, "
          f"u8 {info['zentrova']['backend_u8']}), pool {NTHREADS} threads")
    print(f"numpy {np.__version__}, scipy {scipy.__version__} (single-threaded), "
          f"SimpleITK {info['simpleitk']} ({info['sitk_threads']} threads), "
          f"torch {info['torch']} (cuda {info['torch_cuda']}, {info['torch_threads']} threads)")
    try:
        from zentrova_resample import _engine
        info["ours_backends"] = {d: _engine.backend(np.dtype(d)) for d in DTYPES}
        print("zentrova_resample kernels: " + ", ".join(f"{d} {b}" for d, b in info["ours_backends"].items()))
    except (ImportError, AttributeError):
        pass
    for peer, why in MISSING.items():
        print(f"MISSING peer {peer}: {why}")
    print("not run: float16 on SimpleITK (no such pixel type), integers and float16 on torch "
          "(grid_sample takes floating tensors; float32 and float64 run); scipy rejects float16, so its "
          "float16* rows run on a float32 copy of the input; torch not in the deskew (no uint16)")

    rows = []
    sections = {}
    t_section = time.perf_counter()
    if "rotation" in args.sections:
        for n in args.sizes:
            for order in (1, 0):
                for i, dtype in enumerate(args.dtypes):
                    rows.extend(cube_cell(n, dtype, order, args, seed=1000 * n + i))
                    gc.collect()
            sections[f"rotation {n}^3"] = time.perf_counter() - t_section
            t_section = time.perf_counter()
            print_table([r for r in rows if r["size"] == n], f"rotation, {n}^3 (medians; {n}^3 = {n ** 3 / 1e6:.2f} "
                        f"Mvox; {sections[f'rotation {n}^3']:.0f} s)")
            sys.stdout.flush()

    fixed = []
    if "fixed" in args.sections:
        for n in args.sizes:
            fixed.extend(fixed_comparison(n, args, seed=7 * n))
        sections["fixed comparison"] = time.perf_counter() - t_section
        t_section = time.perf_counter()
        print("\nours (zentrova_resample, linear, mode='constant') vs the fixed module, same work, alternating calls "
              f"({sections['fixed comparison']:.0f} s)")
        print(f"{'size':>6s} {'dtype':8s} {'fixed Mvox/s':>13s} {'ours Mvox/s':>12s} {'ours/fixed':>11s} "
              f"{'per round':>10s} {'back to back':>13s} {'engine Mvox/s':>14s} {'engine/fixed':>13s} {'rounds':>7s}")
        for f in fixed:
            flag = "" if min(f["ratio"], f["ratio_back_to_back"]) >= 0.95 else "  below the 0.95 target"
            eng = (f"{f['engine_mvox_s']:14.1f} {f['engine_ratio']:13.3f}" if "engine_ratio" in f
                   else f"{'-':>14s} {'-':>13s}")
            print(f"{f['size']:>4d}^3 {f['dtype']:8s} {f['fixed_mvox_s']:13.1f} {f['ours_mvox_s']:12.1f} "
                  f"{f['ratio']:11.3f} {f['median_round_ratio']:10.3f} {f['ratio_back_to_back']:13.3f} {eng} "
                  f"{f['rounds']:7d}{flag}")
        print("(ours/fixed: ratio of the medians, each call after a 3 ms pause; per round: median of the rounds' "
              "ratios; back to back: the same call again at once, as in a loop; engine: "
              "zentrova_resample._engine.resample into an existing output, the same work without the Python layer)")
        sys.stdout.flush()

    deskew_rows, deskew_info = [], None
    if "deskew" in args.sections:
        deskew_rows, deskew_info = deskew_bench(args, seed=99)
        sections["deskew"] = time.perf_counter() - t_section
        t_section = time.perf_counter()
        print_table(deskew_rows, f"deskew, uint16 {deskew_info['input_shape']} -> {deskew_info['output_shape']} "
                    f"(shear {deskew_info['shear']:.3f} px/plane, z scale {deskew_info['z_scale']:.3f}; "
                    f"order 0 checked against SimpleITK's nearest; {sections['deskew']:.0f} s)")
        sys.stdout.flush()

    if "spline" in args.sections:
        for n in args.spline_sizes:
            cell_rows = []
            for order in args.spline_orders:
                for dtype in spline_dtypes(n, order, args):
                    cell_rows.extend(cube_cell(n, dtype, order, args, seed=1000 * n + 100 * order + DTYPES.index(dtype)))
                    gc.collect()
            rows.extend(cell_rows)
            key = f"rotation orders {'-'.join(map(str, args.spline_orders))} {n}^3"
            sections[key] = time.perf_counter() - t_section
            t_section = time.perf_counter()
            print_table(cell_rows, f"rotation with B-splines, {n}^3 (prefilter included for scipy, ours and "
                        f"SimpleITK; of range: relative to the input's max - min; deep: 8 voxels inside; "
                        f"{sections[key]:.0f} s)")
            sys.stdout.flush()

    rows_2d = []
    if "2d" in args.sections:
        rows_2d = rotation_2d_bench(args, seed=2024)
        key = f"rotation 2-D {args.size_2d}^2"
        sections[key] = time.perf_counter() - t_section
        t_section = time.perf_counter()
        print_table(rows_2d, f"2-D rotation, float32 {args.size_2d}^2 (torch order 3 = 'bicubic', cubic convolution; "
                    f"SimpleITK order 3 = sitkBSpline3; {sections[key]:.0f} s)")
        sys.stdout.flush()

    map_rows = []
    if "map" in args.sections:
        map_rows = map_bench(args, seed=4242)
        sections["map_coordinates"] = time.perf_counter() - t_section
        t_section = time.perf_counter()
        print_map_table(map_rows, "map_coordinates, float32 input, float64 coordinates (3, n, n, n): identity + "
                        f"smooth displacement up to {max(r['max_displacement'] for r in map_rows):.2f} voxels; "
                        "SimpleITK: a DisplacementFieldTransform of the same displacements "
                        f"({sections['map_coordinates']:.0f} s)\n"
                        "peak+: growth of the peak resident memory during one call in a fresh process, inputs made "
                        "first (not probed for SimpleITK); traced: NumPy's allocations during it (tracemalloc)")
        sys.stdout.flush()

    filter_rows = []
    if "filter" in args.sections:
        filter_rows = filter_bench(args, seed=77)
        sections["spline_filter"] = time.perf_counter() - t_section
        t_section = time.perf_counter()
        print_filter_table(filter_rows, f"spline_filter, order 3, mode 'mirror' (SimpleITK: "
                           f"BSplineDecompositionImageFilter; {sections['spline_filter']:.0f} s)")
        sys.stdout.flush()

    info["elapsed_s"] = time.perf_counter() - t_start
    info["sections_s"] = sections
    info["loadavg_end"] = os.getloadavg()
    for peer, why in MISSING.items():
        print(f"MISSING peer {peer} (not in any table above): {why}")
    print(f"\nelapsed {info['elapsed_s']:.0f} s; load average (1, 5, 15 min) at the start "
          f"{', '.join(f'{x:.1f}' for x in info['loadavg_start'])}, at the end "
          f"{', '.join(f'{x:.1f}' for x in info['loadavg_end'])} ({info['cores']} CPUs)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(info=info, rotation=rows, fixed_comparison=fixed, deskew=deskew_rows,
                           deskew_workload=deskew_info, rotation_2d=rows_2d, map_coordinates=map_rows,
                           spline_filter=filter_rows), f, indent=1)
        print(f"wrote {args.json}")
    if args.plot and rows:
        try:
            plot(rows, args.plot, info)
            print(f"wrote {args.plot}")
        except ImportError as exc:
            print(f"no plot: matplotlib missing ({exc})")

if __name__ == "__main__":
    main()

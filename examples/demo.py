"""Rotate a test volume with zentrova, zentrova_resample and scipy.ndimage; compare speed and values.

    python examples/demo.py [--size 192]
"""
import argparse
import time

import numpy as np
import scipy.ndimage as ndi

import zentrova
import zentrova_resample


def test_volume(n):
    """A smooth blob with some texture, float32, values around 0..100."""
    z, y, x = np.mgrid[0:n, 0:n, 0:n].astype(np.float32) / n - 0.5
    blob = np.exp(-(x * x + 2 * y * y + 3 * z * z) * 8) * 100
    texture = 10 * np.sin(x * 40) * np.cos(y * 30) * np.sin(z * 20)
    return (blob + texture).astype(np.float32)


def rotation_about_centre(shape, degrees):
    a = np.deg2rad(degrees)
    c, s = np.cos(a), np.sin(a)
    m = np.array([[1, 0, 0], [0, c, -s], [0, s, c]]) @ np.array([[c, 0, s], [0, 1, 0], [-s, 0, c]])
    centre = (np.array(shape) - 1) / 2.0
    return m, centre - m @ centre


def sample_points(index, m, off, dtype):
    """Input coordinates of output voxels (rows of index) in the given precision, summed as scipy
    sums them: the offset first, then each index times its matrix column, every step rounded."""
    index, m, x = index.astype(dtype), m.astype(dtype), np.broadcast_to(off.astype(dtype), index.shape)
    for axis in range(index.shape[1]):
        x = x + index[:, axis:axis + 1] * m[:, axis]
    return x


def timed(fn, repeat=3):
    fn()
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return out, best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=int, default=192)
    args = ap.parse_args()

    vol = test_volume(args.size)
    m, off = rotation_about_centre(vol.shape, 20.0)
    mvox = vol.size / 1e6
    info = zentrova.build_info()
    print(f"zentrova {info['version']} ({info['backend_f32']} kernels, {info['num_threads']} threads), "
          f"volume {vol.shape}, rotation of 20 degrees about two axes")

    ours, t_ours = timed(lambda: zentrova.affine_transform(vol, m, off))
    ref, t_ref = timed(lambda: ndi.affine_transform(vol, m, off, order=1, prefilter=False), repeat=1)

    # Interior: voxels whose sample point lies inside the input with a margin,
    # where both libraries interpolate the same eight neighbours.
    idx = np.indices(vol.shape).reshape(3, -1).astype(np.float64)
    coords = (m @ idx).T + off
    interior = np.all((coords > 0.5) & (coords < np.array(vol.shape) - 1.5), axis=1).reshape(vol.shape)
    diff = np.abs(ours.astype(np.float64) - ref.astype(np.float64))[interior]

    print(f"zentrova.affine_transform     {mvox / t_ours:8.1f} Mvox/s")
    print(f"scipy.ndimage.affine_transform {mvox / t_ref:7.1f} Mvox/s  (order=1)")
    print(f"speed-up {t_ref / t_ours:.1f}x; max |difference| on {interior.sum()} interior voxels: {diff.max():.3g}")

    # The scipy-compatible package follows scipy's border rule, so every voxel can be compared.
    # float64 volumes are computed in float64 in scipy's order of operations: the same bits.
    drop_in, t_drop = timed(lambda: zentrova_resample.affine_transform(vol, m, off, order=1))
    ref64 = ndi.affine_transform(vol.astype(np.float64), m, off, order=1)
    drop_in64 = zentrova_resample.affine_transform(vol.astype(np.float64), m, off, order=1)
    same = np.array_equal(drop_in64.view(np.uint64), ref64.view(np.uint64))
    print(f"zentrova_resample.affine_transform {mvox / t_drop:6.1f} Mvox/s  ({t_ref / t_drop:.1f}x scipy); "
          f"all {vol.size} voxels against scipy:")
    print(f"  float64 volume: {'bit-identical' if same else 'NOT bit-identical'}")

    # float32 volumes are computed in float32 (scipy computes in float64): values differ by float32
    # rounding, and a voxel differs more where its sample point is so close to the input's edge that
    # it lies inside in one precision and outside in the other (for integer outputs, also where
    # the value is close to a rounding tie).
    diff32 = np.abs(drop_in - ref64)
    tolerance = 1e-6 * np.abs(vol).max()  # a few float32 roundings of the largest value
    far = np.argwhere(diff32 > tolerance)
    print(f"  float32 volume: {vol.size - len(far)} voxels within float32 rounding "
          f"(|difference| <= {diff32[diff32 <= tolerance].max():.2g}), {len(far)} beyond it"
          + (f" (up to {diff32.max():.3g}):" if len(far) else ""))
    if len(far):
        last = np.array(vol.shape) - 1
        c64, c32 = sample_points(far, m, off, np.float64), sample_points(far, m, off, np.float32)
        inside64, inside32 = (c64 >= 0) & (c64 <= last), (c32 >= 0) & (c32 <= last)
        flipped = inside64 != inside32  # per voxel and axis
        print(f"    {np.any(flipped, axis=1).sum()} of these sample inside the input in one precision "
              f"and outside in the other, e.g.")
        v = np.argmax(diff32[tuple(far.T)])
        a = np.argmax(flipped[v])
        where = {True: "inside", False: "outside"}
        print(f"    voxel {tuple(int(i) for i in far[v])} samples axis {a} (last index {last[a]}) at "
              f"{c64[v, a]:.7f} in float64 ({where[bool(inside64[v, a])]}), "
              f"{c32[v, a]:.7f} in float32 ({where[bool(inside32[v, a])]})")

    # scipy's default order: cubic B-splines, the prefilter included in both timings.
    cubic, t_cubic = timed(lambda: zentrova_resample.affine_transform(vol, m, off))
    ref3, t_ref3 = timed(lambda: ndi.affine_transform(vol, m, off), repeat=1)
    same3 = np.array_equal(zentrova_resample.affine_transform(vol.astype(np.float64), m, off).view(np.uint64),
                           ndi.affine_transform(vol.astype(np.float64), m, off).view(np.uint64))
    diff3 = np.abs(cubic.astype(np.float64) - ndi.affine_transform(vol.astype(np.float64), m, off))
    print(f"order 3 (scipy's default): zentrova_resample {mvox / t_cubic:.1f} Mvox/s, scipy {mvox / t_ref3:.1f} "
          f"({t_ref3 / t_cubic:.1f}x); float64 {'bit-identical' if same3 else 'NOT bit-identical'}, "
          f"float32 within {diff3.max() / np.ptp(vol):.1e} of the value range "
          f"({int((diff3 > 1e-5 * np.ptp(vol)).sum())} voxels beyond 1e-5 of it)")

    # The same volume as float16, through its uint16 view.
    half = vol.astype(np.float16)
    out16 = zentrova.affine_transform_f16(half.view(np.uint16), m, off).view(np.float16)
    diff16 = np.abs(out16.astype(np.float64) - ref)[interior]
    print(f"float16 path: max |difference| on interior voxels {diff16.max():.3g} (half precision)")


if __name__ == "__main__":
    main()

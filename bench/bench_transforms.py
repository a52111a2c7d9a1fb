"""Throughput of the three transforms on 256^3 volumes under a rotation.

Prints Mvox/s for zentrova's float32, uint8 and float16 paths and for
scipy.ndimage.affine_transform(order=1) measured in the same run, and the ratio.
With the test-only module zentrova_kernels installed, also reports the float32
and float16 kernels at both lane widths (8 and 16) where the processor allows.

    python bench/bench_transforms.py [--size 256] [--repeat 5]
"""
import argparse
import time

import numpy as np
import scipy.ndimage as ndi

import zentrova

try:
    import zentrova_kernels
except ImportError:  # only present in test builds
    zentrova_kernels = None


def rotation(shape, degrees=17.0):
    """Rotation about the volume centre, mixing all three axes."""
    a = np.deg2rad(degrees)
    c, s = np.cos(a), np.sin(a)
    rz = np.array([[1, 0, 0], [0, c, -s], [0, s, c]])
    ry = np.array([[c, 0, s], [0, 1, 0], [-s, 0, c]])
    m = rz @ ry
    centre = (np.array(shape) - 1) / 2.0
    return m, centre - m @ centre


def best_time(fn, repeat):
    fn()  # warm-up: pool start, page faults of the first output
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=256)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()

    n = args.size
    shape = (n, n, n)
    rng = np.random.default_rng(1)
    vol32 = rng.random(shape, dtype=np.float32) * 100
    vol8 = (vol32 * 2.55).astype(np.uint8)
    vol16 = vol32.astype(np.float16).view(np.uint16)
    m, off = rotation(shape)
    mvox = vol32.size / 1e6

    info = zentrova.build_info()
    print(f"zentrova {info['version']}: backends f32={info['backend_f32']} f16={info['backend_f16']} "
          f"u8={info['backend_u8']}, {info['num_threads']} worker threads, volume {n}^3")

    t_scipy = best_time(lambda: ndi.affine_transform(vol32, m, off, order=1, prefilter=False), max(1, args.repeat // 2))
    print(f"{'scipy.ndimage order=1 (float32)':36s} {mvox / t_scipy:9.1f} Mvox/s")

    rows = [
        ("affine_transform (float32)", lambda: zentrova.affine_transform(vol32, m, off)),
        ("affine_transform_u8 (uint8)", lambda: zentrova.affine_transform_u8(vol8, m, off)),
        ("affine_transform_f16 (float16)", lambda: zentrova.affine_transform_f16(vol16, m, off)),
    ]
    if zentrova_kernels is not None:
        kernels = ["f32_avx2", "f16_avx2"]
        if zentrova_kernels.avx512_usable():
            kernels += ["f32_avx512", "f16_avx512"]
        for k in sorted(kernels):
            vol = vol32 if k.startswith("f32") else vol16
            out = np.empty_like(vol)  # kernel time alone, without allocating the result
            rows.append((f"kernel {k} (into out)", lambda k=k, vol=vol, out=out: zentrova_kernels.run(k, vol, m, off, 0.0, out)))
    for name, fn in rows:
        t = best_time(fn, args.repeat)
        print(f"{name:36s} {mvox / t:9.1f} Mvox/s  {t_scipy / t:6.1f}x scipy")


if __name__ == "__main__":
    main()

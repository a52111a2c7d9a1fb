"""Deskew a stage-scanned light-sheet volume from one Zarr store into another through dask, never
holding the volume in memory.

1. Builds (once; again with --rebuild) a Zarr store of a synthetic light-sheet-like volume: uint16
   planes of a stage scan, background with noise and bright nucleus-like blobs, written chunk by chunk.
2. Deskews it: in a stage scan each plane is displaced along y by ``step * cos(angle) / pixel``
   pixels from the one before, so output voxel (z, y, x) samples the raw volume at
   (z, y - shear * z, x), a shear, with linear interpolation. zentrova_resample.affine_transform on
   the dask array read from the store builds the lazy result (each output chunk's task reads the raw
   box it needs from the store), and zentrova_resample.write_ome_zarr writes it as an OME-Zarr
   multiscale image (level 0 the deskewed volume, each next level halved, with the voxel sizes in
   micrometres), with dask's progress bar.
3. Prints the throughput and the peak memory (resident set) of this process during the deskew, next to
   the sizes of the volumes.

    python examples/deskew_zarr.py [--shape 256 2048 2048] [--chunks 64 256 2048] [--dir DIR]

With bash scripts/dask_example.sh (which installs zarr) the same arguments run it.
"""

from __future__ import annotations

import argparse
import math
import os
import shutil
import time
from typing import Optional, Sequence, Tuple

import dask
import dask.array as da
import numpy as np
from dask.diagnostics import ProgressBar

import zentrova
import zentrova_resample as zr

BLOBS_PER_MVOX = 2.0  # nuclei per million voxels
BLOB_SIGMA = 2.5       # pixels


def blob_centres(shape: Sequence[int], seed: int = 7) -> np.ndarray:
    """Centres (n, 3) and peak heights of the nucleus-like blobs, the same for every chunk."""
    rng = np.random.default_rng(seed)
    n = int(BLOBS_PER_MVOX * math.prod(shape) / 1e6)
    centres = rng.uniform(0, 1, (n, 3)) * np.asarray(shape)
    heights = rng.uniform(800, 6000, n)
    return np.column_stack([centres, heights])


def synthetic_block(block: np.ndarray, blobs: np.ndarray, block_info=None) -> np.ndarray:
    """One chunk of the raw volume: background 100 + noise, plus the blobs that reach into it."""
    (z0, z1), (y0, y1), (x0, x1) = block_info[None]["array-location"]
    rng = np.random.default_rng([z0, y0, x0])
    out = rng.integers(90, 130, (z1 - z0, y1 - y0, x1 - x0), dtype=np.uint16).astype(np.float32)
    r = int(3 * BLOB_SIGMA)
    near = np.all((blobs[:, :3] >= np.array([z0, y0, x0]) - r) & (blobs[:, :3] < np.array([z1, y1, x1]) + r), axis=1)
    for cz, cy, cx, h in blobs[near]:
        lo = np.maximum(np.floor([cz - r, cy - r, cx - r]).astype(int), [z0, y0, x0])
        hi = np.minimum(np.ceil([cz + r, cy + r, cx + r]).astype(int) + 1, [z1, y1, x1])
        if np.any(hi <= lo):
            continue
        gz, gy, gx = np.ogrid[lo[0]:hi[0], lo[1]:hi[1], lo[2]:hi[2]]
        d2 = (gz - cz) ** 2 + (gy - cy) ** 2 + (gx - cx) ** 2
        out[lo[0] - z0:hi[0] - z0, lo[1] - y0:hi[1] - y0, lo[2] - x0:hi[2] - x0] += h * np.exp(-d2 / (2 * BLOB_SIGMA**2))
    return np.minimum(out, 65535).astype(np.uint16)


def build_raw(path: str, shape: Tuple[int, ...], chunks: Tuple[int, ...]) -> float:
    """Writes the synthetic volume to a Zarr store at `path`; returns the seconds it took."""
    blobs = blob_centres(shape)
    template = da.empty(shape, chunks=chunks, dtype=np.uint16)
    raw = template.map_blocks(synthetic_block, blobs, dtype=np.uint16)
    t0 = time.perf_counter()
    with ProgressBar():
        raw.to_zarr(path, overwrite=True)
    return time.perf_counter() - t0


def reset_peak_memory() -> bool:
    """Restarts the kernel's count of this process's peak resident set (VmHWM); False where it cannot."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_memory() -> Optional[int]:
    """The peak resident set of this process in bytes (since the last reset), from /proc."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def deskew_matrix(angle_deg: float, step: float, pixel: float) -> Tuple[np.ndarray, float]:
    """The shear (output -> raw) of a stage scan, and its size in pixels per plane."""
    shear = step * math.cos(math.radians(angle_deg)) / pixel
    matrix = np.eye(3)
    matrix[1, 0] = -shear
    return matrix, shear


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--shape", type=int, nargs=3, default=(256, 2048, 2048), help="raw volume (z y x)")
    ap.add_argument("--chunks", type=int, nargs=3, default=(64, 256, 2048), help="Zarr chunks of both stores")
    ap.add_argument("--angle", type=float, default=31.8, help="light-sheet angle to the stage, degrees")
    ap.add_argument("--step", type=float, default=0.4, help="stage step between planes, micrometres")
    ap.add_argument("--pixel", type=float, default=0.1, help="camera pixel at the sample, micrometres")
    ap.add_argument("--threads", type=int, default=os.cpu_count(), help="dask threads")
    ap.add_argument("--dir", default="/tmp/zentrova-deskew", help="where the two stores go")
    ap.add_argument("--rebuild", action="store_true", help="write the raw store again even if it exists")
    args = ap.parse_args()

    shape, chunks = tuple(args.shape), tuple(args.chunks)
    raw_path, out_path = os.path.join(args.dir, "raw.zarr"), os.path.join(args.dir, "deskewed.zarr")
    os.makedirs(args.dir, exist_ok=True)
    dask.config.set(scheduler="threads", num_workers=args.threads)
    gib = 2**30

    existing = da.from_zarr(raw_path) if os.path.exists(raw_path) and not args.rebuild else None
    if existing is None or existing.shape != shape or existing.chunksize != chunks:
        print(f"writing the raw volume {shape} uint16 ({math.prod(shape) * 2 / gib:.2f} GiB) to {raw_path}")
        seconds = build_raw(raw_path, shape, chunks)
        print(f"  {seconds:.1f} s, {math.prod(shape) / seconds / 1e6:.0f} Mvox/s")

    raw = da.from_zarr(raw_path)
    matrix, shear = deskew_matrix(args.angle, args.step, args.pixel)
    out_shape = (shape[0], shape[1] + int(math.ceil(shear * (shape[0] - 1))), shape[2])
    deskewed = zr.affine_transform(raw, matrix, output_shape=out_shape, order=1, output_chunks=chunks)
    tasks = len(deskewed.dask.layers[deskewed.name])
    print(f"deskew: shear {shear:.3f} px/plane, {shape} -> {out_shape} "
          f"({math.prod(out_shape) * 2 / gib:.2f} GiB), {deskewed.npartitions} output chunks, {tasks} tasks "
          f"(chunk {math.prod(chunks) * 2 / 2**20:.0f} MiB), {args.threads} dask threads, "
          f"zentrova pool {zentrova.build_info()['num_threads']} threads")
    shutil.rmtree(out_path, ignore_errors=True)
    measured = reset_peak_memory()
    t0 = time.perf_counter()
    # The deskewed volume's voxels: planes a stage step apart across the sheet, camera pixels within.
    voxel = (args.step * math.sin(math.radians(args.angle)), args.pixel, args.pixel)
    with ProgressBar():
        group = zr.write_ome_zarr(out_path, deskewed, scale=voxel, unit="micrometer", chunks=chunks)
    seconds = time.perf_counter() - t0
    peak = peak_memory()
    mvox = math.prod(out_shape) / 1e6
    levels = [d["path"] for d in group.attrs["multiscales"][0]["datasets"]]
    print(f"deskewed into {out_path} (OME-Zarr, levels {', '.join(levels)}): {seconds:.1f} s, {mvox / seconds:.0f} "
          f"Mvox/s of level 0 ({math.prod(out_shape) * 2 / seconds / 2**20:.0f} MiB/s), Zarr read, resample, the "
          f"levels and the writes included")
    if peak is not None:
        print(f"peak memory of this process{' during the deskew' if measured else ''}: {peak / gib:.2f} GiB "
              f"(raw volume {math.prod(shape) * 2 / gib:.2f} GiB, deskewed {math.prod(out_shape) * 2 / gib:.2f} GiB)")

    # a spot check: one output chunk against the in-memory call on the raw planes it needs
    z = slice(0, min(chunks[0], shape[0]))
    part = np.asarray(raw[z])
    expected = zr.affine_transform(part, matrix, output_shape=(part.shape[0],) + out_shape[1:], order=1)
    stored = np.asarray(da.from_zarr(os.path.join(out_path, "0"))[z])
    print(f"spot check, output planes {z.start}..{z.stop - 1} against the in-memory call: "
          f"{'identical' if np.array_equal(stored, expected) else 'DIFFERENT'}")


if __name__ == "__main__":
    main()

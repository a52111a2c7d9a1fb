"""A volume larger than memory, rotated from one Zarr store on disk into another on a LocalCluster.

1. Writes (once per shape and codec; again with --rebuild) a uint16 volume to a Zarr store under --dir:
   a smooth gradient with noise, chunk by chunk, never whole in memory.
2. Rotates it by 17 degrees about two axes (order 1, mode 'constant') from that store into a new one,
   on a LocalCluster of W worker processes of 1 thread each (zentrova's pool in each sized to it by
   PoolSize), for each W of --workers: each output task reads its input box from the store itself
   (output chunks: the default ones, shaped by the rotation), and either drops the result (the read
   and the computation alone) or writes its region into the new store (bound by the disk's writes
   where the disk is slower than the computation). Mvox/s of output, per worker, and the peak
   resident memory of each worker (VmHWM, reset before the run).
3. The same rotation in memory, in this process on one thread, of the first --fit planes (a volume
   that fits): the rate per core the cluster is measured against.
4. With --compare N, a store of the first N planes only (the other paths are much slower), rotated on
   the cluster of the largest W: by store reads as above, through its chunks' own tasks
   (``da.from_zarr(..., inline_array=True)``, which the resampler does not see through: the input
   chunks then move between the workers through the scheduler, as before store reads), and by
   dask-image's affine_transform (when installed).

    python bench/bench_store.py [--gb 20] [--quick] [--workers 1 2] [--chunks 64 256 256]
                                [--codec lz4|zstd|none] [--dir DIR] [--fit 128] [--compare 128]

--quick: a volume of 0.25 GiB (CI-sized). The stores stay under --dir (the input is reused); the
output store of each run is removed after it.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import time
from typing import Dict, Optional, Sequence, Tuple

import dask.array as da
import numpy as np
import zarr
from distributed import Client, LocalCluster

import zentrova_resample as zr
from zentrova_resample.dask_workers import PoolSize, worker_env

GIB = 2**30


def rotation(shape: Sequence[int], degrees: float = 17.0) -> Tuple[np.ndarray, np.ndarray]:
    """17 degrees about axes 0 and 1 in turn, about the volume's centre: (matrix, offset) output -> input."""
    a = math.radians(degrees)
    c, s = math.cos(a), math.sin(a)
    m = np.array([[1, 0, 0], [0, c, -s], [0, s, c]]) @ np.array([[c, 0, s], [0, 1, 0], [-s, 0, c]])
    centre = (np.asarray(shape, dtype=np.float64) - 1) / 2
    return m, centre - m @ centre


def shape_for(gib: float, side: int = 2048) -> Tuple[int, int, int]:
    """A (z, side, side) uint16 volume of about `gib` GiB."""
    return (max(1, round(gib * GIB / 2 / side / side)), side, side)


def _block(block: np.ndarray, block_info=None) -> np.ndarray:
    (z0, z1), (y0, y1), (x0, x1) = block_info[None]["array-location"]
    rng = np.random.default_rng([z0, y0, x0])
    z, y, x = np.ogrid[z0:z1, y0:y1, x0:x1]
    smooth = 20000 + 8000 * np.sin(z / 37.0) * np.cos(y / 53.0) + 4000 * np.sin(x / 29.0)
    return (smooth + rng.integers(0, 256, (z1 - z0, y1 - y0, x1 - x0))).astype(np.uint16)


def compressors(codec: str):
    """The codec of the stores, as zarr 3 takes it (None: uncompressed)."""
    if codec == "none":
        return None
    from zarr.codecs import BloscCodec, BloscShuffle
    if codec == "lz4":
        return [BloscCodec(cname="lz4", clevel=1, shuffle=BloscShuffle.bitshuffle)]
    return [BloscCodec(cname="zstd", clevel=1, shuffle=BloscShuffle.bitshuffle)]


def build_input(path: str, shape: Tuple[int, ...], chunks: Tuple[int, ...], codec: str, client: Client) -> float:
    """Writes the volume to a new store at `path` by the cluster's tasks; the seconds it took."""
    shutil.rmtree(path, ignore_errors=True)
    target = zarr.create_array(path, shape=shape, chunks=chunks, dtype=np.uint16, compressors=compressors(codec))
    volume = da.empty(shape, chunks=chunks, dtype=np.uint16).map_blocks(_block, dtype=np.uint16)
    t0 = time.perf_counter()
    da.store(volume, target, lock=False, compute=True)
    return time.perf_counter() - t0


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _peak() -> Optional[int]:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


class Discard:
    """A target that drops what is written into it: the rotation read and computed, nothing written."""

    def __setitem__(self, key, value) -> None:
        pass


def rotate_stored(client: Client, source, out_path: Optional[str], codec: str) -> Dict[str, float]:
    """The rotation of the dask array `source` into a new store at `out_path` (None: computed and
    dropped) on the client's cluster: seconds, Mvox/s, and the workers' peak resident memory in GiB."""
    matrix, offset = rotation(source.shape)
    lazy = zr.affine_transform(source, matrix, offset, order=1)
    if out_path is not None:
        shutil.rmtree(out_path, ignore_errors=True)
        target = zarr.create_array(out_path, shape=lazy.shape, chunks=tuple(max(c) for c in lazy.chunks),
                                   dtype=np.uint16, compressors=compressors(codec))
    client.run(_reset_peak)
    t0 = time.perf_counter()
    if out_path is not None:
        zr.affine_transform(source, matrix, offset, order=1, output=target)
    else:
        da.store(lazy, Discard(), lock=False, compute=True)
    seconds = time.perf_counter() - t0
    peaks = [p for p in client.run(_peak).values() if p is not None]
    if out_path is not None:
        shutil.rmtree(out_path, ignore_errors=True)
    return {"seconds": seconds, "mvox_s": math.prod(lazy.shape) / seconds / 1e6,
            "peak_gib_per_worker": max(peaks) / GIB if peaks else float("nan"),
            "chunks": [max(c) for c in lazy.chunks]}


def rotate_dask_image(client: Client, source, codec: str) -> Optional[Dict[str, float]]:
    """dask-image's rotation of `source` (the input's chunks), read and computed, the result dropped."""
    try:
        from dask_image.ndinterp import affine_transform as di_affine
    except ImportError:
        return None
    matrix, offset = rotation(source.shape)
    lazy = di_affine(source, matrix, offset, order=1, output_chunks=source.chunksize)
    t0 = time.perf_counter()
    da.store(lazy, Discard(), lock=False, compute=True)
    seconds = time.perf_counter() - t0
    return {"seconds": seconds, "mvox_s": math.prod(lazy.shape) / seconds / 1e6}


def in_memory_per_core(path: str, planes: int, repeat: int = 3) -> float:
    """Mvox/s of the rotation of the store's first `planes` planes in memory, on one thread."""
    volume = zarr.open_array(path, mode="r")[:planes]
    matrix, offset = rotation(volume.shape)
    previous = zr.set_num_threads(1)
    try:
        zr.affine_transform(volume, matrix, offset, order=1)
        best = min(_timed(lambda: zr.affine_transform(volume, matrix, offset, order=1)) for _ in range(repeat))
    finally:
        zr.set_num_threads(previous)
    return volume.size / best / 1e6


def _timed(f) -> float:
    t0 = time.perf_counter()
    f()
    return time.perf_counter() - t0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--gb", type=float, default=4.0, help="size of the uint16 volume in GiB")
    ap.add_argument("--quick", action="store_true", help="a 0.25 GiB volume")
    ap.add_argument("--workers", type=int, nargs="+", default=(1, 2), help="LocalCluster sizes (processes)")
    ap.add_argument("--chunks", type=int, nargs=3, default=(64, 256, 256), help="the input store's chunks")
    ap.add_argument("--codec", choices=("lz4", "zstd", "none"), default="lz4", help="both stores' codec (Blosc)")
    ap.add_argument("--dir", default="/var/tmp/zentrova-store-bench", help="where the stores go")
    ap.add_argument("--fit", type=int, default=128, help="planes rotated in memory for the rate per core")
    ap.add_argument("--compare", type=int, default=0,
                    help="planes rotated through the chunk tasks and by dask-image (0: not run)")
    ap.add_argument("--rebuild", action="store_true", help="write the input store again")
    ap.add_argument("--json", help="write the results here too")
    args = ap.parse_args()

    shape = shape_for(0.25 if args.quick else args.gb)
    chunks = tuple(min(c, n) for c, n in zip(args.chunks, shape))
    os.makedirs(args.dir, exist_ok=True)
    name = f"input-{'x'.join(map(str, shape))}-{'x'.join(map(str, chunks))}-{args.codec}.zarr"
    in_path = os.path.join(args.dir, name)
    out_path = os.path.join(args.dir, "rotated.zarr")
    results: Dict[str, object] = {"shape": shape, "chunks": chunks, "codec": args.codec,
                                  "gib": math.prod(shape) * 2 / GIB}
    print(f"volume {shape} uint16 ({results['gib']:.2f} GiB), input chunks {chunks}, Blosc {args.codec}, "
          f"rotation 17 degrees about two axes, order 1")
    per_core = None
    for workers in sorted(args.workers):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                          silence_logs=40, env=worker_env(1)) as cluster, Client(cluster) as client:
            register = getattr(client, "register_plugin", None) or client.register_worker_plugin
            register(PoolSize())
            if args.rebuild or not os.path.exists(in_path):
                seconds = build_input(in_path, shape, chunks, args.codec, client)
                print(f"  input written in {seconds:.1f} s ({math.prod(shape) / seconds / 1e6:.0f} Mvox/s)")
                args.rebuild = False
            if per_core is None:
                per_core = in_memory_per_core(in_path, min(args.fit, shape[0]))
                results["in_memory_per_core_mvox_s"] = per_core
                print(f"  in memory, one thread, {min(args.fit, shape[0])} planes: {per_core:.0f} Mvox/s")
            for label, target in (("read and computed", None), ("into a store", out_path)):
                run = rotate_stored(client, da.from_zarr(zarr.open_array(in_path, mode="r")), target, args.codec)
                run["per_worker_mvox_s"] = run["mvox_s"] / workers
                run["of_in_memory_per_core"] = run["per_worker_mvox_s"] / per_core
                results[f"{label}, {workers} workers"] = run
                print(f"  {workers} worker(s), from the store, {label}: {run['seconds']:.1f} s, {run['mvox_s']:.0f} "
                      f"Mvox/s ({run['per_worker_mvox_s']:.0f} per worker, "
                      f"{100 * run['of_in_memory_per_core']:.0f}% of "
                      f"in memory per core), output chunks {run['chunks']}, peak {run['peak_gib_per_worker']:.2f} GiB "
                      f"per worker")
            if args.compare and workers == max(args.workers):
                planes = min(args.compare, shape[0])
                small = os.path.join(args.dir, f"compare-{planes}.zarr")
                shutil.rmtree(small, ignore_errors=True)
                first = zarr.create_array(small, shape=(planes,) + shape[1:], chunks=chunks, dtype=np.uint16,
                                          compressors=compressors(args.codec))
                da.store(da.from_zarr(in_path)[:planes], first, lock=False, compute=True)
                for label, source in (("store reads", da.from_zarr(small)),
                                      ("the chunks' own tasks (as before store reads)",
                                       da.from_zarr(small, inline_array=True))):
                    part = rotate_stored(client, source, None, args.codec)
                    results[f"compare: {label}"] = part
                    print(f"  {planes} planes, {label}: {part['mvox_s']:.0f} Mvox/s, "
                          f"peak {part['peak_gib_per_worker']:.2f} GiB per worker")
                di = rotate_dask_image(client, da.from_zarr(small), args.codec)
                if di is not None:
                    results["compare: dask-image"] = di
                    print(f"  {planes} planes by dask-image: {di['mvox_s']:.0f} Mvox/s")
                shutil.rmtree(small, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1, default=float)


if __name__ == "__main__":
    main()

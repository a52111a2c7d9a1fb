"""Chunked resampling on dask: zentrova against dask-image, and what chunking costs.

1. The same chunked job (a uint16 volume rotated about its centre, order 1, mode 'constant') with
   dask_image.ndinterp.affine_transform (scipy per output chunk) and with zentrova_resample's, the
   same input and output chunks, on the same LocalCluster of 2 worker processes of 1 thread each
   (zentrova's pool in each worker sized to it by PoolSize): Mvox/s of output of each, the ratio, and
   how many voxels of each differ from its own in-memory call on the whole volume (scipy's for
   dask-image; zentrova computes 16-bit types in binary32, so the two differ by 1 at some ties).
2. zentrova chunked against zentrova in memory on one volume that fits (1024^3 uint16 by default,
   128 MiB chunks of whole rows, and of whole planes), a rotation and a deskew shear, the threaded
   scheduler in this process: the cost of chunking, how much input the chunks' boxes hold, and the
   CPU time of each; with the input's chunks cut from the one array (boxes are views of it) and held
   apart in memory (boxes are copied out of them, as from a chunked store).
3. zentrova's job of 1. on worker layouts of this machine: processes x threads, and the pool size in
   each worker (the default, all CPUs, oversubscribes when there are several processes).

The input is made and kept in the workers' memory before the clock starts (persist); each timing is
the best of --repeat runs of persisting the output (the chunks computed and held, not gathered).

    python bench/bench_dask.py [--shape 256 1024 1024] [--chunks 64 256 256] [--fits 1024 1024 1024]
                               [--repeat 3] [--parts 1 2 3]
"""

from __future__ import annotations

import argparse
import math
import os
import time
from typing import Callable, Sequence, Tuple

import dask
import dask.array as da
import numpy as np
import scipy.ndimage as ndi
from dask.graph_manipulation import clone
from distributed import Client, LocalCluster, wait

import zentrova
import zentrova_resample as zr
from zentrova_resample import _dask_graph, _execute, _plan
from zentrova_resample.dask_workers import PoolSize


def rotation(shape: Sequence[int], degrees: float = 17.0) -> Tuple[np.ndarray, np.ndarray]:
    """A rotation about two axes, about the volume's centre (as bench_transforms.py)."""
    a = np.deg2rad(degrees)
    c, s = np.cos(a), np.sin(a)
    m = np.array([[1, 0, 0], [0, c, -s], [0, s, c]]) @ np.array([[c, 0, s], [0, 1, 0], [-s, 0, c]])
    centre = (np.asarray(shape) - 1) / 2.0
    return m, centre - m @ centre


def best_persist(make: Callable[[], da.Array], repeat: int, source: da.Array, cluster: bool = True) -> float:
    """Best wall time of persisting the lazy array over `repeat` runs: on the cluster (until its chunks are
    in the workers' memory), or on the local scheduler set with dask.config. Each run gets keys of its
    own (a clone of the graph above `source`), so that no run finds another's results."""
    best = math.inf
    for _ in range(repeat):
        lazy = clone(make(), omit=source)
        t0 = time.perf_counter()
        held = lazy.persist()
        if cluster:
            wait(held)
        best = min(best, time.perf_counter() - t0)
        del held
    return best


def _pool_size() -> int:
    return zentrova.build_info()["num_threads"]


def volume(shape: Sequence[int], chunks: Sequence[int]) -> da.Array:
    """A random uint16 volume (12-bit values, as a camera's), made chunk by chunk."""
    return da.random.default_rng(1).integers(0, 4096, tuple(shape), chunks=tuple(chunks), dtype=np.uint16)


def part_dask_image(shape, chunks, repeat: int) -> None:
    from dask_image.ndinterp import affine_transform as di_affine_transform

    m, off = rotation(shape)
    mvox = math.prod(shape) / 1e6
    print(f"\n1. dask-image vs zentrova: {tuple(shape)} uint16, chunks {tuple(chunks)} in and out, LocalCluster of "
          f"2 worker processes x 1 thread")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=40) as cluster, Client(cluster) as client:
        client.register_plugin(PoolSize())
        x = volume(shape, chunks).persist()
        wait(x)
        jobs = {
            "dask-image (scipy)": lambda: di_affine_transform(x, m, off, output_shape=shape, order=1,
                                                               output_chunks=chunks, mode="constant", cval=0),
            "zentrova": lambda: zr.affine_transform(x, m, off, output_shape=shape, order=1, output_chunks=chunks),
        }
        times = {name: best_persist(make, repeat, x) for name, make in jobs.items()}
        pools = sorted(client.run(_pool_size).values())
        data = x.compute()
        whole = {"dask-image (scipy)": ndi.affine_transform(data, m, off, output_shape=shape, order=1),
                 "zentrova": zr.affine_transform(data, m, off, output_shape=shape, order=1)}
        differ = {name: int(np.count_nonzero(make().compute() != whole[name])) for name, make in jobs.items()}
    for name, t in times.items():
        print(f"   {name:20s} {t:7.3f} s  {mvox / t:8.1f} Mvox/s   voxels differing from its own in-memory call "
              f"({'scipy' if 'scipy' in name else 'zentrova'}): {differ[name]} of {math.prod(shape)}")
    print(f"   ratio zentrova / dask-image: {times['dask-image (scipy)'] / times['zentrova']:.1f}x "
          f"(zentrova pool per worker: {pools})")


def deskew(shape: Sequence[int], shear: float = 0.5) -> Tuple[np.ndarray, np.ndarray]:
    """A stage-scan deskew shear (y by `shear` per plane), centred."""
    m = np.eye(3)
    m[1, 0] = -shear
    return m, np.array([0.0, shear * (shape[0] - 1) / 2, 0.0])


def part_chunking_cost(shape, chunk_mib: int, repeat: int) -> None:
    shape = tuple(shape)
    mvox = math.prod(shape) / 1e6
    data = np.random.default_rng(2).integers(0, 4096, shape, dtype=np.uint16)
    threads = os.cpu_count()
    plane = shape[1] * shape[2] * 2
    layouts = {"whole rows (the default)": _dask_graph.row_chunks(shape, data.dtype, chunk_mib * 2**20),
               "whole planes": (max(1, chunk_mib * 2**20 // plane),) + shape[1:]}
    print(f"\n2. chunked vs in memory: {shape} uint16 ({data.nbytes / 2**30:.2f} GiB), {chunk_mib} MiB chunks (input "
          f"and output), threaded scheduler with {threads} threads, zentrova pool {_pool_size()} threads; in-memory "
          f"and chunked runs alternate, medians of {repeat}")
    for name, (m, off) in (("rotation", rotation(shape)), ("deskew shear", deskew(shape))):
        zr.affine_transform(data[:8], m, off, output_shape=(8,) + shape[1:])  # warm-up
        for layout, chunks in layouts.items():
            x = da.from_array(data, chunks=chunks)
            plan, _, _ = _plan.plan_affine(data, m, off, shape, None, 1, "constant", 0.0)
            lazy = zr.affine_transform(x, m, off, output_shape=shape, order=1)
            boxes = sum(math.prod(b - a for a, b in box) for box in (
                _execute.input_box(plan, *_dask_graph.chunk_window(lazy.chunks, index))
                for index in np.ndindex(*lazy.numblocks)) if box)
            # The input's chunks as separate arrays held in memory (as a chunked store gives them): boxes
            # are copied out of them. Cut from the one array (da.from_array), boxes are views of it.
            with dask.config.set(scheduler="threads", num_workers=threads):
                apart = x.map_blocks(np.copy).persist()
            runs = {"in memory": [], "chunked, views": [], "chunked, chunks apart": []}
            cpu = {k: [] for k in runs}

            def chunked(source: da.Array) -> float:
                return best_persist(lambda: zr.affine_transform(source, m, off, output_shape=shape, order=1), 1,
                                    source, cluster=False)

            def in_memory() -> float:
                t0 = time.perf_counter()
                zr.affine_transform(data, m, off, output_shape=shape, order=1)
                return time.perf_counter() - t0

            with dask.config.set(scheduler="threads", num_workers=threads):
                for i in range(repeat):
                    # The run right after another kind tends to be slower (seen on this VM): the three
                    # take turns going first.
                    variants = [("in memory", in_memory), ("chunked, views", lambda: chunked(x)),
                                ("chunked, chunks apart", lambda: chunked(apart))]
                    for variant, fn in variants[i % 3:] + variants[:i % 3]:
                        c0 = time.process_time()
                        runs[variant].append(fn())
                        cpu[variant].append(time.process_time() - c0)
            del apart
            w, v, c = (np.median(runs[k]) for k in runs)
            wc, vc, cc = (np.median(cpu[k]) for k in cpu)
            print(f"   {name}, {layout} {tuple(len(a) and a[0] for a in lazy.chunks)}, input boxes "
                  f"{boxes / math.prod(shape):.2f}x the output: medians: in memory {w:6.3f} s ({mvox / w:5.0f} Mvox/s); "
                  f"chunked, boxes viewing one array {v:6.3f} s: {v / w - 1:+.0%} (CPU time {vc / wc - 1:+.0%}); "
                  f"chunked, boxes copied from chunks apart {c:6.3f} s: {c / w - 1:+.0%} (CPU time {cc / wc - 1:+.0%})",
                  flush=True)
    x = da.from_array(data, chunks=layouts["whole rows (the default)"])
    m, off = rotation(shape)
    with dask.config.set(scheduler="threads", num_workers=threads):
        target = np.empty(shape, np.uint16)
        da.store(zr.affine_transform(x, m, off, output_shape=shape, order=1), target, lock=False)
    same = np.array_equal(target, zr.affine_transform(data, m, off, output_shape=shape, order=1))
    print(f"   rotation, chunked result stored into one array: identical to in memory: {same}")


LAYOUTS = ((2, 1, "threads"), (1, 2, "threads"), (2, 2, "threads"), (2, 1, "default"), (1, 4, "threads"))


def part_layouts(shape, chunks, repeat: int) -> None:
    m, off = rotation(shape)
    mvox = math.prod(shape) / 1e6
    print(f"\n3. worker layouts for zentrova ({tuple(shape)} uint16, chunks {tuple(chunks)}), {os.cpu_count()} CPUs")
    for workers, threads, pool in LAYOUTS:
        with LocalCluster(n_workers=workers, threads_per_worker=threads, processes=True, dashboard_address=None,
                          silence_logs=40) as cluster, Client(cluster) as client:
            if pool == "threads":
                client.register_plugin(PoolSize())
            x = volume(shape, chunks).persist()
            wait(x)
            t = best_persist(lambda: zr.affine_transform(x, m, off, output_shape=shape, order=1,
                                                         output_chunks=chunks), repeat, x)
            pools = sorted(client.run(_pool_size).values())
        print(f"   {workers} processes x {threads} threads, pool {pools} ({'= threads' if pool == 'threads' else pool}):"
              f" {t:7.3f} s  {mvox / t:8.1f} Mvox/s")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--shape", type=int, nargs=3, default=(256, 1024, 1024))
    ap.add_argument("--chunks", type=int, nargs=3, default=(64, 256, 256))
    ap.add_argument("--fits", type=int, nargs=3, default=(1024, 1024, 1024), help="the volume of part 2")
    ap.add_argument("--chunk-mib", type=int, default=128, help="chunk size of part 2")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--parts", type=int, nargs="+", default=(1, 2, 3))
    args = ap.parse_args()
    print(f"zentrova {zentrova.build_info()['version']}, dask {dask.__version__}, {os.cpu_count()} CPUs")
    if 1 in args.parts:
        part_dask_image(args.shape, args.chunks, args.repeat)
    if 2 in args.parts:
        part_chunking_cost(args.fits, args.chunk_mib, args.repeat)
    if 3 in args.parts:
        part_layouts(args.shape, args.chunks, args.repeat)


if __name__ == "__main__":
    main()

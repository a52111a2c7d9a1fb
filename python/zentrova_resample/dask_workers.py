"""zentrova's worker pool inside dask.distributed workers: one pool per worker process, as many threads
as the cores given to that worker, so that the workers of a machine never run more compute threads
than it has cores.

Each process has one pool, which zentrova_resample and zentrova share, created at the first call with
``ZENTROVA_NUM_THREADS`` threads (or ``RAYON_NUM_THREADS``, ``RAYON_RS_NUM_CPUS``; else one per usable
CPU). A dask worker runs ``nthreads`` tasks at a time on its threads; their calls into the engine take
turns on the process's pool, each call using every thread of it, while the other task threads read and
write chunks (I/O, decompression, assembling input boxes). So the pool of a worker should have the
worker's ``nthreads`` threads:

* ``PoolSize()``, a worker plugin: ``client.register_plugin(PoolSize())`` sets the pool of each worker
  to the worker's ``nthreads`` (``zentrova_resample.set_num_threads``), whether or not the pool has
  been made yet;
* or the environment of the worker processes: ``LocalCluster(n_workers=W, threads_per_worker=T,
  env=worker_env(T))``, ``ZENTROVA_NUM_THREADS=T dask worker --nthreads T ...``.

Without either, every worker process makes a pool of all the machine's CPUs: W workers then run W
times as many compute threads as there are cores. With W processes of T threads on C cores, take
W * T = C. The dask threads of a worker add no compute threads of their own; one to two per pool
thread keep the pool fed while chunks are read and written (bench/bench_dask.py compares layouts).
"""

from __future__ import annotations

from typing import Dict, Optional

from distributed.diagnostics.plugin import WorkerPlugin

from ._threads import set_num_threads

POOL_VARIABLE = "ZENTROVA_NUM_THREADS"


def worker_env(nthreads: int) -> Dict[str, str]:
    """The environment that gives the pool of a worker process `nthreads` threads."""
    if int(nthreads) < 1:
        raise ValueError(f"nthreads: expected a positive integer, got {nthreads!r}")
    return {POOL_VARIABLE: str(int(nthreads))}


class PoolSize(WorkerPlugin):
    """Sizes zentrova's pool in each worker process to the worker's thread count (or `threads`)."""

    name = "zentrova-pool-size"

    def __init__(self, threads: Optional[int] = None) -> None:
        self.threads = threads

    def setup(self, worker) -> None:
        state = getattr(worker, "state", worker)  # the thread count is the state's since distributed 2022.11
        set_num_threads(int(self.threads or state.nthreads))

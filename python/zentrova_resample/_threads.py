"""The size of zentrova's worker pool, and its controller for threadpoolctl.

A process has one worker pool, in the shared library ``libzentrova_pool.so`` beside this file, which
this package and the fixed module ``zentrova`` both run on.
"""

from __future__ import annotations

from typing import SupportsIndex

from . import _engine

_POOL_PREFIX = "libzentrova_pool"


def get_num_threads() -> int:
    """The number of threads each call of zentrova_resample (and of zentrova) runs on.

    A process has one worker pool, which both packages share: its size is that of the pool, or, before
    the first call has made the pool, the size it will have. That size is, until set_num_threads
    changes it, the first of the environment variables ``ZENTROVA_NUM_THREADS``, ``RAYON_NUM_THREADS``
    and ``RAYON_RS_NUM_CPUS`` that holds a positive integer, else the number of CPUs this process may
    run on (its affinity mask, limited by its cgroup's CPU quota). Any size is capped at four threads
    per such CPU.
    """
    return _engine.get_num_threads()


def set_num_threads(n: SupportsIndex) -> int:
    """Sets the size of the worker pool that zentrova_resample and zentrova share; returns the previous one.

    `n` must be an integer of at least 1 (TypeError, ValueError otherwise); a size above four threads per
    CPU this process may run on is clamped to that. Waits for a call that is running on the pool; later
    calls, from any thread and either package, run on the new size. A larger size starts the missing
    threads at once (if the system refuses some, the pool keeps those it could start; get_num_threads
    tells); a smaller one leaves the others parked. A child process made by fork() starts its own pool,
    of the size last set.
    """
    return _engine.set_num_threads(n)


def _pool_version():
    try:
        from importlib.metadata import version

        return version("zentrova")
    except Exception:  # noqa: BLE001 - the version is informative only
        return None


def _register_with_threadpoolctl() -> bool:
    """Registers the pool with threadpoolctl if it can be imported (3.2 or newer, which takes third-party
    controllers; threadpoolctl stays optional): ``threadpool_info()`` then lists the pool (user_api and
    internal_api "zentrova") and ``threadpool_limits(n)`` limits it. True if registered."""
    global _registered
    if _registered:
        return True
    try:
        import threadpoolctl
    except ImportError:
        return False
    base, register = getattr(threadpoolctl, "LibController", None), getattr(threadpoolctl, "register", None)
    if base is None or register is None:  # older than 3.2
        return False

    # The base class is found at run time (threadpoolctl is optional): nothing a type checker can follow.
    class ZentrovaPoolController(base):  # type: ignore[misc,valid-type]
        """zentrova's worker pool, through the C functions of libzentrova_pool.so."""

        user_api = "zentrova"
        internal_api = "zentrova"
        filename_prefixes = (_POOL_PREFIX,)
        check_symbols = ("zentrova_pool_get_num_threads", "zentrova_pool_set_num_threads")

        def get_num_threads(self):
            return self.dynlib.zentrova_pool_get_num_threads()

        def set_num_threads(self, num_threads):
            return self.dynlib.zentrova_pool_set_num_threads(num_threads)

        def get_version(self):
            return _pool_version()

    register(ZentrovaPoolController)
    _registered = True
    return True


_registered = False
_register_with_threadpoolctl()

"""Chunked stores (Zarr arrays, and any array of a store with ``shape``, ``dtype``, ``chunks`` and slicing):
inputs whose boxes each task reads straight from the store, and outputs written region by region.

A dask array made by ``dask.array.from_zarr`` (or ``from_array`` of such an array) holds the store's
array object in its graph, and its chunks read from it. Its tasks are then not needed: each output
chunk's task reads the box it needs from the store itself (the store's chunks that the box cuts,
decompressed in the task), so that no input chunk travels between workers through the scheduler.
The values are the same as the chunks': the same array, read the same way.

Nothing here imports zarr: a store array is recognised by what it has, and a path given as an
output is opened with zarr only then.
"""

from __future__ import annotations

import itertools
import os
import threading
import uuid
from collections import OrderedDict
from typing import Any, Optional, Sequence, Tuple

import numpy as np

from ._errors import StoreReadError

Box = Tuple[Tuple[int, int], ...]


def is_store_array(obj: Any) -> bool:
    """Whether `obj` is an array of a chunked store: not a NumPy or dask array, with a shape, a dtype,
    regular chunks and slicing (a Zarr array, or the like)."""
    if isinstance(obj, np.ndarray) or type(obj).__module__.startswith("dask"):
        return False
    chunks = getattr(obj, "chunks", None)
    shape = getattr(obj, "shape", None)
    return (hasattr(obj, "__getitem__") and hasattr(obj, "dtype") and isinstance(shape, tuple)
            and isinstance(chunks, tuple) and len(chunks) == len(shape)
            and all(isinstance(c, (int, np.integer)) and c > 0 for c in chunks))


def stored_array(x: Any) -> Optional[Any]:
    """The store array behind the dask array `x` when `x` is nothing but its chunks (as
    ``dask.array.from_zarr`` and ``from_array(store_array)`` make it: the array object in a graph layer
    of its own, read by one layer of chunk tasks), of x's shape and dtype; else None (an array
    computed from it, sliced or converted, is read through its own tasks)."""
    layers = getattr(getattr(x, "dask", None), "layers", None)
    if layers is None or len(layers) != 2:
        return None
    original = layers.get("original-" + x.name)
    if original is None or x.name not in layers:
        return None
    values = list(original.values())
    if len(values) != 1 or not is_store_array(values[0]):
        return None
    store = values[0]
    if tuple(store.shape) != tuple(x.shape) or np.dtype(store.dtype) != x.dtype:
        return None
    return store


def _slices(box: Box) -> Tuple[slice, ...]:
    return tuple(slice(a, b) for a, b in box)


def _read(store: Any, box: Box) -> np.ndarray:
    return np.asarray(store[_slices(box)])


def chunk_name(store: Any, index: Tuple[int, ...]) -> str:
    """The store's chunk at grid position `index`: its position and, where the store says it, its key."""
    metadata = getattr(store, "metadata", None)
    # zarr 3 names a chunk's key by its metadata, zarr 2 by the array
    encode = getattr(metadata, "encode_chunk_key", None) or getattr(store, "_chunk_key", None)
    try:
        key = encode(index) if encode is not None else None
    except Exception:  # noqa: BLE001 - the key is only a help to the reader of the message
        key = None
    return f"chunk {index}" + (f" (key {key!r})" if key else "")


# Decompressed chunks of input stores, kept in this process for the next tasks of the same
# computation: a rotated output chunk's box cuts a dozen input chunks, most of them partly, and its
# neighbours' boxes cut the same ones, so that without it each input chunk would be read and
# decompressed several times over. Entries are kept per computation (`scope`: a name a task of the
# graph makes each time the graph is computed, with the bytes of chunks its tasks share: those two
# neighbouring rows of output chunks read), so that a store changed between two computations is read
# again; the least recently used go first past the limit. The limit: ZENTROVA_STORE_CACHE_MB when set
# (0: no cache); else 512 MiB, raised to what a computation's tasks share, up to an eighth of the
# machine's memory. A process holds it at most beyond its tasks (until other chunks replace them).
_SET_LIMIT = os.environ.get("ZENTROVA_STORE_CACHE_MB")
STORE_CACHE_BYTES = int(float(_SET_LIMIT if _SET_LIMIT is not None else "512") * 2**20)


def _memory_bytes() -> int:
    try:
        return int(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES"))
    except (ValueError, OSError, AttributeError):
        return 8 * 2**30


STORE_CACHE_CAP = STORE_CACHE_BYTES if _SET_LIMIT is not None else max(STORE_CACHE_BYTES, _memory_bytes() // 8)


class _ChunkCache:
    def __init__(self, limit: int) -> None:
        self.limit, self.held = limit, 0
        self.entries: "OrderedDict[Tuple[Any, ...], np.ndarray]" = OrderedDict()
        self.lock = threading.Lock()

    def want(self, wanted: int) -> None:
        """Raises the limit to `wanted` bytes, up to STORE_CACHE_CAP (never lowers it)."""
        with self.lock:
            self.limit = max(self.limit, min(int(wanted), STORE_CACHE_CAP))

    def get(self, key: Tuple[Any, ...]) -> Optional[np.ndarray]:
        with self.lock:
            value = self.entries.get(key)
            if value is not None:
                self.entries.move_to_end(key)
            return value

    def put(self, key: Tuple[Any, ...], value: np.ndarray) -> None:
        if value.nbytes > self.limit:
            return
        with self.lock:
            if key in self.entries:
                return
            self.entries[key] = value
            self.held += value.nbytes
            while self.held > self.limit:
                _, old = self.entries.popitem(last=False)
                self.held -= old.nbytes

    def clear(self) -> None:
        with self.lock:
            self.entries.clear()
            self.held = 0


_cache = _ChunkCache(STORE_CACHE_BYTES)

Scope = Tuple[str, int]


def new_scope(shared: int = 0) -> Scope:
    """A name for the chunks one computation reads (read_box's `scope`), new at every call, and the
    bytes of chunks its tasks share (what the cache should hold for them)."""
    return uuid.uuid4().hex, int(shared)


def shared_bytes(store: Any, rows: Sequence[Sequence[Box]]) -> int:
    """The bytes of the store's chunks that two neighbouring rows of output chunks read together (the
    most over the rows): `rows`, in the order their tasks run, each the boxes its chunks read."""
    chunk_bytes = int(np.prod(store.chunks)) * np.dtype(store.dtype).itemsize
    previous: set = set()
    most = 0
    for boxes in rows:
        current = set()
        for box in boxes:
            ranges = [range(a // c, -(-b // c)) if b > a else range(0) for (a, b), c in zip(box, store.chunks)]
            current.update(itertools.product(*ranges))
        most = max(most, len(current | previous))
        previous = current
    return most * chunk_bytes


def _chunk(store: Any, index: Tuple[int, ...], scope: Optional[Scope]) -> np.ndarray:
    """The store's chunk at grid position `index` (clipped to the array), read-only; from the cache when
    this computation has read it before. A chunk that cannot be read raises StoreReadError naming it."""
    caching = scope is not None and STORE_CACHE_CAP > 0
    if caching:
        _cache.want(scope[1])
        found = _cache.get((scope[0], index))
        if found is not None:
            return found
    region = tuple((i * c, min((i + 1) * c, n)) for i, c, n in zip(index, store.chunks, store.shape))
    try:
        values = _read(store, region)
    except Exception as exc:  # noqa: BLE001 - any failure of the store, named
        raise StoreReadError(f"input store {_describe(store)}: {chunk_name(store, index)} could not be read: "
                             f"{type(exc).__name__}: {exc}") from exc
    values.flags.writeable = False
    if caching:
        _cache.put((scope[0], index), values)
    return values


def read_box(store: Any, box: Box, scope: Optional[Scope] = None) -> np.ndarray:
    """The store's values in `box` (read-only; a view of a chunk when the box lies in one), read a chunk
    at a time: those it cuts, each decompressed once per graph (`scope`) and process while the cache
    holds it. A chunk that cannot be read raises StoreReadError naming it."""
    chunks = store.chunks
    ranges = [range(a // c, -(-b // c)) if b > a else range(0) for (a, b), c in zip(box, chunks)]
    indices = list(itertools.product(*ranges))
    if len(indices) == 1:
        index = indices[0]
        chunk = _chunk(store, index, scope)
        return chunk[tuple(slice(a - i * c, b - i * c) for (a, b), i, c in zip(box, index, chunks))]
    out = np.empty(tuple(b - a for a, b in box), dtype=np.dtype(store.dtype))
    for index in indices:
        chunk = _chunk(store, index, scope)
        lo = [max(a, i * c) for (a, _), i, c in zip(box, index, chunks)]
        hi = [min(b, (i + 1) * c) for (_, b), i, c in zip(box, index, chunks)]
        out[tuple(slice(l - a, h - a) for l, h, (a, _) in zip(lo, hi, box))] = \
            chunk[tuple(slice(l - i * c, h - i * c) for l, h, i, c in zip(lo, hi, index, chunks))]
    out.flags.writeable = False
    return out


def _describe(store: Any) -> str:
    where = getattr(store, "store_path", None) or getattr(store, "store", None) or type(store).__name__
    return str(where)


# ---- outputs -------------------------------------------------------------------------------------

def is_store_path(output: Any) -> bool:
    """Whether `output` names a store to create: a path object, or a string that is a path or a URL
    (ending in .zarr, or with a / in it), never a dtype's name."""
    if isinstance(output, os.PathLike):
        return True
    return isinstance(output, str) and (output.endswith(".zarr") or "/" in output)


class StoreOutput:
    """Where a result is written: an existing store array of the output's shape, or a path where a
    Zarr array is created (as ``dask.array.to_zarr`` creates it: an error if something is there)."""

    def __init__(self, target: Any) -> None:
        self.array = target if is_store_array(target) else None
        self.path = None if self.array is not None else os.fspath(target)

    @property
    def dtype(self) -> Optional[np.dtype]:
        return None if self.array is None else np.dtype(self.array.dtype)

    def check(self, shape: Tuple[int, ...], dtype: np.dtype) -> None:
        """ValueError unless an existing array has the output's shape, and TypeError unless its dtype is
        `dtype` (the result is stored as its dtype: the output's)."""
        if self.array is None:
            return
        if tuple(self.array.shape) != tuple(shape):
            raise ValueError(f"output: the store array has shape {tuple(self.array.shape)}, the output {tuple(shape)}")
        if np.dtype(self.array.dtype) != np.dtype(dtype):
            raise TypeError(f"output: the store array's dtype {self.array.dtype} differs from the output's {dtype}")

    def open(self, shape: Tuple[int, ...], dtype: np.dtype, chunks: Tuple[int, ...]) -> Any:
        """The array to write: the given one, or a new Zarr array at the path with these chunks."""
        if self.array is not None:
            return self.array
        import zarr

        self.array = zarr.open_array(self.path, mode="w-", shape=tuple(shape), chunks=tuple(int(c) for c in chunks),
                                     dtype=np.dtype(dtype))
        return self.array

    def write(self, values: Any, dtype: np.dtype, chunks: Any = None) -> Any:
        """`values` (a NumPy or dask array of the output's shape; a dask one in `chunks` if given) cast to
        `dtype` with NumPy's cast and written into the store, a dask array by its tasks, each its region
        (rechunked to the store's chunks where its chunks cut them), then done()."""
        if not type(values).__module__.startswith("dask"):
            cast = np.asarray(values).astype(dtype, copy=False)
            self.open(cast.shape, dtype, cast.shape)[...] = cast
            return self.done()
        import dask.array as da

        lazy = values.astype(dtype)
        if chunks is not None:
            lazy = lazy.rechunk(chunks)
        array = self.open(lazy.shape, dtype, tuple(max(c) if c else 1 for c in lazy.chunks))
        if not _aligned(lazy.chunks, array.chunks):
            lazy = lazy.rechunk(array.chunks)
        da.store(lazy, array, lock=False, compute=True)
        return self.done()

    def done(self) -> Any:
        """The array, every region written: one made at a path is marked complete (its attribute
        COMPLETE), which it lacks while the tasks write and after one of them failed."""
        if self.path is not None:
            self.array.attrs[COMPLETE] = True
        return self.array


# The attribute of an array made at a path that says every region of the result is written.
COMPLETE = "zentrova_resample_complete"


def aligned_chunks(side: Sequence[int], shape: Sequence[int],
                   store_chunks: Sequence[int]) -> Tuple[Tuple[int, ...], ...]:
    """Regular chunks of about `side` whose every boundary is one of the store's chunk boundaries (each a
    whole number of the store's chunks), so that no two tasks write one store chunk."""
    out = []
    for s, n, c in zip(side, shape, store_chunks):
        size = max(1, round(s / c)) * c if n else 1
        count = max(1, -(-n // size))
        out.append(tuple(min(size, n - i * size) for i in range(count)) if n else (0,))
    return tuple(out)


def _aligned(chunks: Sequence[Sequence[int]], store_chunks: Sequence[int]) -> bool:
    """Whether every boundary of `chunks` but the array's ends falls on a store chunk boundary."""
    return not any(np.any(np.cumsum(sizes)[:-1] % c) for sizes, c in zip(chunks, store_chunks))


def check_aligned(chunks: Sequence[Sequence[int]], store_chunks: Sequence[int]) -> None:
    """ValueError unless every boundary of `chunks` but the array's ends falls on a store chunk
    boundary: two tasks would otherwise write one store chunk, and one of them would be lost."""
    for axis, (sizes, c) in enumerate(zip(chunks, store_chunks)):
        if not _aligned([sizes], [c]):
            raise ValueError(f"output_chunks: along axis {axis} the chunks {tuple(sizes)} cut the output store's "
                             f"chunks of {c}: give chunks whose boundaries are multiples of {c} (or leave "
                             f"output_chunks None)")

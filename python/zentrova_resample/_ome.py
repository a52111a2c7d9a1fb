"""OME-Zarr: a volume written as a multiscale image (OME-NGFF 0.4), its levels made by zoom.

Level 0 is the image itself; each next level halves every spatial axis of the one before (zoom with
grid_mode, the levels' outer edges on one another; at order 1 each voxel is the mean of the 2 x 2 x 2
voxels below it), read back from the store level by level, so that no level is held in memory:
with a dask input every level is written by its tasks, region by region. The group's metadata
(``multiscales``: the axes, and per level its path and its scale and translation) is written last,
once every level is complete: a reader never takes a partly written pyramid for a whole one.
"""

from __future__ import annotations

import math
import os
from typing import Any, Optional, Sequence

import numpy as np

from ._derived import zoom
from ._plan import is_dask_array

NGFF_VERSION = "0.4"
SPATIAL = ("z", "y", "x")


def _open_zarr_array(path: str, shape, chunks, dtype) -> Any:
    """A new Zarr array of format 2 with '/' between a chunk key's indices, as OME-NGFF 0.4 asks."""
    import zarr

    options = dict(mode="w-", shape=tuple(shape), chunks=tuple(chunks), dtype=np.dtype(dtype), dimension_separator="/")
    if _zarr_major(zarr) >= 3:
        options["zarr_format"] = 2  # zarr 2 writes format 2 only (and warns of the keyword)
    return zarr.open_array(path, **options)


def _open_group(path: str) -> Any:
    import zarr

    if _zarr_major(zarr) >= 3:
        return zarr.open_group(path, mode="w-", zarr_format=2)
    return zarr.open_group(path, mode="w-")


def _zarr_major(zarr: Any) -> int:
    return int(str(zarr.__version__).split(".")[0])


def default_levels(shape: Sequence[int], spatial: Sequence[bool], smallest: int = 256) -> int:
    """Levels until the largest spatial axis is at most `smallest` (at most 10)."""
    largest = max((n for n, s in zip(shape, spatial) if s), default=1)
    return 1 + min(9, max(0, math.ceil(math.log2(max(largest, 1) / smallest))))


def write_ome_zarr(path: str, image, *, levels: Optional[int] = None, axes: Optional[Sequence[str]] = None,
                   scale: Optional[Sequence[float]] = None, translation: Optional[Sequence[float]] = None,
                   unit: Optional[str] = None, chunks: Optional[Sequence[int]] = None, order: int = 1,
                   name: Optional[str] = None) -> Any:
    """Writes ``image`` (a NumPy or dask array of 2 to 5 axes) to ``path`` as an OME-Zarr multiscale image
    (OME-NGFF 0.4, Zarr format 2, made with zarr), and returns its Zarr group.

    ``axes``: the axes' names, of "t", "c", "z", "y", "x" in that order (default: the last two or three
    of "z", "y", "x", after "t" and "c" for more). Spatial axes ("z", "y", "x") are halved from one
    level to the next (``zoom`` with ``grid_mode=True``, ``mode="nearest"``, ``order``; default 1: each
    voxel the mean of the 2 x 2 x 2 below it), the others kept. ``levels``: how many (default: until
    the largest spatial axis is at most 256). ``scale`` and ``translation``: level 0's voxel size and
    the position of its first voxel's centre per axis (default 1 and 0), ``unit`` the spatial axes'
    unit (an OME-NGFF unit name such as "micrometer"); each level's scale and translation follow from
    its shape (the levels' outer edges coincide). ``chunks``: the arrays' chunks (default 1 along
    "t" and "c", 128 along the spatial axes of a volume, 512 of an image). A dask image is written by
    its tasks, level by level (each level read back from the store for the next, by its tasks); the
    group's ``multiscales`` metadata last, once every level is written. ``path`` must not exist.
    """
    ndim = len(image.shape)
    if not 2 <= ndim <= 5:
        raise ValueError(f"image: expected 2 to 5 axes, got {ndim}")
    names = tuple(axes) if axes is not None else (("t", "c") + SPATIAL)[5 - ndim:] if ndim > 3 else SPATIAL[3 - ndim:]
    order_of = {n: i for i, n in enumerate(("t", "c") + SPATIAL)}
    if len(names) != ndim or any(n not in order_of for n in names) or \
            [order_of[n] for n in names] != sorted(order_of[n] for n in names) or len(set(names)) != ndim:
        raise ValueError(f"axes: expected {ndim} distinct names of t, c, z, y, x in that order, got {names}")
    spatial = [n in SPATIAL for n in names]
    if sum(spatial) < 2:
        raise ValueError(f"axes: expected two or three spatial axes (z, y, x), got {names}")
    scale0 = [1.0] * ndim if scale is None else [float(v) for v in scale]
    origin0 = [0.0] * ndim if translation is None else [float(v) for v in translation]
    if len(scale0) != ndim or len(origin0) != ndim or any(not v > 0 for v in scale0):
        raise ValueError(f"scale and translation: expected {ndim} values each (scales positive)")
    side = 128 if sum(spatial) == 3 else 512
    chunk = tuple(int(c) for c in chunks) if chunks is not None else tuple(side if s else 1 for s in spatial)
    if len(chunk) != ndim or any(c < 1 for c in chunk):
        raise ValueError(f"chunks: expected {ndim} positive sizes, got {chunks}")
    count = default_levels(image.shape, spatial) if levels is None else int(levels)
    if count < 1:
        raise ValueError(f"levels: expected 1 or more, got {levels}")

    path = os.fspath(path)
    group = _open_group(path)
    shape0 = tuple(int(n) for n in image.shape)
    level = _open_zarr_array(os.path.join(path, "0"), shape0, [min(c, max(n, 1)) for c, n in zip(chunk, shape0)],
                             image.dtype)
    if is_dask_array(image):
        import dask.array as da

        da.store(image.rechunk(level.chunks), level, lock=False, compute=True)
    else:
        level[...] = np.asarray(image)
    shapes = [shape0]
    for index in range(1, count):
        previous = shapes[-1]
        shape = tuple(max(1, round(n * 0.5)) if s else n for n, s in zip(previous, spatial))
        target = _open_zarr_array(os.path.join(path, str(index)), shape,
                                  [min(c, n) for c, n in zip(chunk, shape)], image.dtype)
        factors = [m / n if s else 1.0 for m, n, s in zip(shape, previous, spatial)]
        source = _read_level(path, index - 1, is_dask_array(image))
        zoom(source, factors, output=target, order=order, mode="nearest", grid_mode=True)
        shapes.append(shape)
    datasets = []
    for index, shape in enumerate(shapes):
        level_scale = [s * n0 / n if sp else s for s, n0, n, sp in zip(scale0, shape0, shape, spatial)]
        level_origin = [t + (ls - s) / 2.0 for t, ls, s in zip(origin0, level_scale, scale0)]
        datasets.append({"path": str(index), "coordinateTransformations": [
            {"type": "scale", "scale": level_scale}, {"type": "translation", "translation": level_origin}]})
    kinds = {"t": "time", "c": "channel"}
    axes_meta = []
    for n in names:
        entry = {"name": n, "type": kinds.get(n, "space")}
        if n in SPATIAL and unit is not None:
            entry["unit"] = unit
        axes_meta.append(entry)
    multiscale = {"version": NGFF_VERSION, "axes": axes_meta, "datasets": datasets, "type": "zoom",
                  "metadata": {"method": "zentrova_resample.zoom", "order": int(order), "grid_mode": True,
                               "mode": "nearest"}}
    if name is not None:
        multiscale["name"] = str(name)
    group.attrs["multiscales"] = [multiscale]
    return group


def _read_level(path: str, index: int, lazy: bool):
    """Level `index` as the next level's source: a dask array of the store's chunks (read by the zoom's
    tasks from the store), or the level in memory for a NumPy image."""
    import zarr

    array = zarr.open_array(os.path.join(path, str(index)), mode="r")
    if lazy:
        import dask.array as da

        return da.from_zarr(array)
    return array[...]

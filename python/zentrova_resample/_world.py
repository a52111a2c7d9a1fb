"""resample_to: images that carry a voxel-to-world affine (NIfTI, DICOM stacks,
OME-Zarr scales), resampled onto another grid in world space."""

from __future__ import annotations

from typing import Optional, Sequence

import numpy as np

from ._affine import affine_transform


def _affine(a, name: str) -> np.ndarray:
    try:
        m = np.asarray(a, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected a square array of real numbers") from None
    if m.ndim != 2 or m.shape[0] != m.shape[1] or m.shape[0] not in (3, 4):
        raise ValueError(f"{name}: expected a 4x4 (3-D) or 3x3 (2-D) voxel-to-world matrix, got shape {m.shape}")
    if not np.array_equal(m[-1], np.eye(m.shape[0])[-1]):
        raise ValueError(f"{name}: the last row must be [0, ..., 0, 1], got {m[-1].tolist()}")
    if not np.all(np.isfinite(m)):
        raise ValueError(f"{name}: expected finite values")
    return m


def resample_to(data, data_affine, target_affine, target_shape: Sequence[int], order: int = 1,
                mode: str = "constant", cval: float = 0.0, output=None) -> np.ndarray:
    """Resample ``data`` onto the grid of ``target_shape`` whose voxel-to-world matrix is
    ``target_affine``.

    ``data_affine`` maps a voxel index of ``data`` (its first 3 axes, or 2 with 3x3 matrices) to
    world coordinates, as a NIfTI affine does; so does ``target_affine`` for the output grid. The
    voxel of the output at index ``o`` takes the value of ``data`` at
    ``inv(data_affine) @ target_affine @ [o, 1]``, interpolated as ``affine_transform`` does
    (``order`` 0 or 1, scipy's ``mode`` and ``cval``). Axes of ``data`` after the spatial ones (the
    volumes of a 4-D series, channels) are resampled one index at a time and kept last.
    """
    src = _affine(data_affine, "data_affine")
    dst = _affine(target_affine, "target_affine")
    if src.shape != dst.shape:
        raise ValueError(f"target_affine: expected the shape of data_affine {src.shape}, got {dst.shape}")
    k = src.shape[0] - 1
    arr = np.asarray(data)
    if arr.ndim < k:
        raise ValueError(f"data: expected at least {k} axes for a {k + 1}x{k + 1} affine, got {arr.ndim}")
    shape = tuple(int(v) for v in np.atleast_1d(target_shape))
    if len(shape) != k:
        raise ValueError(f"target_shape: expected {k} values, got {len(shape)}")
    try:
        voxel_to_voxel = np.linalg.solve(src, dst)
    except np.linalg.LinAlgError:
        raise ValueError("data_affine: the matrix is singular") from None
    matrix = voxel_to_voxel[:k]  # (k, k + 1): the last row is [0, ..., 0, 1] by construction
    extra = arr.shape[k:]
    # Extra axes go in front, where affine_transform treats them as a batch.
    moved = np.moveaxis(arr, tuple(range(k, arr.ndim)), tuple(range(len(extra))))
    out_shape = tuple(extra) + shape
    out_arr = None
    if isinstance(output, np.ndarray):
        if output.shape != shape + tuple(extra):
            raise ValueError(f"output: expected shape {shape + tuple(extra)}, got {output.shape}")
        out_arr = output
        output = output.dtype
    result = affine_transform(moved, matrix, output_shape=out_shape, output=output, order=order, mode=mode,
                              cval=cval)
    result = np.moveaxis(result, tuple(range(len(extra))), tuple(range(k, arr.ndim)))
    if out_arr is not None:
        out_arr[...] = result
        return out_arr
    return np.ascontiguousarray(result) if extra else result

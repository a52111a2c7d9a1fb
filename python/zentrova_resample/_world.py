"""resample_to: images that carry a voxel-to-world affine (NIfTI, DICOM stacks,
OME-Zarr scales), resampled onto another grid in world space.

Two forms share one path: a bare array with its affine beside it, and an image object
(nibabel's, or anything with an ``affine`` and array data) that comes back as an image of its
own type. The image form follows nilearn's ``resample_img`` for what it leaves unsaid: the grid
of a 4x4 target without a shape, and the meaning of a 3x3 target.
"""

from __future__ import annotations

import operator
import os
from typing import TYPE_CHECKING, Any, Optional, Sequence, Tuple, TypeVar, overload

import numpy as np

from ._affine import affine_transform
from ._plan import check_scalars

if TYPE_CHECKING:
    import numpy.typing as npt

    from ._typing import HasAffine, Mode, Output, RealArrayLike, Scalar, TargetShape

# The image form gives back an image of the caller's own type. Bound to objects with an affine, so
# that an ndarray (which has none) goes to the array form, as at run time.
Image = TypeVar("Image", bound="HasAffine")

# ---- arguments ---------------------------------------------------------------------------------
#
# Every argument is turned into a plain Python or NumPy value before the data is looked at: a
# conversion (__index__, __float__, __array__) runs the caller's code, which may resize the data
# array in place; a view taken earlier would then read freed memory.

def _affine(a, name: str, axes_only: bool = False) -> np.ndarray:
    """A 4x4 or 3x3 matrix as float64; a homogeneous one (last row [0, ..., 0, 1]) unless `axes_only`
    admits a 3x3 of voxel axes (the image form's target)."""
    try:
        m = np.array(a, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected a square array of real numbers") from None
    if m.ndim != 2 or m.shape[0] != m.shape[1] or m.shape[0] not in (3, 4):
        kinds = "a 4x4 voxel-to-world matrix or a 3x3 of voxel axes" if axes_only else \
            "a 4x4 (3-D) or 3x3 (2-D) voxel-to-world matrix"
        raise ValueError(f"{name}: expected {kinds}, got shape {m.shape}")
    if not (axes_only and m.shape == (3, 3)) and not np.array_equal(m[-1], np.eye(m.shape[0])[-1]):
        raise ValueError(f"{name}: the last row must be [0, ..., 0, 1], got {m[-1].tolist()}")
    if not np.all(np.isfinite(m)):
        raise ValueError(f"{name}: expected finite values")
    return m


def _count(v) -> int:
    """An integer, or a float that holds one (a shape computed with np.ceil)."""
    if isinstance(v, (float, np.floating)) and float(v).is_integer():
        return int(v)
    return operator.index(v)


def _shape(shape, k: int) -> Tuple[int, ...]:
    try:
        values = tuple(_count(v) for v in (tuple(shape) if np.ndim(shape) else (shape,)))
    except TypeError:
        raise TypeError(f"target_shape: expected {k} non-negative integers, got {shape!r}") from None
    if len(values) != k:
        raise ValueError(f"target_shape: expected {k} values, got {len(values)}")
    if any(v < 0 for v in values):
        raise ValueError(f"target_shape: expected non-negative integers, got {values}")
    return values


def _scalars(order, mode, cval, output):
    """order, mode, cval and output as plain values (an int, a str, a float, a dtype or an array),
    so that nothing the caller wrote runs once the data is read."""
    order, mode, cval = check_scalars(order, mode, cval)
    if output is not None and not isinstance(output, np.ndarray):
        try:
            output = np.dtype(output)
        except TypeError:
            pass  # affine_transform names it with the dtypes it takes
    return order, mode, cval, output


def _renamed(exc: Exception, name: str) -> Exception:
    """affine_transform's error about its ``input``, naming the argument the caller gave instead."""
    text = str(exc)
    return type(exc)(name + text[len("input"):]) if text.startswith("input:") else exc


# ---- the grid ----------------------------------------------------------------------------------

def _bounding_grid(shape3: Sequence[int], affine: np.ndarray, target: np.ndarray):
    """(4x4 affine, shape) of the grid of ``target`` that holds the image, as nilearn's resample_img
    makes it, expression for expression (the same rounding gives the same shape, since ceil of a
    bound that is an integer in exact arithmetic could go either way).

    A 4x4 target keeps its voxel (0, 0, 0) and extends to the last voxel centre of the image along
    each axis (``ceil(max) + 1`` voxels); a 3x3 target (voxel axes only) is moved so that its
    voxel (0, 0, 0) is the image's lowest corner, in the target's axes, and spans it.
    """
    axes_only = target.shape == (3, 3)
    grid = np.eye(4)
    if axes_only:
        grid[:3, :3] = target
    else:
        grid[...] = target
    try:
        to_grid = np.linalg.inv(grid).dot(affine)
    except np.linalg.LinAlgError:
        raise ValueError("target_affine: the matrix is singular") from None
    a, b, c = (n - 1 for n in shape3)
    corners = np.array([[0.0, 0, 0, 1], [a, 0, 0, 1], [0, b, 0, 1], [0, 0, c, 1],
                        [a, b, 0, 1], [a, 0, c, 1], [0, b, c, 1], [a, b, c, 1]]).T
    box = np.dot(to_grid, corners)[:3]
    low, high = box.min(axis=-1), box.max(axis=-1)
    if axes_only:
        grid[:3, 3] = grid[:3, :3].dot(low)
        high = high - low
    if (high < 0).any():
        axis = int(np.argmax(high < 0))
        raise ValueError(f"target_affine: the image lies entirely at negative voxel indices of the grid along "
                         f"axis {axis} (up to {high[axis]:.6g}); move the grid's origin (the last column of "
                         "target_affine) to the image's low side")
    return grid, tuple(int(np.ceil(v)) + 1 for v in high)


# ---- the two forms -----------------------------------------------------------------------------

def _is_image(obj) -> bool:
    return not isinstance(obj, np.ndarray) and hasattr(obj, "affine")


def _resample(data, src: np.ndarray, dst: np.ndarray, shape: Tuple[int, ...], order: int, mode: Mode, cval: Scalar,
              output, name: str, src_name: str) -> np.ndarray:
    """The resampling, from arguments already read (_scalars): only now is the data looked at."""
    try:
        voxel_to_voxel = np.linalg.solve(src, dst)
    except np.linalg.LinAlgError:
        raise ValueError(f"{src_name}: the matrix is singular") from None
    k = src.shape[0] - 1
    matrix, offset = voxel_to_voxel[:k, :k], voxel_to_voxel[:k, k]
    if np.array_equal(np.diag(np.diag(matrix)), matrix):
        # Grids with parallel axes: scipy's per-axis zoom and shift, as nilearn hands them to scipy
        # (scipy forms that coordinate in another order than the general one, so it rounds
        # differently). A nearest-neighbour sample halfway between two voxels (a 3 mm grid on a
        # 2 mm image) then goes to the same neighbour as there, when computed in float64.
        matrix = np.diag(matrix).copy()
    if isinstance(data, (str, bytes, os.PathLike)):
        raise TypeError(f"{name}: expected an array or an image, got a file name (load it first, e.g. with "
                        "nibabel.load)")
    arr = np.asarray(data)
    if arr.dtype == object and arr.ndim == 0:
        raise TypeError(f"{name}: expected an array, or an image with an affine attribute, got {type(data).__name__}")
    if arr.ndim < k:
        raise ValueError(f"{name}: expected at least {k} axes for a {k + 1}x{k + 1} affine, got {arr.ndim}")
    extra = tuple(arr.shape[k:])
    if isinstance(output, np.ndarray) and output.shape != shape + extra:
        raise ValueError(f"output: expected shape {shape + extra}, got {output.shape}")
    try:
        # The axes after the spatial ones (the volumes of a series, channels) are carried along.
        return affine_transform(arr, matrix, offset, output_shape=shape + extra, output=output, order=order,
                                mode=mode, cval=cval, batch_axes=tuple(range(k, arr.ndim)) or None)
    except (TypeError, ValueError) as exc:
        raise _renamed(exc, name) from None


def _resample_array(data, data_affine, target_affine, target_shape, order=1, mode="constant", cval=0.0,
                    output=None):
    src = _affine(data_affine, "data_affine")
    dst = _affine(target_affine, "target_affine")
    if src.shape != dst.shape:
        raise ValueError(f"target_affine: expected the shape of data_affine {src.shape}, got {dst.shape}")
    shape = _shape(target_shape, src.shape[0] - 1)
    return _resample(data, src, dst, shape, *_scalars(order, mode, cval, output), "data", "data_affine")


def _resample_image(image, target_affine, target_shape=None, order=1, mode="constant", cval=0.0, output=None):
    affine = image.affine
    if affine is None:
        raise ValueError("image.affine: the image has no affine (None)")
    affine = _affine(affine, "image.affine")
    if affine.shape != (4, 4):
        raise ValueError(f"image.affine: expected a 4x4 voxel-to-world matrix, got shape {affine.shape}")
    target = _affine(target_affine, "target_affine", axes_only=True)
    if target.shape == (3, 3) and target_shape is not None:
        raise ValueError("target_shape: a 3x3 target_affine gives the grid's voxel axes only, and its origin and "
                         "shape come from the image's bounding box; give a 4x4 target_affine for a fixed grid")
    if target_shape is not None:
        if np.ndim(target_shape) == 2:  # the array form's arguments, with an image
            raise TypeError("target_shape: got a matrix; an image carries its own affine: "
                            "resample_to(image, target_affine, target_shape)")
        target_shape = _shape(target_shape, 3)
    scalars = _scalars(order, mode, cval, output)

    # nibabel's dataobj is scaled as the header says (slope and intercept) and read once; an image
    # without one is read through its own array interface.
    try:
        data = np.asanyarray(getattr(image, "dataobj", image))
    except (TypeError, ValueError):
        data = None
    if data is None or data.dtype == object or data.ndim == 0:
        raise TypeError(f"image: expected an image with array data (a dataobj attribute or an array interface), "
                        f"got {type(image).__name__}")
    if data.ndim < 3:
        raise ValueError(f"image: expected at least 3 axes for its 4x4 affine, got {data.ndim}")
    if target_shape is None:
        target, target_shape = _bounding_grid(data.shape[:3], affine, target)
    result = _resample(data, affine, target, target_shape, *scalars, "image", "image.affine")
    header = getattr(image, "header", None)
    if header is None:
        return type(image)(result, target)
    return type(image)(result, target, header=header)


# ---- the public function -------------------------------------------------------------------------

@overload
def resample_to(image: Image, target_affine: RealArrayLike, target_shape: Optional[TargetShape] = None,
                order: int = 1, mode: Mode = "constant", cval: Scalar = 0.0, output: Output = None) -> Image: ...


@overload
def resample_to(data: npt.ArrayLike, data_affine: RealArrayLike, target_affine: RealArrayLike,
                target_shape: TargetShape, order: int = 1, mode: Mode = "constant", cval: Scalar = 0.0,
                output: Output = None) -> npt.NDArray[Any]: ...


def resample_to(*args: Any, **kwargs: Any) -> Any:
    """Resample an image onto the grid of ``target_affine``: two forms.

    ``resample_to(image, target_affine, target_shape=None, order=1, mode="constant", cval=0.0, output=None)``
        ``image`` is any object other than an ndarray with an ``affine`` attribute (its
        voxel-to-world matrix, 4x4) and array data: a nibabel image (read through
        ``image.dataobj``, scaled by the header's slope and intercept as nibabel scales it,
        without importing nibabel), or an object with an array interface. The result is an
        image of the same type, ``type(image)(data, affine, header=image.header)`` (without the
        header when the image has none): for nibabel, the header is copied with the new shape,
        affine and voxel sizes, and keeps its on-disk data type, as nibabel's and nilearn's
        resampling keep it (nibabel scales the data into it when the image is saved).

        ``target_affine`` 4x4 with ``target_shape``: that grid. 4x4 without ``target_shape``: the
        grid keeps the target's voxel (0, 0, 0) and extends, along each of its axes, to the
        highest index of a corner voxel centre of the image (``ceil(max) + 1`` voxels), as
        nilearn's resample_img extends it; ValueError if the whole image lies at negative indices
        along an axis. 3x3: the voxel axes and sizes of the grid only (nilearn's meaning, e.g.
        ``np.diag([2, 2, 2])`` for 2 mm voxels along the world axes); its voxel (0, 0, 0) goes to
        the lowest corner of the image's voxel centres along those axes and its shape spans them,
        so ``target_shape`` is not taken. The result's affine is the grid's, with that origin.

    ``resample_to(data, data_affine, target_affine, target_shape, order=1, mode="constant", cval=0.0, output=None)``
        ``data`` is an array and ``data_affine`` maps a voxel index of ``data`` (its first 3
        axes, or 2 with 3x3 matrices) to world coordinates, as a NIfTI affine does;
        ``target_affine`` does the same for the output grid of ``target_shape``. Returns an array.

    In both, the voxel of the output at index ``o`` takes the value of the data at
    ``inv(data_affine) @ target_affine @ [o, 1]``, interpolated as ``affine_transform`` does
    (``order`` 0 or 1, scipy's ``mode`` and ``cval``; ``data_affine`` is ``image.affine`` in the image
    form). A grid whose axes are parallel to the data's takes scipy's per-axis form (a 1-D matrix),
    as nilearn hands it to scipy. Axes after the spatial ones (the volumes of a 4-D series,
    channels) are resampled one index at a time and kept last.

    dtype: the data's, as nilearn keeps it for nearest and linear interpolation (for a nibabel image,
    the dtype of the scaled data: the stored type without scaling, floating point with it); integer
    results are rounded as scipy rounds them. ``output`` picks another dtype (``np.float32`` keeps
    the fractions of a linear interpolation of integer data; ``np.float64`` computes in float64,
    as scipy and nilearn do, where float32 data are otherwise computed in float32) or gives an
    array to fill. Unlike nilearn, no value is clipped to the data's range (``cval`` is used as
    given), and a NaN spreads to the samples that read it (nilearn fills NaNs from their
    neighbours before resampling, then puts NaN back where the nearest voxel had one).
    """
    first = args[0] if args else kwargs.get("image", kwargs.get("data"))
    if _is_image(first):
        if not args and "data" in kwargs:
            kwargs["image"] = kwargs.pop("data")
        return _resample_image(*args, **kwargs)
    return _resample_array(*args, **kwargs)


# Binding errors (a missing or unexpected argument) name the public function: Python 3.10 and later
# take the name from __qualname__, 3.9 from the code object.
for _form in (_resample_image, _resample_array):
    _form.__qualname__ = "resample_to"
    _form.__code__ = _form.__code__.replace(co_name="resample_to")
del _form

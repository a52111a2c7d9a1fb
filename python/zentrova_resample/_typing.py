"""Names of the argument types of the public functions, for type checkers.

The functions' modules import it under ``TYPE_CHECKING`` only, so that importing the package costs no
import of ``numpy.typing``. Each type follows what the function's own checks accept, as far as a type
can say it (not a shape's length, nor whether an axis exists).
"""

from __future__ import annotations

from typing import Any, Literal, Mapping, Optional, Protocol, Sequence, SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

# scipy.ndimage's names of the boundary modes, every one the engine has (its MODES table).
Mode = Literal["constant", "grid-constant", "nearest", "reflect", "grid-mirror", "mirror", "grid-wrap", "wrap"]


class _SupportsArray(Protocol):
    """An object NumPy turns into an array through ``__array__`` (an ndarray, a pandas or xarray one)."""

    def __array__(self) -> np.ndarray[Any, Any]: ...


# Real numbers, and arrays of them, as ``np.asarray(x, dtype=np.float64)`` reads them (a number
# through __float__). Unlike npt.ArrayLike, no str: NumPy would read "1.5" as a number (and refuse any
# other string), which is far more often a mistake than meant, and one a type checker can catch.
Real = Union[SupportsFloat, SupportsIndex]
RealArrayLike = Union[Real, _SupportsArray, Sequence[Union[Real, _SupportsArray]],
                      Sequence[Sequence[Union[Real, _SupportsArray]]]]

# One number per axis, or one for every axis.
RealOrSequence = Union[Real, _SupportsArray, Sequence[Real]]

# A number for cval: real (read through __float__), or complex for a complex input.
Scalar = Union[SupportsFloat, SupportsIndex, complex, np.number[Any], np.bool_]

# An output shape: integers (read through __index__), in a sequence or an integer array; a single
# integer for a 1-D output.
ShapeLike = Union[SupportsIndex, Sequence[SupportsIndex], npt.NDArray[np.integer[Any]]]

# Axes: integers (negative ones count from the end), in a sequence or an integer array.
AxesLike = Union[Sequence[SupportsIndex], npt.NDArray[np.integer[Any]]]

# resample_to's grid shape: integers, or floats that hold one (a shape computed with np.ceil).
TargetShape = Union[Sequence[Union[SupportsIndex, float]], npt.NDArray[Union[np.integer[Any], np.floating[Any]]]]


class HasAffine(Protocol):
    """What resample_to tells an image from an array by: its voxel-to-world matrix (a property of
    nibabel's images)."""

    @property
    def affine(self) -> Any: ...


# ``output``: an array to fill, or the result's dtype (None: the input's; for a dask input there is
# nothing to fill, a dtype or None only).
OutputDType = Optional[npt.DTypeLike]
Output = Union[npt.NDArray[Any], OutputDType]

# Chunks of a dask result, in the forms dask.array takes: a block shape (with "auto", -1 or None
# for an axis), the sizes of every block per axis, {axis: chunks}, or "auto".
_AxisChunks = Union[int, str, None, Sequence[int]]
Chunks = Union[int, str, Sequence[_AxisChunks], Mapping[int, _AxisChunks]]

"""Fast 3D affine transformations with trilinear interpolation using AVX2/AVX512 SIMD"""

from typing import Any, Dict, Optional, Sequence, SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

# As the module fills it, in this order: `from zentrova import *` takes these names.
__all__ = ["affine_transform", "affine_transform_f16", "affine_transform_u8", "build_info"]

# A real number as the module reads one: through __float__, or __index__ where that is all it has.
_Real = Union[SupportsFloat, SupportsIndex]
# The offset is any sequence of three numbers (a list, a tuple, a NumPy array, a range...); a str
# is refused.
_Offset = Optional[Union[Sequence[_Real], npt.NDArray[Union[np.floating[Any], np.integer[Any], np.bool_]]]]

def affine_transform(
    input: npt.NDArray[np.float32],
    matrix: npt.NDArray[np.float64],
    offset: _Offset = None,
    cval: _Real = 0.0,
    order: SupportsIndex = 1,
) -> npt.NDArray[np.float32]: ...
def affine_transform_u8(
    input: npt.NDArray[np.uint8],
    matrix: npt.NDArray[np.float64],
    offset: _Offset = None,
    cval: SupportsIndex = 0,
) -> npt.NDArray[np.uint8]: ...
def affine_transform_f16(
    input: npt.NDArray[np.uint16],
    matrix: npt.NDArray[np.float64],
    offset: _Offset = None,
    cval: _Real = 0.0,
    order: SupportsIndex = 1,
) -> npt.NDArray[np.uint16]: ...
def build_info() -> Dict[str, Any]: ...

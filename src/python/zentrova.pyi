"""Fast 3D affine transformations with trilinear interpolation using AVX2/AVX512 SIMD"""

from typing import Any, Dict, List, Optional, Sequence, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__: List[str]

def affine_transform(
    input: npt.NDArray[np.float32],
    matrix: npt.NDArray[np.float64],
    offset: Optional[Sequence[SupportsFloat]] = None,
    cval: SupportsFloat = 0.0,
    order: SupportsIndex = 1,
) -> npt.NDArray[np.float32]: ...
def affine_transform_u8(
    input: npt.NDArray[np.uint8],
    matrix: npt.NDArray[np.float64],
    offset: Optional[Sequence[SupportsFloat]] = None,
    cval: SupportsIndex = 0,
) -> npt.NDArray[np.uint8]: ...
def affine_transform_f16(
    input: npt.NDArray[np.uint16],
    matrix: npt.NDArray[np.float64],
    offset: Optional[Sequence[SupportsFloat]] = None,
    cval: SupportsFloat = 0.0,
    order: SupportsIndex = 1,
) -> npt.NDArray[np.uint16]: ...
def build_info() -> Dict[str, Any]: ...

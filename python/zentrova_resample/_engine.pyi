# The private engine module (src/resample/engine.cpp), as its method table defines it. Its tuple
# arguments are read with PyArg_ParseTuple's "(ddd)"-style formats: any sequence of exactly that many
# numbers; "p" takes any object's truth value.

from typing import Any, Dict, Optional, Sequence, SupportsIndex, Tuple, Union

import numpy as np
import numpy.typing as npt

# {mode name: the engine's code of the mode}, scipy's names.
MODES: Dict[str, int]

# input and output: one to three axes each (fewer are the last of the three); coords: (interpolated, Z, Y, X)
# of the grid the output window lies in, or (interpolated, points...) of the whole output.
def resample(
    input: npt.NDArray[Any],
    output: npt.NDArray[Any],
    matrix: Sequence[float],
    offset: Sequence[float],
    order: int,
    mode: int,
    cval: float,
    interpolated: int = 3,
    box_origin: Sequence[int] = (0, 0, 0),
    full_shape: Sequence[int] = ...,  # default: box_origin + the input's shape
    out_origin: Sequence[int] = (0, 0, 0),
    separable: object = False,
    zoom: Sequence[float] = (1.0, 1.0, 1.0),
    shift: Sequence[float] = (0.0, 0.0, 0.0),
    grid_mode: object = False,
    isa: Optional[str] = None,
    pad: float = 0.0,
    coords: Optional[npt.NDArray[np.float64]] = None,
    margin: int = 0,
) -> None: ...
def input_box(
    dtype: npt.DTypeLike,
    matrix: Sequence[float],
    offset: Sequence[float],
    order: int,
    mode: int,
    out_shape: Sequence[int],
    *,
    interpolated: int,
    full_shape: Sequence[int],
    out_origin: Sequence[int],
    separable: object,
    zoom: Sequence[float],
    shift: Sequence[float],
    grid_mode: object,
    pad: float,
) -> Optional[Tuple[Tuple[int, int, int], Tuple[int, int, int]]]: ...
def empty(shape: Sequence[SupportsIndex], dtype: npt.DTypeLike, /) -> npt.NDArray[Any]: ...
def backend(dtype: npt.DTypeLike, order: int = 1, /) -> str: ...
def targets() -> Tuple[str, ...]: ...
def resample_points(
    input: npt.NDArray[Any], coords: Optional[npt.NDArray[np.float64]], output: npt.NDArray[Any], order: int,
    mode: int, cval: float, pad: float, /, *, matrix: Optional[npt.ArrayLike] = None,
    offset: Optional[npt.ArrayLike] = None, zoom: Optional[npt.ArrayLike] = None,
    shift: Optional[npt.ArrayLike] = None, grid_mode: object = False, out_origin: Optional[Sequence[int]] = None
) -> None: ...
def fill_margin(array: npt.NDArray[Any], lead: int, width: int, mode: int, value: Any = None,
                last: Optional[int] = None) -> None: ...
def spline_filter1d(src: npt.NDArray[Union[np.float32, np.float64]], dst: npt.NDArray[Union[np.float32, np.float64]],
                    axis: int, order: int, mode: int, margin: int = ..., /) -> None: ...
def spline_filter_planes(src: npt.NDArray[Union[np.float32, np.float64]],
                         mid: npt.NDArray[Union[np.float32, np.float64]],
                         dst: npt.NDArray[Union[np.float32, np.float64]], order: int, mode: int, margin: int = ...,
                         fill: object = ..., value: Optional[float] = ..., /) -> None: ...
def cast(src: npt.NDArray[Union[np.float32, np.float64]], dst: npt.NDArray[Any], binary64_rule: bool = ..., /) -> None: ...
def get_num_threads() -> int: ...
def set_num_threads(n: SupportsIndex) -> int: ...

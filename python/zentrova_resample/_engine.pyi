from typing import Optional, Sequence, Tuple

import numpy as np

def resample(
    input: np.ndarray,
    output: np.ndarray,
    matrix: Tuple[float, ...],
    offset: Tuple[float, float, float],
    order: int,
    mode: int,
    cval: float,
    *,
    interpolated: int = 3,
    box_origin: Tuple[int, int, int] = (0, 0, 0),
    full_shape: Optional[Tuple[int, int, int]] = None,
    out_origin: Tuple[int, int, int] = (0, 0, 0),
    separable: bool = False,
    zoom: Tuple[float, float, float] = (1.0, 1.0, 1.0),
    shift: Tuple[float, float, float] = (0.0, 0.0, 0.0),
    grid_mode: bool = False,
    isa: Optional[str] = None,
) -> None: ...
def input_box(
    dtype: object,
    matrix: Tuple[float, ...],
    offset: Tuple[float, float, float],
    order: int,
    mode: int,
    out_shape: Tuple[int, int, int],
    *,
    interpolated: int,
    full_shape: Tuple[int, int, int],
    out_origin: Tuple[int, int, int],
    separable: bool,
    zoom: Tuple[float, float, float],
    shift: Tuple[float, float, float],
    grid_mode: bool,
) -> Optional[Tuple[Tuple[int, int, int], Tuple[int, int, int]]]: ...
def backend(dtype: object) -> str: ...
def empty(shape: Sequence[int], dtype: object) -> np.ndarray: ...
def get_num_threads() -> int: ...
def set_num_threads(n: int) -> int: ...

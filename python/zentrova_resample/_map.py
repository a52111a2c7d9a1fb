"""map_coordinates: scipy.ndimage's signature and meaning, on the engine's point kernel."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, SupportsIndex, Union, overload

from ._plan import check_scalars, plan_given
from ._run import run

if TYPE_CHECKING:
    import dask.array
    import numpy.typing as npt

    from ._typing import AxesLike, Chunks, Mode, Output, OutputDType, Scalar


# As for affine_transform: an ndarray for NumPy arguments, a lazy dask array where the input or the
# coordinates are dask arrays (then no array to fill in `output`).
@overload
def map_coordinates(input: npt.NDArray[Any], coordinates: npt.NDArray[Any], output: Output = None, order: int = 3,
                    mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
                    batch_axes: Union[SupportsIndex, AxesLike, None] = None,
                    output_chunks: None = None) -> npt.NDArray[Any]: ...


@overload
def map_coordinates(input: dask.array.Array, coordinates: Union[npt.ArrayLike, dask.array.Array],
                    output: OutputDType = None, order: int = 3, mode: Mode = "constant", cval: Scalar = 0.0,
                    prefilter: bool = True, *, batch_axes: None = None,
                    output_chunks: Optional[Chunks] = None) -> dask.array.Array: ...


@overload
def map_coordinates(input: npt.ArrayLike, coordinates: dask.array.Array, output: OutputDType = None,
                    order: int = 3, mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
                    batch_axes: None = None, output_chunks: Optional[Chunks] = None) -> dask.array.Array: ...


@overload
def map_coordinates(input: npt.ArrayLike, coordinates: npt.ArrayLike, output: Output = None, order: int = 3,
                    mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
                    batch_axes: Union[SupportsIndex, AxesLike, None] = None,
                    output_chunks: None = None) -> npt.NDArray[Any]: ...


def map_coordinates(input: Union[npt.ArrayLike, dask.array.Array], coordinates: Union[npt.ArrayLike, dask.array.Array],
                    output: Output = None, order: int = 3, mode: Mode = "constant", cval: Scalar = 0.0,
                    prefilter: bool = True, *, batch_axes: Union[SupportsIndex, AxesLike, None] = None,
                    output_chunks: Optional[Chunks] = None) -> Union[npt.NDArray[Any], dask.array.Array]:
    """Map the input array to new coordinates by interpolation, as ``scipy.ndimage.map_coordinates`` does.

    ``coordinates`` (any real dtype and layout) has one row per input axis: output voxel ``i`` (of the
    shape ``coordinates.shape[1:]``) samples the input at ``coordinates[:, i]``, with spline
    interpolation of ``order`` 0 to 5 (default 3, cubic, as scipy's), ``mode`` and ``cval`` with
    scipy's meaning, and ``prefilter`` as ``affine_transform`` says (orders 2 to 5). ``batch_axes``
    (keyword only) names input axes carried along, the input's first or last ones: the coordinates
    then have a row per other axis, and every index of the carried axes is sampled at them (the
    output has the carried axes first or last, as the input). ``output``: None (the input's dtype), a
    dtype, or an array of the output's shape.

    dask: a ``dask.array.Array`` input or coordinates (or both; dask is optional) give a lazy dask array
    chunked as the coordinates' points (or ``output_chunks``), each chunk one task that reads only the
    input box its coordinates reach (their extent per chunk is computed first, a small reduction over
    the coordinates); no ``batch_axes`` there. Orders 0 and 1 and ``prefilter=False`` equal the
    in-memory result bit for bit; orders 2 to 5 with prefilter within the bound ``affine_transform``
    states for dask inputs. Of more than three input axes every chunk reads the whole input (its
    coefficients made once, in a task of their own), the in-memory result bit for bit.

    dtypes as ``affine_transform``: the types computed in float32 take their coordinates in float32
    too (a coordinate rounded to float32) at orders 1 to 5; order 0 reads the sample scipy reads for
    every type (its coordinate in float64). float64, 32- and 64-bit integers and bool are computed in
    float64, scipy's result bit for bit; complex inputs as their parts. Any number of input axes. Bad
    arguments raise ValueError or TypeError naming the argument, before anything is written to
    ``output`` (and where scipy raises RuntimeError, a RuntimeError too: ArgumentValueError,
    ArgumentTypeError).
    """
    order, mode, cval = check_scalars(order, mode, cval)
    plan, out_arr, out_dtype = plan_given(input, coordinates, output, order, mode, cval, batch_axes, prefilter)
    return run(plan, input, out_arr, out_dtype, output_chunks, "map_coordinates")

"""affine_transform: scipy.ndimage's signature and meaning, on zentrova's kernels."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, SupportsIndex, Union, overload


from ._plan import check_scalars, plan_affine
from ._run import run

if TYPE_CHECKING:
    # Only for the annotations: the package imports without dask, and a type checker without dask
    # installed reads dask.array.Array as Any (the dask overload then matches what the ndarray one
    # does not, with an Any result; an ndarray input still gives an ndarray).
    import dask.array
    import numpy.typing as npt

    from ._typing import AxesLike, Chunks, Mode, Output, OutputDType, RealArrayLike, RealOrSequence, Scalar, ShapeLike


# The result is an ndarray for an ndarray or any other array-like input, and a lazy dask array for a
# dask one. The ndarray form comes first, so that an ndarray input gives an ndarray even where dask
# is not installed; the dask one before the array-like one, which a dask array (it has __array__)
# would match too.
@overload
def affine_transform(input: npt.NDArray[Any], matrix: RealArrayLike, offset: RealOrSequence = 0.0,
                     output_shape: Optional[ShapeLike] = None, output: Output = None, order: int = 3,
                     mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
                     batch_axes: Union[SupportsIndex, AxesLike, None] = None,
                     output_chunks: None = None) -> npt.NDArray[Any]: ...


@overload
def affine_transform(input: dask.array.Array, matrix: RealArrayLike, offset: RealOrSequence = 0.0,
                     output_shape: Optional[ShapeLike] = None, output: OutputDType = None, order: int = 3,
                     mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
                     batch_axes: Union[SupportsIndex, AxesLike, None] = None,
                     output_chunks: Optional[Chunks] = None) -> dask.array.Array: ...


@overload
def affine_transform(input: npt.ArrayLike, matrix: RealArrayLike, offset: RealOrSequence = 0.0,
                     output_shape: Optional[ShapeLike] = None, output: Output = None, order: int = 3,
                     mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
                     batch_axes: Union[SupportsIndex, AxesLike, None] = None,
                     output_chunks: None = None) -> npt.NDArray[Any]: ...


def affine_transform(input: Union[npt.ArrayLike, dask.array.Array], matrix: RealArrayLike,
                     offset: RealOrSequence = 0.0, output_shape: Optional[ShapeLike] = None, output: Output = None,
                     order: int = 3, mode: Mode = "constant", cval: Scalar = 0.0, prefilter: bool = True, *,
                     batch_axes: Union[SupportsIndex, AxesLike, None] = None,
                     output_chunks: Optional[Chunks] = None) -> Union[npt.NDArray[Any], dask.array.Array]:
    """Apply an affine transformation, as ``scipy.ndimage.affine_transform`` does.

    Output voxel ``o`` samples the input at ``matrix @ o + offset`` with spline interpolation of
    ``order`` 0 to 5 (0: nearest neighbour, 1: linear, 3: cubic B-spline); ``mode`` and ``cval`` say
    what lies beyond the input's edges, with scipy's meaning of every mode ('constant',
    'grid-constant', 'nearest', 'reflect', 'grid-mirror', 'mirror', 'grid-wrap', 'wrap').

    ``matrix``: scipy's forms, (ndim,) diagonal, (ndim, ndim), (ndim, ndim + 1) or (ndim + 1,
    ndim + 1) homogeneous, or (ndim, k) for an output of k axes. ``batch_axes`` (an axis or a
    sequence of axes; keyword only) names axes that are carried along: every index of them is
    transformed alike, and the matrix is then for the other axes, in their order (e.g.
    ``affine_transform(rgb, m2x2, batch_axes=-1)`` for an (H, W, 3) image, ``batch_axes=0`` for a
    (C, Z, Y, X) stack and a 3x3 matrix). A matrix for fewer axes than the input has (besides those
    named) raises ValueError: which axes it would leave alone is not guessed. ``output_shape`` is the
    whole output's, the carried axes as long as the input's (with a matrix that changes the number
    of axes they must be the input's first or last ones, and stay so). Of a square transform of more
    than three axes, those it leaves alone (an identity row and column, no offset, the same length)
    are carried along (not with ``prefilter=False`` at orders 2 to 5, where the spline smooths the
    coefficients at whole positions too); more than three interpolated axes are sampled one voxel at
    a time (scipy's results, slower than three). ``output``: None (the input's dtype), a dtype, an array to fill, or a store (see below).

    Orders 2 to 5 interpolate B-spline coefficients: with ``prefilter`` (the default) those of the
    input, computed as scipy computes them (the input padded by 12 samples for 'nearest' and
    'grid-constant', the recursive filter of spline_filter in float64 along every interpolated
    axis); ``prefilter=False`` takes the input as the coefficients. The coefficients are kept in
    float64 for the types computed in float64 (results equal scipy's, bit for bit in our tests) and
    in float32 for the others (half the memory and memory traffic; results within float32 rounding
    of scipy's, integers off by one at rounding ties).

    dtypes: float16, float32 and 8- and 16-bit integers are computed in float32; float64, 32- and
    64-bit integers and bool in float64, with scipy's operations in scipy's order. At order 0 every
    type takes its coordinates in float64, as scipy does, and a result is the sample scipy picks
    (scipy's result bit for bit: a label map keeps its labels where scipy's do). Integer results
    are rounded as scipy rounds them and clamped to the type; a bool result is true where the value
    is nonzero (as scipy stores it). A complex input (complex64, complex128) is resampled as its
    real and imaginary parts (each as float32 or float64), a complex ``cval`` giving each part its
    part; its output is complex. The interpreter lock is released while the kernels run.

    Memory (in memory; dask: see below): besides the input and the output, a call holds at most (1)
    at orders 2 to 5 with ``prefilter``, the input's B-spline coefficients, in float32 for the types
    computed in float32 and in float64 for the others: the input's size along the axes carried
    along times, along each interpolated axis, its length plus 24 with 'nearest' and
    'grid-constant' (scipy's padding) plus 2 * (order + 1) for one volume of three interpolated axes
    (a margin); otherwise a copy of the input in the kernels' dtype where it is in another dtype or
    layout, and with 'nearest' and 'grid-constant' at orders 1 to 5 one image of it with a margin of
    order + 1 samples along the interpolated axes; (2) where the output's dtype is not the one the
    kernels write (the input's, or the compute type), the result in the kernels' dtype (and, with an
    ``output`` array, its conversion before the copy into it); (3) with more than three interpolated axes, the coordinates of 2**18 voxels at a
    time (8 bytes per axis each). An empty output costs nothing of this.

    dask: a ``dask.array.Array`` input (dask is optional) gives a lazy dask array equal bit for bit
    to the in-memory result (at orders 2 to 5 with ``prefilter``: within rounding, see below), for
    any chunking of the input and of the output. ``output_chunks`` sets its chunks, in any form
    ``dask.array`` takes (a block shape, per-axis sizes that tile the output shape, "auto"); default:
    the input's chunks when the output shape is the input's, else about 128 MiB per chunk of whole
    rows; but where chunks of as many voxels shaped by the transform read input boxes more than 1.25
    times smaller per voxel (a rotation, whose slabs read boxes several times their size), those (near
    cubes for a rotation). Each output chunk is one task, which reads exactly the input
    box it needs (found from the transform, no guessed margin) as one slice of the input; a chunk
    that samples no input voxel is filled with cval without reading any. A task's peak memory is
    its output chunk plus its input box (plus, when the input and output dtypes differ, the chunk
    in the compute type, float32 or float64); a box assembled from several input chunks is copied
    into a new array, in the compute type when the dtypes differ, unless the chunks are views of
    one array laid out as the box (``da.from_array`` of a NumPy or memory-mapped array), which it
    then views; when the parts of a chunk read much less together than its box (a rotated chunk),
    it is computed a part of about 2 M voxels at a time, each from the smaller box it reads. A
    transform that moves more than three axes reads the whole input in every chunk instead (made
    once, with its coefficients, in a task of its own): the in-memory result bit for bit at every
    order. ``output`` is then a dtype, None or a store. Unknown (NaN) chunk sizes, an unsupported dtype
    and ``output_chunks`` that do not tile the output raise ValueError or TypeError when the graph
    is built, before anything is computed.

    dask at orders 2 to 5 with ``prefilter``: each chunk's task computes the coefficients of its box
    from the box widened by a halo of 24, 32, 41 or 50 samples (orders 2, 3, 4, 5) along each
    interpolated axis, past which a sample weighs less than 2**-60 on them; at the input's borders
    the widened box is clipped and scipy's padding and initial values apply as in memory (along a
    'grid-wrap' axis the halo wraps around to the other end). The result then equals the in-memory
    one within the rounding of the coefficients: for the types computed in float64 within 2**-48
    times the coefficients' largest magnitude (at most about 7.5**k times the largest of the input's
    and cval's magnitudes, k the interpolated axes; in our tests most voxels were equal and none
    differed by more than 2e-15 times the input's largest magnitude); for the types computed in
    float32, whose coefficients are stored in float32 after every axis, a coefficient may round to
    its other float32 neighbour there and the next axes' filters carry that on (a few float32 units
    of the coefficients' largest magnitude; our tests allow 2**-20 of it); plus the result's own rounding into
    its type (an integer one unit off at a rounding tie). Where the widened boxes span every
    interpolated axis whole (axes of up to twice the halo), the result is the in-memory one bit for
    bit. This holds for finite input values: one NaN or infinity turns every coefficient NaN in
    memory, but here only those of the chunks whose widened box holds it. Such a task's peak memory
    is its widened box in the compute type (float64, or float32 for the types computed in float32),
    the input's values in it (the read tasks' results) and the output chunk; it is not
    computed in parts. With ``prefilter=False`` the input is the coefficients, and the result is bit
    for bit the in-memory one, as at orders 0 and 1.

    Stores: a dask input that is a chunked store's array as it stands (``dask.array.from_zarr``, or
    ``from_array`` of a Zarr array or the like, with nothing computed on it) is read from the store by
    the output chunks' tasks themselves, each its box (the store's chunks it cuts), instead of through
    the input's chunk tasks: no input chunk moves between workers. The values are the same. A chunk
    that cannot be read raises ``StoreReadError`` (an OSError) naming it. ``output`` may be a Zarr
    array (or another store's array with ``chunks`` and slicing) of the output's shape, or a path
    (``pathlib.Path``, or a string ending in ``.zarr`` or holding a ``/``) where a Zarr array is made
    (an error if one is there, as ``dask.array.to_zarr``): the result is written there and that array
    returned; an array made at a path gets the attribute ``zentrova_resample_complete`` once every
    region is written (one whose computation failed lacks it). With a dask input each task writes its own region (nothing is gathered by the caller);
    the chunks are the default ones moved onto the store's chunk boundaries (given ``output_chunks``
    must fall on them, else ValueError), and a new array takes the chunks' shape as its own.
    """
    order, mode, cval = check_scalars(order, mode, cval)
    plan, out_arr, out_dtype = plan_affine(input, matrix, offset, output_shape, output, order, mode, cval,
                                           batch_axes, bool(prefilter))
    return run(plan, input, out_arr, out_dtype, output_chunks, "affine_transform")


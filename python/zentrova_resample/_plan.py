"""The plan of a resampling: every argument read as scipy.ndimage reads it, checked, and reduced to
what the engine computes.

The engine interpolates at most three axes. A plan names them and the axes carried along, which
keep their index (batch axes: the ones the caller names with ``batch_axes``, and those a transform
of more than three axes leaves alone). In the plan's own axis order the carried axes come first and
the interpolated ones last (``in_axes`` and ``out_axes`` give that order in the caller's axes); the
interpolated axes are padded in front to three, and their coordinate form is a general matrix or
separable (zoom and shift per axis). Nothing here reads a value of the input or runs the engine: a
plan is made from the input's shape and dtype alone.
"""

from __future__ import annotations

import math
import operator
import sys
import warnings
from typing import TYPE_CHECKING, Optional, Sequence, Tuple, Union

import numpy as np

from ._errors import ArgumentTypeError, ArgumentValueError
from . import _dtypes
from ._engine import MODES
from ._store import StoreOutput, is_store_array, is_store_path

if TYPE_CHECKING:
    import dask.array
    from typing_extensions import TypeGuard

MODE_NAMES = ", ".join(repr(m) for m in MODES)
# The engine's row kernels interpolate at most this many axes; a transform that moves more runs
# through its point kernel (any number of axes, one voxel at a time).
MAX_INTERPOLATED = 3

Shape = Tuple[int, ...]


class ArrayInfo:
    """An input known by its shape and dtype alone (a lazy array's): enough to plan a resampling
    without reading, or computing, a single value of it."""

    __slots__ = ("shape", "dtype")

    def __init__(self, shape: Shape, dtype: np.dtype) -> None:
        self.shape, self.dtype = shape, dtype

    def __eq__(self, other) -> bool:
        return isinstance(other, ArrayInfo) and (self.shape, self.dtype) == (other.shape, other.dtype)

    def __repr__(self) -> str:
        return f"ArrayInfo({self.shape}, {self.dtype})"

    @property
    def ndim(self) -> int:
        return len(self.shape)

    @property
    def size(self) -> int:
        return math.prod(self.shape)

    def transpose(self, axes: Sequence[int]) -> "ArrayInfo":
        """The description of ``array.transpose(axes)``."""
        return ArrayInfo(tuple(self.shape[a] for a in axes), self.dtype)


def is_dask_array(value: object) -> TypeGuard[dask.array.Array]:
    """True for a dask.array.Array. Asks without importing dask: no such array exists before dask is
    imported."""
    module = sys.modules.get("dask.array")
    return module is not None and isinstance(value, getattr(module, "Array", ()))


# ---- coordinate forms --------------------------------------------------------------------------
# How a plan's output voxel finds its input coordinates. Each form holds its values as NumPy arrays
# (the windows and the dask path compute with them) and, made once, the arguments the engine's row
# kernels take for it (`matrix9`, `offset3`, and `separable`: separable, zoom, shift, grid_mode), so
# that an engine call builds nothing.

_ZERO9, _ZERO3 = (0.0,) * 9, (0.0,) * 3
_NOT_SEPARABLE = (False, (1.0, 1.0, 1.0), _ZERO3, False)


class Affine:
    """``offset + matrix @ o``: row j of `matrix` and `offset[j]` give input axis j's coordinate
    (scipy's sum, in its order). Of at most three axes in the engine's three (padded in front with
    zero rows and columns: `rows`); of more, (k, k_out) for the point kernel."""

    __slots__ = ("_matrix", "_offset", "matrix9", "offset3")
    kind = "affine"
    separable = _NOT_SEPARABLE

    def __init__(self, matrix: np.ndarray, offset: np.ndarray) -> None:
        self._matrix, self._offset = matrix, offset
        rows = matrix.shape == (3, 3)
        self.matrix9 = tuple(matrix.ravel().tolist()) if rows else _ZERO9
        self.offset3 = tuple(offset.tolist()) if rows else _ZERO3

    @classmethod
    def rows(cls, matrix: list, offset: list) -> "Affine":
        """The form of the engine's three axes from a (k, k_out) matrix and k offsets as lists (k,
        k_out <= 3), without NumPy (a small call's time)."""
        form = cls.__new__(cls)
        k, k_out = len(matrix), len(matrix[0])
        m9 = [0.0] * 9
        for r, row in enumerate(matrix):
            m9[3 * (3 - k + r) + 3 - k_out:3 * (3 - k + r) + 3] = row
        form._matrix = form._offset = None
        form.matrix9, form.offset3 = tuple(m9), (0.0,) * (3 - k) + tuple(offset)
        return form

    @property
    def matrix(self) -> np.ndarray:
        return np.array(self.matrix9).reshape(3, 3) if self._matrix is None else self._matrix

    @property
    def offset(self) -> np.ndarray:
        return np.array(self.offset3) if self._offset is None else self._offset

    def linear_part(self) -> np.ndarray:
        """How far each input coordinate moves per output index (rows: input axes)."""
        return self.matrix

    def __dask_tokenize__(self):
        return (self.kind, self.matrix.tolist(), self.offset.tolist())


class Separable:
    """scipy's per-axis coordinate: ``(o + shift) * zoom``, or with grid_mode ``((o + shift) + 0.5) *
    zoom - 0.5`` (zoom, shift per input axis; the engine's added axes have zoom 1, shift 0)."""

    __slots__ = ("zoom", "shift", "grid_mode", "separable")
    kind = "separable"
    matrix9, offset3 = _ZERO9, _ZERO3

    def __init__(self, zoom: Sequence[float], shift: Sequence[float], grid_mode: bool = False) -> None:
        """zoom and shift: float64 arrays, or sequences of Python floats (kept as tuples of floats)."""
        self.zoom = tuple(zoom.tolist()) if isinstance(zoom, np.ndarray) else tuple(zoom)
        self.shift = tuple(shift.tolist()) if isinstance(shift, np.ndarray) else tuple(shift)
        self.grid_mode = bool(grid_mode)
        rows = len(self.zoom) == 3
        self.separable = (True, self.zoom, self.shift, self.grid_mode) if rows else _NOT_SEPARABLE

    def linear_part(self) -> np.ndarray:
        return np.diag(np.array(self.zoom, dtype=np.float64))

    def __dask_tokenize__(self):
        return (self.kind, self.zoom, self.shift, self.grid_mode)


class Given:
    """The caller's coordinates (map_coordinates): `coords` of shape (k, points...), one row per
    interpolated input axis, any real dtype and layout."""

    __slots__ = ("coords",)
    kind = "given"
    matrix9, offset3 = _ZERO9, _ZERO3
    separable = _NOT_SEPARABLE

    def __init__(self, coords) -> None:
        self.coords = coords

    def __dask_tokenize__(self):
        return (self.kind, getattr(self.coords, "name", None) or id(self.coords))


_FIELDS = ("input", "output_shape", "batch", "in3", "out3", "interpolated", "form", "folded", "order", "mode",
           "cval", "in_axes", "out_axes", "prefilter", "pad", "margin")
_FIELD_SET = frozenset(_FIELDS)
_get_fields = operator.attrgetter(*_FIELDS)


class Plan:
    """A resampling reduced to at most three interpolated axes, in the plan's axis order (carried
    axes first); what the engine needs, plus how to get there from the caller's arrays.

    input         the source: the caller's input (a complex one's parts) in plan order (ArrayInfo)
    output_shape  the output in plan order
    batch         carried axes (leading in plan order), taken one index at a time
    in3, out3     the input and output of one engine call: three axes, or every interpolated one
    interpolated  trailing axes of in3 that are interpolated (more than three: the point kernel)
    form          the coordinates: Affine, Separable or Given
    folded        the first engine axis holds the batch (its coordinate is the image's index)
    order, mode, cval  (cval complex only for a complex input, split before the engine)
    in_axes, out_axes  the caller's input and output axes in plan order
    prefilter     orders 2 to 5: interpolate the input's B-spline coefficients
    pad           samples the source has in front of the input along the interpolated axes
    margin        the source's margin around those (coefficients_with_margin)
    """

    __slots__ = _FIELDS

    def __init__(self, input: ArrayInfo, output_shape: Shape, batch: Shape, in3: Shape, out3: Shape,
                 interpolated: int, form=None, folded: bool = False, order: int = 1, mode: str = "constant",
                 cval: Union[float, complex] = 0.0, in_axes: Shape = (), out_axes: Shape = (),
                 prefilter: bool = True, pad: int = 0, margin: int = 0) -> None:
        self.input, self.output_shape, self.batch, self.in3, self.out3 = input, output_shape, batch, in3, out3
        self.interpolated, self.form, self.folded = interpolated, form, folded
        self.order, self.mode, self.cval = order, mode, cval
        self.in_axes, self.out_axes, self.prefilter, self.pad, self.margin = in_axes, out_axes, prefilter, pad, margin

    def copy(self, **changes) -> "Plan":
        """The plan with some fields changed (a new one; this one is left as it is)."""
        new = Plan(*_get_fields(self))
        for name, value in changes.items():
            if name not in _FIELD_SET:
                raise TypeError(f"Plan has no field {name!r}")
            setattr(new, name, value)
        return new

    def __repr__(self) -> str:
        return "Plan(" + ", ".join(f"{n}={getattr(self, n)!r}" for n in _FIELDS) + ")"

    def __dask_tokenize__(self):
        return _get_fields(self)

    @property
    def points(self) -> bool:
        """Whether more than three axes are interpolated (or produced): the engine's point kernel runs
        the plan, one voxel at a time, instead of its row kernels."""
        return len(self.in3) != 3 or len(self.out3) != 3

    @property
    def caller_shape(self) -> Shape:
        """The output's shape in the caller's axis order."""
        if _in_order(self.out_axes):
            return self.output_shape
        shape = [0] * len(self.output_shape)
        for n, axis in zip(self.output_shape, self.out_axes):
            shape[axis] = n
        return tuple(shape)

    @property
    def reordered(self) -> bool:
        """Whether the plan's axis order differs from the caller's (for the input or the output)."""
        return not (_in_order(self.in_axes) and _in_order(self.out_axes))

    def arrange_input(self, x):
        """The caller's input (an array of any kind with ``transpose``) in plan order."""
        return x if _in_order(self.in_axes) else x.transpose(self.in_axes)

    def arrange_output(self, y):
        """A view of an output in the caller's order, in plan order."""
        return y if _in_order(self.out_axes) else y.transpose(self.out_axes)

    def restore_output(self, y):
        """An output in plan order, back in the caller's order (a view)."""
        return y if _in_order(self.out_axes) else y.transpose(np.argsort(self.out_axes).tolist())


_ORDERED = {n: tuple(range(n)) for n in range(65)}  # NumPy arrays have at most 64 axes


def _in_order(axes: Shape) -> bool:
    return _ORDERED.get(len(axes)) == axes


# ---- argument checks ---------------------------------------------------------------------------

def check_input(input) -> Union[np.ndarray, ArrayInfo]:
    """The input as an array; an ArrayInfo is checked and kept as it is, and a dask array is described
    by one (nothing is converted or computed)."""
    if is_dask_array(input):
        if any(math.isnan(c) for axis in input.chunks for c in axis):
            raise ValueError("input: the dask array has unknown chunk sizes (NaN); give them with "
                             "x.compute_chunk_sizes() or x.rechunk(...) first")
        input = ArrayInfo(tuple(int(n) for n in input.shape), np.dtype(input.dtype))
    arr = input if isinstance(input, ArrayInfo) else np.asarray(input)
    _dtypes.check(arr.dtype, "input")
    if arr.ndim == 0:
        raise ArgumentValueError("input: expected an array with at least one axis, got a 0-dimensional array")
    return arr


def check_order(order) -> int:
    try:
        value = operator.index(order)
    except TypeError:
        # scipy refuses a fractional order as an unsupported order (RuntimeError), a whole float as
        # not an integer
        fractional = isinstance(order, (float, np.floating)) and not float(order).is_integer()
        error = ArgumentTypeError if fractional else TypeError
        raise error(f"order: expected an integer, got {type(order).__name__}") from None
    if not 0 <= value <= 5:
        raise ArgumentValueError(f"order: expected 0 to 5 (the spline order), got {value}")
    return value


def check_mode(mode) -> str:
    if not isinstance(mode, str) or str.__str__(mode) not in MODES:
        raise ArgumentValueError(f"mode: expected one of {MODE_NAMES}, got {mode!r}")
    return str.__str__(mode)  # a str subclass's own methods would be the caller's code


def check_cval(cval) -> Union[float, complex]:
    """A real number, as scipy takes it (through __float__), or a complex one (for a complex input,
    whose parts take its parts; check_cval_for refuses it for a real input): not a string that
    happens to parse."""
    if isinstance(cval, (str, bytes)):
        raise TypeError(f"cval: expected a number, got {type(cval).__name__}")
    if isinstance(cval, (complex, np.complexfloating)):
        return complex(cval)
    try:
        return float(cval)
    except (TypeError, ValueError):
        raise TypeError(f"cval: expected a number, got {type(cval).__name__}") from None


def check_cval_for(cval, dtype) -> None:
    """A complex cval only for a complex input (scipy refuses it for a real one too)."""
    if isinstance(cval, complex) and not _dtypes.is_complex(dtype):
        raise TypeError(f"cval: a complex cval ({cval!r}) needs a complex input, got {np.dtype(dtype).name}")


def check_shape(shape, name: str = "output_shape") -> Shape:
    try:
        items = tuple(shape) if np.ndim(shape) else (shape,)
        values = tuple(operator.index(v) for v in items)
    except TypeError:
        raise TypeError(f"{name}: expected a sequence of non-negative integers, got {shape!r}") from None
    if any(v < 0 for v in values):
        raise ValueError(f"{name}: expected non-negative integers, got {values}")
    return values


def check_scalars(order, mode, cval):
    """(order, mode, cval) checked. Read before any view of the caller's arrays is taken: a cval's
    __float__ may run any code, resizing an array under a view included."""
    if type(order) is int and 0 <= order <= 5 and type(mode) is str and mode in MODES and type(cval) is float:
        return order, mode, cval  # the common call, which the checks below would hand back as it is
    return check_order(order), check_mode(mode), check_cval(cval)


def check_output(output, output_shape: Optional[Shape], input):
    """(output array or None, output dtype, output shape). An input known by its ArrayInfo only (a lazy
    one) has a lazy result: an array to fill is refused. A complex input has a complex output (a real
    dtype asked for is promoted to complex, as scipy does, with its warning)."""
    if is_store_array(output) or is_store_path(output):  # a store, written region by region
        target = StoreOutput(output)
        dtype = target.dtype if target.dtype is not None else _dtypes.native(input.dtype)
        _dtypes.check(dtype, "output")
        if _dtypes.is_complex(input.dtype) != _dtypes.is_complex(dtype):
            raise ArgumentTypeError(f"output: a {'complex' if _dtypes.is_complex(input.dtype) else 'real'} input needs "
                                    f"a store of a {'complex' if _dtypes.is_complex(input.dtype) else 'real'} dtype, "
                                    f"got {dtype}")
        shape = tuple(input.shape) if output_shape is None else tuple(output_shape)
        target.check(shape, dtype)
        return target, dtype, shape
    lazy = isinstance(input, ArrayInfo)
    if lazy and (isinstance(output, np.ndarray) or is_dask_array(output)):
        raise TypeError("output: with a dask input the result is a lazy dask array; give a dtype or None "
                        "(and store the result with dask.array.store or to_zarr)")
    complex_input = _dtypes.is_complex(input.dtype)
    if isinstance(output, np.ndarray):
        if not output.flags.writeable:
            raise ValueError("output: the array is read-only")
        dtype = _dtypes.check(output.dtype, "output")
        if complex_input != _dtypes.is_complex(dtype):
            raise ArgumentTypeError(f"output: a {'complex' if complex_input else 'real'} input needs an output array "
                                    f"of a {'complex' if complex_input else 'real'} dtype, got {output.dtype}")
        if output_shape is not None and tuple(output.shape) != tuple(output_shape):
            raise ArgumentValueError(f"output: its shape {output.shape} differs from output_shape "
                                     f"{tuple(output_shape)}")
        return output, dtype, tuple(output.shape)
    if output is None:
        dtype = _dtypes.native(input.dtype)  # as scipy: the input's type, in native byte order
    else:
        _dtypes.check(output, "output")
        dtype = np.dtype(output)  # a byte order asked for is kept
        if complex_input and not _dtypes.is_complex(dtype):
            warnings.warn("promoting specified output dtype to complex", stacklevel=4)
            dtype = np.promote_types(dtype, np.complex64)
        elif not complex_input and _dtypes.is_complex(dtype):
            raise ArgumentTypeError(f"output: a complex dtype ({dtype}) needs a complex input")
    shape = tuple(input.shape) if output_shape is None else output_shape
    return None, dtype, shape


def nearest_cval(cval, order: int, out_dtype):
    """cval for a plan with results of `out_dtype`: at order 0, where every voxel is a sample or cval,
    cval as the output holds it, so that a kernel computing in another type than the output's (a
    uint16 input into uint8, computed in float32) stores exactly the value that scipy's single
    rounding of cval into the output gives, not a rounding of its rounding; else as it is (a complex
    cval too: its parts are rounded with the parts)."""
    if order != 0 or isinstance(cval, complex) or _dtypes.is_complex(out_dtype):
        return cval
    if out_dtype == _FLOAT64:  # a float64 holds every cval as it is
        return cval
    return _dtypes.stored(cval, out_dtype)


def check_batch_axes(batch_axes, ndim: int) -> Shape:
    """The axes a caller names as carried along, sorted and non-negative."""
    if batch_axes is None:
        return ()
    items = [batch_axes] if np.ndim(batch_axes) == 0 else list(batch_axes)
    try:
        values = [operator.index(a) for a in items]
    except TypeError:
        raise TypeError(f"batch_axes: expected an integer or a sequence of integers, got {batch_axes!r}") from None
    norm = [a + ndim if a < 0 else a for a in values]
    if any(not 0 <= a < ndim for a in norm):
        raise ValueError(f"batch_axes: {tuple(values)} are not all axes of a {ndim}-D input")
    if len(set(norm)) != len(norm):
        raise ValueError(f"batch_axes: {tuple(values)} names an axis twice")
    if len(norm) >= ndim:
        raise ValueError(f"batch_axes: {tuple(values)} leaves no axis of the {ndim}-D input to transform")
    return tuple(sorted(norm))


def _lower_rank_hint(shape: Tuple[int, ...], k: int) -> Optional[int]:
    """The number of axes a matrix of `shape` is made for when that is fewer than k (None if it is
    not a transform of fewer axes)."""
    if len(shape) == 1 and 1 <= shape[0] < k:
        return shape[0]
    if len(shape) == 2:
        rows, cols = shape
        if 1 <= rows < k and cols in (rows, rows + 1):
            return rows
        if rows == cols and 2 <= rows <= k:
            return rows - 1
    return None


def check_matrix_and_offset(matrix, offset, k: int, batch_named: bool):
    """scipy's forms for a transform of k input axes: (k + 1, k + 1) homogeneous, (k, k + 1), (k, j)
    general (j output axes), (k,) diagonal. A matrix for fewer axes is refused with a pointer to
    batch_axes (which axes it would leave alone is the caller's to say, not ours to guess).
    Returns (kind, a, offset, k_out): kind "general" with a (k, k_out), or "diagonal" with a (k,)."""
    try:
        m = np.asarray(matrix, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"matrix: expected an array of real numbers ({exc})") from None
    from_matrix = False
    if m.ndim == 2 and m.shape[1] == k + 1 and m.shape[0] in (k, k + 1):
        if m.shape[0] == k + 1 and not np.array_equal(m[k], [0] * k + [1]):
            raise ValueError("matrix: the last row of a homogeneous matrix must be [0, ..., 0, 1], got "
                             f"{m[k].tolist()}")
        m, offset, from_matrix = m[:k, :k], m[:k, k], True
    if m.ndim == 1 and m.shape[0] == k:
        kind, k_out = "diagonal", k
    elif m.ndim == 2 and m.shape[0] == k and m.shape[1] >= 1:
        kind, k_out = "general", m.shape[1]
    else:
        fewer = _lower_rank_hint(m.shape, k)
        where = "the axes not named by batch_axes" if batch_named else "the input"
        if fewer is not None:
            raise ArgumentValueError(f"matrix: shape {m.shape} transforms {fewer} axes, {where} has {k}: name the "
                                     f"axes it leaves alone with batch_axes (e.g. batch_axes=-1 for a channel axis "
                                     f"last, batch_axes=0 for one first)")
        raise ArgumentValueError(f"matrix: expected shape ({k},), ({k}, {k}), ({k}, {k + 1}) or ({k + 1}, {k + 1}) "
                                 f"for {where} of {k} axes, or ({k}, j) for an output of j axes, got {m.shape}")
    if not from_matrix:
        try:
            off = np.asarray(offset, dtype=np.float64)
        except (TypeError, ValueError):
            raise TypeError(f"offset: expected a real number or a sequence of them, got {offset!r}") from None
        if off.ndim == 0:
            off = np.array([float(off)] * k)
        if off.shape != (k,):
            raise ArgumentValueError(f"offset: expected a scalar or {k} values (one per transformed input axis), "
                                     f"got shape {off.shape}")
    else:
        off = np.array(offset, dtype=np.float64)
    return kind, m, off, k_out


# ---- given coordinates (map_coordinates) -----------------------------------------------------------

def check_coordinates(coordinates, k: int) -> np.ndarray:
    """The coordinates as an array of a real dtype, of shape (k, ...) with at least one axis after the
    first; TypeError or ValueError naming the argument otherwise."""
    try:
        c = np.asarray(coordinates)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"coordinates: expected an array of real numbers ({exc})") from None
    check_coordinate_form(c.dtype, c.shape, k)
    return c


def check_coordinate_form(dtype: np.dtype, shape: Tuple[int, ...], k: int) -> None:
    """Coordinates of this dtype and shape are of a real dtype, with one row per interpolated input
    axis (`k`) and at least one axis of points; TypeError or ValueError naming the argument otherwise
    (a NumPy or a dask array alike)."""
    if dtype.kind not in "biuf":
        raise TypeError(f"coordinates: expected real numbers, got dtype {dtype}")
    if len(shape) < 2:
        raise ArgumentValueError(f"coordinates: expected shape ({k}, ...) with at least one axis of points, got "
                                 f"{shape}")
    if shape[0] != k:
        raise ArgumentValueError(f"coordinates: its first axis ({shape[0]}) must have one row per interpolated input "
                                 f"axis ({k}), got shape {shape}")


def _batch_positions(named: Tuple[int, ...], ndim: int, k_out: int) -> Tuple[int, ...]:
    """Where the carried axes go in the output: first if they are the input's first axes, last if they
    are its last ones (as for a matrix that changes the number of axes)."""
    nb = len(named)
    if named == tuple(range(nb)):
        return tuple(range(nb))
    if named == tuple(range(ndim - nb, ndim)):
        return tuple(range(k_out, k_out + nb))
    raise ValueError(f"batch_axes: for map_coordinates the axes carried along must be the input's first or last "
                     f"ones, got {named}")


def grid3(shape: Shape) -> Shape:
    """Points of this shape as the engine's three output axes (the leading ones merged)."""
    if len(shape) == 1:
        return (1, 1, shape[0])
    return (math.prod(shape[:-2]), shape[-2], shape[-1])


def _source_info(shape: Shape, dtype: np.dtype) -> ArrayInfo:
    """What a common call's plan reads: the input, or a complex input's parts."""
    return ArrayInfo(shape, dtype if dtype.kind != "c" else _dtypes.real_part(dtype))


def plan_given_common(input, coordinates, output, order, mode, cval, batch_axes=None, prefilter=True):
    """The plan that plan_given makes for the most common call, made without most of its checks, or
    None for any other call: a NumPy input of one to three axes and a dtype the resampler takes, NumPy
    coordinates of a real dtype and shape (k, ...), no output, no batch_axes, a real cval."""
    if not (type(input) is np.ndarray and type(coordinates) is np.ndarray and output is None and batch_axes is None
            and type(cval) is float):
        return None
    shape, dtype, cshape = input.shape, input.dtype, coordinates.shape
    k = len(shape)
    if not (1 <= k <= MAX_INTERPOLATED and len(cshape) >= 2 and cshape[0] == k and dtype in _dtypes.SUPPORTED_SET
            and coordinates.dtype.kind in "biuf"):
        return None
    points = cshape[1:]
    plan = Plan(_source_info(shape, dtype), points, (), _pad(shape), grid3(points), k, Given(coordinates), False, order,
                mode, nearest_cval(cval, order, dtype), _ORDERED[k], _ORDERED[len(points)], bool(prefilter))
    return plan, None, dtype


def plan_given(input, coordinates, output, order, mode, cval, batch_axes=None, prefilter=True):
    """(Plan, output array or None, output dtype) for map_coordinates' arguments, the scalars already
    checked. A dask input or dask coordinates are described, not read (a lazy plan): its input an
    ArrayInfo, its coordinates the dask array, no batch axes."""
    common = plan_given_common(input, coordinates, output, order, mode, cval, batch_axes, prefilter)
    if common is not None:
        return common
    lazy = is_dask_array(input) or is_dask_array(coordinates)
    arr = check_input(input)
    check_cval_for(cval, arr.dtype)
    named = check_batch_axes(batch_axes, arr.ndim)
    k = arr.ndim - len(named)
    if lazy:
        if named:
            raise ValueError("batch_axes: not available with a dask input or dask coordinates")
        if is_dask_array(coordinates):
            coords = coordinates
            check_coordinate_form(coords.dtype, tuple(coords.shape), k)
            if any(math.isnan(c) for axis in coords.chunks for c in axis):
                raise ValueError("coordinates: the dask array has unknown chunk sizes (NaN)")
        else:
            coords = check_coordinates(coordinates, k)
        arr = arr if isinstance(arr, ArrayInfo) else ArrayInfo(tuple(arr.shape), arr.dtype)
    else:
        coords = check_coordinates(coordinates, k)
    points_shape = tuple(coords.shape[1:])
    if named:
        at = _batch_positions(named, arr.ndim, len(points_shape))
        out_shape = [0] * (len(points_shape) + len(named))
        rest = [i for i in range(len(out_shape)) if i not in at]
        for i, a in zip(at, named):
            out_shape[i] = arr.shape[a]
        for i, n in zip(rest, points_shape):
            out_shape[i] = n
        in_axes = tuple(named) + tuple(i for i in range(arr.ndim) if i not in named)
        out_axes = tuple(at) + tuple(rest)
    else:
        out_shape, in_axes, out_axes = points_shape, _ORDERED[arr.ndim], _ORDERED[len(points_shape)]
    out_arr, out_dtype, shape = check_output(output, tuple(out_shape), arr)
    cval = nearest_cval(cval, order, out_dtype)
    info = ArrayInfo(tuple(arr.shape[a] for a in in_axes) if named else tuple(arr.shape), _dtypes.real_part(arr.dtype))
    in_t = info.shape[len(named):]
    if k <= MAX_INTERPOLATED:
        in_t, out_t = _pad(in_t), grid3(points_shape)
    else:
        out_t = points_shape
    plan = Plan(info, tuple(shape[a] for a in out_axes) if named else shape, info.shape[:len(named)], in_t, out_t, k,
                Given(coords), False, order, mode, cval, in_axes, out_axes, bool(prefilter))
    return plan, out_arr, out_dtype


# ---- the plan ------------------------------------------------------------------------------------

def _pad(shape: Shape, rank: int = 3) -> Shape:
    return (1,) * (rank - len(shape)) + tuple(shape)


def _left_alone(axes: Sequence[int], moves, order: int, prefilter: bool) -> Tuple[int, ...]:
    """Of `axes` (interpolated ones), those whose transform is the identity (moves(axis) false), when
    there are more than the engine interpolates; else none (scipy interpolates them, and so do we).
    Only where carrying an axis gives what interpolating it gives: at orders 0 and 1 (a whole position
    reads its sample alone), and at orders 2 to 5 with the prefilter (the spline through the input's
    values passes through them). Without the prefilter the input is taken as the coefficients, and
    the spline at whole positions smooths them (order 3: 1/6, 2/3, 1/6): such an axis is interpolated."""
    if len(axes) <= MAX_INTERPOLATED or (order >= 2 and not prefilter):
        return ()
    alone = tuple(a for a in axes if not moves(a))
    # The engine interpolates one axis at least: the last stays when the transform moves none.
    return alone[:-1] if len(alone) == len(axes) else alone


def plan_common(input, matrix, offset, output_shape, output, order, mode, cval, batch_axes=None, prefilter=True):
    """The plan that plan_affine makes for the most common call, made without most of its checks, or
    None for any other call: a NumPy input of one to three axes and a dtype the resampler takes, a
    float64 (k, k) ndarray matrix, an offset of a number or k numbers, output_shape None or k
    integers, no output, no batch_axes, a real cval. A small call spends most of its time here."""
    if not (type(input) is np.ndarray and type(matrix) is np.ndarray and output is None and batch_axes is None
            and type(cval) is float):
        return None
    shape, dtype = input.shape, input.dtype
    k = len(shape)
    if not (1 <= k <= MAX_INTERPOLATED and matrix.shape == (k, k) and matrix.dtype == _FLOAT64
            and dtype in _dtypes.SUPPORTED_SET):
        return None
    if type(offset) is float or type(offset) is int:
        off = [float(offset)] * k
    elif type(offset) in (tuple, list) and len(offset) == k and all(type(v) in _NUMBERS for v in offset):
        off = [float(v) for v in offset]
    elif type(offset) is np.ndarray and offset.shape == (k,) and offset.dtype == _FLOAT64:
        off = offset.tolist()
    else:
        return None
    if output_shape is None:
        output_shape = shape
    elif not (type(output_shape) in (tuple, list) and len(output_shape) == k
              and all(type(n) is int and n >= 0 for n in output_shape)):
        return None
    out_shape = tuple(output_shape)
    axes = _ORDERED[k]
    plan = Plan(_source_info(shape, dtype), out_shape, (), _pad(shape), _pad(out_shape), k,
                Affine.rows(matrix.tolist(), off), False, order, mode, nearest_cval(cval, order, dtype), axes, axes,
                bool(prefilter))
    return plan, None, dtype


_FLOAT64 = np.dtype(np.float64)
_NUMBERS = (float, int, np.float64)


def plan_affine(input, matrix, offset, output_shape, output, order, mode, cval, batch_axes=None, prefilter=True):
    """(Plan, output array or None, output dtype) for affine_transform's arguments, the scalars
    (order, mode, cval) already checked. `input` may be an ArrayInfo: the plan is then made from its
    shape and dtype alone."""
    common = plan_common(input, matrix, offset, output_shape, output, order, mode, cval, batch_axes, prefilter)
    if common is not None:
        return common
    arr = check_input(input)
    check_cval_for(cval, arr.dtype)
    if output_shape is not None:
        output_shape = check_shape(output_shape)
    named = check_batch_axes(batch_axes, arr.ndim)
    k = arr.ndim - len(named)
    kind, a, off, k_out = check_matrix_and_offset(matrix, offset, k, bool(named))
    out_arr, out_dtype, out_shape = check_output(output, output_shape, arr)
    cval = nearest_cval(cval, order, out_dtype)
    nbatch = len(named)
    if len(out_shape) != nbatch + k_out:
        raise ArgumentValueError(f"output_shape: expected {nbatch + k_out} axes for this matrix, got {out_shape}")
    rest_in = [i for i in range(arr.ndim) if i not in named] if named else range(arr.ndim)
    # Where the carried axes sit in the output: where they are in the input; with an output of another
    # rank they must be the input's first or last axes, which then stay first or last.
    if not named:
        out_named = []
    elif k_out == k:
        out_named = list(named)
    elif named == tuple(range(nbatch)):
        out_named = list(range(nbatch))
    elif named == tuple(range(arr.ndim - nbatch, arr.ndim)):
        out_named = list(range(k_out, k_out + nbatch))
    else:
        raise ValueError(f"batch_axes: with a matrix that changes the number of axes ({k} to {k_out}) the axes "
                         f"carried along must be the input's first or last ones, got {named}")
    rest_out = [i for i in range(len(out_shape)) if i not in out_named] if named else range(len(out_shape))
    for i, o in zip(named, out_named):
        if out_shape[o] != arr.shape[i]:
            raise ValueError(f"output_shape: the axes carried along {tuple(out_shape[o] for o in out_named)} must "
                             f"equal the input's {tuple(arr.shape[i] for i in named)}")
    # Of a square transform of more axes than the engine interpolates, the axes it leaves alone (an
    # identity row and column, no offset, the same length) are carried along too.
    def moves(j):  # j: the j-th transformed axis
        if k_out != k or out_shape[rest_out[j]] != arr.shape[rest_in[j]] or off[j] != 0:
            return True
        if kind == "diagonal":
            return a[j] != 1
        unit = np.eye(k)[j]
        return not (np.array_equal(a[j], unit) and np.array_equal(a[:, j], unit))

    alone = _left_alone(range(k), moves, order, bool(prefilter))
    if alone:
        keep = [j for j in range(k) if j not in alone]
        keep_out = keep
        a, off = (a[keep] if kind == "diagonal" else a[np.ix_(keep, keep)]), off[keep]
    else:
        keep, keep_out = range(k), range(k_out)
    if alone or named:
        in_axes = tuple(sorted(list(named) + [rest_in[j] for j in alone]) + [rest_in[j] for j in keep])
        out_axes = tuple(sorted(list(out_named) + [rest_out[j] for j in alone]) + [rest_out[j] for j in keep_out])
    else:
        in_axes, out_axes = tuple(rest_in), tuple(rest_out)
    plan, rows, cols = _layout(arr, in_axes, out_shape, out_axes, len(keep), len(keep_out), order, mode, cval)
    plan.prefilter = bool(prefilter)
    if kind == "diagonal":
        with np.errstate(divide="ignore", invalid="ignore"):
            shift = off / a
        plan.form = _separable(rows, a, shift)
    elif rows == 3 and cols == 3:
        plan.form = Affine.rows(a.tolist(), off.tolist())
    else:
        plan.form = Affine(a, off)  # the point kernel's: every axis as it is
    return plan, out_arr, out_dtype


def plan_separable_common(arr, zoom: list, shift: list, output_shape: Shape, output, order, mode, cval,
                          grid_mode: bool = False, prefilter: bool = True):
    """The plan that plan_separable makes for the most common call, made without NumPy, or None for any
    other call: a NumPy input of one to three axes and a dtype the resampler takes, `zoom` and `shift`
    lists of Python floats, no output array, a real cval."""
    if not (type(arr) is np.ndarray and output is None and type(cval) is float):
        return None
    shape, dtype = arr.shape, arr.dtype
    k = len(shape)
    if not (1 <= k <= MAX_INTERPOLATED and dtype in _dtypes.SUPPORTED_SET):
        return None
    lead = 3 - k
    form = Separable([1.0] * lead + zoom, [0.0] * lead + shift, grid_mode)
    axes = _ORDERED[k]
    plan = Plan(_source_info(shape, dtype), output_shape, (), _pad(shape), _pad(output_shape), k, form, False, order,
                mode, nearest_cval(cval, order, dtype), axes, axes, bool(prefilter))
    return plan, None, dtype


def plan_separable(arr, zoom: list, shift: list, output_shape: Shape, output, order, mode,
                   cval, grid_mode: bool = False, name: str = "zoom", prefilter: bool = True):
    """(Plan, output array or None, output dtype) for scipy's per-axis coordinate (NI_ZoomShift) over
    every axis of `arr` (already checked by check_input; the scalars too): ``(k + shift) * zoom``, or
    with grid_mode ``((k + shift) + 0.5) * zoom - 0.5``; `zoom` and `shift` are lists of Python floats,
    one value per axis, and `output_shape` is the caller's. Of more than three axes, those left alone (zoom 1, shift
    0, the same length) are carried along (see _left_alone); `name` is the argument blamed when more than
    three move."""
    common = plan_separable_common(arr, zoom, shift, tuple(output_shape), output, order, mode, cval, grid_mode,
                                   prefilter)
    if common is not None:
        return common
    zoom, shift = np.array(zoom, dtype=np.float64), np.array(shift, dtype=np.float64)
    check_cval_for(cval, arr.dtype)
    out_arr, out_dtype, out_shape = check_output(output, output_shape, arr)
    cval = nearest_cval(cval, order, out_dtype)
    axes = range(arr.ndim)
    alone = _left_alone(axes, lambda a: not (zoom[a] == 1.0 and shift[a] == 0.0 and out_shape[a] == arr.shape[a]),
                        order, bool(prefilter))
    keep = [a for a in axes if a not in alone]
    in_axes = tuple(alone) + tuple(keep)
    plan, rows, _ = _layout(arr, in_axes, tuple(out_shape), in_axes, len(keep), len(keep), order, mode, cval)
    plan.form = _separable(rows, zoom[keep], shift[keep], grid_mode)
    plan.prefilter = bool(prefilter)
    return plan, out_arr, out_dtype


def _layout(arr, in_axes: Shape, out_shape: Shape, out_axes: Shape, k: int, k_out: int, order: int, mode: str,
            cval):
    """The plan's shapes for a transform of the last k input axes (in plan order) onto the last k_out
    output axes, the axes before them carried along, of equal length in both; (plan without its
    form, rows, columns): the engine's input and output axes, of which the transform fills the last
    k and k_out (three each for the row kernels, k and k_out for the point kernel)."""
    shape = tuple(arr.shape)
    source = ArrayInfo(shape if _in_order(in_axes) else tuple([shape[a] for a in in_axes]),
                       _dtypes.real_part(arr.dtype))
    out = out_shape if _in_order(out_axes) else tuple([out_shape[a] for a in out_axes])
    nbatch = len(in_axes) - k
    batch = source.shape[:nbatch]
    in_t, out_t = source.shape[nbatch:], out[nbatch:]
    if k > MAX_INTERPOLATED or k_out > MAX_INTERPOLATED:  # the point kernel's: every axis as it is
        rows, cols = k, k_out
    else:  # the added axes of the three (length 1) have coordinate 0
        rows = cols = 3
        in_t, out_t = _pad(in_t), _pad(out_t)
    plan = Plan(source, out, batch, in_t, out_t, k, None, False, order, mode, cval, tuple(in_axes), tuple(out_axes))
    return plan, rows, cols


def _separable(rows: int, zoom, shift, grid_mode: bool = False) -> Separable:
    """Separable coordinates on the last engine axes of `rows`; the others keep zoom 1 and shift 0
    (their index)."""
    z, s = np.ones(rows), np.zeros(rows)
    z[rows - len(zoom):] = zoom
    s[rows - len(shift):] = shift
    return Separable(z, s, grid_mode)


def folded(plan: Plan) -> Plan:
    """For fewer than three transformed axes: the batch axes merged into the first of the three,
    whose coordinate is then its own index (no loop over the batch in Python). Not for given
    coordinates, which have no axis for the batch."""
    if not plan.batch or plan.interpolated >= 3 or plan.points or plan.form.kind == "given":
        return plan
    count = math.prod(plan.batch)
    form = plan.form
    if form.kind == "affine":
        matrix = form.matrix.copy()
        matrix[0, 0] = 1.0
        form = Affine.rows(matrix.tolist(), list(form.offset3))
    return plan.copy(batch=(), in3=(count,) + plan.in3[1:], out3=(count,) + plan.out3[1:], form=form, folded=True)

"""The engine's entry points (zentrova_resample._engine) with random arguments, every array they read
or write in an allocation of its own that ends where the call may reach: input boxes of random
windows, reversed, strided and Fortran-ordered inputs, the input with a margin, coordinates far
outside the input, the spline filters, the casts. A read or write past an array then lands in
AddressSanitizer's redzone (scripts/sanitize.sh runs this file on the sanitized build); outputs sit
between guard bands as well, which shows a stray write in any build. The values are held to the
public functions' results."""

import numpy as np
import pytest

import scipy_model as sm
import zentrova_resample as zr
from resample_support import (assert_same, compute_dtype, quiet, random_cval, random_data, random_transform,
                              rng_for)
from zentrova_resample import _engine, _execute, _plan, _spline

GUARD = 64  # elements on both sides of an output: more than a vector of the widest lanes
KINDS = ("rotate", "general", "scale_up", "scale_down", "shear", "flip", "half_shift", "diagonal")
DTYPES = ("float32", "uint8", "int16", "float16", "float64", "int32", "uint64")
# the types the engine stores values of each compute type into
CASTS = {np.float32: (np.float32, np.float16, np.uint8, np.int8, np.uint16, np.int16),
         np.float64: (np.float64, np.int32, np.uint32, np.float16, np.uint16, np.bool_, np.uint64)}


def own(a, rng):
    """`a`'s values in memory of their own, exactly as large: C order, Fortran order, reversed along
    an axis, or every other element along the last axis (the first and the last element read are
    those of the allocation)."""
    pick = int(rng.integers(4)) if a.size else 0
    if pick == 1:
        return np.array(a, order="F", copy=True)
    if pick == 2:
        axis = int(rng.integers(a.ndim))
        return np.flip(np.flip(a, axis).copy(), axis)
    if pick == 3:
        out = np.empty(a.shape[:-1] + (2 * a.shape[-1] - 1,), a.dtype)[..., ::2]
        out[...] = a
        return out
    return a.copy()


def guarded(shape, dtype):
    """(output, buffer): a C-contiguous output of unset (0xA5) bytes inside a buffer with GUARD elements
    of them on both sides."""
    n = int(np.prod(shape))
    buffer = np.empty(n + 2 * GUARD, dtype)
    buffer.view(np.uint8)[...] = 0xA5
    return buffer[GUARD:GUARD + n].reshape(shape), buffer


def assert_guards(buffer, context):
    edge = GUARD * buffer.itemsize
    raw = buffer.view(np.uint8)
    assert (raw[:edge] == 0xA5).all() and (raw[-edge:] == 0xA5).all(), f"{context}: written outside the output"


@pytest.mark.parametrize("order", range(6))
@pytest.mark.parametrize("dtype", DTYPES)
def test_windows_from_boxes_of_their_own(dtype, order):
    """Random transforms (matrices and the separable form), some sampling far outside the input, every
    mode: random windows of the output computed from exactly their input box (or the B-spline
    coefficients' box), held in its own memory, equal the whole result."""
    rng = rng_for("engine fuzz", dtype, order)
    for _ in range(8):
        ndim = int(rng.integers(1, 4))
        in_shape = tuple(int(v) for v in rng.integers(1, 12, ndim))
        out_shape = tuple(int(v) for v in rng.integers(1, 20, ndim))
        mode = sm.MODES[int(rng.integers(len(sm.MODES)))]
        data = random_data(rng, in_shape, dtype, specials=order < 2)
        matrix, offset = random_transform(rng, in_shape, out_shape, KINDS[int(rng.integers(len(KINDS)))])
        if rng.random() < 0.25:  # the output's corner far outside the input
            offset = offset + rng.choice([-1, 1], ndim) * rng.uniform(1, 3) * np.array(in_shape)
        cval = random_cval(rng, dtype)
        if mode == "grid-constant" and order > 1 and np.dtype(dtype).kind in "iu":
            cval = float(rng.integers(0, 100))  # the prefilter pads with cval, which must fit the type
        plan, _, out_dtype = _plan.plan_affine(data, matrix, offset, out_shape, None, order, mode, cval)
        whole = quiet(_execute.execute, plan, own(data, rng), None, out_dtype)
        reading, source = quiet(_execute.with_coefficients, plan, data, out_dtype)
        kernel_dtype = _execute.kernel_dtype_of(reading, out_dtype)
        for _ in range(6):
            start = [int(rng.integers(0, n)) for n in out_shape]
            stop = [int(rng.integers(a + 1, n + 1)) for a, n in zip(start, out_shape)]
            box = _execute.input_box(reading, start, stop)
            src = None if box is None else own(source[tuple(slice(a, b) for a, b in box)], rng)
            result, buffer = guarded(tuple(b - a for a, b in zip(start, stop)), kernel_dtype)
            quiet(_execute.fill_window, reading, src, box, start, result)
            context = f"{mode} {in_shape} -> {out_shape} window {start} {stop} box {box}"
            assert_guards(buffer, context)
            expected = whole[tuple(slice(a, b) for a, b in zip(start, stop))]
            assert_same(quiet(_execute.as_output, reading, result, out_dtype), expected, context)


@pytest.mark.parametrize("dtype", DTYPES)
def test_points_far_outside(dtype):
    """The one-point kernel, one to four axes, at coordinates inside, at the edges, far outside and
    non-finite, equals map_coordinates (the row kernels up to three axes)."""
    rng = rng_for("engine points", dtype)
    for order in range(6):
        for mode in sm.MODES:
            shape = tuple(int(v) for v in rng.integers(1, 7, int(rng.integers(1, 5))))
            data = random_data(rng, shape, dtype, specials=order < 2)
            coords = np.stack([rng.uniform(-3 * n - 2, 4 * n + 2, 40) for n in shape])
            pick = rng.random(coords.shape)
            coords[pick < 0.05] = np.nan
            coords[(pick >= 0.05) & (pick < 0.1)] = rng.choice([np.inf, -np.inf, 3e9, -3e9, 2.0**40])
            edges = (pick >= 0.1) & (pick < 0.3)
            coords[edges] = (np.array(shape, float)[:, None] * rng.integers(-1, 3, coords.shape) - 0.5)[edges]
            cval = random_cval(rng, dtype)
            out, buffer = guarded((coords.shape[1],), data.dtype)  # every dtype here has kernels of its own
            quiet(_engine.resample_points, own(data, rng), coords, out, order, _engine.MODES[mode], cval, 0.0)
            assert_guards(buffer, f"order {order} {mode} {shape}")
            expected = quiet(zr.map_coordinates, data, coords, order=order, mode=mode, cval=cval, prefilter=False)
            assert_same(out, expected, f"order {order} {mode} {shape}")


def grid_coordinates(shape, origin, dtype, matrix=None, offset=None, zoom=None, shift=None, grid_mode=False):
    """The coordinates (input axes, C order of the window) of the output voxels of the window `shape` at
    `origin`, one rounded NumPy operation after another in `dtype`: offset + o_0 * m_0 + o_1 * m_1 + ...,
    or (o + shift) * zoom per axis (grid_mode: ((o + shift) + 0.5) * zoom - 0.5)."""
    T = np.dtype(dtype).type
    o = [(np.indices(shape, dtype=np.int64)[b] + origin[b]).ravel().astype(dtype) for b in range(len(shape))]
    if zoom is not None:
        c = [o[r] + T(shift[r]) for r in range(len(shape))]
        return np.stack([((x + T(0.5)) * T(z)) - T(0.5) if grid_mode else x * T(z) for x, z in zip(c, zoom)])
    rows = []
    for r in range(matrix.shape[0]):
        x = np.full(o[0].size, T(offset[r]), dtype)
        for b in range(len(shape)):
            x = x + o[b] * T(matrix[r, b])
        rows.append(x)
    return np.stack(rows)


@pytest.mark.parametrize("dtype", DTYPES)
def test_points_at_computed_coordinates(dtype):
    """The one-point kernel computing each voxel's coordinates from its indices (a window of the output
    grid anywhere in it; a matrix of other input and output axes, or the separable forms) equals it at
    those coordinates made in NumPy in the kernel's coordinate type (binary64 at order 0, else the
    compute type), and writes nothing beside its output."""
    rng = rng_for("engine grid points", dtype)
    for order in range(6):
        for trial in range(3):
            ndim, out_ndim = int(rng.integers(1, 6)), int(rng.integers(1, 6))
            shape = tuple(int(v) for v in rng.integers(1, 6, ndim))
            data = random_data(rng, shape, dtype, specials=False)
            mode, cval = sm.MODES[int(rng.integers(len(sm.MODES)))], random_cval(rng, dtype)
            separable = trial > 0
            window = tuple(int(v) for v in rng.integers(1, 5, ndim if separable else out_ndim))
            origin = tuple(int(v) for v in rng.integers(0, 40, len(window)))
            # coordinates about [-3, n + 3): inside, at the edges and outside
            if separable:
                transform = dict(zoom=rng.uniform(0.02, 0.15, ndim) * rng.choice([-1, 1], ndim),
                                 shift=rng.uniform(-2, 2, ndim), grid_mode=trial == 2)
            else:
                transform = dict(matrix=rng.uniform(-1, 1, (ndim, out_ndim)) / (20 * out_ndim),
                                 offset=rng.uniform(-1, 1 + max(shape), ndim))
            coords = grid_coordinates(window, origin, compute_dtype(dtype, order=order), **transform)
            coords = coords.astype(np.float64)
            context = f"order {order} {mode} {shape} {window} at {origin} {transform}"
            src = own(data, rng)
            out, buffer = guarded(window, data.dtype)
            quiet(_engine.resample_points, src, None, out, order, _engine.MODES[mode], cval, 0.0,
                  out_origin=origin, **transform)
            assert_guards(buffer, context)
            expected = np.empty(coords.shape[1], data.dtype)
            quiet(_engine.resample_points, src, coords, expected, order, _engine.MODES[mode], cval, 0.0)
            assert_same(out.ravel(), expected, context)


@pytest.mark.parametrize("types", ((np.float64, np.float64), (np.float32, np.float32), (np.float64, np.float32),
                                   (np.float32, np.float64)))
def test_filters_and_casts_in_memory_of_their_own(types):
    """The spline filter along any axis, the planes of the last two and the coefficients with a margin
    (its fill of the margins included), from sources in memory of their own into guarded outputs,
    equal the public spline_filter1d and the plain coefficients; the casts from sources that end
    where their allocation ends equal the model's store."""
    rng = rng_for("engine filters", types)
    src_type, dst_type = types
    for _ in range(12):
        shape = tuple(int(v) for v in rng.integers(1, 24, 3))
        order, mode = int(rng.integers(2, 6)), sm.MODES[int(rng.integers(len(sm.MODES)))]
        data = rng.normal(0, 100, shape).astype(src_type)
        context = f"order {order} {mode} {shape}"
        for axis in range(3):
            out, buffer = guarded(shape, dst_type)
            _engine.spline_filter1d(data.copy(), out, axis, order, _engine.MODES[mode])  # C order only
            assert_guards(buffer, context)
            assert_same(out, zr.spline_filter1d(data, order, axis, output=dst_type, mode=mode), f"{context} {axis}")
        mid = zr.spline_filter1d(data, order, 1, output=dst_type, mode=mode)
        out, buffer = guarded(shape, dst_type)
        _engine.spline_filter_planes(data.copy(), np.empty(shape, dst_type), out, order, _engine.MODES[mode])
        assert_guards(buffer, context)
        assert_same(out, zr.spline_filter1d(mid, order, 2, output=dst_type, mode=mode), f"{context} planes")
        cval = float(rng.integers(-5, 5))
        plain, pad = _spline.coefficients(data, 0, order, mode, cval, np.dtype(dst_type))
        held = quiet(_spline.coefficients_with_margin, data.copy(), order, mode, cval, np.dtype(dst_type))
        expected = np.empty_like(held)
        m = order + 1
        expected[m:-m, m:-m, m:-m] = plain
        _spline.fill_margin(expected, 0, m, mode, dst_type(cval) if mode == "grid-constant" else None)
        assert_same(held, expected, f"{context} with a margin")
        values = rng.normal(0, 3e4, int(rng.integers(5, 80))).astype(dst_type)
        values[rng.random(values.size) < 0.1] = np.nan
        for out_type in CASTS[dst_type]:
            if out_type == np.uint64:  # inside the range where our casts saturate and scipy's wrap
                values = np.abs(np.nan_to_num(values)) % 2.0**62
            start = int(rng.integers(0, 4))
            src = values.copy()[start:]  # ends where its memory ends, starts anywhere in a vector
            out, buffer = guarded(src.shape, out_type)
            _engine.cast(src, out)
            assert_guards(buffer, f"cast to {np.dtype(out_type)}")
            expected = quiet(sm.cast_output, src, out_type)
            if out_type == np.bool_:  # stored as 0 and 1 bytes, where scipy may store other nonzero ones
                expected = expected.view(np.uint8) != 0
            assert_same(out, expected, f"cast to {np.dtype(out_type)}")

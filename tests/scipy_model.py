"""Slow, literal NumPy model of scipy.ndimage's order-0 / order-1 resampling (scipy 1.17).

This module is the test reference for ``zentrova_resample``. It reproduces, bit for bit in float64,
what ``scipy.ndimage.affine_transform``, ``shift``, ``zoom`` and ``rotate`` return for ``order`` 0
and 1, every boundary mode and every dtype scipy accepts. Each arithmetic step is spelled out in
the order scipy's C code performs it, in one compute dtype, so that ``compute_dtype=np.float32``
describes the same algorithm carried out in binary32 (what our float32 kernels will be held to).

Sources read (scipy repository, ``scipy/ndimage``):
  * ``_interpolation.py``: ``affine_transform``, ``shift``, ``zoom``, ``rotate``,
    ``_prepad_for_spline_filter``; ``_ni_support.py``: ``_extend_mode_to_code``, ``_get_output``.
  * ``src/ni_interpolation.c``: ``map_coordinate``, ``_get_spline_boundary_mode``,
    ``NI_GeometricTransform`` (general matrix), ``NI_ZoomShift`` (1-D matrix, ``shift``, ``zoom``),
    the macros ``CASE_INTERP_COEFF``, ``CASE_INTERP_OUT``, ``CASE_INTERP_OUT_UINT``,
    ``CASE_INTERP_OUT_INT``.
  * ``src/ni_splines.c``: ``get_spline_interpolation_weights``.
Every claim below was also checked against the installed scipy 1.17.1 wheel (x86-64; the C code is
compiled to scalar SSE2 double arithmetic, no FMA contraction: ``objdump`` of ``_nd_image*.so``
shows no vfmadd) by ``tests/test_scipy_model.py``.

1. Python layer (``_interpolation.py``)
---------------------------------------
* ``mode`` -> C code (``_extend_mode_to_code``): nearest 0, wrap 1, reflect and grid-mirror 2 (the
  same mode), mirror 3, constant 4, grid-wrap 5, grid-constant 6.
* ``prefilter`` only matters for ``order > 1``; for order 0 and 1 the input is used as is.
* Output array (``_get_output``): ``output=None`` -> zeros of ``output_shape`` with the *input's*
  dtype; a dtype/type/str -> zeros of that dtype; an array -> written in place (its shape must be
  ``output_shape``). ``output_shape`` defaults to ``output.shape`` for an array, else input.shape.
* ``matrix`` is converted to float64. Forms (``affine_transform``):
    - ``(ndim + 1, ndim + 1)`` (bottom row must equal ``[0, .., 0, 1]``) and ``(ndim, ndim + 1)``:
      ``offset = matrix[:ndim, ndim]``, ``matrix = matrix[:ndim, :ndim]``; the ``offset`` argument
      is ignored. This test comes first, so a ``(ndim, ndim + 1)`` matrix is always homogeneous.
    - ``(ndim, ndim)`` or in general ``(ndim, output.ndim)`` -> ``NI_GeometricTransform``.
    - ``(ndim,)`` -> ``NI_ZoomShift(zoom=matrix, shift=offset / matrix)``: the division is NumPy
      float64; a zero diagonal entry gives inf/NaN shifts (see "Surprises").
  ``offset``: a scalar is repeated per input axis, then float64.
* ``shift(input, s)``: ``NI_ZoomShift(zoom=None, shift=-s)``.
* ``zoom(input, z, grid_mode)``: ``output_shape[i] = int(round(shape[i] * z[i]))`` (Python round:
  half to even, on the float product); factor ``f[i] = (in - 1) / (out - 1)`` (grid_mode False) or
  ``in / out`` (True), 1.0 where the denominator is 0; ``NI_ZoomShift(zoom=f, shift=None)``. If every
  ``z[i] == 1`` and ``prefilter`` is true, scipy returns ``output[...] = input`` (a plain NumPy
  cast: truncation, not the rounding of 5.) without resampling.
* ``rotate``: see ``rotate_params``; for ``ndim > 2`` scipy loops over every plane parallel to
  ``axes`` and calls the 2-D ``affine_transform`` on it.

2. Input coordinate of output voxel ``o`` (all in double)
---------------------------------------------------------
* General matrix (``NI_GeometricTransform``), input axis ``h``, output indices ``o[l]`` converted
  to double:  ``x = offset[h]; x += o[0]*m[h,0]; x += o[1]*m[h,1]; ...`` -- a left-to-right sum
  *starting from the offset*, every product and sum rounded separately (no FMA).
* ``NI_ZoomShift`` (1-D matrix, ``shift``, ``zoom``), per axis: ``x = (double)k``; if a shift is
  given ``x += shift``; if a zoom is given: ``x *= zoom`` (grid_mode False) or
  ``x += 0.5; x *= zoom; x -= 0.5`` (grid_mode True).  So the ``(ndim,)`` matrix form computes
  ``(k + offset/m) * m``, which is not bitwise ``k*m + offset``.
* Then ``x += 0`` (the spline prepad, 0 for order <= 1).

3. Per input axis of length ``n`` (``map_coordinate``, C integer casts truncate toward zero)
------------------------------------------------------------------------------------------
For every mode except 'nearest' and 'grid-constant' the coordinate is first mapped; if the mapped
coordinate is not ``> -1`` (this includes NaN) the whole voxel is ``cval`` (written as is, no
rounding of the double except the output cast). The mapping only acts when ``x < 0`` or
``x > n - 1``; inside ``[0, n - 1]`` x is unchanged. For ``n == 1`` mirror, reflect, wrap and
grid-wrap map every x to 0.
  * constant (4): outside ``[0, n-1]`` -> -1, i.e. cval. No tolerance: ``-1e-300`` and
    ``n - 1 + 1e-12`` are already cval; there is no blending with cval in ``[-1, 0)``.
  * mirror (3), ``s = 2n - 2``: x < 0: ``x = s*trunc(-x/s) + x; x = x <= 1-n ? x + s : -x``;
    x > n-1: ``x -= s*trunc(x/s); if x >= n: x = s - x``.
  * reflect / grid-mirror (2), ``s = 2n``: x < 0: ``if x < -s: x = s*trunc(-x/s) + x;
    x = x < -n ? x + s : (x > -1e-15 ? 1e-15 : -x) - 1`` (the 1e-15 keeps a tiny negative x
    from landing exactly on -1, which would be cval); x > n-1: ``x -= s*trunc(x/s);
    if x >= n: x = s - x - 1``. The result lies in about ``(-1, n)``.
  * wrap (1), period ``n - 1`` (first and last sample coincide): x < 0:
    ``x += (n-1)*(trunc(-x/(n-1)) + 1)``; x > n-1: ``x -= (n-1)*trunc(x/(n-1))``. Note the jump:
    x = n-1 gives the last sample, x = n-1+eps gives (almost) the first.
  * grid-wrap (5), period n: x < 0: ``x += n*(trunc((-1 - x)/n) + 1)``; x > n-1:
    ``x -= n*trunc(x/n)``. Result in ``[0, n)``.
  * nearest (0) and grid-constant (6): x is not mapped and never makes the voxel cval outright.
Cell: order 1 ``start = (npy_intp)floor(x)``; order 0 ``start = (npy_intp)floor(x + 0.5)`` (the
sum rounded in double first: 0.49999999999999994 + 0.5 == 1.0, so it goes to 1; ties go up). The
double->int64 conversion is the processor's (``c_int64``): on x86-64 ``cvttsd2si``, where NaN and
|x| >= 2^63 give INT64_MIN; on aarch64 ``fcvtzs``, which saturates (NaN gives 0).
Corners ``idx = start + j`` (j = 0..order). grid-constant: a corner outside ``[0, n)`` reads cval
(as the *value*, which is then weighted). Other modes: ``idx = (npy_intp)map_coordinate(idx, n,
spline_mode)`` with spline_mode = mirror for 'constant' and 'wrap', else the mode itself; in integers
that is: nearest: clamp to [0, n-1]; mirror: reflect about 0 and n-1 (period 2n-2); reflect:
reflect about -0.5 and n-0.5 (period 2n); grid-wrap: modulo n; n == 1: 0.  (For 'constant' and
'wrap' a corner is out of range only when x == n-1 exactly -- corner n, weight 0 -- or, for 'wrap',
when rounding in the mapping leaves x a hair below 0.)
Weights (order 1, ``get_spline_interpolation_weights``): ``f = x - floor(x); w0 = 1 - f;
w1 = 1 - w0`` -- w1 is *not* f (1 - (1 - 0.1) != 0.1). For 'nearest' and 'grid-constant' x is the
raw coordinate, so far outside, ``v0*w0 + v0*w1`` need not equal ``v0`` exactly.
Length-1 axis: 'constant' samples only at x == 0, all else is cval; reflect, grid-mirror, mirror,
wrap, grid-wrap map every x to 0 (w0 = 1, w1 = 0, both corners index 0: exactly v0 for finite v0);
'nearest' reads index 0 twice with the weights of the raw x; 'grid-constant' blends v0 and cval
for -1 < x < 1 (order 0: v0 for -0.5 <= x < 0.5) and weights cval twice beyond.
Non-finite and huge coordinates (general form): NaN is cval for all modes but 'nearest' and
'grid-constant', where ``start`` becomes INT64_MIN (x86-64; 0 on aarch64): 'nearest' reads index 0
(order 0) or gets NaN weights, 'grid-constant' reads cval. Any |x| >= 2^63 likewise: 'nearest' at
x = +1e30 reads index 0, not n-1 (on aarch64 n-1: the index saturates).

4. Sum over the corners (double)
---------------------------------
Corners are visited in C order of their offsets (axis 0 slowest, last axis fastest; offset 0 before
1): ``t = 0.0; for each corner: c = (double)value; c *= w_axis0; c *= w_axis1; ...; t += c``.
Order 0 has one corner and no weights: ``t = 0.0 + (double)value`` (so -0.0 becomes +0.0, NaN keeps
its payload). A corner with weight 0 is still read: inf or NaN there (or a non-finite cval in
grid-constant) makes the result NaN. Input values are converted to double first (int64/uint64
beyond 2^53 lose precision even for order 0). bool input works; float16, longdouble: scipy raises
RuntimeError("data type not supported") for input or output; complex: real and imaginary parts
separately (not modelled).

5. Output cast of t (``CASE_INTERP_OUT*``, x86 behaviour of the compiled wheel; aarch64 below)
------------------------------------------------------------------------------
* float64: t. float32: ``(float)t``, round to nearest even, overflow to inf.
* unsigned (uint8/16/32/64): ``t = t > 0 ? t + 0.5 : 0; t = min(t, MAX); t = max(t, 0); (type)t``
  (truncation): round half up, after the double addition; NaN -> 0, +inf -> MAX, except uint64:
  ``t + 0.5 >= 2^64`` (also +inf) gives **0** ((double)UINT64_MAX is 2^64, out of range).
* signed (int8/16/32/64): ``t = t > 0 ? t + 0.5 : t - 0.5``, clamp to [MIN, MAX] (as doubles),
  truncate: round half away from zero. NaN -> 0 for int8/int16, INT32_MIN for int32, INT64_MIN for
  int64. int64: ``t + 0.5 == 2^63`` gives INT64_MIN, larger (and +inf) INT64_MAX.
* bool: ``(npy_bool)t`` is an unsigned-char conversion: low byte of the int32 truncation (x86:
  NaN and |t| >= 2^31 -> 0), e.g. 0.5 -> 0, 1.5 -> 1, 2.0 -> byte 2, 256 -> 0, -1 -> byte 255.
* The same cast applies to cval when the voxel is cval outright.
* aarch64 (``fcvtzs``/``fcvtzu`` saturate, NaN gives 0; checked against scipy 1.17.1's aarch64 wheel
  under qemu): NaN -> 0 for every integer type; int64: ``t + 0.5 == 2^63`` gives INT64_MAX; uint64:
  ``t + 0.5 >= 2^64`` gives UINT64_MAX; bool: low byte of the *unsigned* 32-bit conversion (negative
  and NaN -> 0, 2^32 and above -> 255), e.g. -1 -> 0, 1e10 -> byte 255.
Extension (not scipy, which rejects it): float16 input is read exactly and float16 output is
rounded once from the compute dtype (NumPy's correctly rounded conversion).

Surprises worth knowing
-----------------------
* The ``(ndim,)`` matrix form rounds differently from the equivalent ``(ndim, ndim)`` diagonal
  matrix ((k + offset/m) * m against offset + k*m): order-1 results differ in the last bits, and
  order-0 ties can go to the other voxel. A zero diagonal entry gives NaN coordinates; with the
  modes mirror, reflect/grid-mirror, wrap, grid-wrap scipy then writes through a NULL pointer in
  ``NI_ZoomShift`` and the process dies (seen: exit status 139). The model returns cval there.
* 'wrap' has period n - 1 and is discontinuous at n - 1; 'reflect' uses the 1e-15 rule above;
  'constant' has no band of blending with cval (that is 'grid-constant').
* A corner with weight 0 is read: inf/NaN there gives NaN, including the mirror-mapped index
  n - 2 at x == n - 1 for 'constant' and 'wrap'.
* ``zoom`` with all factors 1 (and prefilter) skips resampling: NumPy cast (truncation, -0.0 kept).
  ``zoom(grid_mode=True)``'s coordinate ((k + 0.5) * f) - 0.5 is no affine matrix/offset bit for bit.
* ``rotate``'s offset comes from NumPy ``@`` (BLAS, here OpenBLAS with FMA in its kernel): it is not
  ``c*a + s*b`` rounded twice for about a quarter of random elements, so a reimplementation must call
  the same NumPy expression to get the same bits. For ndim > 2 scipy rotates plane by plane; the
  equivalent n-D affine transform also reads the neighbouring plane with weight 0 (NaN from inf).
* int64/uint64 data go through double; uint64 outputs >= 2^64 become 0; bool output is a byte
  conversion, not ``t != 0``; float16 is rejected.

float32 variant
---------------
``compute_dtype=np.float32`` performs the same steps with every operand rounded to binary32: the
offset, matrix entries, zoom/shift factors (derived in float64 on the host, then rounded once),
the output index, cval and the input value (int64 rounded directly to float32) are converted to
float32, and coordinates, mapping, weights, products and the sum are float32 operations in the
order above. Integer index work (corner mapping) stays exact. One constant cannot be translated
literally: in binary32 ``1e-15 - 1 == -1``, which would turn a tiny negative reflect coordinate
into cval, so the float32 variant uses 2**-24 (``REFLECT_TINY``), for which ``tiny - 1`` is
exact in binary32 (anything at or below 2**-25 rounds to -1). The output cast of 5. is then applied to the float32 t in float32
(``t + 0.5`` rounded to float32, limits converted to float32).
Orders 2 to 5 sum differently in binary32 (not scipy's order, which computes in binary64 anyway):
per corner j of the last axis, ``s_j = fma(lead, c, s_j)`` over the other corners in C order, from
0, where ``lead`` is the product of their weights (``(w_axis0 * w_axis1) * ...``, 1 for a 1-D
input); then ``t = fma(w_last[j], s_j, t)`` over j, from 0. fma rounds once (``fma32``).

Functions
---------
``affine_model``, ``shift_model``, ``zoom_model``, ``rotate_model`` mirror the scipy calls;
``shift_params``, ``zoom_params``/``zoom_as_affine``, ``rotate_params`` derive the parameters the
way scipy does; ``general_coordinates``/``separable_coordinates`` (2.), ``sample`` (3., 4.) and
``cast_output`` (5.) are the steps, usable on their own (``sample`` takes any coordinates, as
``scipy.ndimage.map_coordinates`` does with the same C loop).
"""

import itertools
import math
import platform

import numpy as np

MODE_CODES = {"nearest": 0, "wrap": 1, "reflect": 2, "grid-mirror": 2, "mirror": 3, "constant": 4,
              "grid-wrap": 5, "grid-constant": 6}
MODES = ("constant", "grid-constant", "nearest", "reflect", "grid-mirror", "mirror", "grid-wrap", "wrap")
NEAREST, WRAP, REFLECT, MIRROR, CONSTANT, GRID_WRAP, GRID_CONSTANT = range(7)

# reflect: a coordinate in (-tiny, 0) maps to tiny - 1 (scipy: 1e-15 in double)
REFLECT_TINY = {np.dtype(np.float64): 1e-15, np.dtype(np.float32): 2.0**-24}

INT64_MIN = np.iinfo(np.int64).min
INT64_MAX = np.iinfo(np.int64).max
# The processor's conversion rule (what scipy's C casts give for NaN and values out of range):
# x86-64's gives the integer's minimum, aarch64's saturates and gives 0 for NaN.
SATURATING = platform.machine() in ("aarch64", "arm64")


def spline_mode(code):
    """Mode used to map out-of-range corner indices (``_get_spline_boundary_mode``)."""
    return MIRROR if code in (CONSTANT, WRAP) else code


def _check(x, dt):
    """Every intermediate must already be of the compute dtype (no silent promotion)."""
    assert x.dtype == dt, (x.dtype, dt)
    return x


def c_int64(x):
    """C ``(npy_intp)x`` for a double/float: truncation toward zero; NaN and values outside the
    int64 range give INT64_MIN, as x86 ``cvttsd2si`` does; on aarch64 (``fcvtzs``) they saturate
    and NaN gives 0."""
    x = np.asarray(x)
    with np.errstate(invalid="ignore"):
        r = np.trunc(x.astype(np.float64))
        ok = np.isfinite(r) & (r >= -(2.0**63)) & (r < 2.0**63)
        out = np.where(np.isnan(r), 0, np.where(r > 0, INT64_MAX, INT64_MIN)) if SATURATING else INT64_MIN
        return np.where(ok, np.where(ok, r, 0).astype(np.int64), out)


def c_int32(x):
    """C ``(int)x``: as ``c_int64`` into int32 (x86: INT32_MIN outside; aarch64: saturating, NaN 0)."""
    low = c_int64(x)
    inside = (low >= -(2**31)) & (low < 2**31)
    if not SATURATING:
        return np.where(inside, low, -(2**31))
    return np.clip(low, -(2**31), 2**31 - 1)


def _int_to(dt, i):
    """C conversion of an integer (array) to the compute dtype."""
    return np.asarray(i, dtype=np.int64).astype(dt)


def map_coordinate(x, n, code):
    """Literal ``map_coordinate(double in, npy_intp len, int mode)``, vectorised, in x.dtype."""
    dt = x.dtype
    one = dt.type(1)
    out = x.copy()
    with np.errstate(all="ignore"):
        lo = x < 0
        hi = x > _int_to(dt, n - 1)
        if code == NEAREST:
            out[lo] = 0
            out[hi] = n - 1
            return out
        if code in (CONSTANT, GRID_CONSTANT):
            out[lo | hi] = -1
            return out
        if n <= 1:
            out[lo | hi] = 0
            return out
        v, w = x[lo], x[hi]
        if code == MIRROR:
            s2 = 2 * n - 2
            fs2 = _int_to(dt, s2)
            v = _int_to(dt, s2 * c_int64(-v / fs2)) + v
            v = np.where(v <= _int_to(dt, 1 - n), v + fs2, -v)
            w = w - _int_to(dt, s2 * c_int64(w / fs2))
            w = np.where(w >= _int_to(dt, n), fs2 - w, w)
        elif code == REFLECT:
            s2 = 2 * n
            fs2 = _int_to(dt, s2)
            v = np.where(v < -fs2, _int_to(dt, s2 * c_int64(-v / fs2)) + v, v)
            tiny = dt.type(REFLECT_TINY[dt])
            v = np.where(v < _int_to(dt, -n), v + fs2, np.where(v > -tiny, tiny, -v) - one)
            w = w - _int_to(dt, s2 * c_int64(w / fs2))
            w = np.where(w >= _int_to(dt, n), (fs2 - w) - one, w)
        elif code == WRAP:
            sz = n - 1
            fsz = _int_to(dt, sz)
            v = v + _int_to(dt, sz * (c_int64(-v / fsz) + 1))
            w = w - _int_to(dt, sz * c_int64(w / fsz))
        elif code == GRID_WRAP:
            fn = _int_to(dt, n)
            v = v + _int_to(dt, n * (c_int64((-one - v) / fn) + 1))
            w = w - _int_to(dt, n * c_int64(w / fn))
        else:
            raise ValueError(code)
        out[lo], out[hi] = v, w
    return _check(out, dt)


def map_index(idx, n, code):
    """Corner index mapping: ``(npy_intp)map_coordinate((double)idx, n, spline_mode)``. Exact
    integer arithmetic for any realistic size, done in double as scipy does."""
    return c_int64(map_coordinate(np.asarray(idx, np.int64).astype(np.float64), n, spline_mode(code)))


def matrix_form(matrix, offset, ndim):
    """scipy's reading of ``matrix``/``offset``: returns ``("general", m (ndim, orank), offset)`` or
    ``("zoom_shift", zoom (ndim,), shift (ndim,))`` with ``shift = offset / zoom`` (NumPy float64)."""
    matrix = np.asarray(matrix, dtype=np.float64)
    if matrix.ndim == 2 and matrix.shape[1] == ndim + 1 and matrix.shape[0] in (ndim, ndim + 1):
        if matrix.shape[0] == ndim + 1 and not np.all(matrix[ndim] == [0] * ndim + [1]):
            raise ValueError("bottom row of a homogeneous matrix must be [0, ..., 0, 1]")
        offset = matrix[:ndim, ndim]
        matrix = matrix[:ndim, :ndim]
    if matrix.ndim not in (1, 2) or matrix.shape[0] != ndim:
        raise ValueError("affine matrix has wrong number of rows")
    offset = np.asarray(offset, dtype=np.float64)
    offset = np.broadcast_to(offset, (ndim,)).copy() if offset.ndim == 0 else offset
    if offset.shape != (ndim,):
        raise ValueError("offset must have one value per input axis")
    if matrix.ndim == 1:
        with np.errstate(all="ignore"):
            return "zoom_shift", matrix.copy(), offset / matrix
    return "general", matrix.copy(), offset.copy()


def general_coordinates(output_shape, matrix, offset, dt):
    """``NI_GeometricTransform``: x[h] = offset[h] + o[0]*m[h,0] + o[1]*m[h,1] + ..., left to right."""
    dt = np.dtype(dt)
    idx = np.indices(output_shape).reshape(len(output_shape), -1)
    o = [_int_to(dt, idx[ll]) for ll in range(len(output_shape))]
    m = np.asarray(matrix, np.float64).astype(dt)
    off = np.asarray(offset, np.float64).astype(dt)
    coords = []
    with np.errstate(all="ignore"):
        for h in range(m.shape[0]):
            x = np.full(idx.shape[1], off[h], dtype=dt)
            for ll in range(len(output_shape)):
                x = _check(x + _check(o[ll] * m[h, ll], dt), dt)
            coords.append(x)
    return coords


def separable_coordinates(output_shape, zoom=None, shift=None, grid_mode=False, dt=np.float64):
    """``NI_ZoomShift``: per axis x = k; x += shift; x *= zoom (or (x + 0.5) * zoom - 0.5)."""
    dt = np.dtype(dt)
    idx = np.indices(output_shape).reshape(len(output_shape), -1)
    half = dt.type(0.5)
    coords = []
    with np.errstate(all="ignore"):
        for h in range(len(output_shape)):
            x = _int_to(dt, idx[h])
            if shift is not None:
                x = _check(x + np.float64(shift[h]).astype(dt), dt)
            if zoom is not None:
                z = np.float64(zoom[h]).astype(dt)
                if grid_mode:
                    x = _check(_check(_check(x + half, dt) * z, dt) - half, dt)
                else:
                    x = _check(x * z, dt)
            coords.append(x)
    return coords


def fma32(a, b, c):
    """binary32 a * b + c rounded once (as the fused multiply-add instruction): the product is exact
    in binary64, the sum is made exact by Knuth's two-sum and rounded to odd in binary64, which then
    rounds to binary32 as the exact value would (binary64 has more than two bits to spare)."""
    a, b, c = (np.asarray(v, np.float32).astype(np.float64) for v in (a, b, c))
    with np.errstate(all="ignore"):
        p = a * b
        s = p + c
        bb = s - p
        err = (p - (s - bb)) + (c - bb)
        inexact = (err != 0) & np.isfinite(err) & (s.view(np.int64) & 1 == 0)
        s = np.where(inexact, np.nextafter(s, np.where(err > 0, np.inf, -np.inf)), s)
        return s.astype(np.float32)


def spline_weights(x, order, dt):
    """``get_spline_interpolation_weights``: the order + 1 weights of the footprint of x, expression for
    expression, each operation rounded in dt."""
    T = dt.type
    with np.errstate(all="ignore"):
        x = _check(x - np.floor(x if order & 1 else _check(x + T(0.5), dt)), dt)
        y, z = x, _check(T(1) - x, dt)
        w = [None] * (order + 1)
        if order == 1:
            w[0] = T(1) - x
        elif order == 2:
            w[1] = T(0.75) - x * x
            y = T(0.5) - x
            w[0] = T(0.5) * y * y
        elif order == 3:
            w[1] = (y * y * (y - T(2)) * T(3) + T(4)) / T(6)
            w[2] = (z * z * (z - T(2)) * T(3) + T(4)) / T(6)
            w[0] = z * z * z / T(6)
        elif order == 4:
            t = x * x
            w[2] = t * (t * T(0.25) - T(0.625)) + T(115.0 / 192.0)
            y = T(1) + x
            w[1] = y * (y * (y * (T(5) - y) / T(6) - T(1.25)) + T(5.0 / 24.0)) + T(55.0 / 96.0)
            w[3] = z * (z * (z * (T(5) - z) / T(6) - T(1.25)) + T(5.0 / 24.0)) + T(55.0 / 96.0)
            y = T(0.5) - x
            t = y * y
            w[0] = t * t / T(24)
        else:
            t = y * y
            w[2] = t * (t * (T(0.25) - y / T(12)) - T(0.5)) + T(0.55)
            t = z * z
            w[3] = t * (t * (T(0.25) - z / T(12)) - T(0.5)) + T(0.55)
            y = y + T(1)
            w[1] = y * (y * (y * (y * (y / T(24) - T(0.375)) + T(1.25)) - T(1.75)) + T(0.625)) + T(0.425)
            z = z + T(1)
            w[4] = z * (z * (z * (z * (z / T(24) - T(0.375)) + T(1.25)) - T(1.75)) + T(0.625)) + T(0.425)
            y = T(1) - x
            t = y * y
            w[0] = y * t * t / T(120)
        last = np.ones_like(x)
        for i in range(order):
            last = last - w[i]
        w[order] = last
    return [_check(np.asarray(v, dt), dt) for v in w]


# the poles of the B-spline prefilter (``get_filter_poles``), the literals of scipy's C code
FILTER_POLES = {2: (-0.171572875253809902396622551580603843,),
                3: (-0.267949192431122706472553658494127633,),
                4: (-0.361341225900220177092212841325675255, -0.013725429297339121360331226939128204),
                5: (-0.430575347099973791851434783493520110, -0.043096288203264653822712376822550182)}


def spline_filter1d(input, order, axis=-1, mode="mirror"):
    """scipy's ``spline_filter1d`` into float64 (``src/ni_splines.c``: ``apply_filter``), all lines
    along `axis` at once: the gain, then per pole the causal start, the forward recursion, the
    anticausal start and the backward recursion, each step in scipy's order. 'nearest' and 'reflect'
    start as scipy 1.18 does: scipy up to 1.17 summed the reflected line into c[0] in place, so its
    last term read the partial sum instead of the first sample (scipy gh-24550; lines of a few
    samples came out wrong)."""
    c = np.moveaxis(np.array(input, dtype=np.float64), axis, 0).copy()
    n = c.shape[0]
    if order < 2 or n <= 1:
        return np.moveaxis(c, 0, axis)
    kind = {0: "reflect", 2: "reflect", 5: "wrap"}.get(MODE_CODES[mode], "mirror")
    poles = FILTER_POLES[order]
    gain = 1.0
    for z in poles:
        gain *= (1.0 - z) * (1.0 - 1.0 / z)
    c *= gain
    for z in poles:
        z_i = z
        if kind == "mirror":
            z_n_1 = math.pow(z, n - 1)
            s = c[0] + z_n_1 * c[n - 1]
            for i in range(1, n - 1):
                s = s + z_i * (c[i] + z_n_1 * c[n - 1 - i])
                z_i *= z
            c[0] = s / (1 - z_n_1 * z_n_1)
        elif kind == "wrap":
            s = c[0].copy()
            for i in range(1, n):
                s = s + z_i * c[n - i]
                z_i *= z
            c[0] = s / (1 - z_i)
        else:
            z_n = math.pow(z, n)
            s = c[0] + z_n * c[n - 1]
            for i in range(1, n):
                s = s + z_i * (c[i] + z_n * c[n - 1 - i])
                z_i *= z
            c[0] = c[0] + s * z / (1 - z_n * z_n)
        for i in range(1, n):
            c[i] = c[i] + z * c[i - 1]
        if kind == "mirror":
            c[n - 1] = (z * c[n - 2] + c[n - 1]) * z / (z * z - 1)
        elif kind == "wrap":
            s, z_i = c[n - 1].copy(), z
            for i in range(n - 1):
                s = s + z_i * c[i]
                z_i *= z
            c[n - 1] = s * (z / (z_i - 1))
        else:
            c[n - 1] = c[n - 1] * (z / (z - 1))
        for i in range(n - 2, -1, -1):
            c[i] = z * (c[i + 1] - c[i])
    return np.moveaxis(c, 0, axis)


def prefiltered(input, order, mode, cval, compute_dtype=np.float64):
    """(coefficients, nprepad) of scipy's prefilter for orders 2 to 5: ``_prepad_for_spline_filter``
    and ``spline_filter`` (along every axis in turn, each line in float64), the coefficients stored
    in the compute dtype after every axis (float32: as spline_filter leaves a float32 output)."""
    npad = 12 if mode in ("nearest", "grid-constant") else 0
    if npad:
        input = np.pad(input, npad, mode="edge") if mode == "nearest" else \
            np.pad(input, npad, mode="constant", constant_values=cval)
    coefficients = np.asarray(input, dtype=np.float64)
    for axis in range(coefficients.ndim):
        coefficients = spline_filter1d(coefficients, order, axis, mode).astype(compute_dtype)
    return coefficients, npad


def sample(input, coords, order=1, mode="constant", cval=0.0, compute_dtype=np.float64, nprepad=0):
    """Value t of every output voxel (flat array, compute dtype) at the input coordinates
    ``coords`` (one flat array per input axis), following 3. and 4. of the module docstring; for
    orders 2 to 5 `input` holds the coefficients, `nprepad` samples in front along every axis."""
    if not 0 <= order <= 5:
        raise ValueError("orders 0 to 5 are modelled")
    dt = np.dtype(compute_dtype)
    input = np.asarray(input)
    code = MODE_CODES[mode]
    ndim = input.ndim
    assert len(coords) == ndim
    nvox = coords[0].shape[0]
    values = input.astype(dt)            # (double)value, or a direct rounding to float32
    cv = np.float64(cval).astype(dt)     # cval arrives in C as a double
    constant = np.zeros(nvox, bool)
    corner_idx, corner_out, weights = [], [], []
    with np.errstate(all="ignore"):
        for h in range(ndim):
            n = input.shape[h]
            x = _check(coords[h] + dt.type(nprepad), dt) if nprepad else _check(coords[h] + dt.type(0), dt)
            if code not in (GRID_CONSTANT, NEAREST):
                x = map_coordinate(x, n, code)
                constant |= ~(x > dt.type(-1))
            if order & 1:
                start = c_int64(np.floor(x)) - order // 2
            else:
                start = c_int64(np.floor(_check(x + dt.type(0.5), dt))) - order // 2
            idxs, outs = [], []
            for j in range(order + 1):
                idx = start + j           # npy_intp addition
                if code == GRID_CONSTANT:
                    outs.append((idx < 0) | (idx >= n))
                    idxs.append(np.clip(idx, 0, n - 1))
                else:
                    outs.append(np.zeros(nvox, bool))
                    idxs.append(map_index(idx, n, code))
            corner_idx.append(idxs)
            corner_out.append(outs)
            if order == 1:
                f = _check(x - np.floor(x), dt)
                w0 = _check(dt.type(1) - f, dt)
                w1 = _check(dt.type(1) - w0, dt)
                weights.append((w0, w1))
            elif order > 1:
                weights.append(spline_weights(x, order, dt))
        t = np.zeros(nvox, dt)
        factored = order > 1 and dt == np.float32  # see "float32 variant"
        sums = [np.zeros(nvox, dt) for _ in range(order + 1)]
        for corner in itertools.product(range(order + 1), repeat=ndim):
            out = np.zeros(nvox, bool)
            index = []
            for h, j in enumerate(corner):
                out |= corner_out[h][j]
                # indices of voxels that are cval outright are meaningless: read anything valid
                index.append(np.where(constant, 0, np.clip(corner_idx[h][j], 0, input.shape[h] - 1)))
            c = np.where(out, cv, values[tuple(index)])
            if factored:
                lead = weights[0][corner[0]] if ndim > 1 else dt.type(1)
                for h in range(1, ndim - 1):
                    lead = _check(lead * weights[h][corner[h]], dt)
                sums[corner[-1]] = fma32(lead, c, sums[corner[-1]])
                continue
            if order > 0:
                for h, j in enumerate(corner):
                    c = _check(c * weights[h][j], dt)
            t = _check(t + c, dt)
        if factored:
            for j in range(order + 1):
                t = fma32(weights[-1][j], sums[j], t)
        return np.where(constant, cv, t)


def cast_output(t, dtype):
    """scipy's store of the value t into an element of ``dtype`` (section 5), computed in t.dtype."""
    t = np.asarray(t)
    dt = t.dtype
    dtype = np.dtype(dtype)
    with np.errstate(all="ignore"):
        if dtype.kind == "f":
            return t.astype(dtype)
        if dtype.kind == "b":
            if SATURATING:  # fcvtzu into 32 bits: negative and NaN 0, 2^32 and above all ones
                low = np.clip(c_int64(np.where(t > 0, t, 0)), 0, 2**32 - 1)
            else:           # 32-bit cvttsd2si
                low = c_int32(t)
            return (low & 0xFF).astype(np.uint8).view(np.bool_)
        info = np.iinfo(dtype)
        zero, half = dt.type(0), dt.type(0.5)
        top, bottom = dt.type(info.max), dt.type(info.min)   # the C limits converted to the float type
        if dtype.kind == "u":
            r = np.where(t > zero, t + half, zero)
            clamped = r > top
            r = np.where(clamped, top, r)
            r = np.where(r < zero, zero, r)
        else:
            r = np.where(t > zero, t + half, t - half)
            clamped = r > top
            r = np.where(clamped, top, r)
            r = np.where(r < bottom, bottom, r)
        r = _check(r, dt)
        if dtype == np.uint64:
            if SATURATING:  # fcvtzu: 2^64 (the clamp's UINT64_MAX as a double) gives UINT64_MAX
                big = r >= dt.type(2.0**64)
                low = c_int64(np.where(r >= dt.type(2.0**63), r - dt.type(2.0**63), r)).astype(np.uint64)
                low = np.where(r >= dt.type(2.0**63), low + np.uint64(2**63), low)
                return np.where(big, np.uint64(2**64 - 1), low).astype(np.uint64)
            # x86-64 double -> uint64: values >= 2^63 go through (x - 2^63) ^ 2^63; 2^64 becomes 0
            big = r >= dt.type(2.0**63)
            lowpart = c_int64(np.where(big, r - dt.type(2.0**63), r)).astype(np.uint64)
            return np.where(big, lowpart ^ np.uint64(2**63), lowpart).astype(np.uint64)
        if dtype == np.int64:
            # (int64)(double)INT64_MAX is folded to INT64_MAX by the compiler; 2^63 itself -> INT64_MIN
            # (aarch64: INT64_MAX)
            return np.where(clamped, np.int64(info.max), c_int64(r)).astype(np.int64)
        if dtype == np.uint32:
            return (c_int64(r) & 0xFFFFFFFF).astype(np.uint32)
        low = c_int32(r)            # the 32-bit conversion (NaN the one value left out of range)
        return low.astype(dtype)   # int8/int16/uint8/uint16 keep the low bits; int32 as is


def _output_array(input, output, output_shape):
    if output_shape is None:
        output_shape = output.shape if isinstance(output, np.ndarray) else input.shape
    output_shape = tuple(int(s) for s in output_shape)
    if isinstance(output, np.ndarray):
        if output.shape != output_shape:
            raise RuntimeError("output shape not correct")
        return output
    return np.zeros(output_shape, dtype=input.dtype if output is None else np.dtype(output))


def _store(result, t):
    result[...] = cast_output(t, result.dtype).reshape(result.shape)
    return result


def affine_model(input, matrix, offset=0.0, output_shape=None, order=1, mode="constant", cval=0.0,
                 output=None, compute_dtype=np.float64, prefilter=True):
    """Model of ``scipy.ndimage.affine_transform`` (bit-exact in float64; orders 2 to 5 with scipy's own
    prefilter, its coefficients stored in the compute dtype after every axis)."""
    input = np.asarray(input)
    result = _output_array(input, output, output_shape)
    nprepad = 0
    if order > 1 and prefilter:
        input, nprepad = prefiltered(input, order, mode, cval, compute_dtype)
    dt = np.dtype(compute_dtype)
    form, a, b = matrix_form(matrix, offset, input.ndim)
    if form == "zoom_shift":
        coords = separable_coordinates(result.shape, zoom=a, shift=b, dt=dt)
    else:
        if a.shape[1] != result.ndim:
            raise ValueError("affine matrix has wrong number of columns")
        coords = general_coordinates(result.shape, a, b, dt)
    return _store(result, sample(input, coords, order, mode, cval, dt, nprepad))


def shift_params(shift, ndim):
    """(matrix, offset) with which affine_transform equals ``shift``: scipy computes x = k + (-s)
    per axis; the identity matrix and offset -s give the same double ((-s) + k == k + (-s), and
    adding the zero products changes nothing), and so does the (ndim,) form ``np.ones(ndim)``."""
    s = np.broadcast_to(np.asarray(shift, dtype=np.float64), (ndim,))
    return np.eye(ndim), np.array([-float(v) for v in s])


def zoom_params(input_shape, zoom, grid_mode=False):
    """(output_shape, factors) of ``scipy.ndimage.zoom``. The coordinate is k * f (grid_mode False;
    equal to affine_transform with matrix diag(f) or f, offset 0) or ((k + 0.5) * f) - 0.5
    (grid_mode True; no affine matrix/offset reproduces this rounding: see ``zoom_as_affine``)."""
    input_shape = tuple(int(n) for n in input_shape)
    # the factors as given (scipy's _normalize_sequence): a float32 factor multiplies in float32
    z = list(zoom) if np.iterable(zoom) else [zoom] * len(input_shape)
    output_shape = tuple(int(round(n * zz)) for n, zz in zip(input_shape, z))
    num = np.array(input_shape)
    den = np.array(output_shape)
    if not grid_mode:
        num, den = num - 1, den - 1
    factors = np.divide(num, den, out=np.ones(len(input_shape), dtype=np.float64), where=den != 0)
    return output_shape, factors


def zoom_as_affine(input_shape, zoom, grid_mode=False):
    """(matrix, offset, output_shape) of the affine map a zoom performs. Exact for grid_mode False;
    for grid_mode True (offset 0.5*f - 0.5) it is the same map but rounded differently."""
    output_shape, f = zoom_params(input_shape, zoom, grid_mode)
    offset = 0.5 * f - 0.5 if grid_mode else np.zeros(len(f))
    return np.diag(f), offset, output_shape


def rotate_params(input_shape, angle, axes=(1, 0), reshape=True):
    """(matrix (ndim, ndim), offset (ndim,), output_shape) of ``scipy.ndimage.rotate``, computed as
    scipy does (scipy.special.cosdg/sindg, NumPy ``@`` -- which goes through BLAS, so the last
    bit of the offset follows the BLAS kernel). The axes outside the plane keep identity rows
    and offset 0."""
    from scipy import special

    img_shape = np.asarray(input_shape)
    ndim = img_shape.size
    if ndim < 2:
        raise ValueError("input array should be at least 2D")
    axes = list(axes)
    if len(axes) != 2:
        raise ValueError("axes should contain exactly two values")
    axes = [int(ax) + ndim if int(ax) < 0 else int(ax) for ax in axes]
    if not all(0 <= ax < ndim for ax in axes) or axes[0] == axes[1]:
        raise ValueError("invalid rotation plane")
    axes.sort()
    c, s = special.cosdg(angle), special.sindg(angle)
    rot_matrix = np.array([[c, s], [-s, c]])
    in_plane_shape = img_shape[axes]
    if reshape:
        iy, ix = in_plane_shape
        out_bounds = rot_matrix @ [[0, 0, iy, iy], [0, ix, 0, ix]]
        out_plane_shape = (np.ptp(out_bounds, axis=1) + 0.5).astype(int)
    else:
        out_plane_shape = img_shape[axes]
    out_center = rot_matrix @ ((out_plane_shape - 1) / 2)
    in_center = (in_plane_shape - 1) / 2
    plane_offset = in_center - out_center
    output_shape = img_shape.copy()
    output_shape[axes] = out_plane_shape
    matrix = np.eye(ndim)
    matrix[np.ix_(axes, axes)] = rot_matrix
    offset = np.zeros(ndim)
    offset[axes] = plane_offset
    return matrix, offset, tuple(int(v) for v in output_shape)


def shift_model(input, shift, output=None, order=1, mode="constant", cval=0.0, compute_dtype=np.float64,
                prefilter=True):
    """Model of ``scipy.ndimage.shift`` (its own path: x = k + (-s))."""
    input = np.asarray(input)
    result = _output_array(input, output, None)
    s = np.broadcast_to(np.asarray(shift, dtype=np.float64), (input.ndim,))
    coords = separable_coordinates(result.shape, shift=-s, dt=compute_dtype)
    nprepad = 0
    if order > 1 and prefilter:
        input, nprepad = prefiltered(input, order, mode, cval, compute_dtype)
    return _store(result, sample(input, coords, order, mode, cval, compute_dtype, nprepad))


def zoom_model(input, zoom, output=None, order=1, mode="constant", cval=0.0, grid_mode=False,
               prefilter=True, compute_dtype=np.float64):
    """Model of ``scipy.ndimage.zoom``, including its shortcut for zoom factors all equal to 1."""
    input = np.asarray(input)
    output_shape, factors = zoom_params(input.shape, zoom, grid_mode)
    result = _output_array(input, output, output_shape)
    z = np.broadcast_to(np.asarray(zoom), (input.ndim,))
    if all(v == 1 for v in z.tolist()) and prefilter:
        result[...] = input          # NumPy cast, no resampling and no rounding rule
        return result
    coords = separable_coordinates(result.shape, zoom=factors, grid_mode=grid_mode, dt=compute_dtype)
    nprepad = 0
    if order > 1 and prefilter:
        input, nprepad = prefiltered(input, order, mode, cval, compute_dtype)
    return _store(result, sample(input, coords, order, mode, cval, compute_dtype, nprepad))


def rotate_model(input, angle, axes=(1, 0), reshape=True, output=None, order=1, mode="constant",
                 cval=0.0, compute_dtype=np.float64):
    """Model of ``scipy.ndimage.rotate``: like scipy, one 2-D affine transform per plane. For
    finite data and cval this equals ``affine_model(input, *rotate_params(...))`` over all axes; the
    n-D transform also reads the neighbouring plane with weight 0, so inf/NaN there differ."""
    input = np.asarray(input)
    matrix, offset, output_shape = rotate_params(input.shape, angle, axes, reshape)
    result = _output_array(input, output, output_shape)
    ax = sorted(a + input.ndim if a < 0 else a for a in axes)
    rot, off2 = matrix[np.ix_(ax, ax)], offset[ax]
    plane_shape = tuple(output_shape[a] for a in ax)
    for pos in itertools.product(*[[slice(None)] if a in ax else range(input.shape[a])
                                   for a in range(input.ndim)]):
        affine_model(input[pos], rot, off2, plane_shape, order, mode, cval, result[pos], compute_dtype)
    return result

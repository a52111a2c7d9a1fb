"""Binding, conversion and validation of the transforms' arguments; expected volumes come from plain indexing."""

import gc
import itertools
import re
import sys
import warnings
from fractions import Fraction

import numpy as np
import pytest

import zentrova
from conftest import DTYPES, FUNCS, PERM, FloatLike, IndexOnly, bits, fortran_only, volume

ORDER_MSG, MATRIX_MSG = "Only order=1 (trilinear interpolation) is supported", "Matrix must be 3x3"
OFFSET_MSG, C_ORDER, PANIC = "Offset must have 3 elements", "Input must be C-contiguous", "panic"
NOT_CONTIGUOUS, RANGE_MSG = "The given array is not contiguous", "out of range integral type conversion attempted"
CAST = "argument '{p}': '{t}' object cannot be cast as 'ndarray'"
SEQ = "argument 'offset': '{t}' object cannot be cast as 'Sequence'"


class LenFails:
    """A sequence whose size query fails; iteration still works."""

    def __getitem__(self, i):
        return (1.0, 0.0, -1.0)[i]

    def __len__(self):
        raise RuntimeError("size unknown")


def raises(call, kind, message):
    """`kind` PANIC is the fatal-error class; a `message` ending in ': ' is a prefix; None means not prefixed."""
    with pytest.raises(BaseException) as info:
        call()
    exc, text = info.value, str(info.value)
    cls = (type(exc).__module__, type(exc).__name__)
    assert cls == ("pyo3_runtime", "PanicException") if kind == PANIC else type(exc) is kind, repr(exc)
    assert not text.startswith("argument") if message is None else (
        text == message or (message.endswith(": ") and text.startswith(message))), text
    return exc


# Each stage is a fault; a call carries the faults of its stage and all later ones and must report its own.
def _stages(kind, cval_fault):
    stages = [
        ({"input": [[[0.0]]]}, TypeError, CAST.format(p="input", t="list")),
        ({"matrix": [[1.0, 0, 0], [0, 1.0, 0], [0, 0, 1.0]]}, TypeError, CAST.format(p="matrix", t="list")),
        ({"offset": 7}, TypeError, SEQ.format(t="int")),
        cval_fault,
    ]
    if kind != "u8":
        stages += [({"order": 1.0}, TypeError, "argument 'order': "), ({"order": 3}, ValueError, ORDER_MSG)]
    stages += [
        ({"matrix": np.eye(6)[::2, ::2]}, TypeError, NOT_CONTIGUOUS),
        ({"matrix": np.eye(3)[:, :2].copy()}, ValueError, MATRIX_MSG),
        ({"offset": (1.0, 2.0)}, ValueError, OFFSET_MSG),
    ]
    if kind == "f16":
        stages.append(({"input": volume("f16", (3, 4, 10))[:, :, ::2]}, TypeError, NOT_CONTIGUOUS))
    return stages + [({"input": fortran_only(kind)}, PANIC, C_ORDER)]


@pytest.mark.parametrize("kind, cval_fault", [
    ("f32", ({"cval": None}, TypeError, "argument 'cval': ")),
    ("f16", ({"cval": None}, TypeError, "argument 'cval': ")),
    ("u8", ({"cval": 0.5}, TypeError, "argument 'cval': ")),
    ("u8", ({"cval": 256}, OverflowError, RANGE_MSG)),
    ("u8", ({"cval": -1}, OverflowError, RANGE_MSG)),
])
def test_failure_order(kind, cval_fault):
    good = {"input": volume(kind), "matrix": np.eye(3), "offset": (0.5, 0.0, 0.0), "cval": 1}
    if kind != "u8":
        good["order"] = 1
    stages = _stages(kind, cval_fault)
    for i, (_, exc_type, message) in enumerate(stages):
        kwargs = dict(good)
        for overrides, *_ in reversed(stages[i:]):
            kwargs.update(overrides)
        raises(lambda: FUNCS[kind](**kwargs), exc_type, message)
    assert FUNCS[kind](**good).shape == (3, 4, 5)


WRONG_DTYPE = {"f32": np.float64, "u8": np.int8, "f16": np.float16}  # float16 must come as a uint16 view
BIG_ENDIAN = {"f32": ">f4", "u8": np.bool_, "f16": ">u2"}
ALL, FLOAT = "f32 u8 f16", "f32 f16"


def odd_byte_strides(kind):
    """Rows one byte further apart than C order: whole-element strides would round back to C order."""
    item = np.dtype(DTYPES[kind]).itemsize
    strides = (3 * (4 * item + 1), 4 * item + 1, item)
    return np.ndarray((3, 3, 4), DTYPES[kind], buffer=np.zeros(3 * strides[0] + 64, np.uint8), strides=strides)


REJECTED = [
    *[(ALL, "input", f, TypeError, CAST) for f in (lambda k: None, lambda k: [[[0.0]]], lambda k: volume(k)[0],
                                                   lambda k: volume(k, (2, 2, 2, 2)),
                                                   lambda k: volume(k).astype(WRONG_DTYPE[k]),
                                                   lambda k: volume(k).astype(BIG_ENDIAN[k]))],
    (ALL, "input", fortran_only, PANIC, C_ORDER),
    *[(kinds, "input", view, exc, msg) for view in (lambda k: volume(k, (4, 5, 6))[:, :, ::2],
                                                    lambda k: volume(k, (4, 5, 6))[::-1],
                                                    lambda k: volume(k, (4, 5, 6)).transpose(0, 2, 1))
      for kinds, exc, msg in (("f32 u8", PANIC, C_ORDER), ("f16", TypeError, NOT_CONTIGUOUS))],
    ("f16", "input", lambda k: volume(k, (6, 8, 10))[::2, :1, ::3], TypeError, NOT_CONTIGUOUS),  # even degenerate
    ("f32 u8", "input", odd_byte_strides, PANIC, C_ORDER),
    ("f16", "input", odd_byte_strides, TypeError, NOT_CONTIGUOUS),
    *[(ALL, "matrix", m, TypeError, CAST) for m in (tuple(map(tuple, np.eye(3))), np.eye(3, dtype=np.float32),
                                                    np.eye(3, dtype=np.int64), np.eye(3, dtype=">f8"),
                                                    np.eye(3).reshape(9), np.eye(3).reshape(1, 3, 3), 3.0)],
    *[(ALL, "matrix", m, TypeError, NOT_CONTIGUOUS) for m in (np.eye(6)[::2, ::2], PERM[:, ::-1], np.eye(4)[:3, :3])],
    *[(ALL, "matrix", np.ones(s, order=o), ValueError, MATRIX_MSG)
      for s, o in (((3, 2), "C"), ((1, 8), "C"), ((4, 4), "F"))],
    *[(ALL, "offset", o, TypeError, SEQ) for o in (1.5, {0: 1.0, 1: 2.0, 2: 3.0}, {1.0, 2.0, 3.0},
                                                   (x for x in (1.0, 2.0, 3.0)), True)],
    # a str of length 3 is not a sequence of 3 numbers
    *[(ALL, "offset", o, TypeError, "argument 'offset': ") for o in ("abc", "", [1.0, "a", 3.0], [1.0, None, 3.0],
                                                                     [1.0, 2.0, 3j])],
    *[(ALL, "offset", o, ValueError, OFFSET_MSG) for o in ((), np.zeros(4), [0.0] * 9)],
    (ALL, "offset", [10**400, 0, 0], OverflowError, None),
    # errors from __float__ pass unchanged, except TypeError, which gets the argument's name
    (ALL, "offset", [0.0, FloatLike(ValueError), 0.0], ValueError, "from __float__"),
    (ALL, "offset", [0.0, FloatLike(TypeError), 0.0], TypeError, "argument 'offset': from __float__"),
    (FLOAT, "cval", FloatLike(ZeroDivisionError), ZeroDivisionError, "from __float__"),
    (FLOAT, "cval", FloatLike(TypeError), TypeError, "argument 'cval': from __float__"),
    *[(FLOAT, "cval", v, TypeError, "argument 'cval': ") for v in (None, "1.0", 1j, [1.0])],
    (FLOAT, "cval", 10**400, OverflowError, None),
    *[("u8", "cval", v, TypeError, "argument 'cval': ") for v in (0.5, np.float64(1.0), None)],
    *[("u8", "cval", v, OverflowError, RANGE_MSG) for v in (256, -1, 2**31)],
    ("u8", "cval", 2**64, OverflowError, None),
    *[(FLOAT, "order", v, ValueError, ORDER_MSG) for v in (0, 2, -1, False, 2**31 - 1, np.int64(3))],
    *[(FLOAT, "order", v, TypeError, "argument 'order': ") for v in (1.0, "1", [1])],
    *[(FLOAT, "order", v, OverflowError, RANGE_MSG) for v in (2**31, -2**31 - 1)],
    (FLOAT, "order", 2**64, OverflowError, None),
]


@pytest.mark.parametrize("kind, param, value, exc, message",
                         [(k, *row) for kinds, *row in REJECTED for k in kinds.split()])
def test_rejected_argument(kind, param, value, exc, message):
    value = value(kind) if callable(value) else value
    message = message and message.format(p=param, t=type(value).__qualname__)
    raises(lambda: FUNCS[kind](**{"input": volume(kind), "matrix": np.eye(3), param: value}), exc, message)


@pytest.mark.parametrize("kind", FUNCS)
def test_reference_counts_stable_on_success_and_every_failure(kind):
    args = {"input": volume(kind, (6, 6, 6)), "matrix": PERM.copy(), "offset": [FloatLike(0.5), 0.25, FloatLike(-0.5)],
            "cval": IndexOnly(3) if kind == "u8" else FloatLike(1.5)}
    if kind != "u8":
        args["order"] = IndexOnly(1)
    FUNCS[kind](**args)  # the first call may set up process-wide state
    failures = [{p: v(kind) if callable(v) else v} for kinds, p, v, *_ in REJECTED if kind in kinds.split()]
    for overrides in [{}] + failures + [{"bogus": object()}]:
        kwargs = {**args, **overrides}
        objs = list(kwargs.values()) + (kwargs["offset"] if isinstance(kwargs["offset"], list) else [])
        objs = [o for o in objs if not isinstance(o, (type(None), int, str))]  # shared with the interpreter
        gc.collect()  # tracebacks of exceptions raised in __float__ can form cycles
        before = [sys.getrefcount(o) for o in objs]
        for _ in range(20):
            try:
                FUNCS[kind](**kwargs)
            except BaseException as exc:  # noqa: B036 - the fatal-error class is a BaseException
                assert overrides and (isinstance(exc, Exception) or type(exc).__name__ == "PanicException")
        gc.collect()
        assert [sys.getrefcount(o) for o in objs] == before, overrides


def test_panic_exception_class():
    caught = []
    for kind in FUNCS:
        vol = volume(kind, (6, 6, 6))
        for bad in (fortran_only(kind), vol.transpose(0, 2, 1) if kind != "f16" else fortran_only(kind, (6, 6, 6))):
            with pytest.raises(BaseException) as info:
                FUNCS[kind](bad, np.eye(3))
            caught.append(info.value)
            assert FUNCS[kind](vol, PERM).tobytes() == vol.transpose(2, 0, 1).tobytes()  # the process goes on
    cls = type(caught[0])
    assert {type(e) for e in caught} == {cls} and cls.__bases__ == (BaseException,)
    assert (cls.__module__, cls.__name__) == ("pyo3_runtime", "PanicException")
    assert cls not in vars(zentrova).values() and all(str(e) == C_ORDER for e in caught)


@pytest.mark.parametrize("kind", FUNCS)
def test_accepted_argument_forms(kind):
    vol = volume(kind, (6, 6, 6), seed=1)  # a cube: PERM permutes the axes
    with warnings.catch_warnings():  # np.matrix is discouraged, but users still pass it
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        as_matrix = np.matrix(PERM)
    frozen, frozen_m = vol.copy(), PERM.copy()
    frozen.setflags(write=False)
    frozen_m.setflags(write=False)
    perm = vol.transpose(2, 0, 1)
    shifted = np.full(vol.shape, {"f32": np.float32(7), "u8": np.uint8(7), "f16": np.uint16(0x4700)}[kind])
    shifted[:-1, :, 1:] = vol[1:, :, :-1]  # identity read at offset (z, y, x) = (1, 0, -1), cval 7
    cases = [({"input": v}, perm) for v in (frozen, vol.view(type("Sub", (np.ndarray,), {})),
                                            np.frombuffer(vol.tobytes(), vol.dtype).reshape(vol.shape))]
    # the matrix is read by logical index whatever its layout; rows map to input axes
    cases += [({"matrix": m}, perm) for m in (np.asfortranarray(PERM), PERM.reshape(1, 9),
                                              PERM.reshape(9, 1), np.asfortranarray(PERM.reshape(1, 9)),
                                              as_matrix, frozen_m)]
    cases += [({"matrix": m}, vol.transpose(1, 2, 0)) for m in (PERM.T, PERM.T.copy())]
    cases += [({"matrix": np.eye(3), "offset": o, "cval": 7}, shifted)
              for o in ((1.0, 0.0, -1.0), [1, 0, -1], np.array([1.0, 0, -1]), np.array([1, 0, -1], np.float32),
                        range(1, -2, -1), [np.float64(1), np.int32(0), np.float32(-1)],
                        [IndexOnly(1), FloatLike(0.0), FloatLike(-1.0)], [Fraction(2, 2), 0, Fraction(-3, 3)],
                        LenFails())]
    cases += [({"matrix": np.eye(3), "offset": None}, vol)]
    cases += [({"order": o}, perm) for o in (True, np.int64(1), np.uint8(1), IndexOnly(1)) if kind != "u8"]
    for kwargs, expected in cases:
        got = FUNCS[kind](**{"input": vol, "matrix": PERM, **kwargs})
        assert type(got) is np.ndarray and got.dtype == vol.dtype, kwargs
        assert got.tobytes() == np.ascontiguousarray(expected).tobytes(), kwargs
    # every parameter by keyword in any order, or a positional prefix and the rest by keyword
    values = {"input": vol, "matrix": np.eye(3), "offset": [1, 0, -1], "cval": 7, "order": 1}
    values = {k: v for k, v in values.items() if k != "order" or kind != "u8"}
    for names in itertools.permutations(values):
        assert FUNCS[kind](**{k: values[k] for k in names}).tobytes() == shifted.tobytes()
    for split in range(len(values) + 1):
        got = FUNCS[kind](*list(values.values())[:split], **dict(list(values.items())[split:]))
        assert got.tobytes() == shifted.tobytes()


CVAL_FILLS = [
    *[("f32", v, b) for v, b in [
        (0.0, 0), (-0.0, 0x80000000), (3.5, 0x40600000), (-1, 0xBF800000), (True, 0x3F800000),
        (FloatLike(-1.0), 0xBF800000), (IndexOnly(5), 0x40A00000), (np.float32(0.1), 0x3DCCCCCD),
        (Fraction(1, 3), 0x3EAAAAAB), (1e300, 0x7F800000), (float("nan"), 0x7FC00000)]],
    *[("u8", v, int(v)) for v in (0, 255, True, np.uint8(200), np.int64(17), IndexOnly(42))],
    *[("f16", v, h) for v, h in [
        (0.0, 0x0000), (-0.0, 0x8000), (-1.0, 0xBC00), (IndexOnly(5), 0x4500), (1e10, 0x7C00),
        (float("-inf"), 0xFC00), (65519.0, 0x7BFF), (65520.0, 0x7C00), (2.0**-24, 0x0001), (2.0**-25, 0x0000),
        (1.5 * 2.0**-25, 0x0001), (-1.5 * 2.0**-25, 0x8001), (1023 * 2.0**-24, 0x03FF), (-1e-300, 0x8000),
        (1 + 3 * 2.0**-11, 0x3C02), (0.1, 0x2E66), (float("nan"), 0x7E00), (-float("nan"), 0xFE00),
        (1.0004882812509095, 0x3C00),  # 1 + 2^-11 + 2^-40: a tie once in binary32, 0x3C01 if rounded once
    ]],
]


@pytest.mark.parametrize("kind, cval, expected", CVAL_FILLS)
def test_cval_fill(kind, cval, expected):
    """Degenerate volumes in any layout, with any matrix, and reads wholly outside give exactly the cval element."""
    base = volume(kind, (6, 8, 37))
    vols = [(base[:1].copy(), np.full((3, 3), np.nan)), (np.asfortranarray(base[:, :1]), PERM * 1e9),
            (np.ascontiguousarray(base[:, :, :1]).transpose(2, 1, 0), np.eye(3)), (base, np.eye(3))]
    if kind != "f16":
        vols += [(base[::2, :1, ::3], PERM), (np.lib.stride_tricks.as_strided(base, (1, 7, 9), (0, 0, 0)), PERM)]
    for vol, m in vols:
        out = FUNCS[kind](vol, m, (0.0, 0.0, 37.0), cval)
        assert out.shape == vol.shape and np.all(bits(out) == expected), (vol.shape, np.unique(bits(out)))


def _binding_cases():
    vol, m = [[[0.0]]], np.eye(3)  # an unconvertible input: binding must fail first
    for name in ("affine_transform", "affine_transform_f16", "affine_transform_u8"):
        most = 4 if name.endswith("u8") else 5
        yield name, (vol,), {}, ["missing 1 required positional argument", "'matrix'"]
        yield name, (), {}, ["missing 2 required positional arguments", "'input'", "'matrix'"]
        yield name, (vol, m), {"foo": 1}, ["unexpected keyword argument", "'foo'"]
        yield name, (vol, m), {"input": vol}, ["multiple values for argument", "'input'"]
        yield name, (vol, m, None, 0, 1, 2)[:most + 1], {}, [f"from 2 to {most} positional arguments but {most + 1}"]
    yield "affine_transform_u8", (vol, m), {"order": 1}, ["unexpected keyword argument", "'order'"]
    yield "build_info", (1,), {}, ["takes no arguments"]
    yield "build_info", (), {"x": 1}, ["takes no keyword arguments"]


@pytest.mark.parametrize("name, args, kwargs, fragments", list(_binding_cases()))
def test_binding_errors(name, args, kwargs, fragments):
    message = re.sub(r"\s+", " ", str(raises(lambda: getattr(zentrova, name)(*args, **kwargs), TypeError, None)))
    assert name in message and all(f in message for f in fragments), message


class Resizing:
    """A number whose conversion resizes `target` in place first (the array owns its data, so NumPy allows it)."""

    def __init__(self, target, shape, value):
        self.target, self.shape, self.value = target, shape, value

    def __float__(self):
        self.target.resize(self.shape, refcheck=False)
        return float(self.value)

    def __index__(self):
        self.target.resize(self.shape, refcheck=False)
        return int(self.value)


@pytest.mark.parametrize("kind, via", [(k, v) for k in FUNCS for v in ("cval", "offset", "order")
                                       if not (k == "u8" and v == "order")])  # affine_transform_u8 has no order
@pytest.mark.parametrize("victim, shape", [("input", ()), ("input", (64,)), ("input", (2, 4, 8)),
                                           ("input", (9, 9, 9)), ("matrix", (9,)), ("matrix", (1, 9))])
def test_arrays_resized_while_arguments_convert(kind, victim, shape, via):
    """The call sees the arrays as they are once its Python callbacks have run, never a stale shape."""
    vol = np.arange(64).reshape(4, 4, 4).astype(DTYPES[kind])  # owns its data
    matrix = np.array([[0.0, 0, 1], [0, 1, 0.1], [1, 0, 0]])
    value = {"cval": 1, "order": 1, "offset": 0.5}[via]
    plain = {"cval": 1, "offset": [0.0, 0.25, 0.5]}
    trap = Resizing(vol if victim == "input" else matrix, shape, value)
    kwargs = {**plain, "offset": [0.0, 0.25, trap]} if via == "offset" else {**plain, via: trap}
    if len(shape) != (3 if victim == "input" else 2):
        raises(lambda: FUNCS[kind](vol, matrix, **kwargs), TypeError, CAST.format(p=victim, t="ndarray"))
    else:  # consistent arrays, resized: the result is that of a plain call on them as they now are
        got = FUNCS[kind](vol, matrix, **kwargs)
        assert vol.shape == got.shape and got.tobytes() == FUNCS[kind](vol, matrix, **plain).tobytes()

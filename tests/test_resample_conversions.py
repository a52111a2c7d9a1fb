"""NaN, infinities and values outside an integer type's range stored as scipy's C casts store them on
this processor (x86-64: the type's minimum; aarch64: saturated, NaN 0; bool from a 32-bit conversion,
signed on x86-64 and unsigned on aarch64), through the public functions, the model and the engine's
casts; and every target of this processor storing them with the same bits."""

import numpy as np
import pytest
from scipy import ndimage as ndi

import scipy_model as sm
import zentrova_resample as zr
from conftest import run_python
from resample_support import ALL_DTYPES, assert_identical, quiet, rng_for, saturate_wide
from zentrova_resample import _engine

# Each side of every limit the casts meet: the integer types' ranges, 2^31, 2^32, 2^63, 2^64, ties.
SPECIALS = np.array([np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5, 1.0, -1.0,
                     127.5, -128.5, 255.5, 256.0, 300.0, -300.0, 32767.5, -32768.5, 65535.5, 65536.0, -40000.0,
                     2.0**31 - 0.5, 2.0**31, -(2.0**31) - 0.5, -(2.0**31) - 1.0, 2.0**32 - 0.6, 2.0**32, -3e9, 1e10,
                     -1e10, 2.0**52 + 0.5, 2.0**53, 2.0**63 - 1024.0, 2.0**63, -(2.0**63), -(2.0**63) - 4096.0,
                     2.0**64 - 2048.0, 2.0**64, -(2.0**64), 1e30, -1e30, 9.3e18, 1.8e19])
INTEGER_DTYPES = ("uint8", "int8", "uint16", "int16", "int32", "uint32", "int64", "uint64", "bool")


@pytest.mark.parametrize("order", (0, 1))
@pytest.mark.parametrize("dtype", INTEGER_DTYPES)
def test_special_values_stored_as_scipy_stores_them(dtype, order):
    """A 1-D identity transform: each output is its input value (order 1: but NaN next to a non-finite
    neighbour, whose weight 0 still multiplies it), stored into the integer dtype."""
    got = zr.affine_transform(SPECIALS, [1.0], order=order, mode="nearest", output=np.dtype(dtype))
    t = sm.affine_model(SPECIALS, [1.0], order=order, mode="nearest", output=np.float64)
    model = sm.affine_model(SPECIALS, [1.0], order=order, mode="nearest", output=np.dtype(dtype))
    theirs = quiet(ndi.affine_transform, SPECIALS, [1.0], order=order, mode="nearest", output=np.dtype(dtype))
    if dtype == "bool":  # stored as 0 and 1 bytes, where scipy stores the cast's byte
        model, theirs = model.view(np.uint8) != 0, theirs.view(np.uint8) != 0
    assert_identical(got, saturate_wide(model, t, got.dtype), f"{dtype} order {order} (model)")
    assert_identical(got, saturate_wide(theirs, t, got.dtype), f"{dtype} order {order} (scipy)")


@pytest.mark.parametrize("dtype", INTEGER_DTYPES)
def test_engine_casts_follow_the_model(dtype):
    """The engine's stores of computed values (float64 into every type; float32 into the types
    computed in float32, by their own rule and by the binary64 one) against the model's cast."""
    rng = rng_for("specials", dtype)
    values = np.concatenate([SPECIALS, rng.choice(SPECIALS, 61) * rng.choice([1.0, 0.999, 1.001], 61)])
    for src in (values, values.astype(np.float32)):
        rules = (False,) if src.dtype == np.float64 else (False, True)
        for rule in rules:
            out = np.empty(src.size, np.dtype(dtype))
            try:
                _engine.cast(src, out, rule)
            except TypeError:  # float32 values are stored only into the types computed in float32
                assert src.dtype == np.float32 and (dtype == "bool" or np.dtype(dtype).itemsize >= 4)
                continue
            # float32 values by the binary64 rule are stored as their float64 values are
            expected = quiet(sm.cast_output, src.astype(np.float64) if rule else src, dtype)
            if dtype == "bool":
                expected = expected.view(np.uint8) != 0
            assert_identical(out, saturate_wide(expected, src.astype(np.float64), out.dtype), f"{src.dtype} {rule}")


def _casts_in(target):
    """Every cast of the engine on SPECIALS and float16's edges (NaN payloads among them), as bytes."""
    return run_python(f"""
        import json, numpy as np
        from zentrova_resample import _engine
        nan, inf = float("nan"), float("inf")
        values = np.array({SPECIALS.tolist()!r} + [65519.0, 65520.0, 2.0**-24, 2.0**-25, 3 * 2.0**-26, 6e-8,
                                                   1.0 + 2.0**-11, 1.0 + 3 * 2.0**-11, 2.0**-14 - 2.0**-25])
        bits = np.array([0x7FC00001, 0x7F800001, 0xFFC12345, 0x7FBFFFFF, 0xFF800F00], np.uint32).view(np.float32)
        found = {{}}
        for src in (values, np.concatenate([values.astype(np.float32), bits])):
            src = np.concatenate([src, -src[:7]])  # a length that leaves a partial block in every lane width
            for dtype in {list(ALL_DTYPES) + ["bool"]!r}:
                for rule in (False, True):
                    out = np.zeros(src.size, np.dtype(dtype))
                    try:
                        _engine.cast(src, out, rule)
                    except TypeError:
                        continue
                    found[f"{{src.dtype}} {{dtype}} {{rule}}"] = out.view(np.uint8).tolist()
        print(json.dumps(found))""", env={"ZENTROVA_TARGET": target})


def test_targets_store_alike():
    """The same bytes from every target this processor runs, NaNs' bits included (a store keeps or
    quiets a NaN's payload, it sums nothing)."""
    targets = _engine.targets()
    first = _casts_in(targets[0])
    assert len(first) >= len(ALL_DTYPES) + 1
    for target in targets[1:]:
        other = _casts_in(target)
        assert other.keys() == first.keys()
        differ = [key for key in first if other[key] != first[key]]
        assert not differ, f"{targets[0]} and {target} store differently: {differ}"

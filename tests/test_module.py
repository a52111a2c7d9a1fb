"""The module object and build_info()."""

import importlib
import importlib.metadata
import importlib.util
import os
import sys
import types

import pytest

import zentrova
from conftest import POOL_VARIABLES, pool_cap, run_python, usable_cpus

VERSION = importlib.metadata.version("zentrova")  # pyproject.toml's, the one place it is defined
NAMES = ["affine_transform", "affine_transform_f16", "affine_transform_u8", "build_info"]
HOST_ATTRIBUTES = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
# help() and IDEs read these texts, so they are compared character for character
MODULE_DOC = """Fast 3D affine transformations with trilinear interpolation using AVX2/AVX512 SIMD

Supported data types:
- f32: affine_transform() - Standard floating point
- f16: affine_transform_f16() - Half precision, 2x less memory
- u8: affine_transform_u8() - 2.2x faster, 4x less memory"""

SIGNATURES = {
    "affine_transform": "(input, matrix, offset=None, cval=0.0, order=1)",
    "affine_transform_u8": "(input, matrix, offset=None, cval=0)",
    "affine_transform_f16": "(input, matrix, offset=None, cval=0.0, order=1)",
    "build_info": "()",
}

DOCS = {
    "affine_transform": """Apply 3D affine transformation with trilinear interpolation (f32)

Args:
    input: 3D numpy array (f32)
    matrix: 3x3 transformation matrix
    offset: Translation vector [z, y, x]
    cval: Constant value for out-of-bounds (default: 0.0)
    order: Interpolation order (only 1 is supported)

Returns:
    Transformed 3D array""",
    "affine_transform_u8": """Apply 3D affine transformation for u8 arrays

2.2x faster than f32 due to 4x less memory traffic.
Ideal for image data (microscopy, CT, MRI).

Args:
    input: 3D numpy array (uint8)
    matrix: 3x3 transformation matrix
    offset: Translation vector [z, y, x]
    cval: Constant value for out-of-bounds (default: 0)

Returns:
    Transformed 3D array (uint8)""",
    "affine_transform_f16": """Apply 3D affine transformation for f16 arrays

Note: numpy float16 is stored as u16 bits, same as half::f16""",
    "build_info": """Get build and runtime information

Returns a dictionary with:
- version: Package version
- simd: Dict of available SIMD features (avx2, avx512, fma, f16c)
- parallel: Whether parallel processing is enabled
- backend_f32: Which backend will be used for f32
- backend_f16: Which backend will be used for f16
- backend_u8: Which backend will be used for u8""",
}



def test_module_surface():
    assert zentrova.__doc__ == MODULE_DOC and zentrova.__name__ == "zentrova"
    assert type(zentrova.__all__) is list and zentrova.__all__ == NAMES
    assert set(dir(zentrova)) - HOST_ATTRIBUTES == set(NAMES) | {"__all__"}  # no version, constants or classes
    for name in NAMES:
        func = getattr(zentrova, name)
        assert type(func) is types.BuiltinFunctionType and func.__self__ is zentrova
        assert (func.__name__, func.__qualname__, func.__module__) == (name, name, "zentrova")
        assert (func.__text_signature__, func.__doc__) == (SIGNATURES[name], DOCS[name])
    original = sys.modules.pop("zentrova")
    try:
        assert importlib.import_module("zentrova") is original
    finally:
        sys.modules["zentrova"] = original


SUBINTERPRETERS = next((n for n in ("_interpreters", "_xxsubinterpreters") if importlib.util.find_spec(n)), None)
REFUSAL = "zentrova does not support sub-interpreters: it can only be imported by the interpreter that imported it first"


@pytest.mark.skipif(SUBINTERPRETERS is None, reason="this Python has no sub-interpreter module")
def test_subinterpreter_import_is_refused():
    # in a separate process: a single-phase module and sub-interpreters do not mix inside the runner
    outcomes = run_python("""
        import importlib, json, re, sys
        import numpy as np
        import zentrova
        interpreters = importlib.import_module(%r)

        def import_in(interp):
            \"\"\"[type name, message] of the exception the import raised there, or None.\"\"\"
            code = "import sys; sys.path[:] = %%r\\nimport zentrova" %% (sys.path,)
            try:  # up to 3.12 a failure raises RunFailedError("<class 'ImportError'>: message")
                snapshot = interpreters.run_string(interp, code)
            except Exception as exc:
                found = re.fullmatch(r"<class '([\\w.]+)'>: (.*)", str(exc), re.S)
                return list(found.groups()) if found else [type(exc).__name__, str(exc)]
            # from 3.13 it returns a snapshot of the exception (None when the code ran)
            return None if snapshot is None else [snapshot.type.__name__, snapshot.msg]

        # An interpreter that shares the main one's settings, so that the import reaches the module's
        # own check; the isolated default since 3.12 refuses any single-phase module before it runs.
        if hasattr(interpreters, "new_config"):
            legacy = interpreters.create(interpreters.new_config("legacy"))
        elif sys.version_info >= (3, 12):
            legacy = interpreters.create(isolated=False)
        else:
            legacy = interpreters.create()
        outcomes = [import_in(legacy), import_in(interpreters.create())]
        ok = (zentrova.affine_transform(np.ones((2, 2, 2), np.float32), np.eye(3)) == 1).all()
        print(json.dumps(outcomes + [bool(ok)]))
    """ % SUBINTERPRETERS)
    assert outcomes[0] == ["ImportError", REFUSAL]
    assert outcomes[1] is not None and outcomes[1][0] == "ImportError"  # the default kind refuses it too
    assert outcomes[2] is True  # and the main interpreter's module still works


def test_build_info():
    info = zentrova.build_info()
    assert list(info) == ["version", "simd", "parallel", "backend_f32", "backend_f16", "backend_u8", "num_threads"]
    assert [type(v) for v in info.values()] == [str, dict, bool, str, str, str, int]
    assert info["version"] == VERSION  # handed from pyproject.toml through CMake to the module
    import zentrova_resample
    assert zentrova_resample.__version__ == VERSION  # the same, written into the package by the build
    assert list(info["simd"]) == ["avx2", "avx512f", "fma", "f16c"]
    assert all(type(v) is bool for v in info["simd"].values())
    assert info["simd"]["avx2"] and info["simd"]["fma"] and info["simd"]["f16c"] and info["parallel"] is True
    wide = "avx512" if info["simd"]["avx512f"] else "avx2"
    assert (info["backend_f32"], info["backend_f16"], info["backend_u8"]) == (wide, wide, "avx2")
    # avx512f means the processor has it and the system saves its state
    with open("/proc/cpuinfo") as fh:
        assert info["simd"]["avx512f"] == ("avx512f" in fh.read().split())
    again = zentrova.build_info()
    assert again == info and again is not info and again["simd"] is not info["simd"]
    info["simd"]["avx2"] = False  # changing one result does not leak into the next
    assert zentrova.build_info() == again
    if not any(os.environ.get(name) for name in POOL_VARIABLES):
        assert again["num_threads"] == usable_cpus()


# The pool's size: ZENTROVA_NUM_THREADS, else RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS (the first that holds a
# positive integer), else the usable CPUs; capped at pool_cap().
@pytest.mark.parametrize("env, setup, info_first, expected", [
    ({"RAYON_NUM_THREADS": "3"}, "", True, 3),
    ({"RAYON_RS_NUM_CPUS": "4"}, "", False, 4),
    ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, "", True, 3),
    ({"ZENTROVA_NUM_THREADS": "2", "RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, "", False, 2),
    ({"ZENTROVA_NUM_THREADS": "0", "RAYON_NUM_THREADS": "3"}, "", True, 3),
    ({"ZENTROVA_NUM_THREADS": "two", "RAYON_NUM_THREADS": "-1", "RAYON_RS_NUM_CPUS": "4"}, "", False, 4),
    ({"ZENTROVA_NUM_THREADS": "1000000000"}, "", True, "cap"),
    ({"ZENTROVA_NUM_THREADS": "99999999999999999999999", "RAYON_NUM_THREADS": "3"}, "", False, 3),
    ({}, "", False, None),
    ({}, "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})", False, 1),
])
def test_build_info_in_a_fresh_process(env, setup, info_first, expected):
    infos = run_python(f"""
import json, os
import numpy as np
import zentrova
{setup}
infos = [zentrova.build_info()] if {info_first} else []
for f, dt in ((zentrova.affine_transform, np.float32), (zentrova.affine_transform_f16, np.uint16),
              (zentrova.affine_transform_u8, np.uint8)):
    f(np.ones((4, 4, 4), dt), np.eye(3))
print(json.dumps(infos + [zentrova.build_info()]))
""", env)
    here = {**zentrova.build_info(), "num_threads": pool_cap() if expected == "cap" else expected or usable_cpus()}
    assert infos == [here] * len(infos)  # backends do not depend on which call came first


def test_numpy_is_reached_lazily_and_its_absence_is_a_fatal_error():
    outcome = run_python("""
        import json, sys
        sys.modules["numpy"] = None  # NumPy cannot be imported in this process
        import zentrova  # importing the module does not need it
        try:
            zentrova.affine_transform([[[1.0]]], [[1.0]])
        except BaseException as exc:
            outcome = [type(exc).__module__, type(exc).__name__, str(exc), type(exc.__cause__).__name__]
        print(json.dumps(outcome + [zentrova.build_info()["version"]]))
    """)
    assert outcome[:2] == ["pyo3_runtime", "PanicException"]
    assert outcome[2].startswith("Failed to access NumPy array API capsule")
    assert outcome[3:] == ["ModuleNotFoundError", VERSION]  # the cause is kept; the process goes on

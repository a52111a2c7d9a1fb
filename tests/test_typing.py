"""mypy as a user runs it, against the packages installed in this environment: the code users copy
(README.md's Python blocks, examples/*.py) must type-check cleanly, and the mistakes in
tests/typecheck/mistakes.py must be reported, each where it is marked and nothing else. Then the
stubs of the compiled modules against the modules themselves, and the package's own public modules,
whose annotations must agree with the code under them."""

import importlib.util
import os
import re
import subprocess
import sys
import typing
from pathlib import Path

import pytest

from zentrova_resample import _engine

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
MISTAKES = ROOT / "tests" / "typecheck" / "mistakes.py"
PACKAGE = ROOT / "python" / "zentrova_resample"
PUBLIC_MODULES = ["__init__.py", "_affine.py", "_derived.py", "_world.py", "_threads.py", "_typing.py",
                  "_engine.pyi", "_ome.py"]

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                                reason="mypy is not installed (it is in the test extra)")

# Default settings, and for the code users copy the bodies of unannotated functions checked too (most
# of the examples' code is in such functions; the package's helpers are left as they are). Optional
# dependencies that ship no type information are let through as Any, as a user tells mypy for them.
CONFIG = """\
[mypy]
check_untyped_defs = {check_untyped_defs}
warn_unused_ignores = True

[mypy-scipy.*,nilearn.*,matplotlib.*,threadpoolctl.*,zarr.*]
ignore_missing_imports = True
"""

# README blocks that mypy rightly flags, found by a line of theirs: the (line in the block, error code)
# expected. An entry goes once the README's block is fixed (the test then fails until it does).
# A README block that leaves names for the reader to define: (a line of it) -> the errors expected.
README_FLAGGED: dict = {}

ERROR = re.compile(r"^(?P<path>.+?):(?P<line>\d+): error: (?P<message>.*?)(?:  \[(?P<code>[a-z0-9-]+)\])?$")
MARKER = re.compile(r"#\s*E:\s*(?P<code>[a-z0-9-]+)\s*$")


def readme_blocks():
    """(line of README.md where the block's code starts, code) of every ```python block."""
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1))
            for m in re.finditer(r"^```python\n(.*?)^```", text, re.M | re.S)]


BLOCKS = readme_blocks()


@pytest.fixture(scope="session")
def mypy_dir(tmp_path_factory):
    """Where mypy runs and keeps its cache: in the virtual environment, so that only its first run there
    reads NumPy's and dask's annotations, else in a temporary folder. The files it checks are written
    there too, always to the same paths: a module unchanged since the last run is not checked again,
    and its errors are reported from the cache, with the path they were found at."""
    if sys.prefix != sys.base_prefix and os.access(sys.prefix, os.W_OK):
        return Path(sys.prefix) / "zentrova-mypy"
    return tmp_path_factory.mktemp("mypy")


def run_mypy(work: Path, files, check_untyped_defs=True, options=()):
    """{absolute path: [(line, code, message)]} of mypy's errors on `files`, run in `work` (so that no
    folder of the checkout is on its search path unless a file given is in it)."""
    work.mkdir(parents=True, exist_ok=True)
    config = work / "mypy.ini"
    config.write_text(CONFIG.format(check_untyped_defs=check_untyped_defs))
    proc = subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(config),
                           "--cache-dir", str(work / "cache"),
                           "--show-absolute-path", "--hide-error-context", "--no-error-summary", "--no-pretty",
                           *options, *map(str, files)],
                          cwd=work, capture_output=True, text=True, timeout=600)
    assert proc.returncode in (0, 1), f"mypy failed to run:\n{proc.stdout}\n{proc.stderr}"
    errors = {str(f): [] for f in files}
    for line in proc.stdout.splitlines():
        m = ERROR.match(line)
        if m:
            errors.setdefault(m["path"], []).append((int(m["line"]), m["code"], m["message"]))
    return errors


@pytest.fixture(scope="session")
def user_errors(mypy_dir):
    """{name: [(line, code, message)]} of mypy's errors on the README's blocks (each a file of its own, as a
    user pastes it; named README.md:LINE), the examples and the mistakes (named by their paths), with
    zentrova and zentrova_resample as installed."""
    work = mypy_dir / "installed"
    (work / "readme").mkdir(parents=True, exist_ok=True)
    blocks = {}
    for start, code in BLOCKS:
        blocks[f"README.md:{start}"] = path = work / "readme" / f"readme_line_{start}.py"
        path.write_text(code)
    errors = run_mypy(work, list(blocks.values()) + EXAMPLES + [MISTAKES])
    return {**errors, **{name: errors[str(path)] for name, path in blocks.items()}}


def codes(errors):
    return sorted((line, code) for line, code, _ in errors)


@pytest.mark.parametrize("start, code", BLOCKS, ids=[f"README.md:{start}" for start, _ in BLOCKS])
def test_readme_blocks(user_errors, start, code):
    expected = next((sorted(e) for key, e in README_FLAGGED.items() if key in code), [])
    errors = user_errors[f"README.md:{start}"]
    assert codes(errors) == expected, errors


@pytest.mark.parametrize("path", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_examples(user_errors, path):
    assert user_errors[str(path)] == []


def test_mistakes_are_reported_where_marked(user_errors):
    lines = MISTAKES.read_text().splitlines()
    expected = sorted((i, m["code"]) for i, text in enumerate(lines, 1) for m in [MARKER.search(text)] if m)
    assert len(expected) >= 10
    errors = user_errors[str(MISTAKES)]
    assert codes(errors) == expected, errors


def test_public_modules_agree_with_their_annotations(mypy_dir):
    # the modules they import (the plans, the engine's calls) are not looked at
    errors = run_mypy(mypy_dir / "source", [PACKAGE / name for name in PUBLIC_MODULES], check_untyped_defs=False,
                      options=["--follow-imports=silent"])
    assert not any(errors.values()), errors


def test_stubs_match_the_compiled_modules(tmp_path):
    """mypy's stubtest: every name of zentrova and of the engine is in its stub and the other way round,
    with the signatures the functions report (__text_signature__) where they report one."""
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "zentrova", "zentrova_resample._engine"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_mode_names_are_the_engines():
    from zentrova_resample._typing import Mode

    assert sorted(typing.get_args(Mode)) == sorted(_engine.MODES)

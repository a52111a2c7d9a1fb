#!/usr/bin/env python3
"""Runs the installed scipy's own tests of its interpolation functions (affine_transform, shift, zoom,
rotate, map_coordinates, spline_filter, spline_filter1d; every order) on zentrova_resample, through the
pytest plugin in tests/scipy_suite/.

    .venv/bin/python scripts/scipy_suite.py [--summary FILE] [extra pytest arguments]

Exit status: pytest's (0 when every selected case passed or failed as expected). The tests are read
from the scipy package installed in this interpreter; nothing of scipy is copied into the project.
"""

import argparse
import os
import subprocess
import sys
import tempfile

import scipy

HERE = os.path.dirname(os.path.abspath(__file__))
PLUGIN_DIR = os.path.join(HERE, "..", "tests", "scipy_suite")
sys.path.insert(0, PLUGIN_DIR)

import zentrova_scipy_suite as suite  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--summary", help="write the summary (JSON) to this file")
    args, extra = parser.parse_known_args(argv)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.abspath(PLUGIN_DIR), env.get("PYTHONPATH")]))
    if args.summary:
        env["ZENTROVA_SCIPY_SUITE_SUMMARY"] = os.path.abspath(args.summary)
    modules = [f"scipy.ndimage.tests.{name}" for name in suite.MODULES]
    # test ids relative to the scipy package (ndimage/tests/test_interpolation.py::...): its conftest
    # (the xp fixture) is still read
    cmd = [sys.executable, "-m", "pytest", "--pyargs", *modules, f"--rootdir={os.path.dirname(scipy.__file__)}",
           "-p", "zentrova_scipy_suite", "-p", "no:cacheprovider", "-q", "-rfE",
           "-W", "ignore::pytest.PytestUnknownMarkWarning", *extra]
    # outside the project, so that its pytest settings and conftest stay out of scipy's run
    with tempfile.TemporaryDirectory() as cwd:
        return subprocess.call(cmd, cwd=cwd, env=env)


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Runs the installed scipy's own tests of affine_transform, shift, zoom and rotate (orders 0 and 1)
on zentrova_resample, through the pytest plugin in tests/scipy_suite/.

    .venv/bin/python scripts/scipy_suite.py [--summary FILE] [extra pytest arguments]

Exit status: pytest's (0 when every selected case passed or failed as expected). The tests are read
from the scipy package installed in this interpreter; nothing of scipy is copied into the project.
"""

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PLUGIN_DIR = os.path.join(HERE, "..", "tests", "scipy_suite")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--summary", help="write the summary (JSON) to this file")
    args, extra = parser.parse_known_args(argv)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.abspath(PLUGIN_DIR), env.get("PYTHONPATH")]))
    if args.summary:
        env["ZENTROVA_SCIPY_SUITE_SUMMARY"] = os.path.abspath(args.summary)
    cmd = [sys.executable, "-m", "pytest", "--pyargs", "scipy.ndimage.tests.test_interpolation",
           "-p", "zentrova_scipy_suite", "-p", "no:cacheprovider", "-q", "-rfE",
           "-W", "ignore::pytest.PytestUnknownMarkWarning", *extra]
    # outside the project, so that its pytest settings and conftest stay out of scipy's run
    with tempfile.TemporaryDirectory() as cwd:
        return subprocess.call(cmd, cwd=cwd, env=env)


if __name__ == "__main__":
    sys.exit(main())

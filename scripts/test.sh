#!/usr/bin/env bash
# Sets everything up (with the test-only kernel module) and runs the test suite.
#
#   bash scripts/test.sh [--python 3.13|python3.13|/path/to/python] [pytest arguments]
#
# Each interpreter has its own environment in the checkout (.venv without --python,
# .venv-X.Y with it). ZENTROVA_LARGE_TESTS=1 also runs the large-volume test (4.3 GB).
# ZENTROVA_SANITIZE=address,undefined (or thread) runs them on a sanitized build, in an
# environment of its own (scripts/setup.sh; scripts/sanitize.sh picks the tests for each).
ZENTROVA_TEST_KERNELS=ON source "$(dirname "$0")/setup.sh"
# A sanitizer writes its report to descriptor 2 and ends the process: pytest then captures only
# Python's sys.stdout and sys.stderr (--capture=sys), so that the report is not lost with the
# captured descriptors.
capture=()
[ ${#SANITIZER_ENV[@]} -eq 0 ] || capture=(--capture=sys)
exec env ${SANITIZER_ENV[@]+"${SANITIZER_ENV[@]}"} "$VENV_PYTHON" -m pytest -q -rs ${capture[@]+"${capture[@]}"} \
    ${ARGS[@]+"${ARGS[@]}"}

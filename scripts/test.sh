#!/usr/bin/env bash
# Sets everything up (with the test-only kernel module) and runs the test suite.
ZENTROVA_TEST_KERNELS=ON source "$(dirname "$0")/setup.sh"
exec .venv/bin/python -m pytest -q "$@"

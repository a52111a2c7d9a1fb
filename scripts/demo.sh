#!/usr/bin/env bash
# Sets everything up and runs the demo: a rotation of a test volume, speed against
# scipy.ndimage, and how the results compare with scipy's (float64 bit for bit; float32 within
# rounding, but for the voxels whose sample point lies on the input's edge in one precision).
#
#   bash scripts/demo.sh [--python 3.13|python3.13|/path/to/python] [--size 192]
source "$(dirname "$0")/setup.sh"
exec "$VENV_PYTHON" examples/demo.py ${ARGS[@]+"${ARGS[@]}"}

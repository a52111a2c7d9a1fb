#!/usr/bin/env bash
# Sets everything up and runs the demo: a rotation of a test volume, speed
# against scipy.ndimage and the largest difference on interior voxels.
source "$(dirname "$0")/setup.sh"
exec .venv/bin/python examples/demo.py "$@"

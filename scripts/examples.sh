#!/usr/bin/env bash
# Sets everything up, installs what the examples need (nilearn with nibabel for a brain image that
# nilearn ships, matplotlib for the pictures) and runs them.
#
#   bash scripts/examples.sh [--python 3.13|python3.13|/path/to/python]
source "$(dirname "$0")/setup.sh"
"$VENV_PYTHON" -m pip install --quiet nilearn matplotlib
"$VENV_PYTHON" examples/resample_nifti.py

#!/usr/bin/env bash
# Sets everything up, installs zarr, and runs the deskew example: a synthetic light-sheet volume
# written to a Zarr store, deskewed into another through dask; throughput and peak memory.
#
#   bash scripts/dask_example.sh [--python 3.13|python3.13|/path/to/python] [example arguments]
#
# The stores go to /tmp/zentrova-deskew unless --dir says otherwise (2 GiB raw, 2.9 GiB deskewed
# with the default shape).
source "$(dirname "$0")/setup.sh"
"$VENV_PYTHON" -m pip install --quiet "zarr>=2.11"
exec "$VENV_PYTHON" examples/deskew_zarr.py ${ARGS[@]+"${ARGS[@]}"}

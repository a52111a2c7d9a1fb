#!/usr/bin/env bash
# Sets everything up, installs dask-image, and runs the dask benchmark: zentrova against
# dask-image on a LocalCluster of 2 worker processes, chunked against in memory, worker layouts.
#
#   bash scripts/dask_bench.sh [--python 3.13|python3.13|/path/to/python] [bench arguments]
#
# Needs about 8 GiB of memory with the defaults (part 2: a 2 GiB volume, its result, twice).
source "$(dirname "$0")/setup.sh"
"$VENV_PYTHON" -m pip install --quiet dask-image
exec "$VENV_PYTHON" bench/bench_dask.py ${ARGS[@]+"${ARGS[@]}"}

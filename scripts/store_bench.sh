#!/usr/bin/env bash
# Sets everything up, installs zarr and dask-image, and runs the store benchmark: a uint16 volume
# written to a Zarr store on disk, rotated into another on LocalClusters of 1 and 2 worker processes,
# against the same rotation in memory per core (and, with --compare N, against the path through the
# input chunks' own tasks and dask-image, on N planes).
#
#   bash scripts/store_bench.sh [--python 3.13|python3.13|/path/to/python] [--gb 20] [--quick] [bench arguments]
#
# The input store stays in --dir (/var/tmp/zentrova-store-bench) for the next run: --gb 20 needs
# 20 GiB there, and as much again for the output while a run lasts. The benchmark writes its stores
# with zarr 3's API, which needs Python 3.11 or later.
source "$(dirname "$0")/setup.sh"
"$VENV_PYTHON" -m pip install --quiet "zarr>=3" dask-image
exec "$VENV_PYTHON" bench/bench_store.py ${ARGS[@]+"${ARGS[@]}"}

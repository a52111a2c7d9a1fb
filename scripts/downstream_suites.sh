#!/usr/bin/env bash
# The interpolation tests of scikit-image (transform, registration), dask-image (ndinterp) and
# nilearn (image) with zentrova_resample standing in for scipy.ndimage's interpolation functions
# (scripts/downstream_standin.py: ours answers, scipy is called on copies, every call compared),
# then a table of the calls by function, order and outcome. A check of the drop-in promise, not
# part of CI: it needs PyPI (the suites' sources) and takes a few minutes.
#
#   bash scripts/downstream_suites.sh
#
# Its own environment, .venv-downstream in the checkout (zentrova built into it from the working
# tree); the suites' sources and logs in build/downstream. A suite's own failures (tests that
# download data fail without network) are printed and do not stop the others.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
VENV=.venv-downstream
WORK=build/downstream
SKIMAGE=0.26.0 DASK_IMAGE=2026.5.0 NILEARN=0.14.1
mkdir -p "$WORK"
rm -f "$WORK"/*.jsonl

[ -x "$VENV/bin/python" ] || python3 -m venv "$VENV" || exit 1
PY=$ROOT/$VENV/bin/python
pip_quiet() {
    "$PY" -m pip install --quiet "$@" 2>&1 | grep -v "is ignored: it is neither a file nor a directory" >&2
    return "${PIPESTATUS[0]}"
}
pip_quiet pytest pytest-xdist pytest-pretty pytest-localserver pytest-timeout pooch "dask[array]" \
    "scikit-image==$SKIMAGE" "dask-image==$DASK_IMAGE" "nilearn==$NILEARN" || exit 1
pip_quiet --force-reinstall --no-deps . || exit 1

# The tests of scikit-image and dask-image are in their source distributions only.
fetch() {  # project, version, file name prefix
    local dir="$WORK/$3-$2"
    [ -d "$dir" ] && return 0
    local url
    url=$(curl -fsS "https://pypi.org/simple/$1/" | grep -o "https://[^\"#]*/$3-$2\.tar\.gz" | head -n1)
    [ -n "$url" ] && curl -fsSL "$url" | tar xz -C "$WORK"
}
fetch scikit-image "$SKIMAGE" scikit_image || { echo "downstream: could not fetch scikit-image's sources" >&2; exit 1; }
fetch dask-image "$DASK_IMAGE" dask_image || { echo "downstream: could not fetch dask-image's sources" >&2; exit 1; }

export PYTHONPATH=$ROOT/scripts
run() {  # name, folder, pytest arguments...
    local name=$1 dir=$2
    shift 2
    echo "downstream: === $name"
    (cd "$dir" && STANDIN_LOG="$ROOT/$WORK/$name.jsonl" "$PY" -m pytest -q -p downstream_standin \
        -p no:cacheprovider -n 2 -W "ignore::pytest.PytestRemovedIn10Warning" "$@" 2>&1 | tail -n 25)
}
run scikit-image "$WORK/scikit_image-$SKIMAGE" tests/skimage/transform tests/skimage/registration
run dask-image "$WORK/dask_image-$DASK_IMAGE" -c /dev/null tests/test_dask_image/test_ndinterp
run nilearn "$WORK" --pyargs nilearn.image
echo "downstream: === the calls"
"$PY" scripts/downstream_standin.py "$WORK"/*.jsonl

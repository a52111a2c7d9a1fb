#!/usr/bin/env bash
# Sets everything up (.venv and the build, through setup.sh), installs the peers that the
# resampling benchmark compares with (SimpleITK, a CPU build of PyTorch, matplotlib for the
# plot) into .venv, and runs bench/bench_resample.py with this script's arguments.
#
#     bash scripts/bench.sh [--quick] [--sizes 64 128 256] [--repeat 5] [--plot bench/resample.png] ...
#
# A peer that cannot be installed is left out here and reported as missing by the benchmark.
# Set ZENTROVA_BENCH_SKIP_SETUP=1 to reuse an existing .venv and build as they are.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if [ "${ZENTROVA_BENCH_SKIP_SETUP:-0}" != 1 ] || [ ! -x .venv/bin/python ]; then
    # setup.sh sets -e; a failed build stops here.
    ( source scripts/setup.sh ) || { echo "bench.sh: setup.sh failed" >&2; exit 1; }
fi
PY=.venv/bin/python
TORCH_VERSION=2.13.0

pip_quiet() {
    # pip's notes about the machine's extra package folders are noise here.
    "$PY" -m pip install --quiet "$@" 2>&1 | grep -v "is ignored: it is neither a file nor a directory" >&2
    return "${PIPESTATUS[0]}"
}

install_peer() {  # name, pip arguments...
    local name=$1; shift
    if ! pip_quiet "$@"; then
        echo "bench.sh: could not install $name; the benchmark reports it as missing" >&2
    fi
}

install_peer matplotlib matplotlib
install_peer SimpleITK SimpleITK

# PyTorch: only a CPU build. Ask pip what it would install first, and refuse a build that
# brings CUDA libraries (nvidia-* packages) or whose version is not a +cpu one.
if "$PY" -c "import torch, sys; sys.exit(0 if torch.__version__.split('+')[0] == '$TORCH_VERSION' and torch.version.cuda is None else 1)" 2>/dev/null; then
    :  # already there
else
    report=$(mktemp)
    if pip_quiet --dry-run --report "$report" "torch==$TORCH_VERSION" \
        && "$PY" - "$report" <<'EOF'
import json, sys
items = json.load(open(sys.argv[1]))["install"]
names = {i["metadata"]["name"].lower(): i["metadata"]["version"] for i in items}
bad = [n for n in names if n.startswith("nvidia") or n.startswith("triton")]
torch = names.get("torch")
if bad or (torch is not None and "+cpu" not in torch):
    print(f"bench.sh: pip would install torch {torch} with {bad}: not a CPU build, not installed", file=sys.stderr)
    sys.exit(1)
EOF
    then
        install_peer torch "torch==$TORCH_VERSION"
    else
        echo "bench.sh: no CPU build of torch $TORCH_VERSION to install; the benchmark reports it as missing" >&2
    fi
    rm -f "$report"
fi

exec "$PY" bench/bench_resample.py "$@"

# Sourced by demo.sh and test.sh: makes .venv in the checkout (if missing),
# installs the build and test tools into it, and builds zentrova into it.
# Pass ZENTROVA_TEST_KERNELS=ON to also build the test-only kernel module.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

PYTHON=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
    "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet "numpy>=2.0" scipy pytest "scikit-build-core>=0.10" cmake ninja
# Build against the venv's numpy and tools (no isolated build env to download).
ZENTROVA_TEST_KERNELS=${ZENTROVA_TEST_KERNELS:-OFF} \
    .venv/bin/python -m pip install --quiet --no-build-isolation --force-reinstall --no-deps \
    -Cbuild-dir=build/{wheel_tag} .

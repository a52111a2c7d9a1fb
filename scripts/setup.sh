# Sourced by demo.sh and test.sh with their arguments: makes the virtual environment of the
# chosen interpreter in the checkout (if missing), installs the build and test tools into it,
# and builds zentrova into it. Pass ZENTROVA_TEST_KERNELS=ON to also build the test-only
# kernel module.
#
#   --python WHICH  the interpreter: a version (3.13, 3.9.18), a command (python3.13) or a
#                  path; its environment is .venv-X.Y. Without it: python3 (or $PYTHON)
#                  and .venv.
#
# Leaves VENV_PYTHON (the environment's interpreter) and ARGS (the other arguments, in order;
# everything after a "--" is passed on as it is).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/pythons.sh

take_python_option "$@"
make_venv
"$VENV_PYTHON" -m pip install --quiet --upgrade pip
"$VENV_PYTHON" -m pip install --quiet "numpy>=2.0" scipy pytest "scikit-build-core>=0.11" cmake ninja "threadpoolctl>=3.2" mypy
# the dask tests (zentrova[dask], and a LocalCluster): the extra pins distributed to dask's version
"$VENV_PYTHON" -m pip install --quiet "dask[array,distributed]>=2023.1"
# resample_to's image tests: nibabel images in and out, nilearn's resample_img and its MNI152 template
"$VENV_PYTHON" -m pip install --quiet "nibabel>=3.2" "nilearn>=0.10"
# Build against the environment's numpy and tools (no isolated build env to download).
ZENTROVA_TEST_KERNELS=${ZENTROVA_TEST_KERNELS:-OFF} \
    "$VENV_PYTHON" -m pip install --quiet --no-build-isolation --force-reinstall --no-deps \
    -Cbuild-dir=build/{wheel_tag} .

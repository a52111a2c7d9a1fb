# Sourced by demo.sh and test.sh with their arguments: makes the virtual environment of the
# chosen interpreter in the checkout (if missing), installs the build and test tools into it,
# and builds zentrova into it. Pass ZENTROVA_TEST_KERNELS=ON to also build the test-only
# kernel module.
#
#   --python SPEC  the interpreter: a version (3.13, 3.9.18), a command (python3.13) or a
#                  path; its environment is .venv-X.Y. Without it: python3 (or $PYTHON)
#                  and .venv.
#
# Leaves VENV_PYTHON (the environment's interpreter) and ARGS (the other arguments, in order;
# everything after a "--" is passed on as it is).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/pythons.sh

ARGS=()
python_spec=""
while [ $# -gt 0 ]; do
    case $1 in
        --python)
            [ $# -ge 2 ] || { echo "error: --python needs a version, a command or a path" >&2; exit 2; }
            python_spec=$2
            shift 2
            ;;
        --python=*) python_spec=${1#--python=}; shift ;;
        --) ARGS+=("$@"); break ;;
        *) ARGS+=("$1"); shift ;;
    esac
done

if [ -n "$python_spec" ]; then
    BASE_PYTHON=$(find_python "$python_spec")
    VENV=$(venv_name "$BASE_PYTHON")
else
    BASE_PYTHON=$(find_python "${PYTHON:-python3}")
    VENV=.venv
fi
VENV_PYTHON=$VENV/bin/python

# An environment made by another interpreter (or whose interpreter is gone) is made anew.
identity='import sys; print(sys.base_prefix, sys.version)'
if [ ! -x "$VENV_PYTHON" ] || [ "$("$VENV_PYTHON" -c "$identity" 2>/dev/null || true)" != "$("$BASE_PYTHON" -c "$identity")" ]; then
    "$BASE_PYTHON" -m venv --clear "$VENV"
fi
echo "zentrova: $("$VENV_PYTHON" -c 'import sys; print("Python", sys.version.split()[0])') in $VENV ($BASE_PYTHON)"
"$VENV_PYTHON" -m pip install --quiet --upgrade pip
"$VENV_PYTHON" -m pip install --quiet "numpy>=2.0" scipy pytest "scikit-build-core>=0.11" cmake ninja
# Build against the environment's numpy and tools (no isolated build env to download).
ZENTROVA_TEST_KERNELS=${ZENTROVA_TEST_KERNELS:-OFF} \
    "$VENV_PYTHON" -m pip install --quiet --no-build-isolation --force-reinstall --no-deps \
    -Cbuild-dir=build/{wheel_tag} .

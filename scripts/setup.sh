# Sourced by demo.sh, test.sh and the other scripts with their arguments: makes the virtual
# environment of the chosen interpreter in the checkout (if missing), installs the build and test
# requirements into it, and builds zentrova into it. Pass ZENTROVA_TEST_KERNELS=ON to also build
# the test-only kernel module.
#
#   --python WHICH  the interpreter: a version (3.13, 3.9.18), a command (python3.13) or a
#                  path; its environment is .venv-X.Y. Without it: python3 (or $PYTHON)
#                  and .venv.
#
# Only what changed is done again. The requirements (pyproject.toml: the build requirements,
# [tool.zentrova] build-tools, the dependencies and the "test" extra) are installed when that list
# or the interpreter changed; zentrova is built and installed when one of its inputs changed
# (pyproject.toml, CMakeLists.txt, a file under src/, python/ or tests/native/, committed or not,
# the interpreter, the compiler, ZENTROVA_TEST_KERNELS); scripts/setup_state.py computes both keys.
# Each key is kept in a stamp file inside the environment, removed before its step starts and
# written only once the step succeeded, so an interrupted install is done again next time. Without
# ZENTROVA_TEST_KERNELS (the demo, benchmarks, examples) a build with the test module is taken as
# it is: that module only adds a file. ZENTROVA_SETUP_FORCE=1 does both steps anyway.
#
# Leaves VENV_PYTHON (the environment's interpreter) and ARGS (the other arguments, in order;
# everything after a "--" is passed on as it is).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/pythons.sh

take_python_option "$@"
make_venv

# pip's notes about the machine's extra package folders are noise here.
_setup_pip() {
    local status=0
    "$VENV_PYTHON" -m pip "$@" 2>&1 |
        { grep -v "is ignored: it is neither a file nor a directory" >&2 || true; } || status=$?
    return $status
}

# The stamp file's content, or nothing.
_setup_stamp() {
    if [ "${ZENTROVA_SETUP_FORCE:-0}" != 1 ] && [ -f "$1" ]; then cat "$1"; fi
}

# Writes a stamp so that it is either whole or absent.
_setup_write_stamp() {
    printf '%s\n' "$2" >"$1.tmp"
    mv -f "$1.tmp" "$1"
}

_setup_did=""
_setup_t0=$SECONDS
_setup_requirements_stamp=$VENV/zentrova-requirements.stamp
_setup_key=$("$VENV_PYTHON" scripts/setup_state.py requirements-key)
if [ "$(_setup_stamp "$_setup_requirements_stamp")" != "$_setup_key" ]; then
    echo "zentrova: installing the build and test requirements (pyproject.toml) into ${VENV##*/}"
    rm -f "$_setup_requirements_stamp"
    _setup_pip install --quiet --upgrade pip
    "$VENV_PYTHON" scripts/setup_state.py requirements >"$VENV/zentrova-requirements.txt"
    _setup_pip install --quiet -r "$VENV/zentrova-requirements.txt"
    _setup_write_stamp "$_setup_requirements_stamp" "$_setup_key"
    echo "zentrova: requirements installed ($((SECONDS - _setup_t0)) s)"
    _setup_did=1
fi

_setup_build_stamp=$VENV/zentrova-build.stamp
_setup_keys=$("$VENV_PYTHON" scripts/setup_state.py build-keys)
read -r _setup_key_off _setup_key_on _setup_installed <<<"$_setup_keys"
case ${ZENTROVA_TEST_KERNELS:-OFF} in  # CMake's true values
    [Oo][Nn] | 1 | [Tt][Rr][Uu][Ee] | [Yy] | [Yy][Ee][Ss]) _setup_kernels=ON _setup_key=$_setup_key_on ;;
    *) _setup_kernels=OFF _setup_key=$_setup_key_off ;;
esac
_setup_have=$(_setup_stamp "$_setup_build_stamp")
if [ "$_setup_installed" = yes ] && { [ "$_setup_have" = "$_setup_key" ] ||
    { [ -z "${ZENTROVA_TEST_KERNELS:-}" ] && [ "$_setup_have" = "$_setup_key_on" ]; }; }; then
    if [ -n "$_setup_did" ]; then
        echo "zentrova: the build is up to date"
    else
        echo "zentrova: ${VENV##*/} is up to date (requirements and build): nothing installed"
    fi
else
    echo "zentrova: building zentrova into ${VENV##*/} (from scratch: 1 to 2 minutes on 2 cores)"
    _setup_t0=$SECONDS
    rm -f "$_setup_build_stamp"
    # Build against the environment's numpy and tools (no isolated build env to download); the
    # build folder is kept, so that only what changed is compiled again.
    ZENTROVA_TEST_KERNELS=$_setup_kernels \
        _setup_pip install --quiet --no-build-isolation --force-reinstall --no-deps \
        -Cbuild-dir=build/{wheel_tag} .
    _setup_write_stamp "$_setup_build_stamp" "$_setup_key"
    echo "zentrova: built and installed ($((SECONDS - _setup_t0)) s)"
fi
unset _setup_t0 _setup_did _setup_key _setup_keys _setup_key_off _setup_key_on _setup_installed _setup_kernels _setup_have

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
# the interpreter, the compiler, ZENTROVA_TEST_KERNELS, ZENTROVA_SANITIZE); scripts/setup_state.py
# computes both keys.
# Each key is kept in a stamp file inside the environment, removed before its step starts and
# written only once the step succeeded, so an interrupted install is done again next time. Without
# ZENTROVA_TEST_KERNELS (the demo, benchmarks, examples) a build with the test module is taken as
# it is: that module only adds a file. ZENTROVA_SETUP_FORCE=1 does both steps anyway.
#
# ZENTROVA_SANITIZE=address,undefined (or thread, or another list GCC's -fsanitize= takes) makes a
# sanitized build instead, in an environment and a build folder of its own (.venv-asan-ubsan or
# .venv-3.13-tsan, build/<wheel tag>-asan-ubsan), so that it never replaces the normal one.
# Python itself is not instrumented, so the build's modules load only into an interpreter that has
# the sanitizer's runtime preloaded: SANITIZER_ENV holds that and the runtime's options, to run
# the interpreter with (env "${SANITIZER_ENV[@]}" "$VENV_PYTHON" ...; empty for a normal build).
#
# Leaves VENV_PYTHON (the environment's interpreter), SANITIZER_ENV and ARGS (the other arguments,
# in order; everything after a "--" is passed on as it is).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/pythons.sh

take_python_option "$@"

SANITIZER_ENV=()
_setup_suffix=""
if [ -n "${ZENTROVA_SANITIZE:-}" ]; then
    if [[ ! $ZENTROVA_SANITIZE =~ ^[a-z-]+(,[a-z-]+)*$ ]]; then
        echo "error: ZENTROVA_SANITIZE='$ZENTROVA_SANITIZE' is not a list of sanitizers such as address,undefined or thread" >&2
        exit 2
    fi
    _setup_runtime=""
    for _setup_name in ${ZENTROVA_SANITIZE//,/ }; do
        case $_setup_name in
            address) _setup_suffix+=-asan _setup_runtime=libasan.so ;;
            thread) _setup_suffix+=-tsan _setup_runtime=libtsan.so ;;
            undefined) _setup_suffix+=-ubsan _setup_runtime=${_setup_runtime:-libubsan.so} ;;
            *) _setup_suffix+=-$_setup_name ;;
        esac
    done
    if [ -n "$_setup_runtime" ]; then
        # GCC's runtime (the one the build links); the interpreter must load it before anything else.
        _setup_cxx=${CXX:-c++}
        _setup_path=$(${_setup_cxx%% *} -print-file-name=$_setup_runtime)
        if [ ! -e "$_setup_path" ]; then
            echo "error: ${_setup_cxx%% *} has no $_setup_runtime (Debian: the libasan8, libtsan2 and libubsan1 packages)" >&2
            exit 1
        fi
        SANITIZER_ENV+=("LD_PRELOAD=$_setup_path${LD_PRELOAD:+ $LD_PRELOAD}")
    fi
    # Options given in the environment come after these, and so win.
    # - detect_leaks=0: CPython does not free what it allocated for its modules, types and interned
    #   objects at exit, nor do NumPy and the other extensions, by design; LeakSanitizer would report
    #   thousands of such blocks at every interpreter's exit and fail it. A leak of ours would be an
    #   unreleased reference anyway, which LeakSanitizer cannot tell from those.
    # - allocator_may_return_null=1: an allocation too large for the machine gives NULL, as the
    #   normal allocator does, instead of ending the process, so the tests of running out of
    #   memory see MemoryError as they do without the sanitizer.
    # - PYTHONMALLOC=malloc: every Python object from malloc rather than from CPython's pools, so
    #   that ASan guards them too.
    # - halt_on_error=1: the first report ends the process, as the build's -fno-sanitize-recover
    #   does for the others, so that no test passes over one.
    SANITIZER_ENV+=("UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}")
    if [[ $_setup_suffix == *-asan* ]]; then
        SANITIZER_ENV+=("ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
                        PYTHONMALLOC=malloc)
    fi
    if [[ $_setup_suffix == *-tsan* ]]; then
        # - die_after_fork=0: the child of a fork starts a pool of its own, which the tests check;
        #   ThreadSanitizer refuses threads in the child of a process that had some unless told.
        SANITIZER_ENV+=("TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:die_after_fork=0${TSAN_OPTIONS:+:$TSAN_OPTIONS}")
    fi
    unset _setup_name _setup_runtime _setup_cxx _setup_path
fi
make_venv "$_setup_suffix"

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
        -Cbuild-dir=build/{wheel_tag}$_setup_suffix .
    _setup_write_stamp "$_setup_build_stamp" "$_setup_key"
    echo "zentrova: built and installed ($((SECONDS - _setup_t0)) s)"
fi
unset _setup_suffix _setup_t0 _setup_did _setup_key _setup_keys _setup_key_off _setup_key_on _setup_installed _setup_kernels _setup_have

# Sourced by setup.sh, wheel.sh and .ci/run: finds Python interpreters on this machine.
#
#   find_python WHICH    prints the path of the interpreter that WHICH names: a version
#                        (3.13, 3.9.18), a command on PATH (python3.13) or a path. Fails
#                        with a message if there is none.
#   supported_pythons    prints "VERSION PATH" for each CPython with the GIL (not a
#                        free-threaded build) whose X.Y lies in the range pyproject.toml
#                        declares (requires-python lower bound, highest "Python :: 3.N"
#                        classifier), one per X.Y (its newest patch release), oldest first.
#   venv_name PYTHON     prints the name of the interpreter's virtual environment in the
#                        checkout: .venv-X.Y (.venv-X.Yt for a free-threaded build).
#   take_python_option ARGS...
#                        reads "--python WHICH" (or --python=WHICH) out of the arguments: sets
#                        PYTHON_WHICH, and ARGS to the others in order (after a "--", all as
#                        they are).
#   make_venv [SUFFIX]   sets BASE_PYTHON, VENV and VENV_PYTHON for PYTHON_WHICH (none: python3
#                        or $PYTHON, and .venv; SUFFIX is added to the name, -asan-ubsan for one)
#                        and makes the environment in the checkout if it is missing or belongs to
#                        another interpreter.
#
# Interpreters are looked up on PATH, in pyenv's versions folder and in /usr/local/bin and
# /usr/bin; each candidate is run to learn its version (a pyenv shim for a version that is
# not selected fails and is skipped).

_ZENTROVA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# "X.Y.Z IMPL FT" of an interpreter (FT is 1 for a free-threaded build), or failure.
_py_describe() {
    "$1" -c 'import sys, sysconfig
print("%d.%d.%d" % sys.version_info[:3], sys.implementation.name, int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))))' \
        2>/dev/null
}

# Every candidate path (may repeat; not yet run).
_py_candidates() {
    local dir pyenv_root=${PYENV_ROOT:-$HOME/.pyenv} f
    local -a dirs
    IFS=: read -r -a dirs <<<"${PATH:-}"
    for dir in "${dirs[@]}" "$pyenv_root"/versions/*/bin /usr/local/bin /usr/bin; do
        [ -d "$dir" ] || continue
        for f in "$dir"/python3 "$dir"/python3.[0-9]*; do
            case ${f##*/} in python3 | python3.[0-9] | python3.[0-9][0-9]) ;; *) continue ;; esac
            [ -x "$f" ] && printf '%s\n' "$f"
        done
    done
}

find_python() {
    local which=$1 path
    if [[ $which == */* ]]; then
        if _py_describe "$which" >/dev/null; then
            printf '%s\n' "$which"
            return 0
        fi
        echo "error: $which is not a Python interpreter that runs" >&2
        return 1
    fi
    if [[ ! $which =~ ^[0-9]+\.[0-9]+(\.[0-9]+)?$ ]]; then  # a command name
        if path=$(command -v -- "$which") && _py_describe "$path" >/dev/null; then
            printf '%s\n' "$path"
            return 0
        fi
        if [[ ! $which =~ ^python([0-9]+\.[0-9]+)$ ]]; then
            echo "error: no Python interpreter '$which' that runs on PATH" >&2
            return 1
        fi
        which=${BASH_REMATCH[1]}  # pythonX.Y: looked up as version X.Y
    fi
    # a version: X.Y takes the newest X.Y.Z found, X.Y.Z must match exactly
    local desc version impl ft
    path=$(while read -r path; do
        desc=$(_py_describe "$path") || continue
        read -r version impl ft <<<"$desc"
        [ "$impl" = cpython ] && [ "$ft" = 0 ] || continue
        [[ $version == "$which" || $version == "$which".* ]] && printf '%s %s\n' "$version" "$path"
    done < <(_py_candidates) | sort -V -k1,1 | tail -n1 | cut -d' ' -f2-)
    if [ -z "$path" ]; then
        echo "error: no CPython $which found (looked on PATH, in ${PYENV_ROOT:-$HOME/.pyenv}/versions, /usr/local/bin, /usr/bin)" >&2
        return 1
    fi
    printf '%s\n' "$path"
}

# Supported X.Y range from pyproject.toml: "MIN_MINOR MAX_MINOR" of Python 3.
_supported_minors() {
    local toml=$_ZENTROVA_ROOT/pyproject.toml lo hi
    lo=$(sed -n 's/^requires-python *= *">= *3\.\([0-9]*\)".*/\1/p' "$toml")
    hi=$(grep -o '"Programming Language :: Python :: 3\.[0-9]*"' "$toml" | sed 's/.*3\.\([0-9]*\)"/\1/' | sort -n | tail -n1)
    if [ -z "$lo" ] || [ -z "$hi" ]; then
        echo "error: cannot read the supported Python versions from $toml" >&2
        return 1
    fi
    echo "$lo $hi"
}

supported_pythons() {
    local range lo hi path desc version impl ft minor
    range=$(_supported_minors) || return 1
    read -r lo hi <<<"$range"
    while read -r path; do
        desc=$(_py_describe "$path") || continue
        read -r version impl ft <<<"$desc"
        [ "$impl" = cpython ] && [ "$ft" = 0 ] && [[ $version == 3.* ]] || continue
        minor=${version#3.}
        minor=${minor%%.*}
        [ "$minor" -ge "$lo" ] && [ "$minor" -le "$hi" ] || continue
        printf '%s %s\n' "$version" "$path"
    done < <(_py_candidates) | sort -V -k1,1 -u |
        awk '{ split($1, v, "."); xy = v[1] "." v[2]; best[xy] = $0; if (!(xy in seen)) { seen[xy] = 1; order[++n] = xy } }
             END { for (i = 1; i <= n; i++) print best[order[i]] }'
}

venv_name() {
    "$1" -c 'import sys, sysconfig
print(".venv-%d.%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))'
}

take_python_option() {
    ARGS=()
    PYTHON_WHICH=""
    while [ $# -gt 0 ]; do
        case $1 in
            --python)
                if [ $# -lt 2 ]; then
                    echo "error: --python needs a version, a command or a path" >&2
                    return 2
                fi
                PYTHON_WHICH=$2
                shift 2
                ;;
            --python=*) PYTHON_WHICH=${1#--python=}; shift ;;
            --) ARGS+=("$@"); break ;;
            *) ARGS+=("$1"); shift ;;
        esac
    done
}

make_venv() {
    if [ -n "$PYTHON_WHICH" ]; then
        BASE_PYTHON=$(find_python "$PYTHON_WHICH") || return 1
        VENV=$(venv_name "$BASE_PYTHON")
    else
        BASE_PYTHON=$(find_python "${PYTHON:-python3}") || return 1
        VENV=.venv
    fi
    VENV=$_ZENTROVA_ROOT/$VENV${1:-}
    VENV_PYTHON=$VENV/bin/python
    # An environment made by another interpreter (or whose interpreter is gone) is made anew.
    local identity='import sys; print(sys.base_prefix, sys.version)'
    if [ ! -x "$VENV_PYTHON" ] ||
        [ "$("$VENV_PYTHON" -c "$identity" 2>/dev/null || true)" != "$("$BASE_PYTHON" -c "$identity")" ]; then
        "$BASE_PYTHON" -m venv --clear "$VENV" || return 1
    fi
    echo "zentrova: $("$VENV_PYTHON" -c 'import sys; print("Python", sys.version.split()[0])') in ${VENV#"$_ZENTROVA_ROOT"/} ($BASE_PYTHON)"
}

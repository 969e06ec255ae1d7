#!/usr/bin/env bash
# Builds and runs the whole test suite: every test under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded tests under ThreadSanitizer.
# Any sanitizer report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}
bash "$root/scripts/setup.sh"

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=address >/dev/null
cmake --build "$root/build-asan" -j "$jobs"
ctest --test-dir "$root/build-asan" -j "$jobs" --output-on-failure --timeout 600 --no-tests=error

cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=thread >/dev/null
cmake --build "$root/build-tsan" -j "$jobs"
ctest --test-dir "$root/build-tsan" -j "$jobs" --output-on-failure --timeout 600 --no-tests=error -L threaded

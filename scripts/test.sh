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
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp

cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=address >/dev/null
cmake --build "$root/build-asan" -j "$jobs"
ctest --test-dir "$root/build-asan" -j "$jobs" --output-on-failure --timeout 600 --no-tests=error

cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=thread >/dev/null
cmake --build "$root/build-tsan" -j "$jobs"
ctest --test-dir "$root/build-tsan" -j "$jobs" --output-on-failure --timeout 600 --no-tests=error -L threaded

# ---- image_meta: libFuzzer run over the EXIF/XMP reader (clang) -------------
# A bounded run from the seed corpus; new inputs go to a scratch copy, never
# into the repository. See image_meta/README.md for a longer run.
fuzz_build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$fuzz_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEL_BUILD_TESTS=OFF -DZEL_IMAGE_META_FUZZ=ON -DZEL_TILES_FUZZ=ON \
  "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" >/dev/null
cmake --build "$fuzz_build" -j "$jobs" --target image_meta_fuzzer
rm -rf "$fuzz_build/corpus" && mkdir -p "$fuzz_build/corpus"
cp "$root"/image_meta/fuzz/corpus/* "$fuzz_build/corpus/"
"$fuzz_build/image_meta/image_meta_fuzzer" -runs=20000 -max_len=8192 -print_final_stats=1 \
  -artifact_prefix="$fuzz_build/" "$fuzz_build/corpus"

# ---- tiles: libFuzzer run over the PNG tile decoder (same clang tree) ---------
cmake --build "$fuzz_build" -j "$jobs" --target png_decode_fuzzer
rm -rf "$fuzz_build/png_corpus" && mkdir -p "$fuzz_build/png_corpus"
cp "$root"/tiles/fuzz/corpus/* "$fuzz_build/png_corpus/"
"$fuzz_build/tiles/png_decode_fuzzer" -runs=20000 -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$fuzz_build/png_" "$fuzz_build/png_corpus"

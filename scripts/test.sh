#!/usr/bin/env bash
# Builds and runs the whole test suite: every test but the end-to-end ones
# under AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests
# under ThreadSanitizer, then every test, the end-to-end ones included, in a
# Release tree built without CUDA. Any sanitizer report fails the run; every
# tree is built with warnings as errors.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}
bash "$root/scripts/setup.sh"

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp

# The device tests skip themselves where no usable GPU is found.
if command -v nvidia-smi >/dev/null 2>&1 && nvidia-smi -L >/dev/null 2>&1; then
  # The CUDA driver maps memory where ASan keeps its shadow gap.
  export ASAN_OPTIONS=$ASAN_OPTIONS:protect_shadow_gap=0
fi

# Sanitizer trees: every test but the end-to-end ones under ASan + UBSan, the
# threaded tests under TSan.
cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=address \
  -DZEL_WARNINGS_AS_ERRORS=ON -DZEL_END_TO_END_TESTS=OFF >/dev/null
cmake --build "$root/build-asan" -j "$jobs"
ctest --test-dir "$root/build-asan" -j "$jobs" --output-on-failure --timeout 600 --no-tests=error

cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=thread \
  -DZEL_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$root/build-tsan" -j "$jobs"
ctest --test-dir "$root/build-tsan" -j "$jobs" --output-on-failure --timeout 600 --no-tests=error -L threaded

# Release tree without CUDA, the build of a machine without the toolkit:
# every test, the end-to-end ones (label e2e, whole surveys) among them.
cmake -S "$root" -B "$root/build-rel" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEL_WITH_CUDA=OFF \
  -DZEL_WARNINGS_AS_ERRORS=ON -DZEL_END_TO_END_TESTS=ON >/dev/null
cmake --build "$root/build-rel" -j "$jobs"
ctest --test-dir "$root/build-rel" -j "$jobs" --output-on-failure --timeout 600 --no-tests=error

# ---- image_meta: libFuzzer run over the EXIF/XMP reader (clang) -------------
# A bounded run from the seed corpus; new inputs go to a scratch copy, never
# into the repository. See image_meta/README.md for a longer run.
fuzz_build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$fuzz_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEL_BUILD_TESTS=OFF -DZEL_IMAGE_META_FUZZ=ON -DZEL_TILES_FUZZ=ON -DZEL_WARNINGS_AS_ERRORS=ON \
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

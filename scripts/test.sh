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
# The presets of CMakePresets.json name the trees; they are read from here.
cd "$root"

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
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"

# Release tree without CUDA, the build of a machine without the toolkit:
# every test, the end-to-end ones (label e2e, whole surveys) among them.
cmake --preset cpu-only >/dev/null
cmake --build --preset cpu-only -j "$jobs"
ctest --preset cpu-only -j "$jobs"

# ---- image_meta: libFuzzer run over the EXIF/XMP reader (clang) -------------
# A bounded run from the seed corpus; new inputs go to a scratch copy, never
# into the repository. See image_meta/README.md for a longer run. The fuzz
# preset builds both fuzzers.
fuzz_build="$root/build-fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
rm -rf "$fuzz_build/corpus" && mkdir -p "$fuzz_build/corpus"
cp "$root"/image_meta/fuzz/corpus/* "$fuzz_build/corpus/"
"$fuzz_build/image_meta/image_meta_fuzzer" -runs=20000 -max_len=8192 -print_final_stats=1 \
  -artifact_prefix="$fuzz_build/" "$fuzz_build/corpus"

# ---- tiles: libFuzzer run over the PNG tile decoder (same clang tree) ---------
rm -rf "$fuzz_build/png_corpus" && mkdir -p "$fuzz_build/png_corpus"
cp "$root"/tiles/fuzz/corpus/* "$fuzz_build/png_corpus/"
"$fuzz_build/tiles/png_decode_fuzzer" -runs=20000 -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$fuzz_build/png_" "$fuzz_build/png_corpus"

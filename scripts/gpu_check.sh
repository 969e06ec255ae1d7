#!/usr/bin/env bash
# Device checks of the GPU stereo matcher, for a machine with an NVIDIA GPU:
# every stage bit-exact against the host reference (D 64/128/256, both census
# kinds, 4 and 8 paths, odd sizes), the execute modes, and the benchmark
# (1368 x 912, D 256, 4 paths, beside single-thread cv::StereoSGBM).
#
#   scripts/gpu_check.sh             build in Release (build-gpu) and run here
#   scripts/gpu_check.sh bundle DIR  build here and put the programs, the
#                                    shared libraries they need and run.sh in DIR
#   scripts/gpu_check.sh run DIR     run a bundle (on the device machine)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${GPU_BUILD_DIR:-$root/build-gpu}
jobs=${JOBS:-$(nproc)}
programs=(stereo_gpu_device_test stereo_gpu_matcher_construction_test stereo_gpu_benchmark)

build_all() {
  cmake -S "$root" --preset release -B "$build" -DZEL_WITH_CUDA=ON >/dev/null
  cmake --build "$build" -j "$jobs" --target "${programs[@]}"
}

run_dir() {  # runs the programs found in $1
  local dir=$1 status=0
  if command -v nvidia-smi >/dev/null 2>&1; then
    nvidia-smi -L || { echo "gpu_check: no GPU device here"; return 1; }
  fi
  for test in stereo_gpu_device_test stereo_gpu_matcher_construction_test; do
    echo "== $test"
    "$dir/$test" || status=1
  done
  echo "== stereo_gpu_benchmark"
  "$dir/stereo_gpu_benchmark" || status=1
  return $status
}

case "${1:-}" in
  "")
    build_all
    bin=$(mktemp -d)
    trap 'rm -rf "$bin"' EXIT
    for p in "${programs[@]}"; do cp "$build/stereo_gpu/src/$p" "$bin/"; done
    run_dir "$bin"
    ;;
  bundle)
    out=${2:?bundle needs a folder}
    build_all
    mkdir -p "$out/lib"
    for p in "${programs[@]}"; do
      cp "$build/stereo_gpu/src/$p" "$out/"
      # Shared libraries beyond the C library itself travel along.
      ldd "$build/stereo_gpu/src/$p" | awk '$3 ~ /^\// {print $3}' |
        grep -v -E '/(libc|libm|libdl|libpthread|librt|ld-linux[^/]*)\.so' |
        while read -r lib; do cp -L "$lib" "$out/lib/"; done
    done
    cp "$0" "$out/gpu_check.sh"
    printf '#!/usr/bin/env bash\ncd "$(dirname "$0")" && exec bash ./gpu_check.sh run .\n' >"$out/run.sh"
    chmod +x "$out/run.sh"
    echo "gpu_check: bundle in $out ($(du -sh "$out" | cut -f1)); run it with $out/run.sh"
    ;;
  run)
    dir=$(cd "${2:?run needs a bundle folder}" && pwd)
    export LD_LIBRARY_PATH="$dir/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    run_dir "$dir"
    ;;
  *)
    echo "usage: $0 [bundle DIR | run DIR]" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# Builds zel_mapper and the sample flight tool, writes the sample flight under
# build/ and runs zel_mapper on the bundled example task over it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target zel_mapper sample_flight

flight="$root/build/example-flight"
"$root/build/tools/sample_flight/sample_flight" "$flight" >/dev/null

home="$root/build/example-home"
mkdir -p "$home"
task=$(sed "s#@HOME@#$home#g; s#@FLIGHT@#$flight#g" "$root/examples/task.json")
"$root/build/src/TarnMapping/src/zel_mapper" --task "$(printf '%s' "$task" | base64 -w0)"

#!/usr/bin/env bash
# Builds zel_mapper and its demo tools, writes the small sample survey under
# build/, runs zel_mapper on it (a file dataset) showing its status lines,
# then prints where the maps are and writes preview pictures of them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" --preset release -B "$root/build" -DZEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target zel_mapper sample_flight map_preview

survey="$root/build/example-survey"
"$root/build/tools/sample_flight/sample_flight" --survey small "$survey" >/dev/null
echo "survey: 12 frames of 1368 x 912 pixels in $survey (ground truth in $survey/truth)"

home="$root/build/example-home"
rm -rf "$home"
mkdir -p "$home"
task=$(sed "s#@HOME@#$home#g; s#@FLIGHT@#$survey#g" "$root/examples/task.json")

# Status lines in short: state, progress and the tilesets listed so far. The
# start-up echo and the log lines stay in $home/stdout.txt and $home/log.txt.
"$root/build/src/TarnMapping/src/zel_mapper" --task "$(printf '%s' "$task" | base64 -w0)" 2>&1 >"$home/stdout.txt" |
  awk -f "$root/scripts/status_lines.awk"

echo
echo "maps (EPSG:3857 web-map tiles, path z/z_x_y):"
echo "  DOM, orthophoto, 256 x 256 PNG:           $home/dom"
echo "  DSM, surface model, 64 x 64 float TIFF:   $home/dsm"
echo "  point cloud, 3D Tiles:                    $home/dense/tileset.json"
echo "  log:                                      $home/log.txt"
echo "previews (finest zoom, stitched by map_preview):"
"$root/build/tools/map_preview/map_preview" "$home/dom" "$home/dsm" "$root/build/example-preview" | sed 's/^/  /'

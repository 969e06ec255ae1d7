#!/usr/bin/env bash
# Maps a folder of drone images: each image's head goes through image_meta,
# records without a calibration get the one given here, and zel_mapper runs
# on them, live (the records on its standard input) or with --file on a
# dataset file of them (HOME/frames.json). Images are taken in the order of
# their names, which must be the order they were captured in: the dense
# stage pairs each frame with the next one in the list.
#
#   scripts/map_images.sh FOLDER HOME --fx F --cx X --cy Y [--fy F] [--file]
#
# F, X and Y in pixels of the full image (F above 0, the point within every
# image); fy defaults to fx, the distortion to none. HOME is made when missing. ZEL_MAPPER and IMAGE_META name the
# programs to run; without them BUILD (default build/) is configured and
# built like the example's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  echo "usage: $0 FOLDER HOME --fx F --cx X --cy Y [--fy F] [--file]" >&2
  [ $# -gt 0 ] && echo "map_images: $*" >&2
  exit 2
}

number() {  # number NAME VALUE: a finite number as JSON writes it, or the usage
  [[ $2 =~ ^-?(0|[1-9][0-9]*)([.][0-9]+)?([eE][-+]?[0-9]+)?$ ]] || usage "$1 needs a number, not '$2'"
  # 1e400 is infinite as a double
  awk -v v="$2" 'BEGIN { x = v + 0; exit !(x >= -1.7976931348623157e308 && x <= 1.7976931348623157e308) }' ||
    usage "$1 needs a finite number, not '$2'"
}

[ $# -ge 2 ] || usage
folder=$1 home=$2
shift 2
fx="" fy="" cx="" cy="" file=0
while [ $# -gt 0 ]; do
  case $1 in
    --fx | --fy | --cx | --cy)
      [ $# -ge 2 ] || usage "$1 needs a value"
      number "$1" "$2"
      case $1 in --fx) fx=$2 ;; --fy) fy=$2 ;; --cx) cx=$2 ;; --cy) cy=$2 ;; esac
      shift 2 ;;
    --file) file=1; shift ;;
    *) usage "unknown argument '$1'" ;;
  esac
done
[ -n "$fx" ] && [ -n "$cx" ] && [ -n "$cy" ] || usage "--fx, --cx and --cy are needed"
[ -n "$fy" ] || fy=$fx
awk -v fx="$fx" -v fy="$fy" 'BEGIN { exit !(fx + 0 > 0 && fy + 0 > 0) }' || usage "the focal length must be positive"
awk -v cx="$cx" -v cy="$cy" 'BEGIN { exit !(cx + 0 >= 0 && cy + 0 >= 0) }' ||
  usage "the principal point must not be negative"
[ -d "$folder" ] || usage "no folder '$folder'"

shopt -s nullglob nocaseglob
images=("$(cd "$folder" && pwd)"/*.jpg "$(cd "$folder" && pwd)"/*.jpeg)
shopt -u nocaseglob
[ ${#images[@]} -gt 0 ] || usage "no JPEG images in '$folder'"
mapfile -t images < <(printf '%s\n' "${images[@]}" | LC_ALL=C sort)

mapper=${ZEL_MAPPER:-}
meta=${IMAGE_META:-}
if [ -z "$mapper" ] || [ -z "$meta" ]; then
  build=${BUILD:-$root/build}
  bash "$root/scripts/setup.sh"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target zel_mapper image_meta >/dev/null
  mapper=${mapper:-$build/src/TarnMapping/src/zel_mapper}
  meta=${meta:-$build/image_meta/image_meta}
fi

# The image sizes as exiftool reads them; the principal point lies within each image.
mapfile -t sizes < <(exiftool -n -T -ImageWidth -ImageHeight "${images[@]}")
[ ${#sizes[@]} -eq ${#images[@]} ] || { echo "map_images: exiftool could not read the image sizes" >&2; exit 1; }
for i in "${!images[@]}"; do
  read -r width height <<<"${sizes[$i]}"
  [[ $width =~ ^[0-9]+$ && $height =~ ^[0-9]+$ ]] || { echo "map_images: no image size for ${images[$i]}" >&2; exit 1; }
done
beyond=$(printf '%s\n' "${sizes[@]}" |
  awk -v cx="$cx" -v cy="$cy" '!found && (cx + 0 > $1 + 0 || cy + 0 > $2 + 0) { found = 1; print NR - 1 }')
if [ -n "$beyond" ]; then
  read -r width height <<<"${sizes[$beyond]}"
  usage "the principal point ($cx, $cy) lies beyond ${images[$beyond]}, of $width x $height pixels"
fi

mkdir -p "$home"
home=$(cd "$home" && pwd)

# The records, in name order: the first 100 KiB of each image (where its
# metadata lies) through image_meta, the calibration added where none was read.
records="$home/records.txt"
: >"$records"
calibrated=0
for i in "${!images[@]}"; do
  read -r width height <<<"${sizes[$i]}"
  line=$(head -c 102400 "${images[$i]}" | TZ=UTC "$meta" "$(printf %s "${images[$i]}" | base64 -w0)")
  jq -c -S --argjson w "$width" --argjson h "$height" --argjson fx "$fx" --argjson fy "$fy" \
    --argjson cx "$cx" --argjson cy "$cy" \
    '.frame | fromjson | if has("calibration") then . else .calibration =
       {width: $w, height: $h, fx: $fx, fy: $fy, cx: $cx, cy: $cy, k1: 0, k2: 0, k3: 0, p1: 0, p2: 0} end' \
    <<<"$line" >>"$records"
  if jq -e '.frame | fromjson | has("calibration")' <<<"$line" >/dev/null; then calibrated=$((calibrated + 1)); fi
done
echo "images: ${#images[@]} in $folder, in name order ($calibrated with their own calibration)"

if [ "$file" -eq 1 ]; then
  jq -s . "$records" >"$home/frames.json"
  dataset=$(jq -n --arg uri "$home/frames.json" '{live: false, form: "zel_frame", uri: $uri}')
  input=/dev/null
  echo "dataset file: $home/frames.json"
else
  jq -c '{frame: tojson}' "$records" >"$home/live.txt"
  dataset='{"live":true,"form":"zel_frame"}'
  input=$home/live.txt
fi
rm -f "$records"
task=$(jq -c -n --arg home "$home" --argjson dataset "$dataset" \
  '{home: $home, dataset: $dataset, locate: {method: "legacy_sfm"}, dense: {method: "legacy_pf"}, dom: {}, dsm: {}}')

# Status lines in short, as the example shows them; everything zel_mapper
# wrote stays in HOME (stdout.txt, stderr.txt, log.txt).
"$mapper" --task "$(printf '%s' "$task" | base64 -w0)" <"$input" 2>&1 >"$home/stdout.txt" |
  tee "$home/stderr.txt" |
  awk -f "$root/scripts/status_lines.awk"

state=$(grep -o '"state":-\?[0-9]*' "$home/stderr.txt" | tail -n 1 | cut -d: -f2 || true)
if [ "$state" != 12 ]; then
  echo "map_images: zel_mapper ended in state ${state:-none}; see $home/log.txt and $home/stderr.txt" >&2
  exit 1
fi
echo
echo "maps (EPSG:3857 web-map tiles, path z/z_x_y):"
echo "  DOM, orthophoto, 256 x 256 PNG:           $home/dom"
echo "  DSM, surface model, 64 x 64 float TIFF:   $home/dsm"
echo "  point cloud, 3D Tiles:                    $home/dense/tileset.json"
echo "  log:                                      $home/log.txt"

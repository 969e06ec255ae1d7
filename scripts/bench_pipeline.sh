#!/usr/bin/env bash
# Timed runs of the whole CPU pipeline on the large sample survey (36 frames,
# Release build), one run each:
#  - live dataset (image_meta's lines on standard input): frames per second
#    of the pipeline, against the dense stage alone: the same live run with
#    the stages after it idle (terrain fusion renders no tiles,
#    terrainfusion.render_mode 0, and no point-cloud writer);
#  - file dataset: the front end's time (it locates every frame before the
#    back end starts) and the back end's time apart;
#  - time per stage from the log's timing lines, and peak resident memory
#    against the bound of the tile cache;
#  - the real flight (FLIGHT, default ../shared/data/brighton-beach beside
#    the checkout; left out where absent) through scripts/map_images.sh, live
#    and with --file: wall time per frame beside the capture interval.
# BUILD names the build folder (default build-bench, configured here).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
jobs=${JOBS:-4}
bash "$root/scripts/setup.sh"
cmake -S "$root" --preset release -B "$build" >/dev/null
cmake --build "$build" -j "$jobs" --target zel_mapper sample_flight image_meta >/dev/null

work="$build/bench-pipeline"
rm -rf "$work" && mkdir -p "$work"
survey="$work/survey"
"$build/tools/sample_flight/sample_flight" --survey large --embed-metadata "$survey" >/dev/null
frames=$(ls "$survey"/frame_*.jpg | wc -l)

lines="$work/live.txt"
: >"$lines"
for f in "$survey"/frame_*.jpg; do
  head -c 102400 "$f" | TZ=UTC "$build/image_meta/image_meta" "$(printf %s "$f" | base64 -w0)" >>"$lines"
done

mapper="$build/src/TarnMapping/src/zel_mapper"
run() {  # run NAME DATASET_JSON DENSE_JSON INPUT [VAR=VALUE...]: wall seconds and peak RSS of one run
  local name=$1 dataset=$2 dense=$3 input=$4 home="$work/$1"
  shift 4
  mkdir -p "$home"
  local task="{\"home\":\"$home\",\"dataset\":$dataset,\"locate\":{\"method\":\"legacy_sfm\"},\"dense\":$dense,\"dom\":{},\"dsm\":{}}"
  /usr/bin/time -f "%e %M" -o "$home/time.txt" env "$@" "$mapper" --task "$(printf '%s' "$task" | base64 -w0)" \
    <"$input" >"$home/stdout.txt" 2>"$home/stderr.txt"
  grep '"state":' "$home/stderr.txt" | tail -n 1 | grep -q '"state":12' || { echo "bench: the $name run did not end in state 12" >&2; exit 1; }
}

live='{"live":true,"form":"zel_frame"}'
run live "$live" '{"method":"legacy_pf"}' "$lines"
run dense "$live" '{"method":"legacy_pf","tiling":null}' "$lines" terrainfusion.render_mode=0
run file "{\"live\":false,\"form\":\"zel_frame\",\"uri\":\"$survey/frames.json\"}" '{"method":"legacy_pf"}' /dev/null

# Per-stage sums of the log's timing lines.
stages() {
  awk '
    /Node:PF,  device:/ { sub(/.*time:/, ""); sub(/s$/, ""); dense += $0; nd++ }
    /Stage:Prune/ { t = $0; sub(/.*Time:/, "", t); sub(/s$/, "", t); prune += t; np++ }
    /Node:TF/ { ntf++ }
    /dom write time/ { t = $0; sub(/.*total=/, "", t); sub(/ms.*/, "", t); domw = t }
    /dem write time/ { t = $0; sub(/.*total=/, "", t); sub(/ms.*/, "", t); dsmw = t }
    /Track time cost = / { t = $0; sub(/.*= /, "", t); track = t / 1000 }
    /Task processed in / { t = $0; sub(/.*in /, "", t); sub(/ seconds.*/, "", t); task = t }
    END {
      printf "    dense pair depth: %d frames, %.2f s in all (%.3f s each, on its 4 workers)\n", nd, dense, nd ? dense / nd : 0
      printf "    pruning: %d frames, %.2f s in all\n", np, prune
      printf "    terrain fusion: %d frames taken in\n", ntf
      printf "    tile writes: DOM %s ms, DSM %s ms\n", domw, dsmw
      printf "    front end (tracking): %.2f s; whole task %.2f s; after the front end %.2f s\n", track, task, task - track
    }' "$1"
}

read -r live_s live_kb <"$work/live/time.txt"
read -r dense_s dense_kb <"$work/dense/time.txt"
read -r file_s file_kb <"$work/file/time.txt"
located=$(grep -c 'Node:TF' "$work/live/log.txt" || true)
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "large survey: $frames frames of 1368 x 912 pixels"
awk -v n="$frames" -v s="$live_s" -v d="$dense_s" 'BEGIN {
  printf "live dataset: %.1f s for %d frames: %.2f frames/s; dense stage alone %.1f s: %.2f frames/s; ratio %.2f\n",
         s, n, n / s, d, n / d, d / s }'
stages "$work/live/log.txt"
echo "dense stage alone (live):"
stages "$work/dense/log.txt"
echo "file dataset: $file_s s"
stages "$work/file/log.txt"
# The job's preset sets "terrainfusion.cache_size" to 4096 tiles.
cache_tiles=4096
cache=$(awk -v n=$cache_tiles 'BEGIN { tile = 256*256*3 + 256*256 + 64*64*4; pyr = 0; for (l = 0; l <= 6; ++l) { s = 256 / 2^l; pyr += s*s*(6 + 1) }
                     printf "%.0f", n * (tile + pyr) / 1048576 }')
echo "peak resident memory: live $((live_kb / 1024)) MiB, file $((file_kb / 1024)) MiB; tile cache bound: $cache_tiles tiles, about $cache MiB"
echo "($located frames reached terrain fusion in the live run)"

# The real flight: 18 frames of 4000 x 2250 pixels taken 7 s apart, with the
# camera of its README.
flight=${FLIGHT:-$root/../shared/data/brighton-beach}
if [ ! -d "$flight" ]; then
  echo "real flight: not found at $flight, left out"
  exit 0
fi
flight_frames=$(find "$flight" -maxdepth 1 -iname '*.jpg' | wc -l)
for mode in live file; do
  home="$work/flight-$mode"
  extra=()
  [ "$mode" = file ] && extra=(--file)
  /usr/bin/time -f "%e %M" -o "$work/flight-$mode.time" env ZEL_MAPPER="$mapper" IMAGE_META="$build/image_meta/image_meta" \
    bash "$root/scripts/map_images.sh" "$flight" "$home" --fx 2310 --cx 2000 --cy 1125 "${extra[@]}" >/dev/null ||
    { echo "bench: the real flight's $mode run did not end in state 12" >&2; exit 1; }
done
echo "machine load after the real flight: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "real flight: $flight_frames frames of 4000 x 2250 pixels, captured 7 s apart"
for mode in live file; do
  read -r script_s kb <"$work/flight-$mode.time"
  awk -v mode="$mode" -v n="$flight_frames" -v s="$script_s" -v kb="$kb" '
    /Track time cost = / { t = $0; sub(/.*= /, "", t); track = t / 1000 }
    /Adjusted [0-9]+ frames with / { t = $0; sub(/.* points in /, "", t); sub(/ s:.*/, "", t); adjust += t }
    /Task processed in / { t = $0; sub(/.*in /, "", t); sub(/ seconds.*/, "", t); task = t }
    END {
      printf "  %s: zel_mapper %.1f s, %.2f s per frame (capture interval 7 s); front end %.1f s (tracking %.1f s, adjustments of the held frames %.1f s), the rest of the task %.1f s; with the records made %.1f s; peak %d MiB\n",
             mode, task, task / n, track + adjust, track, adjust, task - track - adjust, s, kb / 1024
    }' "$work/flight-$mode/log.txt"
done

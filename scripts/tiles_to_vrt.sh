#!/usr/bin/env bash
# Georeferences the tiles of one zoom of a DOM (.png) or DSM (.tiff) tile
# folder, written as z/z_x_y, and mosaics them into one GDAL virtual raster
# (EPSG:3857; the DSM's -1e9 cells as no data) that GDAL tools and QGIS open.
# Usage: scripts/tiles_to_vrt.sh TILE_FOLDER ZOOM OUT_FOLDER  (writes OUT_FOLDER/tiles.vrt)
set -euo pipefail
if [ $# -ne 3 ]; then
  echo "usage: $0 TILE_FOLDER ZOOM OUT_FOLDER" >&2
  exit 1
fi
folder=$1 z=$2 out=$3
mkdir -p "$out"
shopt -s nullglob
tiles=("$folder/$z/${z}"_*_*.png "$folder/$z/${z}"_*_*.tiff)
if [ ${#tiles[@]} -eq 0 ]; then
  echo "$0: no tiles of zoom $z in $folder" >&2
  exit 1
fi
made=()
for tile in "${tiles[@]}"; do
  name=$(basename "$tile")
  IFS=_ read -r _ x y <<<"${name%.*}"
  nodata=()
  if [ "${name##*.}" = tiff ]; then nodata=(-a_nodata -1e9); fi
  # Web-mercator bounds of tile x, y at zoom z.
  bounds=$(awk -v z="$z" -v x="$x" -v y="$y" 'BEGIN {
    o = 20037508.342789244; s = 2 * o / 2 ^ z
    printf "%.4f %.4f %.4f %.4f", -o + x * s, o - y * s, -o + (x + 1) * s, o - (y + 1) * s }')
  # shellcheck disable=SC2086
  gdal_translate -q -of GTiff -a_srs EPSG:3857 "${nodata[@]}" -a_ullr $bounds "$tile" "$out/${name%.*}.tif"
  made+=("$out/${name%.*}.tif")
done
gdalbuildvrt -q "$out/tiles.vrt" "${made[@]}"
echo "$out/tiles.vrt"

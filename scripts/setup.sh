#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need.
# Runs apt-get only when something is missing, so a ready machine passes in seconds.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libopencv-dev libjpeg62-turbo-dev libceres-dev libsqlite3-dev libssl-dev nlohmann-json3-dev libboost-dev
  libtinyxml2-dev qtbase5-dev
  sqlite3 libimage-exiftool-perl
  proj-bin pngcheck gdal-bin time
  clang libclang-rt-14-dev
  nodejs
  opencv-doc jq
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A 3D Tiles parser for the point-cloud tileset tests: loaders.gl from the npm
# registry, kept in the project's own build-node/ folder.
root=$(cd "$(dirname "$0")/.." && pwd)
node_dir="$root/build-node"
loaders=(@loaders.gl/core@4.5.4 @loaders.gl/3d-tiles@4.5.4)
if [ ! -f "$node_dir/node_modules/@loaders.gl/3d-tiles/package.json" ] ||
   [ ! -f "$node_dir/node_modules/@loaders.gl/core/package.json" ]; then
  if ! command -v npm >/dev/null 2>&1; then
    echo "setup: installing npm"
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends npm >/dev/null
  fi
  echo "setup: installing ${loaders[*]} into $node_dir"
  mkdir -p "$node_dir"
  npm install --prefix "$node_dir" --no-audit --no-fund --silent "${loaders[@]}"
fi

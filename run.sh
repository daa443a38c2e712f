#!/usr/bin/env bash
# Installs what is missing, builds the optimised binaries and starts the program:
#   ./run.sh            the kirune dialog (or, without a display, a demonstration
#                       run of rpx on a bundled sample in a temporary folder)
#   ./run.sh FILE...    rpx on the files (compress TIFF/BMP, expand .rpx)
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
kirune_install_deps

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"

bin="$PWD/build/release/bin"
if [ $# -gt 0 ]; then
  exec "$bin/rpx" "$@"
fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$bin/kirune" ]; then
  exec "$bin/kirune"
fi

demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
cp samples/*.tif "$demo/"
echo "No display: compressing and expanding the bundled samples in $demo"
"$bin/rpx" "$demo"/*.tif
"$bin/rpx" "$demo"/*.rpx
ls -l "$demo"

#!/usr/bin/env bash
# Installs what building and running need, builds the optimised binaries and
# starts the program:
#   ./run.sh            the kirune dialog (or, without a display, a demonstration
#                       run of rpx on a bundled sample in a temporary folder)
#   ./run.sh FILE...    rpx on the files (compress TIFF/BMP, expand .rpx); the
#                       arguments are taken as given, relative to the caller's
#                       folder, and may include rpx's options
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$root/tools/deps.sh"
kirune_install_deps

# Only the programs: the tests and tools are test.sh's business.
build() {
  # On standard error, so that `./run.sh --json ...` gives only the records on standard output.
  (cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release -j "$(nproc)" --target "$@") >&2
}

bin="$root/build/release/bin"
if [ $# -gt 0 ]; then
  build rpx
  exec "$bin/rpx" "$@"
fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  build rpx kirune
  exec "$bin/kirune"
fi

build rpx
demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
cp "$root"/samples/*.tif "$demo/"
echo "No display: compressing and expanding the bundled samples in $demo"
"$bin/rpx" "$demo"/*.tif
"$bin/rpx" "$demo"/*.rpx
ls -l "$demo"

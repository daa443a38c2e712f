#!/usr/bin/env bash
# Installs what is missing, builds the optimised binaries and starts the main job.
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
kirune_install_deps

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"

bin=build/release/bin
if [ -x "$bin/kirune" ]; then
  exec "$bin/kirune" "$@"
elif [ -x "$bin/rpx" ]; then
  exec "$bin/rpx" "$@"
else
  echo "Built the codec libraries and tests under build/release; the kirune dialog and the rpx command are not part of this build yet."
fi

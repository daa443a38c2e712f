#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the optimised
# build, then the whole suite again under AddressSanitizer/UBSan.
# Set KIRUNE_SKIP_ASAN=1 to run only the optimised build.
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
kirune_install_deps

jobs=$(nproc)
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs"

if [ "${KIRUNE_SKIP_ASAN:-0}" != "1" ]; then
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j "$jobs"
  ctest --preset asan -j "$jobs"
fi

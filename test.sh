#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the optimised
# build, then again with the scalar paths only (no vector code, no dialog),
# then the whole suite under AddressSanitizer/UBSan, then a short run of each
# fuzz target over its seeds and committed crash inputs.
# Set KIRUNE_SKIP_SCALAR=1, KIRUNE_SKIP_ASAN=1 or KIRUNE_SKIP_FUZZ=1 to leave
# those out, and KIRUNE_FUZZ_SECONDS to change the fuzzing time per target
# (default 25).
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
kirune_install_deps "${kirune_test_packages[@]}"

jobs=$(nproc)
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs"

if [ "${KIRUNE_SKIP_SCALAR:-0}" != "1" ]; then
  cmake --preset scalar >/dev/null
  cmake --build --preset scalar -j "$jobs"
  ctest --preset scalar -j "$jobs"
fi

if [ "${KIRUNE_SKIP_ASAN:-0}" != "1" ]; then
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j "$jobs"
  ctest --preset asan -j "$jobs"
fi

if [ "${KIRUNE_SKIP_FUZZ:-0}" != "1" ]; then
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  fuzz/run.sh "${KIRUNE_FUZZ_SECONDS:-25}"
fi

#!/usr/bin/env bash
# Installs the Debian packages Kirune needs, only when one is missing, so
# repeated runs cost nothing. Sourced by run.sh (what building and running
# need) and test.sh (that plus what the tests, benchmarks and fuzzers need).

# Building and running rpx and the dialog: the compiler and build tools, and
# what CMake's find_package calls of the programs require (libtiff, xxHash,
# CLI11, libpng for the thumbnailer, Qt 6), the fonts and Qt's translations
# for the dialog, gettext for the messages' catalogue, gdk-pixbuf for the
# image viewers' .rpx loader, and pybind11 and numpy for the Python module.
kirune_run_packages=(
  g++ cmake ninja-build
  libtiff-dev libxxhash-dev libcli11-dev libpng-dev
  qt6-base-dev qt6-translations-l10n fonts-noto-cjk
  gettext
  pkg-config libgdk-pixbuf-2.0-dev
  pybind11-dev python3-dev python3-numpy
)

# The tests and their tools; CMake skips tests/ and bench/ without GoogleTest
# and Google Benchmark, so a run-only install still configures.
kirune_test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth imagemagick
  libimage-exiftool-perl
  bzip2 libbz2-dev
  python3 universal-ctags
  desktop-file-utils bash-completion
  clang-14 libclang-rt-14-dev
  python3-gi gir1.2-gdkpixbuf-2.0 eog dbus-daemon
  python3-pytest python3-dask python3-distributed parallel jq
)

# kirune_install_deps [PACKAGE...]: the run packages and the ones named.
kirune_install_deps() {
  local missing=()
  local p
  for p in "${kirune_run_packages[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq || return 1
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" || return 1
}

#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when one is
# missing, so repeated runs cost nothing. Sourced by run.sh and test.sh.

kirune_packages=(
  g++ cmake ninja-build pkg-config
  libtiff-dev libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev fonts-noto-cjk
  xvfb xauth imagemagick
  libimage-exiftool-perl
  bzip2 libbz2-dev
  libxxhash-dev
  gettext
  python3 universal-ctags
  clang-14 libclang-rt-14-dev
)

kirune_install_deps() {
  local missing=()
  local p
  for p in "${kirune_packages[@]}" "$@"; do
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

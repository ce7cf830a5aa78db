#!/usr/bin/env bash
# Installs, only when missing, every Debian package that the build, the tests
# and the benchmarks need. Safe to run again; meant for root on Debian 12.
set -euo pipefail

packages=(
  build-essential cmake ccache pkg-config clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  liblapack-dev libopenblas-dev
  libcvd-dev libboost-thread-dev libboost-date-time-dev
  libtoon-dev
  libopencv-dev libeigen3-dev libceres-dev
  libglu1-mesa-dev freeglut3-dev libglew-dev libx11-dev xvfb xauth xfonts-base xdotool
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"

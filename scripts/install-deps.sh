#!/usr/bin/env bash
# Installs what the build and the tests need on Debian/Ubuntu (run as root, or with sudo).
# The library itself needs only a C++17 compiler and CMake; everything else is for the
# tests, whose oracles and peers are zlib, libpng, libjpeg-turbo, qpdf and poppler.
set -euo pipefail
pkgs=(build-essential cmake libgtest-dev zlib1g-dev libpng-dev libjpeg-dev
      qpdf poppler-utils libjpeg-turbo-progs pngcheck)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq || true
  $SUDO apt-get install -y -qq "${missing[@]}"
fi

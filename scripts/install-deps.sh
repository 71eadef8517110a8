#!/usr/bin/env bash
# Installs what the build and the tests need on Debian/Ubuntu. Run it as root or as a user
# with sudo: it calls sudo itself, and only when it is not root and a package is missing.
# The library itself needs only a C++17 compiler and CMake; everything else is for the
# tests, whose oracles and peers are zlib, libpng, libjpeg-turbo, libtiff (its tools),
# ImageMagick, Pillow, pikepdf, qpdf and poppler, and for the checks of scripts/test.sh:
# pkg-config and man-db (package), MinGW-w64 and wine (windows), pytest, venv, pip,
# setuptools, wheel and Dask distributed (python: the package is installed into a venv
# and tested there).
set -euo pipefail
pkgs=(build-essential cmake libgtest-dev zlib1g-dev libpng-dev libjpeg-dev
      qpdf poppler-utils libjpeg-turbo-progs pngcheck locales libtiff-tools imagemagick
      pkg-config man-db g++-mingw-w64-x86-64 wine wine64 python3-pytest
      python3-pikepdf python3-pil python3-venv python3-pip python3-setuptools python3-wheel
      python3-distributed)
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

# A decimal-comma locale for the test that numbers in documents ignore LC_NUMERIC.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  if [ -f /etc/locale.gen ]; then
    $SUDO sed -i 's/^# *\(de_DE\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^de_DE\.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    $SUDO locale-gen >/dev/null
  else
    $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
  fi
fi

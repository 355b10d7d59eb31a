#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# Usage: scripts/deps.sh [extra-package ...]
set -euo pipefail
packages=(cmake make g++ zlib1g-dev libdeflate-dev libgtest-dev pkg-config teem-apps python3-nibabel python3-numpy python3-dev pybind11-dev python3-pytest imagemagick
  libcpp-httplib-dev chromium chromium-driver python3-selenium python3-psutil
  libtiff-dev libtiff-tools python3-tifffile libij-java default-jdk-headless libnifti2-dev
  libgdcm-dev libgdcm-tools python3-pydicom dcm2niix "$@")
# the Python package's Dask layer
packages+=(python3-dask python3-distributed)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi

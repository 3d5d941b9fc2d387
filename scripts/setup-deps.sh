#!/usr/bin/env bash
# Installs the Debian packages faceprobe needs. Idempotent: packages already
# present are left alone.
# Usage: setup-deps.sh [demo]
#   demo: only what building and running faceprobe needs;
#   otherwise also faceprobe-batch, faceprobe-serve and the tests.
set -euo pipefail

# The OpenCV modules the code includes, not libopencv-dev, which pulls in
# every module. dlib's CMake files name the BLAS and LAPACK development links,
# which libdlib-dev does not depend on.
packages=(
  build-essential cmake ca-certificates
  libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
  libopencv-objdetect-dev libopencv-calib3d-dev opencv-data
  libdlib-dev libdlib-data libblas-dev liblapack-dev
)
if [ "${1:-}" != demo ]; then
  packages+=(
    libgtest-dev
    libboost-dev nlohmann-json3-dev libcli11-dev
    curl python3-pandas time
  )
fi
# Callers add what only they need: EXTRA_PACKAGES="a b" setup-deps.sh
read -r -a extra <<<"${EXTRA_PACKAGES:-}"
packages+=("${extra[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"

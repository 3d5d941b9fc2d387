#!/usr/bin/env bash
# Installs every Debian package faceprobe needs to build, run and test.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libopencv-dev opencv-data
  libdlib-dev libdlib-data
  libgtest-dev
  libboost-dev nlohmann-json3-dev libcli11-dev
  curl slowhttptest
  python3-pandas
  clang libclang-rt-14-dev
  ca-certificates
  time
)
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

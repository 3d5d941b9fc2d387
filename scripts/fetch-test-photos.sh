#!/usr/bin/env bash
# Brings the public-domain test photos out of Debian packages into a folder,
# without installing the packages: apt-get download + dpkg-deb -x.
# Usage: fetch-test-photos.sh DEST_DIR [NAME...]  (default: every photo)
set -euo pipefail

dest=${1:?usage: fetch-test-photos.sh DEST_DIR [NAME...]}
shift
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)

# photo name | package | path inside the package
photos=(
  "grace_hopper.jpg|python-matplotlib-data|usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg"
  "astronaut.png|python3-imageio|usr/lib/python3/dist-packages/imageio/resources/images/astronaut.png"
  "einstein.jpg|r-cran-openxlsx|usr/lib/R/site-library/openxlsx/extdata/einstein.jpg"
)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"   # apt's download user must be able to write here

for entry in "${photos[@]}"; do
  IFS='|' read -r name pkg inner <<<"$entry"
  [ $# -eq 0 ] || [[ " $* " == *" $name "* ]] || continue
  [ -s "$dest/$name" ] && continue
  (cd "$work" && apt-get download -q "$pkg" >/dev/null 2>&1) || {
    apt-get update -q >/dev/null 2>&1 || true
    (cd "$work" && apt-get download -q "$pkg" >/dev/null)
  }
  mkdir -p "$work/x-$pkg"
  dpkg-deb -x "$work/${pkg}"_*.deb "$work/x-$pkg"
  cp "$work/x-$pkg/$inner" "$dest/$name"
done
echo "test photos in $dest"

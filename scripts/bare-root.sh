# Sourced by the scripts that try the project on a bare Debian system.
# bare_root DIR: a debootstrap --variant=minbase bookworm system in DIR, from
# the archive apt uses here (made once and cached in build/debootstrap/
# base.tar), with the machine's apt sources, /proc and /dev mounted, and apt's
# lists fetched. bare_root_remove DIR undoes it; in_root DIR CMD runs CMD
# there with a clean environment. Needs root.
bare_root() {
  local root=$1 cache=${BUILD_DIR:-$here/build}/debootstrap mirror
  # The archive of the machine's own apt sources (deb822 or one-line form).
  mirror=$(awk '/^URIs:/ && !/security/ {print $2; exit}' /etc/apt/sources.list.d/*.sources \
    2>/dev/null || true)
  [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $3 ~ /^bookworm$/ {print $2; exit}' \
    /etc/apt/sources.list 2>/dev/null || true)
  [ -n "$mirror" ] || mirror=http://deb.debian.org/debian
  mkdir -p "$cache"
  if [ ! -s "$cache/base.tar" ]; then
    rm -rf "$cache/make"
    debootstrap --variant=minbase bookworm "$cache/make" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
      { tail -20 "$cache/debootstrap.log"; echo "debootstrap failed" >&2; return 1; }
    tar -C "$cache/make" -cf "$cache/base.tar.part" .
    mv "$cache/base.tar.part" "$cache/base.tar"
    rm -rf "$cache/make"
  fi
  tar -C "$root" -xf "$cache/base.tar"
  # The machine's own sources, with their updates and security suites.
  if cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/" 2>/dev/null; then
    rm -f "$root/etc/apt/sources.list"
  else
    cp /etc/apt/sources.list "$root/etc/apt/"
  fi
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  mount -t proc proc "$root/proc"
  mount --bind /dev "$root/dev"
  in_root "$root" apt-get update -q >/dev/null
}

bare_root_remove() {
  local root=$1 mount
  for mount in proc dev; do umount -l "$root/$mount" 2>/dev/null || true; done
  rm -rf --one-file-system "$root"
}

in_root() {
  local root=$1
  shift
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"
}

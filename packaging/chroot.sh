#!/usr/bin/env bash
# Makes (once) and refreshes a Debian chroot to build or test in, kept outside the checkout.
#   packaging/chroot.sh SUITE [ARCH] -- PACKAGES...   prints the chroot's folder
#   packaging/chroot.sh --host-tools                    only installs debootstrap on this machine
#                                                       (before making several chroots at once)
# The chroot is $KORVANE_CHROOTS/SUITE-ARCH (default /var/cache/korvane/chroots). A stamp holding
# the package list makes a later call with the same list return at once; a missing chroot is made
# from scratch with debootstrap (a foreign ARCH runs under qemu-user through binfmt_misc). Needs root.
set -euo pipefail
need_host_package() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed" && return
  printf '[chroot] installing %s on the host\n' "$1" >&2
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$1" >/dev/null
}
if [ "${1:-}" = --host-tools ]; then
  need_host_package debootstrap
  exit 0
fi
suite=$1; shift
arch=$(dpkg --print-architecture)
if [ $# -gt 0 ] && [ "$1" != "--" ]; then arch=$1; shift; fi
[ "${1:-}" = "--" ] && shift
packages=("$@")
root=${KORVANE_CHROOTS:-/var/cache/korvane/chroots}/$suite-$arch
mirror=${KORVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
log() { printf '[chroot %s-%s] %s\n' "$suite" "$arch" "$*" >&2; }

# One caller at a time makes or changes a chroot: the folder is shared by every checkout on the
# machine (and by CI's clone), and two package installs at once would fight over its dpkg lock.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9

if [ ! -e "$root/.korvane-ready" ]; then
  need_host_package debootstrap
  foreign=()
  if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    need_host_package qemu-user-static
    need_host_package binfmt-support
    foreign=(--foreign)
  fi
  log "making the chroot from scratch in $root"
  rm -rf "$root" && mkdir -p "$root"
  # Not niced: it mostly waits on downloads, and the builds it runs beside would starve it. The
  # packages it downloads are kept, so making a chroot again downloads only what changed.
  downloads=$(dirname "$root")/debootstrap-downloads
  mkdir -p "$downloads"
  debootstrap --variant=minbase --arch="$arch" --cache-dir="$downloads" "${foreign[@]}" "$suite" "$root" "$mirror" >"$root.log" 2>&1 ||
    { tail -20 "$root.log" >&2; exit 1; }
  if [ ${#foreign[@]} -gt 0 ]; then
    chroot "$root" /debootstrap/debootstrap --second-stage >>"$root.log" 2>&1 || { tail -20 "$root.log" >&2; exit 1; }
  fi
  touch "$root/.korvane-ready"
fi

# Package installs need the host's name resolution. The archive's mirror may serve a release file
# past its validity date (a snapshot): accept it, as the host's own apt does.
cp /etc/resolv.conf "$root/etc/resolv.conf"
echo 'Acquire::Check-Valid-Until "false";' > "$root/etc/apt/apt.conf.d/99korvane"
stamp=$root/.korvane-packages
if [ "$(cat "$stamp" 2>/dev/null)" != "${packages[*]}" ]; then
  log "installing ${packages[*]}"
  chroot "$root" env DEBIAN_FRONTEND=noninteractive sh -c \
    'apt-get update -qq && apt-get install -y -qq --no-install-recommends "$@"' sh "${packages[@]}" >>"$root.log" 2>&1 ||
    { tail -20 "$root.log" >&2; exit 1; }
  echo "${packages[*]}" > "$stamp"
fi
# The certificate authorities added to this machine (a company's, an intercepting proxy's) are
# trusted inside too, so pip reaches the package index from there as it does from here.
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null && [ -x "$root/usr/sbin/update-ca-certificates" ]; then
  mkdir -p "$root/usr/local/share/ca-certificates"
  if ! diff -rq /usr/local/share/ca-certificates "$root/usr/local/share/ca-certificates" >/dev/null 2>&1; then
    cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
    chroot "$root" update-ca-certificates >/dev/null 2>&1
  fi
fi
echo "$root"

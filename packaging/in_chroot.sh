#!/usr/bin/env bash
# Runs a command inside a chroot made by packaging/chroot.sh, with the checkout at /src (read-only)
# and the folder OUT at /out (read-write), in a private mount namespace: nothing stays mounted after.
#   packaging/in_chroot.sh ROOT OUT COMMAND [ARGS...]
set -euo pipefail
root=$1 out=$2; shift 2
checkout=$(dirname "$(dirname "$(readlink -f "$0")")")
mkdir -p "$root/src" "$root/out" "$out"
cp /etc/resolv.conf "$root/etc/resolv.conf"
exec unshare --mount --propagation private bash -c '
  set -euo pipefail
  root=$1 checkout=$2 out=$3; shift 3
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/tmp"
  mount --bind "$checkout" "$root/src" && mount -o remount,bind,ro "$root/src"
  mount --bind "$out" "$root/out"
  exec chroot "$root" env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 "$@"
' bash "$root" "$checkout" "$out" "$@"

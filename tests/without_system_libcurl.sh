#!/usr/bin/env bash
# Runs a command in a private mount namespace in which the system's libcurl cannot be loaded: every
# libcurl.so* file in the usual library folders is covered by /dev/null. Paths given in
# KORVANE_ALSO_HIDE (colon-separated) are covered too. Needs root and unshare(1); the rest of the
# machine is left as it was.
#   tests/without_system_libcurl.sh COMMAND [ARGS...]
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
exec unshare --mount --propagation private bash -c '
  set -euo pipefail
  shopt -s nullglob
  for file in /lib/*/libcurl*.so* /lib64/libcurl*.so* /usr/lib/libcurl*.so* /usr/lib/*/libcurl*.so* \
              /usr/lib64/libcurl*.so* /usr/local/lib/libcurl*.so*; do
    real=$(readlink -f "$file")
    [ -f "$real" ] || continue
    mount --bind /dev/null "$real"
  done
  IFS=: read -r -a extra <<< "${KORVANE_ALSO_HIDE:-}"
  for file in "${extra[@]}"; do
    [ -e "$file" ] && mount --bind /dev/null "$file"
  done
  unset KORVANE_ALSO_HIDE
  exec "$@"
' bash "$@"

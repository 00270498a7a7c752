#!/usr/bin/env bash
# The wheels and the source build where users are, on this machine, in Debian chroots made from
# scratch when missing and kept in /var/cache/korvane/ (packaging/chroot.sh). Needs root.
#   packaging/elsewhere.sh pythons        makes sid's CPython 3.14 and 3.15 runnable here, for ./run
#                                         wheels to build their wheels with (python_from_chroot.sh)
#   packaging/elsewhere.sh test PYTHON    with build/wheels/ made: tests the 3.13 wheel on trixie and
#                                         the 3.14 and 3.15 wheels on sid with their own Pythons, and
#                                         installs the source distribution on sid's 3.14 with GCC
#                                         (tests run) and clang. PYTHON: one with scikit-build-core.
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
checkout=$(dirname "$here")
SID_PACKAGES=(build-essential clang libcurl4-openssl-dev nlohmann-json3-dev cmake ninja-build
  python3.14-dev python3.14-venv python3.15-dev python3.15-venv ca-certificates)
TRIXIE_PACKAGES=(python3.13 python3.13-venv binutils ca-certificates)
log() { printf '[elsewhere] %s\n' "$*" >&2; }
timed() {
  local started=$SECONDS
  "$@"
  log "$* took $((SECONDS - started)) s"
}

case ${1:-} in
  pythons)
    sid=$("$here/chroot.sh" sid -- "${SID_PACKAGES[@]}")
    "$here/python_from_chroot.sh" 3.14 "$sid" >/dev/null
    "$here/python_from_chroot.sh" 3.15 "$sid" >/dev/null
    ;;
  test)
    sid=$("$here/chroot.sh" sid -- "${SID_PACKAGES[@]}")
    trixie=$("$here/chroot.sh" trixie -- "${TRIXIE_PACKAGES[@]}")
    out=$checkout/build
    timed "$here/in_chroot.sh" "$trixie" "$out" /src/packaging/check_wheel.sh python3.13
    for minor in 3.14 3.15; do
      timed "$here/in_chroot.sh" "$sid" "$out" /src/packaging/check_wheel.sh "python$minor"
    done
    "$here/sdist.sh" "$2" "$out/sdist" >/dev/null
    timed "$here/in_chroot.sh" "$sid" "$out" /src/packaging/check_source_build.sh python3.14
    ;;
  *)
    sed -n '2,11p' "$0" >&2
    exit 2
    ;;
esac

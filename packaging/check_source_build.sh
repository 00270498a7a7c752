#!/usr/bin/env bash
# Run inside a chroot (packaging/in_chroot.sh), on the source distribution /out/sdist/*.tar.gz:
#   check_source_build.sh install PYTHON   installs it with pip's default build isolation (its build
#                                          requirements fetched from the package index into a fresh
#                                          environment; nothing else needed from the network) and the
#                                          distribution's compiler, then runs the public-surface and
#                                          end-to-end tests against it
#   check_source_build.sh clang PYTHON     builds it with clang, unpacked into a fixed folder so that
#                                          ccache (kept in the chroot) serves what an earlier run
#                                          compiled
set -euo pipefail
mode=$1 python=$2
sdist=$(ls /out/sdist/korvane_sdk-*.tar.gz)
export PYTHONDONTWRITEBYTECODE=1 PIP_DISABLE_PIP_VERSION_CHECK=1
case $mode in
  install)
    venv=/tmp/source-build
    echo "[source build] $("$python" -V), $(gcc --version | head -1), $(curl-config --version 2>/dev/null || echo libcurl)"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q "$sdist" "pytest>=8" "pytest-httpserver>=1.0" "pytest-asyncio>=0.23" "anyio>=4"
    # The environment never had the build requirements: the build above had its own.
    if "$venv/bin/python" -c 'import scikit_build_core' 2>/dev/null; then
      echo "[source build] scikit-build-core is in the environment: the build was not isolated" >&2
      exit 1
    fi
    cd /src/tests
    "$venv/bin/python" -m pytest -q -p no:cacheprovider core e2e
    ;;
  clang)
    venv=/tmp/clang-build src=/tmp/korvane_sdk
    echo "[source build] with $(clang --version | head -1)"
    "$python" -m venv "$venv"
    mkdir -p "$src" && tar -xzf "$sdist" -C "$src" --strip-components=1
    # The build requirements the source distribution declares.
    requires=$("$venv/bin/python" -c 'import sys, tomllib
print("\n".join(tomllib.load(open(sys.argv[1], "rb"))["build-system"]["requires"]))' "$src/pyproject.toml")
    mapfile -t requires <<<"$requires"
    "$venv/bin/python" -m pip install -q "${requires[@]}"
    CC=clang CXX=clang++ CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache \
      CCACHE_DIR=/var/cache/ccache CCACHE_BASEDIR=/tmp CCACHE_MAXSIZE=1G \
      "$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w /tmp/clang-wheel "$src"
    echo "[source build] built with clang: $(ls /tmp/clang-wheel); ccache: $(CCACHE_DIR=/var/cache/ccache ccache -s | grep -i -E '^ *hits|cache hit \(rate\)|Hits:' | head -1 | tr -s ' ')"
    ;;
  *)
    sed -n '2,11p' "$0" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# Run inside a chroot (packaging/in_chroot.sh): installs the source distribution /out/sdist/*.tar.gz
# with pip's default build isolation (fetching its build requirements from the package index) and
# the distribution's compiler, runs the public-surface and end-to-end tests against it, then builds
# it once more with clang.
#   check_source_build.sh PYTHON
set -euo pipefail
python=$1
sdist=$(ls /out/sdist/korvane_sdk-*.tar.gz)
venv=/tmp/source-build
export PYTHONDONTWRITEBYTECODE=1 PIP_DISABLE_PIP_VERSION_CHECK=1
echo "[source build] $("$python" -V), $(gcc --version | head -1), $(curl-config --version 2>/dev/null || echo libcurl)"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q "$sdist" "pytest>=8" "pytest-httpserver>=1.0"
cd /src/tests
"$venv/bin/python" -m pytest -q -p no:cacheprovider core e2e
echo "[source build] again with $(clang --version | head -1)"
CC=clang CXX=clang++ "$venv/bin/python" -m pip wheel -q --no-deps -w /tmp/clang-wheel "$sdist"
echo "[source build] built with clang: $(ls /tmp/clang-wheel)"

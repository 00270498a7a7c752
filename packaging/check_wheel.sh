#!/usr/bin/env bash
# Run inside a chroot (packaging/in_chroot.sh): installs the wheel for PYTHON from /out/wheels/ into a
# fresh environment and runs the public-surface and end-to-end tests there, from /src/tests.
#   check_wheel.sh PYTHON
set -euo pipefail
python=$1
tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(ls /out/wheels/korvane_sdk-*-"$tag"-*.whl)
venv=/tmp/wheel-test
export PYTHONDONTWRITEBYTECODE=1 PIP_DISABLE_PIP_VERSION_CHECK=1
. /etc/os-release
echo "[wheel] $(basename "$wheel") on $PRETTY_NAME, $("$python" -V)"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q "$wheel" "pytest>=8" "pytest-httpserver>=1.0"
cd /src/tests
"$venv/bin/python" -m pytest -q -p no:cacheprovider core e2e

#!/usr/bin/env bash
# Run inside a chroot (packaging/in_chroot.sh): installs the wheel for PYTHON from /out/wheels/ into a
# fresh environment and runs tests from /src/tests there (default: the public-surface and end-to-end
# tests, core and e2e).
#   check_wheel.sh PYTHON [TEST PATHS...]
set -euo pipefail
python=$1; shift
tests=("$@")
[ ${#tests[@]} -gt 0 ] || tests=(core e2e)
tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(ls /out/wheels/korvane_sdk-*-"$tag"-*.whl)
venv=/tmp/wheel-test
export PYTHONDONTWRITEBYTECODE=1 PIP_DISABLE_PIP_VERSION_CHECK=1
. /etc/os-release
echo "[wheel] $(basename "$wheel") on $PRETTY_NAME, $("$python" -V): ${tests[*]}"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q "$wheel" "pytest>=8" "pytest-httpserver>=1.0" "pytest-asyncio>=0.23" "anyio>=4"
cd /src/tests
"$venv/bin/python" -m pytest -q -p no:cacheprovider "${tests[@]}"

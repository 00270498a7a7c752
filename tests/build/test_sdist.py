"""packaging/sdist.sh: the source distribution carries the pinned simdjson archive and nlohmann/json's
headers, and builds offline without nlohmann-json3-dev."""

import os
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CMAKE = shutil.which("cmake", path=str(Path(sys.executable).parent)) or shutil.which("cmake")

pytestmark = pytest.mark.skipif(
    not (ROOT / "packaging" / "sdist.sh").is_file() or not CMAKE, reason="needs the checkout and cmake"
)


@pytest.fixture(scope="module")
def unpacked(tmp_path_factory):
    pytest.importorskip("scikit_build_core")
    dest = tmp_path_factory.mktemp("sdist")
    done = subprocess.run(
        [str(ROOT / "packaging" / "sdist.sh"), sys.executable, str(dest)], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    (archive,) = dest.glob("korvane_sdk-*.tar.gz")
    with tarfile.open(archive) as tar:
        names = tar.getnames()
        tar.extractall(dest, filter="data")
    return dest / archive.name.removesuffix(".tar.gz"), names


def test_the_sdist_holds_the_sources_and_the_pinned_archive_but_no_build_output(unpacked):
    folder, names = unpacked
    top = folder.name
    assert f"{top}/third_party/pysimdjson-7.0.2.tar.gz" in names
    assert f"{top}/third_party/nlohmann_json/include/nlohmann/json.hpp" in names
    assert f"{top}/third_party/nlohmann_json/include/nlohmann/detail/macro_scope.hpp" in names
    assert f"{top}/src/http/curl_api.hpp" in names and f"{top}/emulator/CMakeLists.txt" in names
    assert not [name for name in names if name.startswith((f"{top}/build/", f"{top}/.venv/")) or name.endswith(".so")]


def test_a_build_from_the_sdist_takes_simdjson_from_it_without_the_network(unpacked, tmp_path):
    folder, _ = unpacked
    project = tmp_path / "project"
    project.mkdir()
    (project / "CMakeLists.txt").write_text(
        f'cmake_minimum_required(VERSION 3.18)\nproject(probe CXX)\ninclude("{folder}/cmake/simdjson.cmake")\n'
    )
    # An empty fetch folder and an index that cannot be reached: only the bundled archive can serve.
    env = dict(os.environ, PIP_INDEX_URL="http://127.0.0.1:9/simple")
    done = subprocess.run(
        [CMAKE, "-S", str(project), "-B", str(tmp_path / "out"), f"-DKORVANE_THIRD_PARTY_DIR={tmp_path / 'fetched'}"],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert (tmp_path / "fetched" / "pysimdjson-7.0.2" / "simdjson.h").is_file()


def test_the_stand_in_from_the_sdist_needs_no_system_json_package(unpacked, tmp_path):
    folder, _ = unpacked
    # As on a machine without nlohmann-json3-dev: the system's package cannot be found.
    no_system_json = "-DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON"
    done = subprocess.run(
        [CMAKE, "-S", str(folder / "emulator"), "-B", str(tmp_path / "out"), no_system_json],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert f"nlohmann/json: the copy in {folder}" in done.stdout

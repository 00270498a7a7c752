"""cmake/fetch_simdjson.py: the pinned simdjson pair, fetched once from the package index, checked, kept."""

import hashlib
import io
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "cmake" / "fetch_simdjson.py"
NAME = "pysimdjson-7.0.2"
ARCHIVE = f"{NAME}.tar.gz"


def sdist(parts=None):
    parts = parts if parts is not None else {"simdjson.h": b"// header\n", "simdjson.cpp": b"// source\n"}
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w:gz") as tar:
        for name, content in {**parts, "setup.py": b""}.items():
            folder = "" if name == "setup.py" else "simdjson/"
            info = tarfile.TarInfo(f"{NAME}/{folder}{name}")
            info.size = len(content)
            tar.addfile(info, io.BytesIO(content))
    return data.getvalue()


def fetch(dest, index_url, sha256):
    env = {"PATH": "/usr/bin:/bin", "PIP_INDEX_URL": index_url}
    return subprocess.run(
        [sys.executable, str(SCRIPT), str(dest), "pysimdjson", "7.0.2", sha256],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )


@pytest.fixture
def index(httpserver):
    """Serves one archive through the simple API, as JSON or as HTML."""

    def serve(archive, form="json"):
        url = httpserver.url_for(f"/files/{ARCHIVE}")
        if form == "json":
            httpserver.expect_request("/simple/pysimdjson/").respond_with_json(
                {"files": [{"filename": "other.tar.gz", "url": "/elsewhere"}, {"filename": ARCHIVE, "url": url}]},
                content_type="application/vnd.pypi.simple.v1+json",
            )
        else:
            httpserver.expect_request("/simple/pysimdjson/").respond_with_data(
                f'<html><body><a href="../../files/{ARCHIVE}#sha256=x">{ARCHIVE}</a></body></html>',
                content_type="text/html",
            )
        httpserver.expect_request(f"/files/{ARCHIVE}").respond_with_data(archive)
        return httpserver.url_for("/simple")

    return serve


@pytest.mark.parametrize("form", ["json", "html"])
def test_the_pair_is_unpacked_and_later_runs_need_no_index(index, tmp_path, form):
    archive = sdist()
    sha = hashlib.sha256(archive).hexdigest()
    done = fetch(tmp_path, index(archive, form), sha)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / NAME / "simdjson.h").read_bytes() == b"// header\n"
    assert (tmp_path / NAME / "simdjson.cpp").read_bytes() == b"// source\n"
    assert not list(tmp_path.rglob("*.part"))
    # Offline afterwards: an index that does not answer is never asked.
    assert fetch(tmp_path, "http://127.0.0.1:9/simple", sha).returncode == 0
    # A kept archive is unpacked again without the index when the pair is gone.
    (tmp_path / NAME / "simdjson.h").unlink()
    assert fetch(tmp_path, "http://127.0.0.1:9/simple", sha).returncode == 0
    assert (tmp_path / NAME / "simdjson.h").is_file()


def test_an_archive_that_is_not_the_pinned_one_is_refused_and_not_kept(index, tmp_path):
    done = fetch(tmp_path, index(sdist()), "0" * 64)
    assert done.returncode != 0
    assert "is not the pinned" in done.stderr
    assert not (tmp_path / NAME).exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == []


def test_an_archive_without_the_pair_fails_without_leaving_half_of_it(index, tmp_path):
    archive = sdist({"simdjson.h": b"// header only\n"})
    done = fetch(tmp_path, index(archive), hashlib.sha256(archive).hexdigest())
    assert done.returncode != 0 and "holds no pysimdjson-7.0.2/simdjson/simdjson.cpp" in done.stderr
    assert list((tmp_path / NAME).iterdir()) == []


def test_an_index_without_the_archive_names_what_is_missing(httpserver, tmp_path):
    httpserver.expect_request("/simple/pysimdjson/").respond_with_json(
        {"files": []}, content_type="application/vnd.pypi.simple.v1+json"
    )
    done = fetch(tmp_path, httpserver.url_for("/simple"), "0" * 64)
    assert done.returncode != 0 and f"{ARCHIVE} is not listed" in done.stderr

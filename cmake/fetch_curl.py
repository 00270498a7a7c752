"""Fetches libcurl's source (lib/, include/, its CMake build) for the wheels' lean libcurl.

    python fetch_curl.py DEST DISTRIBUTION VERSION SHA256 INNER_SHA256 CURL_VERSION

The package index carries no release of curl itself; the CMake source distribution on it carries
the CMake source release, which vendors a whole libcurl (Utilities/cmcurl: curl's lib/, include/,
CMake/ and its CMakeLists.txt, with a preamble that picks CMake's own features). The outer archive
is checked against SHA256, the CMake release inside it against INNER_SHA256, and the libcurl inside
that against CURL_VERSION (include/curl/curlver.h), before anything is unpacked. The curl tree goes
to DEST/curl-CURL_VERSION/, its CMakeLists.txt without that preamble (the original is kept beside it
as CMakeLists.vendor.txt): cmake/curl.cmake chooses the features instead. The outer archive is kept
in DEST, so later builds work offline. Only the standard library is used.
"""

from __future__ import annotations

import hashlib
import io
import os
import re
import shutil
import sys
import tarfile
import urllib.parse
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from fetch_simdjson import DEFAULT_INDEX, archive_url, download, sha256_of  # noqa: E402

# Where the vendor's own choices end and curl's build begins, in the vendored CMakeLists.txt.
PREAMBLE_END = "# Disable warnings to avoid changing 3rd party code.\n"
VERSION_LINE = re.compile(r'^#define LIBCURL_VERSION "([^"]+)"$', re.MULTILINE)


def without_preamble(text: str) -> str:
    if text.count(PREAMBLE_END) != 1:
        raise SystemExit("the vendored curl CMakeLists.txt no longer has the expected preamble; check cmake/curl.cmake")
    return text[text.index(PREAMBLE_END) :]


def inner_release(archive: Path, name: str, expected: str) -> bytes:
    """The CMake source release inside the source distribution, checked against its pin."""
    member = f"{name}/archive-cache/{name}.tar.gz"
    with tarfile.open(archive, "r:gz") as outer:
        try:
            source = outer.extractfile(member)
        except KeyError:
            raise SystemExit(f"{archive.name} holds no {member}") from None
        if source is None:
            raise SystemExit(f"{archive.name}: {member} is not a regular file")
        data = source.read()
    actual = hashlib.sha256(data).hexdigest()
    if actual != expected:
        raise SystemExit(f"{member}: sha256 {actual} is not the pinned {expected}")
    return data


def unpack(release: bytes, cmake_name: str, curl_version: str, folder: Path) -> None:
    """Unpacks into a fresh folder beside the final one, renamed into place once complete."""
    prefix = f"{cmake_name}/Utilities/cmcurl/"
    staging = folder.with_name(folder.name + ".part")
    if staging.exists():
        shutil.rmtree(staging)
    with tarfile.open(fileobj=io.BytesIO(release), mode="r:gz") as tar:
        members = [m for m in tar.getmembers() if m.name.startswith(prefix) and (m.isfile() or m.isdir())]
        files = {m.name[len(prefix) :]: m for m in members if m.isfile()}
        header = files.get("include/curl/curlver.h")
        if header is None or "CMakeLists.txt" not in files:
            raise SystemExit(f"the CMake release holds no libcurl under {prefix}")
        found = VERSION_LINE.search(tar.extractfile(header).read().decode())  # type: ignore[union-attr]
        if not found or found.group(1) != curl_version:
            raise SystemExit(f"the vendored libcurl is {found and found.group(1)}, not the pinned {curl_version}")
        for relative, member in files.items():
            parts = Path(relative).parts
            if not parts or ".." in parts or Path(relative).is_absolute():
                raise SystemExit(f"unexpected path in the archive: {member.name}")
            target = staging / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(tar.extractfile(member).read())  # type: ignore[union-attr]
    original = (staging / "CMakeLists.txt").read_text()
    (staging / "CMakeLists.vendor.txt").write_text(original)
    (staging / "CMakeLists.txt").write_text(without_preamble(original))
    staging.replace(folder)


def main() -> int:
    dest, distribution, version, expected, inner_expected, curl_version = sys.argv[1:7]
    dest_path = Path(dest)
    folder = dest_path / f"curl-{curl_version}"
    if (folder / "CMakeLists.txt").is_file():
        return 0
    dest_path.mkdir(parents=True, exist_ok=True)
    name = f"{distribution}-{version}"
    archive = dest_path / f"{name}.tar.gz"
    if not archive.is_file() or sha256_of(archive) != expected:
        index = os.environ.get("PIP_INDEX_URL") or DEFAULT_INDEX
        url = archive_url(index, distribution, archive.name)
        print(f"fetching {archive.name} from {urllib.parse.urlsplit(url).netloc}", file=sys.stderr)
        download(url, archive, expected)
    unpack(inner_release(archive, name, inner_expected), name, curl_version, folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())

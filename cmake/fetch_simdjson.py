"""Fetches simdjson's single-file release (simdjson.h + simdjson.cpp) for the build.

    python fetch_simdjson.py DEST DISTRIBUTION VERSION SHA256

The pair is taken from a pinned source distribution on the package index that bundles it. The
archive is found through the index's simple API (the index pip is configured with: PIP_INDEX_URL,
else the default one), checked against SHA256 before anything is read from it, kept in DEST and
unpacked into DEST/DISTRIBUTION-VERSION/. Once the pair is there nothing is fetched again, so later
builds work offline. Only the standard library is used: the build may run in an isolated
environment that has no pip.
"""

from __future__ import annotations

import hashlib
import html.parser
import json
import os
import shutil
import sys
import tarfile
import urllib.parse
import urllib.request
from pathlib import Path

DEFAULT_INDEX = "https://pypi.org/simple"
PARTS = ("simdjson.h", "simdjson.cpp")
TIMEOUT_SECONDS = 60


class Links(html.parser.HTMLParser):
    """The hrefs of an index page in its HTML form."""

    def __init__(self) -> None:
        super().__init__()
        self.hrefs: list[str] = []

    def handle_starttag(self, tag, attrs):
        if tag == "a":
            self.hrefs.extend(value for name, value in attrs if name == "href" and value)


def archive_url(index: str, distribution: str, filename: str) -> str:
    page = f"{index.rstrip('/')}/{distribution.lower()}/"
    request = urllib.request.Request(page, headers={"Accept": "application/vnd.pypi.simple.v1+json, text/html;q=0.1"})
    with urllib.request.urlopen(request, timeout=TIMEOUT_SECONDS) as answer:
        kind = answer.headers.get_content_type()
        body = answer.read()
    if kind.endswith("json"):
        urls = [entry["url"] for entry in json.loads(body)["files"] if entry["filename"] == filename]
    else:
        parser = Links()
        parser.feed(body.decode("utf-8", "replace"))
        urls = [
            href
            for href in parser.hrefs
            if urllib.parse.unquote(urllib.parse.urlsplit(href).path).rsplit("/", 1)[-1] == filename
        ]
    if not urls:
        raise SystemExit(f"{filename} is not listed on {page}")
    return urllib.parse.urljoin(page, urls[0])


def sha256_of(path: Path) -> str:
    digest = hashlib.sha256()
    with path.open("rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def download(url: str, target: Path, expected: str) -> None:
    partial = target.with_name(target.name + ".part")
    with urllib.request.urlopen(url, timeout=TIMEOUT_SECONDS) as answer, partial.open("wb") as out:
        shutil.copyfileobj(answer, out)
    actual = sha256_of(partial)
    if actual != expected:
        partial.unlink()
        raise SystemExit(f"{target.name}: sha256 {actual} is not the pinned {expected}")
    partial.replace(target)


def unpack(archive: Path, name: str, folder: Path) -> None:
    """Writes each part beside its final name first, so a failed run leaves no half pair."""
    folder.mkdir(parents=True, exist_ok=True)
    staged = [folder / (part + ".part") for part in PARTS]
    try:
        with tarfile.open(archive, "r:gz") as tar:
            for part, target in zip(PARTS, staged, strict=True):
                path = f"{name}/simdjson/{part}"
                try:
                    member = tar.getmember(path)
                except KeyError:
                    raise SystemExit(f"{archive.name} holds no {path}") from None
                source = tar.extractfile(member) if member.isfile() else None
                if source is None:
                    raise SystemExit(f"{archive.name}: {path} is not a regular file")
                with target.open("wb") as out:
                    shutil.copyfileobj(source, out)
        for part, target in zip(PARTS, staged, strict=True):
            target.replace(folder / part)
    finally:
        for target in staged:
            target.unlink(missing_ok=True)


def main() -> int:
    dest, distribution, version, expected = sys.argv[1:5]
    dest_path = Path(dest)
    name = f"{distribution}-{version}"
    folder = dest_path / name
    if all((folder / part).is_file() for part in PARTS):
        return 0
    dest_path.mkdir(parents=True, exist_ok=True)
    archive = dest_path / f"{name}.tar.gz"
    if not archive.is_file() or sha256_of(archive) != expected:
        index = os.environ.get("PIP_INDEX_URL") or DEFAULT_INDEX
        url = archive_url(index, distribution, archive.name)
        print(f"fetching {archive.name} from {urllib.parse.urlsplit(url).netloc}", file=sys.stderr)
        download(url, archive, expected)
    unpack(archive, name, folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())

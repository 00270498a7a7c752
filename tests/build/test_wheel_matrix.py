"""The Pythons with wheels agree everywhere they are named: what ./run wheels builds, the package's
classifiers, the hosted-CI build selectors and the README's Install table."""

import re
from pathlib import Path

import pytest

tomllib = pytest.importorskip("tomllib")
ROOT = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(not (ROOT / "run").is_file(), reason="needs the checkout")


def built_by_run():
    # check_wheels asks wheel_pythons for this machine's minors, then the chroots'.
    calls = re.findall(r"wheel_pythons ((?:3\.\d+ ?)+)\)", (ROOT / "run").read_text())
    return sorted({minor for call in calls for minor in call.split()}, key=lambda v: tuple(map(int, v.split("."))))


def test_every_place_names_the_same_pythons():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    classifiers = [
        c.rsplit(" :: ", 1)[1] for c in project["project"]["classifiers"] if re.fullmatch(r".*Python :: 3\.\d+", c)
    ]
    selectors = [re.fullmatch(r"cp3(\d+)-\*", s).group(1) for s in project["tool"]["cibuildwheel"]["build"]]
    readme = (ROOT / "README.md").read_text()
    install = readme[readme.index("## Install") : readme.index("### Building from source")]
    rows = [line for line in install.splitlines() if line.startswith("| Linux x86-64")]
    assert len(rows) == 1
    in_readme = re.findall(r"3\.\d+", rows[0].split("|")[2])

    expected = built_by_run()
    assert expected == ["3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]
    assert classifiers == expected
    assert ["3." + minor for minor in selectors] == expected
    assert in_readme == expected

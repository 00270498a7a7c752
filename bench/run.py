"""Runs every benchmark in this folder (files named bench_*.py, each with a main()), in one process run.

Usage: ./run bench [NAME ...]   e.g. ./run bench records http (a bench_*.py runs through this file)
"""

import importlib.util
import pathlib
import sys


def main(selected: list[str]) -> None:
    here = pathlib.Path(__file__).parent
    # The pydantic twins of the records live with the tests, which check them against the records.
    sys.path.insert(0, str(here.parent / "tests"))
    for path in sorted(here.glob("bench_*.py")):
        name = path.stem.removeprefix("bench_")
        if selected and name not in selected:
            continue
        spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(f"\n## {name}\n", flush=True)
        module.main()


if __name__ == "__main__":
    main(sys.argv[1:])

"""Runs every benchmark in this folder (files named bench_*.py, each with a main()), in one process run.

Usage: ./run bench [NAME ...]   e.g. ./run bench records http
"""

import importlib.util
import pathlib
import sys


def main(selected: list[str]) -> None:
    here = pathlib.Path(__file__).parent
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

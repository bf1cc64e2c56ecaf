"""Runs a pytest suite as two pytest processes at once, each on about half the test files.

    <python> scripts/pytest_shards.py [pytest options] PATH...

Every PATH that is a folder stands for its test_*.py files; the files are dealt to the two
processes by the seconds each took in a plain run (WEIGHTS; a file not listed weighs one
second, and a stale figure only makes the halves less even). The options go to both processes,
which run with this interpreter, in this folder and environment. Each process's output is shown
when both have finished. The exit status is the first failure's (a collection that found no
test, 5, counts as a failure only when both found none), else 0.

One pytest process keeps one of the machine's two cores busy; two finish the suite in about
half the time. A single file, or WEFTORY_PYTEST_SHARDS=1, runs as one process.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path

# Seconds per file on the default interpreter, one process (2026-12).
WEIGHTS = {
    "test_refleaks.py": 12,
    "test_blob.py": 2,
    "test_installed_stub.py": 2,
}
NO_TESTS = 5


def split(args: list[str]) -> tuple[list[str], list[Path]]:
    """The options and the test files the arguments name, folders expanded."""
    options, files = [], []
    for arg in args:
        path = Path(arg)
        if arg.startswith("-") or not path.exists():
            options.append(arg)
        elif path.is_dir():
            files.extend(sorted(path.glob("test_*.py")))
        else:
            files.append(path)
    return options, files


def deal(files: list[Path]) -> list[list[Path]]:
    """Heaviest first, each file to the lighter half."""
    halves: list[list[Path]] = [[], []]
    loads = [0, 0]
    for file in sorted(files, key=lambda f: (-WEIGHTS.get(f.name, 1), str(f))):
        k = 0 if loads[0] <= loads[1] else 1
        halves[k].append(file)
        loads[k] += WEIGHTS.get(file.name, 1)
    return [half for half in halves if half]


def main(args: list[str]) -> int:
    options, files = split(args)
    if not files:
        print("pytest_shards: no test file among the arguments", file=sys.stderr)
        return 2
    shards = 1 if os.environ.get("WEFTORY_PYTEST_SHARDS") == "1" else 2
    halves = deal(files) if shards == 2 else [files]
    command = [sys.executable, "-m", "pytest", *options]
    if len(halves) == 1:
        return subprocess.call([*command, *map(str, halves[0])])
    with tempfile.TemporaryDirectory() as out:
        logs = [open(Path(out) / f"{k}.log", "w+") for k in range(len(halves))]
        processes = []
        for k, half in enumerate(halves):
            print(f"[pytest-shards] shard {k + 1} of {len(halves)}: {' '.join(f.name for f in half)}", file=sys.stderr)
            processes.append(
                subprocess.Popen([*command, *map(str, half)], stdout=logs[k], stderr=subprocess.STDOUT)
            )
        codes = [process.wait() for process in processes]
        for k, log in enumerate(logs):
            log.seek(0)
            sys.stdout.write(f"[pytest-shards] shard {k + 1} of {len(halves)} (exit {codes[k]}):\n")
            sys.stdout.write(log.read())
            log.close()
        sys.stdout.flush()
    if all(code == NO_TESTS for code in codes):
        return NO_TESTS
    return next((code for code in codes if code not in (0, NO_TESTS)), 0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""The type stub as a user meets it: mypy, run on user code outside the source tree, finds the
installed stub and reports exactly the mistakes marked in the user files, no more and no fewer.

Run in a virtual environment where the module (from a wheel) and mypy are installed; each file
here named user_*.py marks the lines mypy must flag with `# expect-error: <code>`.
"""

import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import weftory_core

pytest.importorskip("mypy")

HERE = pathlib.Path(__file__).parent
USER_FILES = sorted(HERE.glob("user_*.py"))
MARK = re.compile(r"#\s*expect-error:\s*([a-z-]+)\s*$")
REPORTED = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")


def expected_errors(path):
    return {(n, m.group(1)) for n, text in enumerate(path.read_text().splitlines(), 1) if (m := MARK.search(text))}


def run_mypy(path, tmp_path):
    # A folder of its own: neither the source tree's weftory_core.pyi nor a cache can help.
    user = tmp_path / path.name
    shutil.copy(path, user)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--strict", "--show-error-codes",
         "--no-error-summary", "--hide-error-context", user.name],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
        env={"PATH": "/usr/bin:/bin", "HOME": str(tmp_path)},
    )
    lines = [line for line in done.stdout.splitlines() if line.strip() and ": note: " not in line]
    found, other = set(), []
    for line in lines:
        m = REPORTED.match(line)
        if m and m.group("file") == user.name:
            found.add((int(m.group("line")), m.group("code")))
        else:
            other.append(line)
    return done.returncode, found, other, done.stderr


def test_there_is_correct_code_and_code_with_marked_mistakes():
    marked = {path.name: expected_errors(path) for path in USER_FILES}
    assert any(not errors for errors in marked.values())
    assert any(errors for errors in marked.values())


@pytest.mark.parametrize("path", USER_FILES, ids=lambda p: p.name)
def test_mypy_reports_exactly_the_marked_mistakes(path, tmp_path):
    returncode, found, other, stderr = run_mypy(path, tmp_path)
    expected = expected_errors(path)
    assert other == [], f"unexpected mypy output: {other} {stderr}"
    assert found == expected
    assert returncode == (1 if expected else 0), stderr


def test_correct_user_code_also_runs(tmp_path):
    # What the checker accepts must work: the stub and the module agree on the calls it makes.
    done = subprocess.run([sys.executable, str(HERE / "user_ok.py")], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"{weftory_core.version()} ")

"""On a free-threaded interpreter, importing the module must leave the GIL off."""

import os
import subprocess
import sys
import sysconfig

import pytest

from contracts import VERSION

pytestmark = pytest.mark.threads

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_import_keeps_the_gil_off():
    # The interpreter turns the GIL back on (with a RuntimeWarning, an error here) when an
    # extension does not declare that it runs without it.
    code = (
        "import sys\n"
        "assert not sys._is_gil_enabled()\n"
        "import weftory_core\n"
        "print(sys._is_gil_enabled())\n"
    )
    done = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "False"


@pytest.mark.skipif(FREE_THREADED, reason="checks the interpreters that have a GIL")
def test_import_works_with_a_gil():
    done = subprocess.run([sys.executable, "-c", "import weftory_core; print(weftory_core.version())"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == VERSION


# The scripts that run this suite on a chosen interpreter say what they meant to run it on:
# the CPython version and whether the GIL is on. A venv built from the wrong interpreter, or a
# module that turns the GIL back on, fails here instead of passing as the other build.
EXPECT_GIL = os.environ.get("WEFTORY_EXPECT_GIL")
EXPECT_PYTHON = os.environ.get("WEFTORY_EXPECT_PYTHON")


@pytest.mark.skipif(EXPECT_GIL is None, reason="WEFTORY_EXPECT_GIL is not set by the caller")
def test_gil_state_is_the_one_the_caller_asked_for():
    import weftory_core  # noqa: F401 - the import is what may switch the GIL on

    assert EXPECT_GIL in ("0", "1")
    assert sys._is_gil_enabled() is (EXPECT_GIL == "1")
    assert FREE_THREADED is (EXPECT_GIL == "0")


@pytest.mark.skipif(EXPECT_PYTHON is None, reason="WEFTORY_EXPECT_PYTHON is not set by the caller")
def test_interpreter_version_is_the_one_the_caller_asked_for():
    assert "%d.%d" % sys.version_info[:2] == EXPECT_PYTHON

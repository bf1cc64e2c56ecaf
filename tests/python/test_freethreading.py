"""On a free-threaded interpreter, importing the module must leave the GIL off."""

import subprocess
import sys
import sysconfig

import pytest

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
    assert done.stdout.strip() == "0.0.7"

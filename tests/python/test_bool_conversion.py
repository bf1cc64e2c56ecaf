"""The bool argument conversion (used by reduce(maximal_fusion=...)): exactly True or False, or
a NumPy boolean read through its __bool__. Driven through the test-only probe extension that the
C++ test build makes, since no public method takes a bool yet."""

import glob
import os
import sys

import numpy as np
import pytest

from contracts import mismatch, no_bool_conversion

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_found = glob.glob(os.path.join(ROOT, "build-tests", "_weftory_probe*.so"))
if _found:
    sys.path.insert(0, os.path.dirname(_found[0]))
probe = pytest.importorskip("_weftory_probe", reason="the probe is built by the C++ test build (scripts/test.sh)")


@pytest.mark.parametrize(
    "value, expected",
    [(True, True), (False, False), (np.True_, True), (np.False_, False), (np.bool_(1), True), (np.array([0], bool)[0], False)],
)
def test_accepted_values(value, expected):
    assert probe.to_bool(value) is expected


@pytest.mark.parametrize(
    "value, type_name",
    [(0, "int"), (1, "int"), ("True", "str"), (1.0, "float"), (np.int64(1), "int64"), (np.array([True]), "ndarray")],
)
def test_other_values_are_type_mismatches(value, type_name):
    with pytest.raises(TypeError) as info:
        probe.to_bool(value)
    assert str(info.value) == mismatch(type_name, "bool")


def test_none_has_its_own_wording():
    with pytest.raises(TypeError) as info:
        probe.to_bool(None)
    assert str(info.value) == mismatch("None", "bool")


def _numpy_like(name, module="numpy", truth=None):
    namespace = {"__module__": module}
    if truth is not None:
        namespace["__bool__"] = lambda self: truth
    return type(name, (), namespace)()


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_numpy_named_types_are_read_through_bool(name):
    assert probe.to_bool(_numpy_like(name, truth=True)) is True
    assert probe.to_bool(_numpy_like(name, truth=False)) is False


def test_numpy_bool_without_bool_conversion():
    with pytest.raises(TypeError) as info:
        probe.to_bool(_numpy_like("bool_"))
    assert str(info.value) == no_bool_conversion("bool_")


@pytest.mark.parametrize("name, module", [("bool_", "numpyish"), ("bool8", "numpy"), ("Bool", "numpy")])
def test_lookalikes_are_refused(name, module):
    with pytest.raises(TypeError) as info:
        probe.to_bool(_numpy_like(name, module, truth=True))
    assert str(info.value) == mismatch(name, "bool")


def test_a_failing_bool_propagates():
    class Broken:
        __module__ = "numpy"

        def __bool__(self):
            raise RuntimeError("no truth")

    Broken.__name__ = Broken.__qualname__ = "bool_"
    with pytest.raises(RuntimeError, match="no truth"):
        probe.to_bool(Broken())

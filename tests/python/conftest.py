"""Shared fixtures for the weftory_core Python tests."""

import pytest

import weftory_core as wc

from contracts import processing_note


@pytest.fixture
def store():
    return wc.GraphStore()


@pytest.fixture
def desc_fields():
    """A fresh dict of valid values for the five required descriptor fields."""
    return {
        "kind": "onnx",
        "content_hash": "sha256:5e1f",
        "framework": "onnxruntime",
        "version": "1.18",
        "io_schema": "f32[n] -> f32[n]",
    }


@pytest.fixture
def expect_conversion_error():
    """Run a call that must fail converting one argument.

    Checks the exception type, the exact message and that exactly one note
    "while processing '<param>'" is attached. Returns the exception.
    """

    def check(call, exc_type, message, param):
        with pytest.raises(exc_type) as info:
            call()
        assert type(info.value) is exc_type
        if message is not None:
            assert str(info.value) == message
        assert getattr(info.value, "__notes__", None) == [processing_note(param)]
        return info.value

    return check


class _GrowsDict:
    """A param value whose integer conversion inserts a key into the dict being read."""

    def __init__(self):
        self.target = None

    def __index__(self):
        self.target["zz_inserted"] = 0
        return 7


def _failing_call():
    value = _GrowsDict()
    params = {"a": value, "b": 1}
    value.target = params
    wc.GraphStore().add_source("s", params)


@pytest.fixture
def panicking_call():
    """A call that ends in a fatal internal error (raised, not caught)."""
    return _failing_call


@pytest.fixture
def provoke_panic():
    """Trigger a fatal internal error from a fresh store and return the raised exception."""

    def provoke():
        try:
            _failing_call()
        except BaseException as exc:  # noqa: B036 - the panic type derives from BaseException
            return exc
        pytest.fail("mutating the params dict during conversion did not fail")

    return provoke

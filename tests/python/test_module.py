"""Module object, classes, docstrings, signatures and the panic exception."""

import inspect
import os
import pathlib
import subprocess
import sys

import pytest

import weftory_core as wc

from contracts import (
    DESCRIPTOR_KEYS,
    DICT_CHANGED_SIZE,
    GRAPHSTORE_SIGNATURES,
    MODULE_NAME,
    PANIC_EXCEPTION,
    PAYLOAD_DESCRIPTOR_SIGNATURE,
    VERSION,
)

Py_TPFLAGS_HEAPTYPE = 1 << 9


def _valid_pd(**overrides):
    fields = dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s")
    fields.update(overrides)
    return wc.PayloadDescriptor(**fields)


# --- module contents -------------------------------------------------------


def test_fresh_import_defines_public_names_in_order_and_is_silent():
    code = (
        "import weftory_core as m\n"
        "print(','.join(k for k in vars(m) if not k.startswith('__')))\n"
        "print(repr(m.__doc__))\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=True
    )
    names_line, doc_line = done.stdout.splitlines()
    expected = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]
    names = names_line.split(",")
    if "IncrementalReducer" not in names:
        expected.remove("IncrementalReducer")
    assert names == expected
    assert doc_line in ("''", "None")
    assert done.stderr == ""


def test_module_docstring_is_empty():
    assert not wc.__doc__


@pytest.mark.parametrize("cls", [wc.GraphStore, wc.PayloadDescriptor, wc.IncrementalReducer])
def test_classes_are_heap_types_of_this_module(cls):
    assert cls.__flags__ & Py_TPFLAGS_HEAPTYPE
    assert cls.__module__ == MODULE_NAME


METHOD_TABLE_ORDER = [
    "add_source", "add_op", "add_reduction", "add_external", "add_exchange", "add_join",
    "node_count", "to_dot", "serialize", "deserialize", "nodes", "outputs", "node_map", "cone",
    "reduce", "reduce_incremental", "reduction_report",
]


def test_graphstore_methods_follow_the_method_table_order():
    public = [k for k in vars(wc.GraphStore) if not k.startswith("_")]
    assert set(GRAPHSTORE_SIGNATURES) <= set(public)
    assert public == [name for name in METHOD_TABLE_ORDER if name in public]


# --- version ---------------------------------------------------------------


def test_version_returns_release_text():
    assert wc.version() == VERSION
    assert type(wc.version()) is str


def test_distribution_version_matches_module():
    from importlib.metadata import version

    assert version("weftory-core") == wc.version()


# --- the installed distribution --------------------------------------------


def _installed_files():
    from importlib.metadata import distribution

    dist = distribution("weftory-core")
    return {str(f): f for f in dist.files}, dist


def test_installed_stub_is_a_stub_only_package_equal_to_the_tree_stub():
    # Type checkers find a single module's stub only in a <name>-stubs package (PEP 561).
    files, dist = _installed_files()
    assert "weftory_core-stubs/__init__.pyi" in files
    assert not [name for name in files if name.endswith(".pyi") and not name.startswith("weftory_core-stubs/")]
    tree_stub = pathlib.Path(__file__).resolve().parents[2] / "weftory_core.pyi"
    installed = pathlib.Path(dist.locate_file(files["weftory_core-stubs/__init__.pyi"]))
    assert installed.read_bytes() == tree_stub.read_bytes()


@pytest.mark.skipif("WEFTORY_EXPECT_INSTALLED_IN" not in os.environ,
                    reason="WEFTORY_EXPECT_INSTALLED_IN is not set by the caller")
def test_module_is_the_installed_copy_the_caller_named():
    files, dist = _installed_files()
    module = pathlib.Path(wc.__file__).resolve()
    assert module.parent == pathlib.Path(os.environ["WEFTORY_EXPECT_INSTALLED_IN"]).resolve()
    assert module.name in files
    assert pathlib.Path(dist.locate_file(files[module.name])).resolve() == module


@pytest.mark.parametrize(
    "args, kwargs", [((1,), {}), ((), {"x": 1}), ((None,), {})], ids=["positional", "keyword", "none"]
)
def test_version_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        wc.version(*args, **kwargs)


# --- text signatures and docstrings ----------------------------------------


@pytest.mark.parametrize("method, signatures", GRAPHSTORE_SIGNATURES.items())
def test_method_text_signature(method, signatures):
    text_signature, unbound = signatures
    func = getattr(wc.GraphStore, method)
    assert func.__text_signature__ == text_signature
    assert str(inspect.signature(func)) == unbound
    bound = str(inspect.signature(getattr(wc.GraphStore(), method)))
    assert bound == "(" + unbound.removeprefix("(self, /").removeprefix(", ")


@pytest.mark.parametrize(
    "obj, text_signature",
    [(wc.GraphStore, "()"), (wc.PayloadDescriptor, PAYLOAD_DESCRIPTOR_SIGNATURE), (wc.IncrementalReducer, "()"),
     (wc.version, "()")],
    ids=["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"],
)
def test_class_and_function_text_signature(obj, text_signature):
    assert obj.__text_signature__ == text_signature
    assert str(inspect.signature(obj)) == text_signature


def test_payload_descriptor_signature_is_keyword_only_with_one_default():
    params = inspect.signature(wc.PayloadDescriptor).parameters
    assert list(params) == list(DESCRIPTOR_KEYS)
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in params.values())
    assert [name for name, p in params.items() if p.default is not inspect.Parameter.empty] == [
        "preprocessing_ref"
    ]
    assert params["preprocessing_ref"].default is None


@pytest.mark.parametrize(
    "func",
    [
        wc.version,
        wc.GraphStore.add_source,
        wc.GraphStore.add_op,
        wc.GraphStore.add_reduction,
        wc.GraphStore.add_external,
        wc.GraphStore.node_count,
    ],
    ids=lambda f: f.__name__,
)
def test_signature_only_docstrings_have_no_body(func):
    # The raw docstring is the signature part alone, which CPython shows as no docstring.
    assert func.__doc__ is None
    assert func.__text_signature__ is not None


@pytest.mark.parametrize(
    "obj, words",
    [
        (wc.GraphStore, ["thread", "mutex", "immutable"]),
        (wc.PayloadDescriptor, ["external", "hash"]),
        (wc.GraphStore.add_exchange, ["exchange", "params", "input"]),
        (wc.GraphStore.add_join, ["join", "left", "right"]),
        (wc.GraphStore.nodes, ["id order"]),
        (wc.GraphStore.outputs, ["mark order"]),
        (wc.GraphStore.node_map, ["reduced", "none"]),
    ],
    ids=lambda x: getattr(x, "__qualname__", None) or "words",
)
def test_docstring_summary_follows_signature(obj, words):
    doc = obj.__doc__
    assert doc, "docstring body missing"
    # The signature block is stripped by CPython, so the body never repeats it.
    assert not doc.startswith(obj.__name__ + "(")
    assert "\n--\n" not in doc
    for word in words:
        assert word in doc.lower()


# --- object layouts --------------------------------------------------------


@pytest.mark.parametrize("make", [wc.GraphStore, _valid_pd, wc.IncrementalReducer],
                         ids=["GraphStore", "PayloadDescriptor", "IncrementalReducer"])
def test_instances_have_no_dict_and_cannot_grow_attributes(make):
    obj = make()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        vars(obj)


def test_graphstore_methods_cannot_be_overwritten_on_instance():
    store = wc.GraphStore()
    with pytest.raises(AttributeError):
        store.add_source = lambda *a: 0
    assert store.add_source("x") == 0


def test_payload_descriptor_has_no_public_attributes():
    pd = _valid_pd()
    assert [k for k in dir(pd) if not k.startswith("_")] == []
    with pytest.raises(AttributeError):
        pd.kind


def test_payload_descriptor_has_no_value_comparison():
    a, b = _valid_pd(), _valid_pd()
    assert a != b
    assert hash(a) == object.__hash__(a)


@pytest.mark.parametrize(
    "args, kwargs", [((1,), {}), ((), {"x": 1}), ((None,), {})], ids=["positional", "keyword", "none"]
)
def test_graphstore_constructor_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        wc.GraphStore(*args, **kwargs)


def test_new_store_is_empty():
    store = wc.GraphStore()
    assert store.node_count() == 0
    assert store.nodes() == []
    assert store.outputs() == []
    assert store.node_map() == []


def test_stores_are_independent():
    a, b = wc.GraphStore(), wc.GraphStore()
    a.add_source("x")
    a.add_source("y")
    assert b.add_source("y") == 0
    assert (a.node_count(), b.node_count()) == (2, 1)


# --- the panic exception ---------------------------------------------------


def test_panic_exception_derives_directly_from_base_exception(provoke_panic):
    exc = provoke_panic()
    cls = type(exc)
    assert cls.__name__ == PANIC_EXCEPTION
    assert cls.__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    assert exc.args == (DICT_CHANGED_SIZE,)


def test_panic_exception_class_is_process_wide(provoke_panic):
    assert type(provoke_panic()) is type(provoke_panic())


def test_except_exception_does_not_catch_panic(panicking_call):
    caught_as_exception = []
    try:
        try:
            panicking_call()
        except Exception:  # must not swallow the panic
            caught_as_exception.append(True)
    except BaseException as exc:  # noqa: B036
        assert type(exc).__name__ == PANIC_EXCEPTION
    else:
        pytest.fail("panic did not propagate past except Exception")
    assert caught_as_exception == []

"""A second instance of the module (a re-import) and other interpreters.

Each module object keeps its own classes: objects of one instance keep working with that
instance's methods, stores it makes are of its own class, and objects of one instance passed to
another instance's methods get the ordinary conversion errors. Only the main interpreter may
import the module.
"""

import gc
import importlib
import importlib.util
import os
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

import weftory_core as wc

from contracts import DESCRIPTOR_TYPE_ERROR, DICT_CHANGED_SIZE

DESCRIPTOR = {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}


def import_again():
    """A fresh module object, made as `del sys.modules[...]; import` makes it; sys.modules is left
    holding the new one."""
    del sys.modules["weftory_core"]
    return importlib.import_module("weftory_core")


@pytest.fixture
def second():
    """A second instance of the module, current in sys.modules for the test's duration."""
    first = sys.modules["weftory_core"]
    try:
        yield import_again()
    finally:
        sys.modules["weftory_core"] = first


def built_store(module):
    store = module.GraphStore()
    store.add_source("a", {"k": 1})
    store.add_op("f", [0])
    return store


def test_second_instance_has_classes_of_its_own(second):
    assert second is not wc
    assert second.GraphStore is not wc.GraphStore
    assert second.PayloadDescriptor is not wc.PayloadDescriptor
    assert second.version() == wc.version()


def test_first_instance_objects_keep_working_after_reimport(second):
    pd = wc.PayloadDescriptor(**DESCRIPTOR)
    store = built_store(wc)
    assert store.add_external(pd, [0]) == 2
    assert store.add_external(dict(DESCRIPTOR), [0]) == 2
    # Every store a first-instance method makes is of the first instance's class.
    made = {
        "deserialize": wc.GraphStore.deserialize(store.serialize()),
        "deserialize on an instance": store.deserialize(store.serialize()),
        "cone": store.cone(outputs=[2]),
        "_from_pickle": wc.GraphStore._from_pickle(store.serialize(), []),
    }
    assert {name: type(s) for name, s in made.items()} == {name: wc.GraphStore for name in made}
    assert made["deserialize"].nodes() == store.nodes()
    # A fresh first-instance store is unaffected too.
    assert built_store(wc).nodes() == built_store(second).nodes()


def test_second_instance_objects_work_and_pickle(second):
    store = built_store(second)
    assert store.add_external(second.PayloadDescriptor(**DESCRIPTOR), [1]) == 2
    assert type(store.cone(outputs=[2])) is second.GraphStore
    assert type(second.GraphStore.deserialize(store.serialize())) is second.GraphStore
    # Pickling resolves the class through sys.modules, which holds the second instance.
    restored = pickle.loads(pickle.dumps(store))
    assert type(restored) is second.GraphStore
    assert restored.nodes() == store.nodes()


@pytest.mark.parametrize("direction", ["first-into-second", "second-into-first"])
def test_foreign_descriptor_is_refused_like_any_other_object(second, expect_conversion_error, direction):
    owner, foreign = (second, wc) if direction == "first-into-second" else (wc, second)
    store = built_store(owner)
    pd = foreign.PayloadDescriptor(**DESCRIPTOR)
    expect_conversion_error(
        lambda: store.add_external(pd, [0]), TypeError, DESCRIPTOR_TYPE_ERROR, "descriptor"
    )
    assert store.node_count() == 2


CALLS = {
    "add_source": ("x",),
    "add_op": ("f", [0]),
    "add_reduction": ("f", [0]),
    "add_external": (DESCRIPTOR, [0]),
    "add_exchange": ([0],),
    "add_join": ([0, 0],),
    "node_count": (),
    "to_dot": (),
    "serialize": (),
    "nodes": (),
    "outputs": (),
    "node_map": (),
    "__reduce__": (),
}


@pytest.mark.parametrize("method, args", CALLS.items(), ids=list(CALLS))
def test_foreign_store_as_receiver_is_a_type_error(second, method, args):
    store = built_store(wc)
    with pytest.raises(TypeError, match="doesn't apply to a 'weftory_core.GraphStore' object"):
        getattr(second.GraphStore, method)(store, *args)
    with pytest.raises(TypeError, match="doesn't apply to a 'weftory_core.GraphStore' object"):
        second.GraphStore.cone(store, outputs=[0])
    assert store.node_count() == 2


def test_panic_exception_is_shared_by_the_instances(second, provoke_panic):
    params = {"a": 0, "b": 1}

    class Grows:
        def __index__(self):
            params["c"] = 2
            return 0

    params["a"] = Grows()
    with pytest.raises(BaseException) as info:  # noqa: B017 - the panic is not an Exception
        second.GraphStore().add_source("s", params)
    assert type(info.value) is type(provoke_panic())
    assert info.value.args == (DICT_CHANGED_SIZE,)


def test_dropped_instance_is_collected():
    # In a fresh process: once threads have run, the free-threaded interpreter may keep heap
    # types alive beyond a collection, which says nothing about the module's own references.
    code = textwrap.dedent(
        """
        import gc, importlib, sys, weakref
        import weftory_core
        first = sys.modules["weftory_core"]
        del sys.modules["weftory_core"]
        again = importlib.import_module("weftory_core")
        sys.modules["weftory_core"] = first
        store = again.GraphStore()
        store.add_source("a")
        module_ref, class_ref = weakref.ref(again), weakref.ref(again.GraphStore)
        del again
        gc.collect()
        # A live store keeps its class and so its module alive.
        assert module_ref() is not None and type(store) is class_ref()
        del store
        gc.collect()
        assert module_ref() is None and class_ref() is None
        print("ok")
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.strip(), done.stderr) == (0, "ok", "")


def test_many_reimports_in_a_fresh_process():
    code = textwrap.dedent(
        """
        import importlib, sys
        import weftory_core
        stores = []
        for i in range(20):
            del sys.modules["weftory_core"]
            m = importlib.import_module("weftory_core")
            s = m.GraphStore()
            s.add_source("a")
            s.add_external(m.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="1",
                                               io_schema="s"), [0])
            stores.append((m, s))
        assert len({id(m.GraphStore) for m, _ in stores}) == 20
        for m, s in stores:
            assert type(m.GraphStore.deserialize(s.serialize())) is m.GraphStore
            assert type(s.cone(outputs=[1])) is m.GraphStore
        print("ok")
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.strip(), done.stderr) == (0, "ok", "")


# --- other interpreters ------------------------------------------------------------


def subinterpreter_module():
    for name in ("_interpreters", "_xxsubinterpreters"):
        if importlib.util.find_spec(name) is not None:
            return name
    return None


SUBINTERPRETER_SCRIPT = """
import os, sys
import weftory_core as main_instance
r, w = os.pipe()
code = f'''
import os, sys
sys.path[:0] = {{sys.path!r}}
try:
    import weftory_core
except ImportError as exc:
    result = type(exc).__name__ + ": " + str(exc)
else:
    result = "imported"
os.write({{w}}, result.encode())
'''
import {module} as interpreters
interp = interpreters.create()
if hasattr(interpreters, "exec"):
    failure = interpreters.exec(interp, code)
    assert failure is None, failure
else:
    interpreters.run_string(interp, code)
interpreters.destroy(interp)
os.close(w)
print(os.read(r, 4096).decode())
# The main interpreter's instance is untouched.
s = main_instance.GraphStore()
s.add_source("a")
assert type(main_instance.GraphStore.deserialize(s.serialize())) is main_instance.GraphStore
print("main ok")
"""


@pytest.mark.skipif(subinterpreter_module() is None, reason="this interpreter has no subinterpreter module")
def test_import_in_a_subinterpreter_fails_with_import_error():
    script = SUBINTERPRETER_SCRIPT.format(module=subinterpreter_module())
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONWARNINGS="ignore"))
    assert done.returncode == 0, done.stderr
    result, main_ok = done.stdout.splitlines()
    assert result == "ImportError: module weftory_core does not support loading in subinterpreters"
    assert main_ok == "main ok"

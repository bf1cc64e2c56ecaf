"""A store whose mutex was poisoned by a failure while it was held: every later call that reaches
the store raises PanicException with the same message, for good, and nothing else is affected.

No public call can fail while it holds the mutex, so the store is poisoned through the test-only
probe extension that the C++ test build makes. The probe is a module of its own, with its own
GraphStore class compiled from the same sources."""

import glob
import os
import pickle
import sys

import pytest

from contracts import PANIC_EXCEPTION, PARAMS_TYPE_ERROR, not_an_instance, store_poisoned

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_found = glob.glob(os.path.join(ROOT, "build-tests", "_weftory_probe*.so"))
if _found:
    sys.path.insert(0, os.path.dirname(_found[0]))
probe = pytest.importorskip("_weftory_probe", reason="the probe is built by the C++ test build (scripts/test.sh)")

REASON = "planted fault"
POISONED = store_poisoned(REASON)
DESCRIPTOR = {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}

# Every method that reaches the store, with valid arguments for a store of two nodes.
CALLS = {
    "add_source": lambda s: s.add_source("new", {"k": 1}),
    "add_source existing": lambda s: s.add_source("a"),
    "add_op": lambda s: s.add_op("f", [0, 1]),
    "add_reduction": lambda s: s.add_reduction("sum", [1]),
    "add_external": lambda s: s.add_external(probe.PayloadDescriptor(**DESCRIPTOR), [0]),
    "add_exchange": lambda s: s.add_exchange([0], {"scheme": "hash"}),
    "add_join": lambda s: s.add_join([0, 1]),
    "node_count": lambda s: s.node_count(),
    "to_dot": lambda s: s.to_dot(),
    "serialize": lambda s: s.serialize(),
    "serialize outputs": lambda s: s.serialize(outputs=[1]),
    "nodes": lambda s: s.nodes(),
    "outputs": lambda s: s.outputs(),
    "node_map": lambda s: s.node_map(),
    "cone": lambda s: s.cone(outputs=[1]),
    "pickle": lambda s: pickle.dumps(s),
}


def two_node_store():
    store = probe.GraphStore()
    store.add_source("a")
    store.add_op("f", [0])
    return store


def poison(store):
    with pytest.raises(BaseException) as info:  # noqa: B017 - the panic is not an Exception
        probe.poison(store, REASON)
    assert (type(info.value).__name__, info.value.args) == (PANIC_EXCEPTION, (REASON,))
    assert not isinstance(info.value, Exception)


def outcome(call, store):
    try:
        call(store)
    except BaseException as exc:  # noqa: B036 - the panic is not an Exception
        return type(exc).__name__, exc.args
    return "returned", None


@pytest.mark.parametrize("name", list(CALLS))
def test_every_call_on_a_poisoned_store_panics_with_the_poison_message(name):
    store = two_node_store()
    poison(store)
    call = CALLS[name]
    # The mutex stays poisoned: the same answer every time.
    assert [outcome(call, store) for _ in range(3)] == [(PANIC_EXCEPTION, (POISONED,))] * 3


def test_conversion_errors_still_come_first_on_a_poisoned_store():
    # Arguments are converted before the mutex is taken, so their errors are the ordinary ones.
    store = two_node_store()
    poison(store)
    with pytest.raises(TypeError, match=PARAMS_TYPE_ERROR):
        store.add_source("x", 1)
    with pytest.raises(OverflowError):
        store.add_op("f", [-1])


def test_other_stores_are_not_affected():
    poisoned, healthy = two_node_store(), two_node_store()
    before = healthy.serialize()
    poison(poisoned)
    assert healthy.serialize() == before
    assert healthy.add_source("b") == 2
    # A store read back from the poisoned one's earlier blob is healthy.
    assert probe.GraphStore.deserialize(before).node_count() == 2


def test_poison_takes_only_the_probes_own_stores():
    import weftory_core

    with pytest.raises(TypeError, match=not_an_instance("GraphStore")):
        probe.poison(weftory_core.GraphStore(), REASON)

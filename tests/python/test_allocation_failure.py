"""An allocation that fails inside a call raises MemoryError and leaves nothing half-done: the
store or reducer reads as it did, nothing is poisoned, and the same call then succeeds with the
result it would have had, interning still finding every node.

The probe extension (built with the C++ tests) makes the k-th allocation of its own code fail.
Each entry point is swept over k: every k up to a bound, then a geometric sample, then the last."""

import glob
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_found = glob.glob(os.path.join(ROOT, "build-tests", "_weftory_probe*.so"))
if _found and os.path.dirname(_found[0]) not in sys.path:
    sys.path.insert(0, os.path.dirname(_found[0]))
from sanitized_run import UNDER_ASAN  # noqa: E402

probe = pytest.importorskip("_weftory_probe", reason="the probe is built by the C++ test build")

pytestmark = [
    pytest.mark.skipif(UNDER_ASAN, reason="a failed allocation aborts under AddressSanitizer"),
    pytest.mark.skipif(not hasattr(probe, "fail_allocation"), reason="the probe fails allocations on Linux only"),
]

DESCRIPTOR = {"kind": "onnx", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}
IDENTITY = {"scalar": 0.0, "side": "r"}


def grow(store, n):
    """Adds nodes of every kind, with commuted duplicates and identities, up to n nodes."""
    if store.node_count() == 0:
        store.add_source("a", {"rows": 10, "tag": "x"})
        store.add_source("b")
    while store.node_count() < n:
        c = store.node_count()
        x, y = c - 1, c - 2
        [
            lambda: store.add_op("add", [x, y]),
            lambda: store.add_op("add", [y, x]),
            lambda: store.add_op("add", [x], IDENTITY),
            lambda: store.add_reduction("sum", [x], {"axis": c}),
            lambda: store.add_exchange([x], {"scheme": "hash", "parts": c}),
            lambda: store.add_join([x, y]),
            lambda: store.add_external(dict(DESCRIPTOR, version=str(c)), [x]),
        ][c % 7]()
    return store


def base_store():
    # 64 nodes: every column of the store is full, so the next node makes each one grow.
    return grow(probe.GraphStore(), 64)


def readd(store, node):
    """Adds a node as nodes() shows it; interning answers with the id it has."""
    kind, inputs, params = node["kind"], node["inputs"], node["params"]
    if kind == "source":
        return store.add_source(node["name"], params)
    if kind in ("op", "reduction"):
        return getattr(store, "add_" + kind)(node["name"], inputs, params)
    if kind == "external":
        descriptor = {k: v for k, v in node["descriptor"].items() if v is not None}
        return store.add_external(descriptor, inputs, params)
    return getattr(store, "add_" + kind)(inputs, params)


def look(store):
    """Everything a store shows, after checking that interning finds each node the API can add."""
    nodes = store.nodes()
    addable = [node for node in nodes if node["kind"] != "stage"]
    assert [readd(store, node) for node in addable] == [node["id"] for node in addable]
    return store.node_count(), nodes, store.outputs(), store.node_map()


def stepped():
    store = grow(probe.GraphStore(), 40)
    reducer = probe.IncrementalReducer()
    reducer.step(store)
    # Enough new nodes to make the canonical form's columns grow.
    return grow(store, 200), reducer


def finalized(store, reducer):
    reduced, report = reducer.finalize(store, outputs=[199, 120, 3])
    return reducer.watermark(), reducer.canonical_count(), look(reduced), report


def unpickled():
    store, reducer = stepped()
    reducer.step(store)
    return store, reducer.__reduce__()[2], probe.IncrementalReducer()


def counters(reducer):
    return reducer.watermark(), reducer.total_work(), reducer.canonical_count()


def added(store, new_id):
    return new_id, look(store)


# Each entry point: the subject it is called on (made afresh for each k), the call, what a
# failed call must leave unchanged, and what the call's result and the subject look like after it.
ENTRY_POINTS = {
    "add_source": (base_store, lambda s: s.add_source("new", {"k": 1, "t": "new text"}), look, added),
    "add_op": (base_store, lambda s: s.add_op("new", [63, 0], {"p": 2.5, "q": "new text"}), look, added),
    "add_reduction": (base_store, lambda s: s.add_reduction("new", [63], {"axis": -1}), look, added),
    "add_external": (base_store, lambda s: s.add_external(dict(DESCRIPTOR, framework="new"), [63, 1]), look, added),
    "add_exchange": (base_store, lambda s: s.add_exchange([63], {"scheme": "new"}), look, added),
    "add_join": (base_store, lambda s: s.add_join([63, 0], {"how": "new"}), look, added),
    "deserialize": (lambda: base_store().serialize(outputs=[63, 5, 63]), probe.GraphStore.deserialize, bytes,
                    lambda data, store: look(store)),
    "cone": (base_store, lambda s: s.cone(outputs=[63, 40]), look, lambda s, cone: (look(cone), look(s))),
    "reduce": (base_store, lambda s: s.reduce(outputs=[63, 40], maximal_fusion=True), look,
               lambda s, pair: (look(pair[0]), pair[1], look(s))),
    # A failed step may keep the records it consumed before the failure (the next step goes on
    # from there), but counts none of them as work.
    "step": (stepped, lambda sr: sr[1].step(sr[0]), lambda sr: (look(sr[0]), sr[1].total_work()),
             lambda sr, consumed: finalized(*sr)),
    "unpickle": (unpickled, lambda s: s[2].__setstate__(s[1]), lambda s: counters(s[2]),
                 lambda s, none: (counters(s[2]), finalized(s[0], s[2]))),
}


def sample(total):
    """Every k up to 64, then a geometric sample, then the last allocation."""
    ks = list(range(1, min(total, 64) + 1))
    while ks and ks[-1] < total:
        ks.append(min(total, int(ks[-1] * 1.25)))
    return ks


@pytest.mark.parametrize("name", sorted(ENTRY_POINTS))
def test_a_failed_allocation_leaves_nothing_half_done(name):
    make, call, unchanged, after = ENTRY_POINTS[name]
    subject = make()
    start = probe.allocations()
    result = call(subject)
    total = probe.allocations() - start
    expected = after(subject, result)
    failed = 0
    for k in sample(total):
        subject = make()
        before = unchanged(subject)
        raised = False
        probe.fail_allocation(k)
        try:
            result = call(subject)
        except MemoryError:
            raised = True
        finally:
            left = probe.fail_allocation(0)
        if raised:
            assert left == 0, f"k={k}: MemoryError without the planted failure"
            failed += 1
            assert unchanged(subject) == before, f"k={k}"
            result = call(subject)
        assert after(subject, result) == expected, f"k={k}"
    # The sweep reached the failures it was meant to.
    assert failed > 0

"""Every method, on its success and its error paths, called many times: the traced Python
memory, the live objects and the process's memory stay flat."""

import gc
import tracemalloc

import pytest

import weftory_core as wc

from contracts import MAGIC, PANIC_EXCEPTION
from sanitized_run import UNDER_ASAN

# Under the sanitizers LeakSanitizer checks every allocation of the whole suite, and the
# sanitizer's allocator (quarantine, tracemalloc's own traces) makes these counts meaningless.
pytestmark = pytest.mark.skipif(UNDER_ASAN, reason="LeakSanitizer checks leaks in the sanitized run")

DESCRIPTOR = {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}


def _store():
    s = wc.GraphStore()
    a = s.add_source("a", {"rows": 3, "f": 1.5, "name": "x", "ok": True})
    b = s.add_source("b")
    c = s.add_op("add", [a, b], {"scalar": 0.0, "side": "r"})
    s.add_external(DESCRIPTOR, [c], {"batch": 2})
    s.add_exchange([c], {"scheme": "hash"})
    s.add_join([a, b])
    s.add_reduction("sum", [c])
    return s


STORE = _store()
BLOB = STORE.cone(outputs=[6, 2]).serialize()
CONED = STORE.cone(outputs=[6, 2])
REDUCER = wc.IncrementalReducer()
REDUCER.step(STORE)


class BadIndex:
    def __index__(self):
        raise RuntimeError("no index")


CALLS = {
    "add_source": lambda: STORE.add_source("a", {"rows": 3, "f": 1.5, "name": "x", "ok": True}),
    "add_op": lambda: STORE.add_op("add", [0, 1], {"scalar": 0.0, "side": "r"}),
    "add_op_new_store": lambda: wc.GraphStore().add_op("f", []),
    "add_external": lambda: STORE.add_external(DESCRIPTOR, [2], {"batch": 2}),
    "add_external_descriptor": lambda: STORE.add_external(wc.PayloadDescriptor(**DESCRIPTOR), [2], {"batch": 2}),
    "add_exchange": lambda: STORE.add_exchange([2], {"scheme": "hash"}),
    "add_join": lambda: STORE.add_join(range(2)),
    "add_reduction": lambda: STORE.add_reduction("sum", (2,)),
    "node_count": lambda: STORE.node_count(),
    "nodes": lambda: STORE.nodes(),
    "outputs": lambda: CONED.outputs(),
    "node_map": lambda: CONED.node_map(),
    "to_dot": lambda: STORE.to_dot(),
    "serialize": lambda: STORE.serialize(),
    "serialize_outputs": lambda: STORE.serialize(outputs=[1, 1, 0]),
    "deserialize": lambda: wc.GraphStore.deserialize(BLOB),
    "cone": lambda: STORE.cone(outputs=[6]),
    "reduce": lambda: STORE.reduce(outputs=[6, 3]),
    "reduce_maximal": lambda: STORE.reduce(maximal_fusion=True, outputs=[6, 4]),
    "reduce_marks": lambda: CONED.reduce(),
    "reduce_incremental": lambda: STORE.reduce_incremental(outputs=[6]),
    "reduction_report": lambda: STORE.reduction_report(outputs=[5, 6]),
    "pickle": lambda: CONED.__reduce__()[0](*CONED.__reduce__()[1]),
    "version": lambda: wc.version(),
    "incremental_new": lambda: wc.IncrementalReducer(),
    "incremental_step": lambda: REDUCER.step(STORE),
    "incremental_step_fresh": lambda: wc.IncrementalReducer().step(STORE),
    "incremental_finalize": lambda: REDUCER.finalize(STORE, outputs=[6, 3]),
    "incremental_finalize_marks": lambda: REDUCER.finalize(CONED, maximal_fusion=True),
    "incremental_counters": lambda: (REDUCER.watermark(), REDUCER.total_work(), REDUCER.canonical_count()),
    "incremental_pickle": lambda: REDUCER.__reduce__()[0]().__setstate__(REDUCER.__reduce__()[2]),
}

ERRORS = {
    "bad_input": (lambda: STORE.add_op("f", [99]), ValueError),
    "negative_input": (lambda: STORE.add_op("f", [-1]), OverflowError),
    "bad_index_item": (lambda: STORE.add_op("f", [BadIndex()]), RuntimeError),
    "str_inputs": (lambda: STORE.add_op("f", "01"), TypeError),
    "set_inputs": (lambda: STORE.add_op("f", {0}), TypeError),
    "bad_param_value": (lambda: STORE.add_source("a", {"k": object()}), TypeError),
    "bad_param_key": (lambda: STORE.add_source("a", {1: 2}), TypeError),
    "bad_params": (lambda: STORE.add_source("a", [1]), TypeError),
    "huge_param": (lambda: STORE.add_source("a", {"k": 10**400}), TypeError),
    "surrogate_name": (lambda: STORE.add_source("\ud800"), UnicodeEncodeError),
    "missing_field": (lambda: STORE.add_external({"kind": "k"}, [0]), ValueError),
    "bad_descriptor": (lambda: STORE.add_external(5, [0]), TypeError),
    "descriptor_kwonly": (lambda: wc.PayloadDescriptor("a"), TypeError),
    "binding": (lambda: STORE.add_op("f", [0], None, 4), TypeError),
    "unknown_keyword": (lambda: STORE.add_op("f", [0], nope=1), TypeError),
    "bad_blob": (lambda: wc.GraphStore.deserialize(MAGIC + b"\x01\x00\x00\x00\x07"), ValueError),
    "truncated_blob": (lambda: wc.GraphStore.deserialize(BLOB[:-3]), ValueError),
    "bad_cone": (lambda: STORE.cone(outputs=[0, 50]), ValueError),
    "bad_serialize": (lambda: STORE.serialize([50]), ValueError),
    "cone_str": (lambda: STORE.cone(outputs="0"), TypeError),
    "bad_reduce": (lambda: STORE.reduce(outputs=[0, 50]), ValueError),
    "reduce_int_flag": (lambda: STORE.reduce(maximal_fusion=1), TypeError),
    "report_str": (lambda: STORE.reduction_report(outputs="0"), TypeError),
    "incremental_binding": (lambda: STORE.reduce_incremental([0]), TypeError),
    "reducer_store_type": (lambda: REDUCER.step(5), TypeError),
    "reducer_binding": (lambda: REDUCER.finalize(STORE, True), TypeError),
    "reducer_bad_output": (lambda: REDUCER.finalize(STORE, outputs=[0, 50]), ValueError),
    "reducer_str_outputs": (lambda: REDUCER.finalize(STORE, outputs="0"), TypeError),
    "reducer_bad_state": (lambda: wc.IncrementalReducer().__setstate__((MAGIC, b"", 0)), ValueError),
    "reducer_used_state": (lambda: REDUCER.__setstate__(REDUCER.__reduce__()[2]), ValueError),
}


def _raises(call, exc_type):
    try:
        call()
    except exc_type:
        return
    raise AssertionError("expected an error")


class Grows:
    """A param value whose integer conversion adds a key to the dict being read."""

    def __init__(self, d):
        self.d = d

    def __index__(self):
        self.d["new"] = 1
        return 1


def _mutating_dict_panics():
    params = {}
    params["a"] = Grows(params)
    try:
        STORE.add_source("p", params)
    except BaseException as exc:  # noqa: BLE001
        assert type(exc).__name__ == PANIC_EXCEPTION
        return
    raise AssertionError("expected PanicException")


ERRORS["dict_changed"] = (_mutating_dict_panics, ())


def _run(call, n):
    for _ in range(n):
        call()


def _measure(call, n=1000, rounds=6):
    """Growth of the traced Python memory and of the live objects between the first and the
    second half of several rounds of n calls, after a first round that settles caches and free
    lists. Each half is summed up by its minimum, because the free-threaded interpreter frees
    some memory one collection late, which makes single readings swing. A leak of even one
    small object per call grows the minimum by (rounds / 2) * n * 16 bytes at the least."""
    traced, objects = [], []
    # Everything alive before the first call is moved out of the collector's reach, so each
    # collection and object count below walks only what the calls left behind, not the
    # whole test session's heap.
    gc.collect()
    gc.freeze()
    tracemalloc.start()
    try:
        _run(call, n)
        gc.collect()
        for _ in range(rounds):
            _run(call, n)
            gc.collect()
            traced.append(tracemalloc.get_traced_memory()[0])
            objects.append(len(gc.get_objects()))
    finally:
        tracemalloc.stop()
        gc.unfreeze()
    half = rounds // 2
    return min(traced[half:]) - min(traced[:half]), min(objects[half:]) - min(objects[:half])


@pytest.mark.parametrize("name", sorted(CALLS))
def test_success_paths_do_not_leak(name):
    traced, objects = _measure(CALLS[name])
    assert traced < 16 * 1024, f"traced memory grew by {traced} bytes over 3000 calls"
    assert objects < 50, f"live objects grew by {objects} over 3000 calls"


@pytest.mark.parametrize("name", sorted(ERRORS))
def test_error_paths_do_not_leak(name):
    call, exc_type = ERRORS[name]
    traced, objects = _measure(lambda: _raises(call, exc_type) if exc_type else call())
    assert traced < 16 * 1024, f"traced memory grew by {traced} bytes over 3000 calls"
    assert objects < 50, f"live objects grew by {objects} over 3000 calls"


def _rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


def test_dropped_stores_release_their_memory():
    def cycle():
        s = wc.GraphStore()
        for i in range(2000):
            s.add_source(f"node-{i}", {"payload": "x" * 40})
        c = s.cone(outputs=[1999])
        wc.GraphStore.deserialize(s.serialize())
        del s, c

    for _ in range(5):
        cycle()
    gc.collect()
    before = _rss_kib()
    for _ in range(40):
        cycle()
    gc.collect()
    # 40 stores of ~2000 nodes each would hold tens of MiB if they were not freed.
    assert _rss_kib() - before < 8 * 1024


def test_reductions_with_distinct_keys_return_their_memory():
    """Everything a reduction interns (identity keys of sources, parameter values, stage
    members) lives no longer than the call, so a service that reduces user graphs for ever
    stays flat; each round here would keep ~1 KiB of distinct key text if it did not."""
    payload = "p" * 1000

    def reduce_distinct(lo, hi):
        for i in range(lo, hi):
            s = wc.GraphStore()
            a = s.add_source(f"src-{i}", {"path": f"/data/{payload}-{i}.parquet"})
            b = s.add_op("mul", [a], {"scalar": i + 0.5, "side": "l"})
            c = s.add_op("neg", [b])
            s.reduce(outputs=[c])
            wc.IncrementalReducer().finalize(s, outputs=[c])

    reduce_distinct(0, 1000)
    gc.collect()
    before = _rss_kib()
    reduce_distinct(1000, 9000)
    gc.collect()
    # 8000 rounds that kept their keys would hold well over 8 MiB.
    assert _rss_kib() - before < 4 * 1024

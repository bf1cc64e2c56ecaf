"""Many threads sharing one store: writers of every node kind beside readers of every view.

Bounded in time (a few seconds) and deterministic in what it asserts: whatever the interleaving,
equal records get one id, ids stay dense, the final store equals a single-threaded build, and
every snapshot a reader takes is a prefix of the final store.
"""

import random
import threading

import pytest

import weftory_core as wc

from contracts import DICT_CHANGED_SIZE, DICT_KEYS_CHANGED, DOT_FOOTER, DOT_HEADER, PANIC_EXCEPTION

pytestmark = pytest.mark.threads

DESCRIPTOR = {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}


def script(n_sources=12, n_nodes=300, seed=11):
    """A fixed list of add calls (method name, args) whose inputs always refer to earlier calls."""
    rng = random.Random(seed)
    calls = [("add_source", (f"src{i}", {"rows": i, "dtype": "f32"})) for i in range(n_sources)]
    for k in range(n_nodes):
        upto = len(calls)
        pick = lambda: rng.randrange(upto)  # noqa: E731
        kind = k % 6
        if kind == 0:
            calls.append(("add_op", ("add", [pick(), pick()], {"scalar": float(k % 3), "side": "r"})))
        elif kind == 1:
            calls.append(("add_op", ("neg", [pick()])))
        elif kind == 2:
            calls.append(("add_reduction", ("sum", [pick()], {"axis": k % 2, "keep": bool(k % 4)})))
        elif kind == 3:
            calls.append(("add_external", (dict(DESCRIPTOR, version=str(k % 5)), [pick()], {"batch": 8})))
        elif kind == 4:
            calls.append(("add_exchange", ([pick()], {"scheme": "hash"})))
        else:
            calls.append(("add_join", ([pick(), pick()], {"how": "inner"})))
    return calls


def replay(store, calls):
    """Adds every call in order, translating call indices into the ids the store answered."""
    ids = []
    for method, args in calls:
        args = list(args)
        for position, arg in enumerate(args):
            if isinstance(arg, list):
                args[position] = [ids[i] for i in arg]
        ids.append(getattr(store, method)(*args))
    return ids


def single_threaded(calls):
    store = wc.GraphStore()
    return store, replay(store, calls)


def test_writers_and_readers_share_one_store():
    calls = script()
    reference, reference_ids = single_threaded(calls)
    final_nodes = reference.nodes()

    store = wc.GraphStore()
    n_writers, n_readers = 4, 3
    barrier = threading.Barrier(n_writers + n_readers)
    answers = [None] * n_writers
    failures = []
    stop = threading.Event()
    observations = {"nodes": 0, "dot": 0, "blob": 0, "cone": 0}
    lock = threading.Lock()

    def writer(w):
        try:
            barrier.wait()
            # Every writer replays the whole script, so every record is added by all of them.
            answers[w] = replay(store, calls)
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    def reader(r):
        try:
            barrier.wait()
            rounds = 0
            while not stop.is_set() or rounds < 3:
                rounds += 1
                view = store.nodes()
                assert view == final_nodes[: len(view)]
                count = store.node_count()
                assert count >= len(view)
                assert store.outputs() == []
                assert store.node_map() == []
                blob = store.serialize()
                copy = wc.GraphStore.deserialize(blob)
                assert copy.nodes() == final_nodes[: copy.node_count()]
                dot = store.to_dot()
                assert dot.startswith(DOT_HEADER) and dot.endswith(DOT_FOOTER)
                assert dot.count("[label=") <= store.node_count()
                if view:
                    last = len(view) - 1
                    cone = store.cone(outputs=[last])
                    assert cone.outputs() == [cone.node_count() - 1]
                with lock:
                    observations["nodes"] += 1
                    observations["dot"] += 1
                    observations["blob"] += 1
                    observations["cone"] += 1
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    threads = [threading.Thread(target=writer, args=(w,)) for w in range(n_writers)]
    threads += [threading.Thread(target=reader, args=(r,)) for r in range(n_readers)]
    for t in threads:
        t.start()
    for t in threads[:n_writers]:
        t.join(timeout=60)
    stop.set()
    for t in threads[n_writers:]:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert failures == []

    # Every writer got the same id for every call, ids are dense, and the store equals the
    # single-threaded one node for node.
    for got in answers:
        assert got == answers[0]
    assert sorted(set(answers[0])) == list(range(store.node_count()))
    assert store.nodes() == final_nodes
    assert answers[0] == reference_ids
    assert store.serialize() == reference.serialize()
    assert observations["nodes"] >= n_readers


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_writers_in_different_orders_agree(seed):
    """Writers adding the same independent sources in different orders, then shared ops."""
    names = [f"s{i}" for i in range(200)]
    store = wc.GraphStore()
    results = {}
    barrier = threading.Barrier(6)

    def writer(w):
        order = names[:]
        random.Random(seed * 100 + w).shuffle(order)
        barrier.wait()
        got = {name: store.add_source(name, {"w": 1}) for name in order}
        ops = {name: store.add_op("neg", [got[name]]) for name in order}
        results[w] = (got, ops)

    threads = [threading.Thread(target=writer, args=(w,)) for w in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert len(results) == 6
    first = results[0]
    assert all(r == first for r in results.values())
    assert store.node_count() == 400
    view = store.nodes()
    for name, node_id in first[0].items():
        assert view[node_id]["name"] == name
        assert view[first[1][name]]["inputs"] == [node_id]


class _Mutated:
    """A param value whose conversion yields the thread, so another thread can change the dict."""

    def __init__(self, started, resume):
        self.started = started
        self.resume = resume

    def __index__(self):
        self.started.set()
        self.resume.wait(timeout=5)
        return 3


@pytest.mark.parametrize("change", ["add", "remove", "swap"])
def test_params_dict_changed_by_another_thread(change):
    store = wc.GraphStore()
    base = store.add_source("a")
    started, resume = threading.Event(), threading.Event()
    params = {"a": _Mutated(started, resume), "b": 1, "c": 2}
    outcome = {}

    def adder():
        try:
            outcome["id"] = store.add_op("f", [base], params)
        except BaseException as exc:  # noqa: BLE001 - inspected below
            outcome["error"] = exc

    t = threading.Thread(target=adder)
    t.start()
    assert started.wait(timeout=5)
    if change == "add":
        params["d"] = 4
    elif change == "remove":
        del params["c"]
    else:
        del params["c"]
        params["e"] = 5
    resume.set()
    t.join(timeout=10)
    assert not t.is_alive()

    if "error" in outcome:
        exc = outcome["error"]
        assert type(exc).__name__ == PANIC_EXCEPTION
        assert not isinstance(exc, Exception)
        assert str(exc) in (DICT_CHANGED_SIZE, DICT_KEYS_CHANGED)
        assert store.node_count() == 1
    else:
        # The conversion finished before the change was seen: a whole node was added.
        assert store.node_count() == 2
        assert store.nodes()[outcome["id"]]["inputs"] == [base]
    # The store is still usable either way.
    assert store.add_source("after") == store.node_count() - 1


def test_reductions_while_writers_add_nodes():
    """Reducers reduce the newest node while writers grow the store: every reduction sees a whole
    prefix of the final store (its input_nodes) and equals the reduction of that prefix built by
    one thread, whatever the interleaving."""
    calls = script(n_nodes=240, seed=5)
    store = wc.GraphStore()
    n_writers, n_reducers = 2, 3
    barrier = threading.Barrier(n_writers + n_reducers)
    failures = []
    stop = threading.Event()
    seen = []
    lock = threading.Lock()

    def writer():
        try:
            barrier.wait()
            replay(store, calls)
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    def reducer(r):
        try:
            barrier.wait()
            rounds = 0
            # At least two reductions each, however the threads are scheduled: a round that
            # finds the store still empty does not count.
            while not stop.is_set() or rounds < 2:
                count = store.node_count()
                if count == 0:
                    continue
                rounds += 1
                outputs = [count - 1, count // 2]
                reduced, counts = store.reduce(maximal_fusion=bool(r % 2), outputs=outputs)
                assert counts["input_nodes"] >= count
                assert len(reduced.node_map()) == counts["input_nodes"]
                with lock:
                    seen.append((bool(r % 2), outputs, counts, reduced.serialize(), reduced.node_map()))
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    threads = [threading.Thread(target=writer) for _ in range(n_writers)]
    threads += [threading.Thread(target=reducer, args=(r,)) for r in range(n_reducers)]
    for t in threads:
        t.start()
    for t in threads[:n_writers]:
        t.join(timeout=60)
    stop.set()
    for t in threads[n_writers:]:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert failures == []
    assert len(seen) >= n_reducers

    # Reduce each observed prefix of the single-threaded build the same way (the cone of all its
    # first nodes is that prefix under the same ids).
    reference, _ = single_threaded(calls)
    assert store.serialize() == reference.serialize()
    for maximal, outputs, counts, blob, node_map in seen[:: max(1, len(seen) // 60)]:
        prefix = reference.cone(outputs=range(counts["input_nodes"]))
        expected, expected_counts = prefix.reduce(maximal_fusion=maximal, outputs=outputs)
        assert counts == expected_counts
        assert blob == expected.serialize()
        assert node_map == expected.node_map()

"""IncrementalReducer: its texts, steps and counters, finalize against GraphStore.reduce, the
argument errors, pickling, poisoning, and threads stepping one reducer over a growing store."""

import glob
import os
import pickle
import random
import sys
import threading

import pytest

import weftory_core as wc

from contracts import (
    INCREMENTAL_REDUCER_DOC,
    INCREMENTAL_REDUCER_METHODS,
    MAGIC,
    MODULE_NAME,
    PANIC_EXCEPTION,
    REDUCER_POISONED,
    REDUCER_STATE_TYPE_ERROR,
    REPORT_KEYS,
    STORE_POISONED,
    STR_TO_VEC,
    TRUNCATED,
    invalid_reducer_state,
    mismatch,
    no_node,
)

IR = wc.IncrementalReducer
IDENTITY = {"scalar": 0.0, "side": "r"}


def result_of(pair):
    """Everything observable about a reduction's result (the store through its bytes)."""
    reduced, report = pair
    return reduced.serialize(), reduced.outputs(), reduced.node_map(), report


def chain(n):
    store = wc.GraphStore()
    store.add_source("a")
    for i in range(1, n):
        store.add_op("neg", [i - 1])
    return store


def random_store(rng, n):
    """A store with commuted duplicates, identities and boundaries of every kind."""
    store = wc.GraphStore()
    store.add_source("a")
    store.add_source("b")
    while store.node_count() < n:
        count = store.node_count()
        x, y = (count - 1 - rng.randrange(min(count, 4)) for _ in range(2))
        roll = rng.randrange(10)
        if roll == 0:
            store.add_reduction("sum", [x])
        elif roll == 1:
            store.add_join([x, y])
        elif roll == 2:
            store.add_op("add", [x], dict(IDENTITY, side=rng.choice("rl")))
        elif roll == 3:
            store.add_op("mul", [x], {"scalar": rng.choice([1.0, 2.0]), "side": "l"})
        else:
            store.add_op(rng.choice(["add", "mul", "sub", "maximum"]), [x, y])
    return store


def sinks(store):
    used = {i for node in store.nodes() for i in node["inputs"]}
    return [i for i in range(store.node_count()) if i not in used]


# --- texts ------------------------------------------------------------------------------------


def test_class_text_signature_and_docstring():
    assert IR.__text_signature__ == "()"
    assert IR.__doc__ == INCREMENTAL_REDUCER_DOC
    assert IR.__module__ == MODULE_NAME


@pytest.mark.parametrize("name", list(INCREMENTAL_REDUCER_METHODS))
def test_method_text_signatures_and_docstrings(name):
    signature, doc = INCREMENTAL_REDUCER_METHODS[name]
    method = getattr(IR, name)
    assert (method.__text_signature__, method.__doc__) == (signature, doc)


# --- steps and counters -----------------------------------------------------------------------


def test_a_new_reducer_answers_zero():
    r = IR()
    assert (r.watermark(), r.total_work(), r.canonical_count()) == (0, 0, 0)


def test_steps_return_the_delta_sizes():
    store, r = wc.GraphStore(), IR()
    assert r.step(store) == 0
    deltas = []
    store.add_source("a")
    for i in range(1, 10):
        store.add_op("neg", [i - 1])
        if i in (3, 6, 9):
            deltas.append(r.step(store=store))
    assert deltas == [4, 3, 3]
    assert r.step(store) == 0
    assert (r.watermark(), r.total_work(), r.canonical_count()) == (10, 10, 10)
    # A second, shorter store yields nothing new.
    assert r.step(chain(3)) == 0
    assert r.watermark() == 10


# --- finalize ---------------------------------------------------------------------------------


def test_finalize_without_steps_consumes_the_store():
    store, r = chain(6), IR()
    reduced, report = r.finalize(store, outputs=[5])
    assert r.watermark() == r.total_work() == 6
    assert report == dict(zip(REPORT_KEYS, (6, 6, 6, 1, 2, 1)))
    assert len(reduced.node_map()) == 6


def test_an_output_beyond_the_store_is_refused_and_changes_nothing():
    store, r = chain(4), IR()
    r.step(chain(2))
    with pytest.raises(ValueError, match=f"^{no_node(4)}$"):
        r.finalize(store, outputs=[0, 4])
    assert r.watermark() == 2


def test_an_identity_output_reduces_to_its_source():
    built = wc.GraphStore()
    built.add_op("add", [built.add_source("x")], IDENTITY)
    store = built.cone(outputs=[1])  # the way a store gets marks
    assert store.outputs() == [1]
    r = IR()
    reduced, report = r.finalize(store)
    assert [n["kind"] for n in reduced.nodes()] == ["source"]
    assert reduced.outputs() == [0]
    assert report["input_nodes"] == r.canonical_count() == 1
    assert store.node_count() == 2
    assert reduced.node_map() == [(0, None), (0, None)]


def test_without_marks_or_outputs_everything_is_dropped():
    store, r = chain(3), IR()
    reduced, report = r.finalize(store)
    assert reduced.node_count() == 0
    assert reduced.node_map() == [None, None, None]
    assert report == dict.fromkeys(report, 0) | {"input_nodes": 3}


def test_finalize_keeps_the_state_and_sees_later_nodes():
    store, r = chain(3), IR()
    first = result_of(r.finalize(store, outputs=[2]))
    assert result_of(r.finalize(store, outputs=[2])) == first
    store.add_op("abs", [2])
    assert r.step(store) == 1
    reduced, report = r.finalize(store, outputs=[3])
    assert report["input_nodes"] == 4
    assert len(reduced.node_map()) == 4
    assert reduced.serialize() != first[0]


@pytest.mark.parametrize("maximal", [False, True])
@pytest.mark.parametrize("seed", range(8))
def test_any_batching_gives_the_same_result_and_equals_reduce_when_nothing_is_dead(seed, maximal):
    rng = random.Random(seed)
    store = random_store(rng, 60)
    outputs = sinks(store)
    results = []
    for batch in (1, 7, 1000):
        r = IR()
        fed = wc.GraphStore()
        for node in store.nodes():  # the same store rebuilt, stepped every `batch` nodes
            add_like(fed, node)
            if fed.node_count() % batch == 0:
                r.step(fed)
        results.append(result_of(r.finalize(fed, maximal_fusion=maximal, outputs=outputs)))
        assert r.total_work() == r.watermark() == store.node_count()
    assert results[0] == results[1] == results[2]
    # Every node is live, so the one-shot reduction agrees except in the counts of what was
    # handed over: the canonical form instead of the store.
    blob, outs, node_map, report = results[0]
    expected_store, expected_report = store.reduce(maximal_fusion=maximal, outputs=outputs)
    assert (blob, outs, node_map) == (expected_store.serialize(), expected_store.outputs(),
                                      expected_store.node_map())
    for key in REPORT_KEYS[2:]:
        assert report[key] == expected_report[key]
    assert report["input_nodes"] == report["reachable_nodes"] <= expected_report["input_nodes"]


def add_like(store, node):
    kind, inputs, params = node["kind"], node["inputs"], node["params"]
    if kind == "source":
        return store.add_source(node["name"], params)
    if kind == "op":
        return store.add_op(node["name"], inputs, params)
    if kind == "reduction":
        return store.add_reduction(node["name"], inputs, params)
    if kind == "join":
        return store.add_join(inputs, params)
    raise AssertionError(kind)


# --- argument errors --------------------------------------------------------------------------

STORE = chain(3)

ARGUMENT_ERRORS = [
    (lambda: IR().step(5), TypeError, mismatch("int", "GraphStore"), "store"),
    (lambda: IR().step(None), TypeError, mismatch("None", "GraphStore"), "store"),
    (lambda: IR().finalize(IR()), TypeError, mismatch("IncrementalReducer", "GraphStore"), "store"),
    (lambda: IR().finalize(STORE, maximal_fusion=1), TypeError, mismatch("int", "bool"), "maximal_fusion"),
    (lambda: IR().finalize(STORE, outputs="0"), TypeError, STR_TO_VEC, "outputs"),
    (lambda: IR().finalize(STORE, outputs={0}), TypeError, None, "outputs"),
    (lambda: IR().finalize(STORE, outputs=[-1]), OverflowError, None, "outputs"),
    # store is converted first, then maximal_fusion, then outputs.
    (lambda: IR().finalize(1, maximal_fusion=1, outputs="0"), TypeError, None, "store"),
    (lambda: IR().finalize(STORE, maximal_fusion=1, outputs="0"), TypeError, None, "maximal_fusion"),
]


@pytest.mark.parametrize("call, exc_type, message, param", ARGUMENT_ERRORS)
def test_argument_conversion_errors(expect_conversion_error, call, exc_type, message, param):
    expect_conversion_error(call, exc_type, message, param)


@pytest.mark.parametrize(
    "call",
    [
        lambda: IR(1),
        lambda: IR(store=STORE),
        lambda: IR().step(),
        lambda: IR().step(STORE, STORE),
        lambda: IR().step(stor=STORE),
        lambda: IR().finalize(STORE, True),
        lambda: IR().finalize(),
        lambda: IR().watermark(1),
        lambda: IR().total_work(1),
        lambda: IR().canonical_count(1),
    ],
)
def test_binding_errors(call):
    with pytest.raises(TypeError):
        call()


# --- pickling ---------------------------------------------------------------------------------


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("fed", [0, 1, 40])
def test_pickling_is_lossless_and_the_copy_continues(fed, protocol):
    store = random_store(random.Random(fed), 40)
    r = IR()
    if fed:
        r.step(chain(1) if fed == 1 else store)
    back = pickle.loads(pickle.dumps(r, protocol=protocol))
    assert type(back) is IR and back is not r
    counters = (r.watermark(), r.total_work(), r.canonical_count())
    assert (back.watermark(), back.total_work(), back.canonical_count()) == counters
    store.add_op("abs", [store.node_count() - 1])
    outputs = [store.node_count() - 1, 0]
    assert result_of(back.finalize(store, outputs=outputs)) == result_of(r.finalize(store, outputs=outputs))
    assert back.total_work() == r.total_work()


@pytest.mark.parametrize("sources", [2**8 + 1, 2**16 + 1])
def test_pickles_past_each_byte_of_an_id_continue_like_the_original(sources):
    # Ids and forward entries on both sides of the widest boundary the size crosses (the
    # entries of 2**24 and up are checked through the refusals below).
    store = wc.GraphStore()
    for i in range(sources):
        store.add_source("s", {"i": i})
    top = sources - 1
    for x in (top, 0, top - 1, 255):
        store.add_op("add", [x], IDENTITY)
    summed = store.add_op("add", [top, 255])
    r = IR()
    r.step(store)
    back = pickle.loads(pickle.dumps(r))
    counters = (r.watermark(), r.total_work(), r.canonical_count())
    assert (back.watermark(), back.total_work(), back.canonical_count()) == counters
    # Both go on: a commuted duplicate, and nodes reaching old ones through their forward entries.
    store.add_op("add", [255, top])
    store.add_op("mul", [top + 1, summed])
    store.add_op("mul", [top + 2, top + 3])
    assert back.step(store) == r.step(store) == 3
    outputs = [top + 7, top + 6, top + 5, top + 4, top]
    assert result_of(back.finalize(store, outputs=outputs)) == result_of(r.finalize(store, outputs=outputs))
    assert (back.watermark(), back.total_work(), back.canonical_count()) == (
        r.watermark(), r.total_work(), r.canonical_count())
    # A store, its blob and a node map with ids past the boundary travel the same way.
    cone = store.cone(outputs=list(range(top, -1, -1)))
    for twin in (pickle.loads(pickle.dumps(cone)), wc.GraphStore._from_pickle(cone.serialize(), cone.node_map())):
        assert twin.serialize() == cone.serialize()
        assert (twin.outputs(), twin.node_map()) == (cone.outputs(), cone.node_map())
        assert twin.add_source("s", {"i": top}) == top


def test_state_keeps_total_work_lagging_the_watermark_when_pickled():
    r = IR()
    r.__setstate__((chain(2).serialize(), bytes([0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0]), 2))
    assert (r.watermark(), r.total_work(), r.canonical_count()) == (3, 2, 2)
    back = pickle.loads(pickle.dumps(r))
    assert (back.watermark(), back.total_work(), back.canonical_count()) == (3, 2, 2)


@pytest.mark.parametrize(
    "state, exc_type, message",
    [
        (None, TypeError, REDUCER_STATE_TYPE_ERROR),
        ((b"", b""), TypeError, REDUCER_STATE_TYPE_ERROR),
        ((MAGIC, b"", 0), ValueError, invalid_reducer_state(TRUNCATED)),
        ((chain(2).serialize(), b"\0\0\0", 0), ValueError, invalid_reducer_state("forwarding map of 3 bytes")),
        ((chain(2).serialize(), bytes([2, 0, 0, 0]), 0), ValueError,
         invalid_reducer_state("forward entry 0 refers to canonical node 2 of 2")),
        # Every byte of an entry in its place, little-endian.
        ((chain(2).serialize(), bytes([1, 0, 0, 0, 1, 2, 3, 4]), 0), ValueError,
         invalid_reducer_state(f"forward entry 1 refers to canonical node {0x04030201} of 2")),
        ((chain(2).serialize(), bytes([0, 0, 0, 0, 0, 0, 0, 0x80]), 0), ValueError,
         invalid_reducer_state(f"forward entry 1 refers to canonical node {0x80000000} of 2")),
        ((chain(2).serialize(), bytes([0, 0, 0, 0]), 2), ValueError,
         invalid_reducer_state("total work 2 exceeds the 1 consumed nodes")),
        ((chain(2).serialize(), b"", -1), OverflowError, None),
    ],
)
def test_bad_states_are_refused_and_leave_a_fresh_reducer(state, exc_type, message):
    r = IR()
    with pytest.raises(exc_type) as info:
        r.__setstate__(state)
    if message is not None:
        assert str(info.value) == message
    assert (r.watermark(), r.total_work(), r.canonical_count()) == (0, 0, 0)


def test_a_state_is_never_merged_into_a_used_reducer():
    r = IR()
    r.step(chain(2))
    with pytest.raises(ValueError, match="has consumed nodes already"):
        r.__setstate__(IR().__reduce__()[2])
    assert r.watermark() == 2


# --- poisoning --------------------------------------------------------------------------------

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _probe():
    found = glob.glob(os.path.join(ROOT, "build-tests", "_weftory_probe*.so"))
    if found and os.path.dirname(found[0]) not in sys.path:
        sys.path.insert(0, os.path.dirname(found[0]))
    return pytest.importorskip("_weftory_probe", reason="the probe is built by the C++ test build")


def outcome(call):
    try:
        call()
    except BaseException as exc:  # noqa: B036 - the panic is not an Exception
        return type(exc).__name__, exc.args
    return "returned", None


def test_a_poisoned_reducer_panics_on_every_method_for_good():
    probe = _probe()
    store, r = probe.GraphStore(), probe.IncrementalReducer()
    store.add_source("a")
    r.step(store)
    assert outcome(lambda: probe.poison_reducer(r, "planted")) == (PANIC_EXCEPTION, ("planted",))
    poisoned = (PANIC_EXCEPTION, (REDUCER_POISONED,))
    calls = [lambda: r.step(store), lambda: r.finalize(store), lambda: r.watermark(),
             lambda: r.total_work(), lambda: r.canonical_count(), lambda: pickle.dumps(r)]
    for _ in range(2):
        assert [outcome(call) for call in calls] == [poisoned] * len(calls)
    # Arguments are still converted first, and other reducers are not affected.
    with pytest.raises(TypeError):
        r.step(1)
    assert probe.IncrementalReducer().step(store) == 1


def test_a_poisoned_store_met_under_the_reducer_poisons_it_too():
    probe = _probe()
    bad, good, r = probe.GraphStore(), probe.GraphStore(), probe.IncrementalReducer()
    bad.add_source("a")
    good.add_source("a")
    outcome(lambda: probe.poison(bad, "planted"))
    name, args = outcome(lambda: r.step(bad))
    assert name == PANIC_EXCEPTION and args[0].startswith(STORE_POISONED)
    assert outcome(lambda: r.step(good)) == (PANIC_EXCEPTION, (REDUCER_POISONED,))
    assert probe.IncrementalReducer().step(good) == 1


# --- threads ----------------------------------------------------------------------------------


def run_threads(targets):
    threads = [threading.Thread(target=t) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)


def grower(store, seed, count, errors, at_half=None):
    def run():
        rng = random.Random(seed)
        try:
            for k in range(count):
                if at_half is not None and k == count // 2:
                    at_half()
                n = store.node_count()
                x, y = rng.randrange(n), rng.randrange(n)
                if rng.random() < 0.3:
                    store.add_op("add", [x], IDENTITY)
                else:
                    store.add_op(rng.choice(["add", "mul", "sub"]), [x, y])
        except BaseException as exc:  # noqa: B036
            errors.append(exc)
    return run


@pytest.mark.threads
@pytest.mark.parametrize("finalizing", [False, True], ids=["steps", "finalize racing steps"])
def test_threads_stepping_one_reducer_while_others_grow_the_store(finalizing):
    store, r = wc.GraphStore(), IR()
    store.add_source("a")
    store.add_source("b")
    errors, stepped, growing = [], [], [2]
    lock = threading.Lock()

    def stepper():
        try:
            mine = 0
            while True:
                done = growing[0] == 0
                mine += r.step(store)
                if finalizing:
                    r.finalize(store, outputs=[0, store.node_count() - 1])
                if done:
                    break
            with lock:
                stepped.append(mine)
        except BaseException as exc:  # noqa: B036
            errors.append(exc)

    def grow(seed):
        run = grower(store, seed, 1500, errors)

        def target():
            run()
            with lock:
                growing[0] -= 1
        return target

    run_threads([grow(1), grow(2), stepper, stepper, stepper])
    assert errors == []
    count = store.node_count()
    # Every node was consumed once: one forward entry each, counted once by total_work.
    assert r.watermark() == r.total_work() == count
    if not finalizing:
        assert sum(stepped) == count
    # However the batches fell, the reducer is in the state of a single batch.
    fresh = IR()
    assert fresh.step(store) == count
    assert r.canonical_count() == fresh.canonical_count()
    outputs = sinks(store)
    assert result_of(r.finalize(store, outputs=outputs)) == result_of(fresh.finalize(store, outputs=outputs))


@pytest.mark.threads
def test_pickling_a_reducer_while_threads_step_it():
    """A pickle writes the canonical form from a view taken under the reducer's mutex and read
    after it is released, while other threads step the reducer and grow the form above it."""
    store, r = wc.GraphStore(), IR()
    store.add_source("a")
    store.add_source("b")
    errors, growing, pickles = [], [2], []
    lock = threading.Lock()
    # The growers wait half-way until the pickler has pickled once, so that one copy is taken
    # mid-build however the threads are scheduled; the steppers go on meanwhile.
    halfway = threading.Barrier(3, timeout=60)
    resume = threading.Event()

    def wait_for_pickler():
        halfway.wait()
        assert resume.wait(timeout=60)

    def stepper():
        try:
            while True:
                done = growing[0] == 0
                r.step(store)
                if done:
                    break
        except BaseException as exc:  # noqa: B036
            errors.append(exc)

    def pickler():
        try:
            halfway.wait()
            pickles.append(pickle.dumps(r))
            resume.set()
            rounds = 0
            while growing[0] or rounds < 3:
                rounds += 1
                pickles.append(pickle.dumps(r))
        except BaseException as exc:  # noqa: B036
            errors.append(exc)

    def grow(seed):
        run = grower(store, seed, 1000, errors, at_half=wait_for_pickler)

        def target():
            run()
            with lock:
                growing[0] -= 1
        return target

    run_threads([grow(3), grow(4), stepper, stepper, pickler])
    assert errors == []
    fresh = IR()
    count = fresh.step(store)
    outputs = sinks(store)
    expected = result_of(fresh.finalize(store, outputs=outputs))
    copies = [pickle.loads(p) for p in pickles]
    # One pickling thread: each copy has consumed at least what the one before it had.
    watermarks = [c.watermark() for c in copies]
    assert watermarks == sorted(watermarks)
    # The first copy was taken while the growers waited half-way.
    assert watermarks[0] < count
    for c in copies[:: max(1, len(copies) // 6)] + copies[-1:]:
        consumed = c.watermark()
        # Every step consumed its whole delta, so no copy's work lags its watermark.
        assert c.total_work() == consumed <= count
        # A copy continues where the pickled reducer was: fed the rest, it is in the state of a
        # single batch.
        assert c.step(store) == count - consumed
        assert c.canonical_count() == fresh.canonical_count()
        assert result_of(c.finalize(store, outputs=outputs)) == expected

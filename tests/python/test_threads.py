"""Sharing one GraphStore between threads, and params dicts changed while being read."""

import random
import subprocess
import sys
import threading
import time

import pytest

import weftory_core as wc

from contracts import DICT_CHANGED_SIZE, DICT_KEYS_CHANGED, PANIC_EXCEPTION

pytestmark = pytest.mark.threads

N_THREADS = 6


@pytest.fixture(autouse=True)
def frequent_thread_switches():
    # Make the interpreter switch threads often so that calls really interleave.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def make_recipes(seed, n_sources=8, n_derived=120):
    """A deterministic list of node recipes; inputs name earlier recipes, duplicates included."""
    rng = random.Random(seed)
    recipes = [("source", f"s{i % 5}", (), {"i": i % 3}) for i in range(n_sources)]
    for _ in range(n_derived):
        kind = rng.choice(["op", "op", "reduction", "exchange", "join", "external"])
        arity = rng.randint(0, 3)
        inputs = tuple(rng.randrange(len(recipes)) for _ in range(arity))
        params = {rng.choice("abc"): rng.choice([0, 1, 1.0, True, "x"])} if rng.random() < 0.6 else None
        recipes.append((kind, rng.choice(["f", "g"]), inputs, params))
    return recipes


DESCRIPTOR = {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}


def run_recipe(store, recipe, ids):
    kind, name, inputs, params = recipe
    node_inputs = [ids[i] for i in inputs]
    if kind == "source":
        return store.add_source(name, params)
    if kind == "op":
        return store.add_op(name, node_inputs, params)
    if kind == "reduction":
        return store.add_reduction(name, node_inputs, params)
    if kind == "exchange":
        return store.add_exchange(node_inputs, params)
    if kind == "join":
        return store.add_join(node_inputs, params)
    return store.add_external(DESCRIPTOR, node_inputs, params)


def build(store, recipes, order, pause=False):
    ids = {}
    for r in order:
        ids[r] = run_recipe(store, recipes[r], ids)
        if pause:
            time.sleep(0)  # let other threads in between two adds
    return [ids[r] for r in range(len(recipes))]


def run_threads(target, n):
    barrier = threading.Barrier(n)
    results = [None] * n
    errors = []

    def worker(k):
        try:
            barrier.wait()
            results[k] = target(k)
        except BaseException as exc:  # noqa: B036 - report everything to the main thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    return results


def structural_keys(nodes):
    """Describe every node by its structure, with inputs replaced by their own descriptions."""
    keys = []
    for node in nodes:
        params = tuple((k, type(v).__name__, repr(v)) for k, v in node["params"].items())
        desc = tuple(node["descriptor"].items()) if "descriptor" in node else None
        keys.append((node["kind"], node["name"], params, desc, tuple(keys[i] for i in node["inputs"])))
    return keys


def test_threads_following_one_order_build_the_single_threaded_store():
    recipes = make_recipes(seed=7)
    reference = wc.GraphStore()
    reference_ids = build(reference, recipes, range(len(recipes)))

    for _ in range(3):
        shared = wc.GraphStore()
        results = run_threads(lambda k: build(shared, recipes, range(len(recipes))), N_THREADS)
        assert all(r == reference_ids for r in results)
        assert shared.node_count() == reference.node_count() == len(set(reference_ids))
        assert shared.nodes() == reference.nodes()


def topological_shuffle(recipes, seed):
    """A random order of recipe indices in which every recipe follows its inputs."""
    rng = random.Random(seed)
    depth = []
    for _, _, inputs, _ in recipes:
        depth.append(1 + max((depth[i] for i in inputs), default=0))
    order = list(range(len(recipes)))
    rng.shuffle(order)
    order.sort(key=lambda r: depth[r])
    return order


def test_threads_in_different_orders_agree_on_ids():
    recipes = make_recipes(seed=11)
    reference = wc.GraphStore()
    build(reference, recipes, range(len(recipes)))
    distinct = reference.node_count()
    assert distinct < len(recipes)  # the recipes contain duplicates

    shared = wc.GraphStore()
    orders = [topological_shuffle(recipes, seed) for seed in range(N_THREADS)]
    results = run_threads(lambda k: build(shared, recipes, orders[k], pause=k % 2 == 0), N_THREADS)

    assert all(r == results[0] for r in results)
    assert shared.node_count() == distinct
    nodes = shared.nodes()
    assert [n["id"] for n in nodes] == list(range(distinct))
    assert all(i < n["id"] for n in nodes for i in n["inputs"])
    # Same nodes as the single-threaded build, though possibly numbered differently.
    assert sorted(map(repr, structural_keys(nodes))) == sorted(map(repr, structural_keys(reference.nodes())))
    # Each recipe's id names a node with the recipe's structure.
    shared_keys = structural_keys(nodes)
    reference_keys = structural_keys(reference.nodes())
    reference_ids = build(wc.GraphStore(), recipes, range(len(recipes)))
    for recipe_index, node_id in enumerate(results[0]):
        assert shared_keys[node_id] == reference_keys[reference_ids[recipe_index]]


def test_concurrent_adds_of_one_node_get_one_id():
    store = wc.GraphStore()
    store.add_source("a")
    store.add_source("b")

    def adder(k):
        return [store.add_op("add", [0, 1], {"round": r}) for r in range(200)]

    results = run_threads(adder, N_THREADS)
    assert all(r == list(range(2, 202)) for r in results)
    assert store.node_count() == 202


def test_readers_see_consistent_snapshots_while_writers_add():
    recipes = make_recipes(seed=3, n_derived=200)
    reference_ids = build(wc.GraphStore(), recipes, range(len(recipes)))
    orders = {k: topological_shuffle(recipes, k) for k in (1, 2, 3)}
    half = len(recipes) // 2
    # The nodes the writers have added when all of them are half-way through their orders.
    halfway_count = len({reference_ids[r] for order in orders.values() for r in order[:half]})
    assert 0 < halfway_count < len(set(reference_ids))

    store = wc.GraphStore()
    stop = threading.Event()
    resume = threading.Event()
    # The writers wait for the reader half-way, so that it sees the store mid-build however the
    # threads are scheduled: a reader can otherwise be kept off the processor until the writers
    # are done (on a loaded machine, or under a sanitizer).
    halfway = threading.Barrier(4, timeout=60)
    snapshots = []
    at_halfway = []

    def snapshot():
        count_before = store.node_count()
        nodes = store.nodes()
        count_after = store.node_count()
        assert count_before <= len(nodes) <= count_after
        snapshots.append(nodes)
        return nodes

    def reader():
        snapshot()
        halfway.wait()
        at_halfway.append(snapshot())
        resume.set()
        while not stop.is_set() or len(snapshots) < 20:
            snapshot()

    def writer(k):
        ids = {}
        for position, r in enumerate(orders[k]):
            if position == half:
                halfway.wait()
                assert resume.wait(timeout=60)
            ids[r] = run_recipe(store, recipes[r], ids)
            time.sleep(0)  # let other threads in between two adds
        return [ids[r] for r in range(len(recipes))]

    def job(k):
        if k == 0:
            reader()
            return None
        try:
            return writer(k)
        finally:
            if k == 1:
                stop.set()

    results = run_threads(job, 4)
    assert results[1] == results[2] == results[3]
    final = store.nodes()
    assert len(final) == len(set(reference_ids))
    # While the writers waited, the store held exactly what they had added.
    assert [len(nodes) for nodes in at_halfway] == [halfway_count]
    for snap in snapshots:
        # Append-only: every snapshot is a prefix of the final view.
        assert snap == final[: len(snap)]


# --- params dicts changed during conversion ----------------------------------------------


class MutatesOnIndex:
    def __init__(self, mutate):
        self.mutate = mutate
        self.target = None

    def __index__(self):
        self.mutate(self.target)
        return 1


class MutatesOnFloat:
    def __init__(self, mutate):
        self.mutate = mutate
        self.target = None

    def __float__(self):
        self.mutate(self.target)
        return 1.0


def insert_key(d):
    d["inserted"] = 0


def remove_later_key(d):
    del d["z"]


def swap_visited_key(d):
    # Same size afterwards, but iteration now yields one item more than it started with.
    del d["a"]
    d["new"] = 0


@pytest.mark.parametrize("value_type", [MutatesOnIndex, MutatesOnFloat])
@pytest.mark.parametrize(
    "mutate, message",
    [(insert_key, DICT_CHANGED_SIZE), (remove_later_key, DICT_CHANGED_SIZE), (swap_visited_key, DICT_KEYS_CHANGED)],
    ids=["insert", "remove", "delete-and-insert"],
)
@pytest.mark.parametrize("method", ["add_source", "add_op", "add_external", "add_join"])
def test_params_dict_changed_during_conversion_panics(value_type, mutate, message, method):
    store = wc.GraphStore()
    store.add_source("a")
    store.add_source("b")
    before = store.nodes()

    value = value_type(mutate)
    params = {"a": 1, "m": value, "z": 2}
    value.target = params
    call = {
        "add_source": lambda: store.add_source("s", params),
        "add_op": lambda: store.add_op("f", [0, 1], params),
        "add_external": lambda: store.add_external(DESCRIPTOR, [0], params),
        "add_join": lambda: store.add_join([0, 1], params),
    }[method]

    value_refs = sys.getrefcount(value)
    params_refs = sys.getrefcount(params)
    try:
        call()
    except BaseException as exc:  # noqa: B036 - the panic is not an Exception
        outcome = (type(exc).__name__, isinstance(exc, Exception), exc.args)
    else:
        outcome = None
    assert outcome == (PANIC_EXCEPTION, False, (message,))
    # The failed call keeps nothing alive.
    assert sys.getrefcount(value) == value_refs
    assert sys.getrefcount(params) == params_refs

    # Nothing was added, and the store is still fully usable.
    assert store.node_count() == 2
    assert store.nodes() == before
    assert store.add_source("after") == 2
    assert store.add_op("f", [0, 1], {"a": 1}) == 3


def put_back_visited_key(d):
    # The same key removed and inserted again: the size is unchanged, and the insert into the
    # full table compacts it, so iteration meets "a" a second time and skips "k1".
    del d["a"]
    d["a"] = 2


@pytest.mark.parametrize("value_type", [MutatesOnIndex, MutatesOnFloat])
@pytest.mark.parametrize("method", ["add_source", "add_op", "add_reduction", "add_external", "add_exchange", "add_join"])
def test_key_put_back_during_conversion_panics(value_type, method):
    store = wc.GraphStore()
    store.add_source("a")
    before = store.serialize()

    value = value_type(put_back_visited_key)
    params = {"a": value, "k1": 0, "k2": 0, "k3": 0, "k4": 0}
    value.target = params
    call = {
        "add_source": lambda: store.add_source("s", params),
        "add_op": lambda: store.add_op("f", [0], params),
        "add_reduction": lambda: store.add_reduction("f", [0], params),
        "add_external": lambda: store.add_external(DESCRIPTOR, [0], params),
        "add_exchange": lambda: store.add_exchange([0], params),
        "add_join": lambda: store.add_join([0], params),
    }[method]
    try:
        call()
    except BaseException as exc:  # noqa: B036 - the panic is not an Exception
        outcome = (type(exc).__name__, exc.args)
    else:
        outcome = ("stored", store.nodes()[-1]["params"])
    assert outcome == (PANIC_EXCEPTION, (DICT_KEYS_CHANGED,))
    assert store.serialize() == before


class SlowZero:
    """An int param value converted through Python code, so that threads interleave inside the
    conversion even where a GIL keeps the rest of the call atomic."""

    def __index__(self):
        return 0


def test_params_dict_changed_by_another_thread_never_stores_a_repeated_key():
    keys = [f"k{i}" for i in range(6)]
    params = {k: (SlowZero() if i % 2 else 0) for i, k in enumerate(keys)}
    store = wc.GraphStore()
    stop = threading.Event()

    def churn():
        # Pops and puts back existing keys, so that most of the time the dict has its usual size.
        while not stop.is_set():
            for k in keys:
                v = params.pop(k)
                params[k] = v

    outcomes = []
    churner = threading.Thread(target=churn)
    churner.start()
    try:
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline and len(outcomes) < 200_000:
            try:
                outcomes.append(("stored", store.add_source("s", params)))
            except BaseException as exc:  # noqa: B036 - the panic is not an Exception
                outcomes.append((type(exc).__name__, exc.args))
    finally:
        stop.set()
        churner.join(timeout=60)
    assert not churner.is_alive()

    panics = {(DICT_CHANGED_SIZE,), (DICT_KEYS_CHANGED,)}
    unexpected = [o for o in outcomes if o[0] != "stored" and not (o[0] == PANIC_EXCEPTION and o[1] in panics)]
    assert unexpected == []
    for node in store.nodes():
        assert set(node["params"]) <= set(keys)
        assert set(node["params"].values()) == {0}
    # Every stored node has unique keys: the blob reader, which refuses a repeated key, reads it back.
    assert wc.GraphStore.deserialize(store.serialize()).nodes() == store.nodes()


# The first panic of a process makes the PanicException class. Threads that panic at once in a
# fresh process all race to make it; every one of them must raise the one class that is published.
FIRST_PANICS = """
import threading
import weftory_core as wc

class Grows:
    def __init__(self):
        self.target = None

    def __index__(self):
        self.target["inserted"] = 0
        return 1

N = 8
barrier = threading.Barrier(N)
raised = [None] * N

def panic(k):
    value = Grows()
    params = {"a": value, "b": 1}
    value.target = params
    store = wc.GraphStore()
    barrier.wait()
    try:
        store.add_source("s", params)
    except BaseException as exc:
        raised[k] = exc

threads = [threading.Thread(target=panic, args=(k,)) for k in range(N)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(len(set(map(type, raised))))
print(type(raised[0]).__name__)
print(sorted({exc.args for exc in raised}))
"""


def test_threads_panicking_first_in_a_process_raise_one_class():
    done = subprocess.run([sys.executable, "-c", FIRST_PANICS], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["1", PANIC_EXCEPTION, repr([(DICT_CHANGED_SIZE,)])]


# --- inputs lists changed during conversion -----------------------------------------------------


class InputsList(list):
    """A list subclass: converted through the sequence protocol rather than read by position."""


@pytest.mark.parametrize("sequence_type", [list, InputsList], ids=["list", "list subclass"])
def test_inputs_list_changed_by_another_thread_is_read_as_one_of_its_states(sequence_type):
    store = wc.GraphStore()
    for name in "abc":
        store.add_source(name)
    inputs = sequence_type([0, 1])
    stop = threading.Event()

    def churn():
        # The list is [0, 1] or [0, 1, 2] at any moment.
        while not stop.is_set():
            inputs.append(2)
            inputs.pop()

    churner = threading.Thread(target=churn)
    churner.start()
    try:
        ids = set()
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline and len(ids) < 2:
            for _ in range(200):
                ids.add(store.add_op("f", inputs))
    finally:
        stop.set()
        churner.join(timeout=60)
    assert not churner.is_alive()
    # Items are read one at a time, so a call sees the list as it was at one moment or the other.
    assert sorted(node["inputs"] for node in store.nodes()[3:]) == [[0, 1], [0, 1, 2]][: len(ids)]
    assert len(ids) == store.node_count() - 3

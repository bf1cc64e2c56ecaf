"""Pickling and copying a GraphStore: nodes, ids, marks and node map all survive."""

import copy
import multiprocessing
import pickle
import re

import pytest

import weftory_core as wc

from blob_builder import DESCRIPTOR, every_kind_blob, stage_blob
from contracts import BAD_MAGIC, MAGIC, TRUNCATED, bad_node_map_entry


def snapshot(store):
    """Everything observable about a store, NaN-safe (compared through the blob bytes)."""
    return (store.serialize(), store.outputs(), store.node_map(), store.node_count(), repr_nodes(store))


def repr_nodes(store):
    return repr(store.nodes())


def cone_store():
    store = wc.GraphStore()
    store.add_source("a", {"rows": 10})
    store.add_source("b", {"w": float("nan"), "z": -0.0})
    store.add_op("add", [0, 1], {"scalar": 0.5, "side": "r"})
    store.add_op("neg", [1])
    store.add_external(dict(DESCRIPTOR, preprocessing_ref="p"), [3])
    store.add_exchange([4], {"scheme": "hash"})
    store.add_join([5, 3])
    return store.cone(outputs=[6, 3, 6])


STORES = {
    "empty": wc.GraphStore,
    "built": lambda: cone_store().cone(outputs=[0, 1, 2, 3, 4]),
    "cone": cone_store,
    "every_kind": lambda: wc.GraphStore.deserialize(every_kind_blob()),
    "stage": lambda: wc.GraphStore.deserialize(stage_blob()),
    "long_stage": lambda: long_stage_store(3000),
}


def long_stage_store(n):
    """The reduction of a chain of n ops of one and two inputs: one stage of n members."""
    store = wc.GraphStore()
    b = store.add_source("b")
    cur = store.add_source("a")
    for j in range(n):
        cur = store.add_op("sub", [cur, b]) if j % 3 == 0 else store.add_op("exp", [cur], {"k": j})
    reduced, _ = store.reduce(outputs=[cur])
    assert [node.get("n_members") for node in reduced.nodes()] == [None, None, n]
    return reduced


def test_cone_store_has_marks_and_node_map():
    store = cone_store()
    assert store.outputs() == [4, 1]
    assert store.node_map() == [None, (0, None), None, (1, None), (2, None), (3, None), (4, None)]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", sorted(STORES))
def test_pickle_round_trip(name, protocol):
    store = STORES[name]()
    back = pickle.loads(pickle.dumps(store, protocol=protocol))
    assert type(back) is wc.GraphStore
    assert back is not store
    assert snapshot(back) == snapshot(store)


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
@pytest.mark.parametrize("name", sorted(STORES))
def test_copies_keep_everything(name, copier):
    store = STORES[name]()
    twin = copier(store)
    assert type(twin) is wc.GraphStore
    assert snapshot(twin) == snapshot(store)
    # The copy is a store of its own.
    before = snapshot(store)
    twin.add_source("only in the copy")
    assert snapshot(store) == before
    assert twin.node_count() == store.node_count() + 1


def test_deepcopy_inside_a_container_shares_one_copy():
    store = cone_store()
    pair = copy.deepcopy([store, store])
    assert pair[0] is pair[1]
    assert snapshot(pair[0]) == snapshot(store)


def test_reduce_carries_the_blob_and_the_node_map():
    store = cone_store()
    restore, args = store.__reduce__()
    assert restore == wc.GraphStore._from_pickle
    data, node_map = args
    assert data == store.serialize()
    assert node_map == store.node_map()


def test_member_indexes_in_the_node_map_survive():
    data = stage_blob()
    node_map = [(0, None), (1, None), (2, 0), (2, 1), (2, 2), None, (3, None)]
    store = wc.GraphStore._from_pickle(data, node_map)
    assert store.node_map() == node_map
    assert store.serialize() == data
    back = pickle.loads(pickle.dumps(store))
    assert back.node_map() == node_map


@pytest.mark.parametrize(
    "node_map",
    [
        [(4, None)],
        [(0, None), (100, None)],
        [None, (2**64 - 1, None)],
        [(4, 0)],
    ],
)
def test_tampered_node_map_is_refused(node_map):
    data = wc.GraphStore.deserialize(stage_blob()).serialize()  # four nodes
    with pytest.raises(ValueError):
        wc.GraphStore._from_pickle(data, node_map)


@pytest.mark.parametrize(
    "node_map, message",
    [
        ([(0, None, 1)], bad_node_map_entry(0, "a tuple of length 3")),
        ([None, (0,)], bad_node_map_entry(1, "a tuple of length 1")),
        ([(0, None), ()], bad_node_map_entry(1, "a tuple of length 0")),
        ([[0, None]], bad_node_map_entry(0, "'list'")),
        ([None, None, 3], bad_node_map_entry(2, "'int'")),
    ],
)
def test_malformed_node_map_entry_is_named(expect_conversion_error, node_map, message):
    data = wc.GraphStore.deserialize(stage_blob()).serialize()
    expect_conversion_error(lambda: wc.GraphStore._from_pickle(data, node_map), TypeError, message, "node_map")


def test_tampered_blob_is_refused():
    with pytest.raises(ValueError, match=f"^{TRUNCATED}$"):
        wc.GraphStore._from_pickle(MAGIC, [])
    with pytest.raises(ValueError, match=f"^{re.escape(BAD_MAGIC)}$"):
        pickle.loads(pickle.dumps(cone_store()).replace(MAGIC, b"WIR9"))


def describe(store):
    """Runs in a worker process."""
    return snapshot(store), store


def test_store_travels_to_a_spawned_worker_and_back():
    store = cone_store()
    context = multiprocessing.get_context("spawn")
    with context.Pool(1) as pool:
        seen, back = pool.apply(describe, (store,))
    assert seen == snapshot(store)
    assert snapshot(back) == snapshot(store)

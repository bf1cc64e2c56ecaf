"""Stores travel to Dask worker processes, are reduced there, and come back equal to a local reduction.

One small LocalCluster (two worker processes) serves the whole file and is always shut down; every
wait on it is bounded. Skipped where `distributed` is not installed: it is a test dependency only.
"""

import importlib.util
import logging
import os
import pathlib
import random
from operator import methodcaller

import pytest

import weftory_core as wc

distributed = pytest.importorskip("distributed")

TIMEOUT = 120
EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "dask_workers.py"
OPS = ["add", "mul", "maximum", "sub", "neg", "abs"]


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=logging.ERROR) as cluster:
        with distributed.Client(cluster, timeout=TIMEOUT) as client:
            client.wait_for_workers(2, timeout=TIMEOUT)
            yield client


def random_graph(seed):
    """A store of sources, ops (with commuted duplicates and identities), boundaries, and outputs."""
    rng = random.Random(seed)
    store = wc.GraphStore()
    ids = [store.add_source(f"s{i}", {"i": i}) for i in range(3)]
    for _ in range(rng.randint(20, 60)):
        pick = rng.random()
        if pick < 0.6:
            name = rng.choice(OPS)
            arity = 1 if name in ("neg", "abs") else 2
            params = {"scalar": 1.0, "side": "l"} if name == "mul" and rng.random() < 0.2 else None
            ids.append(store.add_op(name, rng.sample(ids, min(arity, len(ids))) if arity == 2 else [rng.choice(ids)],
                                    params))
        elif pick < 0.75:
            ids.append(store.add_reduction("sum", [rng.choice(ids)], {"axis": rng.randint(0, 1)}))
        elif pick < 0.9:
            ids.append(store.add_exchange([rng.choice(ids)], {"partitions": rng.randint(1, 4)}))
        else:
            ids.append(store.add_join(rng.sample(ids, 2), {"how": "inner"}))
    outputs = sorted(set(rng.sample(ids[3:], 3)))
    return store, outputs


def on_worker(client, worker, call, store):
    sent = client.scatter(store, workers=[worker], hash=False)
    return client.submit(call, sent, workers=[worker], pure=False).result(timeout=TIMEOUT)


def test_workers_are_other_processes_that_import_the_module(client):
    versions = client.run(wc.version, wait=True)
    pids = client.run(os.getpid, wait=True)
    assert len(versions) == 2 and set(versions.values()) == {wc.version()}
    assert os.getpid() not in pids.values()


def test_store_arrives_on_a_worker_unchanged(client):
    store, outputs = random_graph(0)
    reduced, _ = store.reduce(outputs=outputs)
    worker = sorted(client.scheduler_info()["workers"])[0]
    for original in (store, reduced):
        seen = on_worker(client, worker, methodcaller("serialize"), original)
        assert seen == original.serialize()
        assert on_worker(client, worker, methodcaller("node_map"), original) == original.node_map()


@pytest.mark.parametrize("maximal_fusion", [False, True])
def test_reductions_on_workers_equal_local_ones(client, maximal_fusion):
    workers = sorted(client.scheduler_info()["workers"])
    graphs = [random_graph(seed) for seed in range(1, 7)]
    futures = []
    for i, (store, outputs) in enumerate(graphs):
        worker = [workers[i % 2]]
        sent = client.scatter(store, workers=worker, hash=False)
        call = methodcaller("reduce", maximal_fusion=maximal_fusion, outputs=outputs)
        futures.append(client.submit(call, sent, workers=worker, pure=False))
    distributed.wait(futures, timeout=TIMEOUT)
    for (store, outputs), future in zip(graphs, futures):
        reduced, report = future.result(timeout=TIMEOUT)
        local, local_report = store.reduce(maximal_fusion=maximal_fusion, outputs=outputs)
        assert reduced.serialize() == local.serialize()
        assert reduced.node_map() == local.node_map()
        assert reduced.outputs() == local.outputs()
        assert report == local_report
        assert report["input_nodes"] == store.node_count() > report["reduced_nodes"] == reduced.node_count()


def test_incremental_reduction_on_a_worker_equals_the_local_reduce(client):
    store, outputs = random_graph(99)
    worker = sorted(client.scheduler_info()["workers"])[1]
    reduced, report = on_worker(client, worker, methodcaller("reduce_incremental", outputs=outputs), store)
    local, local_report = store.reduce(outputs=outputs)
    assert (reduced.serialize(), reduced.node_map(), report) == (local.serialize(), local.node_map(), local_report)


def test_the_example_checks_pass_on_this_cluster(client, capsys):
    found = importlib.util.spec_from_file_location("dask_workers_example", EXAMPLE)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    graphs = example.build_graphs()
    example.check(client, graphs)
    printed = capsys.readouterr().out
    assert [line.split()[0] for line in printed.splitlines()] == list(graphs)

"""Reduces graph stores on Dask workers and checks that what comes back equals a local reduction.

Starts a `distributed.LocalCluster` with two worker processes, builds a few graphs, sends each
store to a worker (the store travels pickled, with its nodes, marks and node map), reduces it
there with `store.reduce()`, and compares the reduced store's bytes, its node map, its outputs and
the report with those of the same reduction done here:

    python examples/dask_workers.py

Needs `dask[distributed]` (`pip install "dask[distributed]"`); weftory_core itself never does.
"""

import logging
import os
from operator import methodcaller

import weftory_core as wc

TIMEOUT = 120  # seconds any one wait on the cluster may take


def build_graphs() -> dict[str, tuple[wc.GraphStore, list[int]]]:
    """A few graphs, each with the outputs it is reduced for."""
    graphs = {}

    # The README's graph: a commuted duplicate, an identity, a chain to fuse, a join.
    store = wc.GraphStore()
    a = store.add_source("a", {"dtype": "f32"})
    b = store.add_source("b", {"dtype": "f32"})
    s = store.add_op("add", [a, b])
    x = store.add_external(
        wc.PayloadDescriptor(kind="onnx", content_hash="sha256:5e1f", framework="onnxruntime",
                             version="1.18", io_schema="f32[n] -> f32[n]"),
        [s],
    )
    j = store.add_join([x, b], {"how": "inner"})
    t = store.add_op("add", [b, a])
    u = store.add_op("mul", [t], {"scalar": 1.0, "side": "l"})
    n = store.add_op("neg", [u])
    graphs["readme"] = (store, [j, n])

    # A long chain of element-wise ops over two sources, with dead branches the outputs skip.
    store = wc.GraphStore()
    left, right = store.add_source("left"), store.add_source("right")
    node = store.add_op("mul", [left, right])
    for step in range(200):
        node = store.add_op("add" if step % 2 else "maximum", [node, right if step % 3 else left])
        if step % 7 == 0:
            store.add_op("neg", [node])  # consumed by nothing: dropped
    total = store.add_reduction("sum", [node], {"axis": 0})
    graphs["chain"] = (store, [total])

    # Partitions exchanged, reduced and joined: boundaries that stay themselves.
    store = wc.GraphStore()
    parts = []
    for part in range(8):
        src = store.add_source("part", {"index": part})
        scaled = store.add_op("mul", [src], {"scalar": 1.0, "side": "r"})
        moved = store.add_exchange([store.add_op("abs", [scaled])], {"partitions": 4})
        parts.append(store.add_reduction("sum", [moved]))
    joined = parts[0]
    for other in parts[1:]:
        joined = store.add_join([joined, other], {"how": "outer"})
    graphs["partitions"] = (store, [joined, parts[3]])
    return graphs


def reduce_on_workers(client, graphs):
    """Sends each store to a worker, one worker after the other, and reduces it there.

    Returns {name: (reduced store, report, address of the worker that did it)}.
    """
    from distributed import wait

    workers = sorted(client.scheduler_info()["workers"])
    futures = {}
    for i, (name, (store, outputs)) in enumerate(sorted(graphs.items())):
        where = [workers[i % len(workers)]]
        sent = client.scatter(store, workers=where, hash=False)
        futures[name] = (client.submit(methodcaller("reduce", outputs=outputs), sent, workers=where,
                                       pure=False), where[0])
    wait([future for future, _ in futures.values()], timeout=TIMEOUT)
    results = {}
    for name, (future, where) in futures.items():
        reduced, report = future.result(timeout=TIMEOUT)
        results[name] = (reduced, report, where)
    return results


def check(client, graphs) -> None:
    """Raises AssertionError unless every store reduced on a worker equals its local reduction."""
    pids = client.run(os.getpid, wait=True)
    assert len(pids) >= 2 and os.getpid() not in pids.values(), "the workers are not other processes"
    results = reduce_on_workers(client, graphs)
    assert sorted(results) == sorted(graphs)
    assert len({where for _, _, where in results.values()}) == min(len(graphs), len(pids))
    for name, (store, outputs) in graphs.items():
        reduced, report, where = results[name]
        local, local_report = store.reduce(outputs=outputs)
        assert reduced.serialize() == local.serialize(), f"{name}: the reduced stores differ"
        assert reduced.node_map() == local.node_map(), f"{name}: the node maps differ"
        assert reduced.outputs() == local.outputs(), f"{name}: the outputs differ"
        assert report == local_report, f"{name}: the reports differ"
        print(f"{name:>10} on {where}: {report['input_nodes']} nodes -> {report['reduced_nodes']} "
              f"({report['stages']} stages), same as here")


def main() -> None:
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster, Client(cluster, timeout=TIMEOUT) as client:
        check(client, build_graphs())
    print("every store reduced on a worker equals its local reduction")


if __name__ == "__main__":
    main()

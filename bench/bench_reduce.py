"""Cost of GraphStore.reduce per node, by phase, beside Dask's cull + fuse on the same graph.

Five graph shapes at 10^4, 10^5 and 10^6 nodes:
  chains     100 long chains of unary ops with params, every chain end an output
  diamonds   100 strands of diamonds (x -> f(x), g(x) -> add), every strand end an output
  sums       wide commutative sums: pairwise adds with swapped duplicates, summed by a tree
  identity   100 chains whose every other op is an identity (+ 0.0, * 1.0)
  half-dead  the chains shape with only half the chain ends as outputs

For each graph it prints the ns per input node of every phase of the reduction, as timed inside
the core by bench/reduce_bench.cpp on the same graph (read back from its blob), the total of
`reduce()` measured from Python, and `dask.optimization.cull` + `fuse` on the same graph written
as a Dask task graph. On a free-threaded interpreter it also times two threads each reducing its
own 10^5-node store against the two reductions one after the other.

    .venv/bin/python bench/bench_reduce.py [--sizes 10000,100000,1000000] [--shapes chains,...]
        [--phases-binary build-bench/reduce_bench] [--repeat N] [--threads-only]

Dask is a benchmark dependency only; scripts/bench.sh installs it into .venv when it is missing.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import weftory_core as wc

UNARY = [
    ("mul", {"scalar": 2.0, "side": "l"}),
    ("clip", {"lo": -1.0, "hi": 1.0}),
    ("add", {"scalar": 3.0, "side": "r"}),
    ("pow", {"exponent": 2}),
    ("neg", None),
]
IDENTITIES = [
    ("add", {"scalar": 0.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
]


class Graph:
    """One graph as a list of nodes (kind, name, inputs, params) and a list of outputs."""

    def __init__(self) -> None:
        self.nodes: list[tuple[str, str, list[int], dict | None]] = []
        self.outputs: list[int] = []

    def source(self, name: str) -> int:
        self.nodes.append(("source", name, [], None))
        return len(self.nodes) - 1

    def op(self, name: str, inputs: list[int], params: dict | None = None) -> int:
        self.nodes.append(("op", name, inputs, params))
        return len(self.nodes) - 1

    def store(self) -> wc.GraphStore:
        store = wc.GraphStore()
        add_source, add_op = store.add_source, store.add_op
        for kind, name, inputs, params in self.nodes:
            if kind == "source":
                add_source(name, params)
            else:
                add_op(name, inputs, params)
        return store

    def dask(self) -> dict:
        """The same graph as a Dask task graph: key "n<i>", task (function, *input keys)."""
        functions: dict[str, object] = {}

        def function(name: str):
            if name not in functions:
                functions[name] = lambda *args, _n=name: (_n, args)
            return functions[name]

        graph = {}
        for i, (kind, name, inputs, _params) in enumerate(self.nodes):
            if kind == "source":
                graph[f"n{i}"] = (function("load"), name)
            else:
                graph[f"n{i}"] = (function(name), *[f"n{j}" for j in inputs])
        return graph


def chains(n: int, live_fraction: float = 1.0) -> Graph:
    g = Graph()
    length = max(1, n // 100 - 1)
    for c in range(100):
        at = g.source(f"col{c}")
        for k in range(length):
            name, params = UNARY[(c + k) % len(UNARY)]
            at = g.op(name, [at], params)
        if c < 100 * live_fraction:
            g.outputs.append(at)
    return g


def diamonds(n: int) -> Graph:
    g = Graph()
    per_strand = max(1, (n // 100 - 1) // 3)
    for c in range(100):
        at = g.source(f"col{c}")
        for k in range(per_strand):
            left = g.op("exp", [at])
            right = g.op("mul", [at], {"scalar": float(k % 5 + 2), "side": "r"})
            at = g.op("add", [left, right])
        g.outputs.append(at)
    return g


def sums(n: int) -> Graph:
    g = Graph()
    width = max(2, n // 6)
    sources = [g.source(f"col{i}") for i in range(width)]
    terms = []
    while len(g.nodes) + 4 < n and len(terms) < width:
        i = len(terms)
        a, b = sources[i], sources[(i + 1) % width]
        ab = g.op("add", [a, b])
        ba = g.op("add", [b, a])  # the swapped duplicate
        terms.append(g.op("mul", [ab, ba]))
    while len(terms) > 1:
        nxt = [g.op("add", [terms[k], terms[k + 1]]) for k in range(0, len(terms) - 1, 2)]
        if len(terms) % 2:
            nxt.append(terms[-1])
        terms = nxt
    g.outputs.append(terms[0])
    return g


def identity(n: int) -> Graph:
    g = Graph()
    length = max(1, n // 100 - 1)
    for c in range(100):
        at = g.source(f"col{c}")
        for k in range(length):
            if k % 2:
                name, params = IDENTITIES[(c + k) % len(IDENTITIES)]
            else:
                name, params = UNARY[(c + k) % len(UNARY)]
            at = g.op(name, [at], params)
        g.outputs.append(at)
    return g


SHAPES = {
    "chains": chains,
    "diamonds": diamonds,
    "sums": sums,
    "identity": identity,
    "half-dead": lambda n: chains(n, live_fraction=0.5),
}


def best_of(call, runs: int) -> float:
    times = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def dask_cull_fuse(graph: dict, keys: list[str]):
    from dask.optimization import cull, fuse

    culled, dependencies = cull(graph, keys)
    return fuse(culled, keys, dependencies)


def phases(binary: Path, blob: Path, runs: int) -> dict | None:
    if not binary.exists():
        return None
    out = subprocess.run([str(binary), "--repeat", str(runs), str(blob)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


PHASES = ("snapshot", "dead_code", "terms", "engine", "cse", "fusion", "store_build")


def measure(sizes: list[int], shapes: list[str], binary: Path, repeat: int | None) -> None:
    try:
        import dask  # noqa: F401

        have_dask = True
    except ImportError:
        have_dask = False
        print("dask is not installed: no baseline column (scripts/bench.sh installs it)")
    header = (
        f"{'shape':<10} {'nodes':>8} {'reduced':>8} | "
        + " ".join(f"{p[:7]:>7}" for p in PHASES)
        + f" | {'core':>7} {'reduce()':>8} | {'dask':>8} {'x dask':>7}"
    )
    print("ns per input node; phases timed inside the core, reduce() from Python, dask = cull + fuse")
    print(header)
    print("-" * len(header))
    flat: dict[str, list[float]] = {}
    with tempfile.TemporaryDirectory() as tmp:
        for shape in shapes:
            for n in sizes:
                graph = SHAPES[shape](n)
                store = graph.store()
                count = store.node_count()
                runs = repeat or (3 if count <= 200_000 else 1)
                reduced, report = store.reduce(outputs=graph.outputs)
                python_total = best_of(lambda: store.reduce(outputs=graph.outputs), runs)
                blob = Path(tmp) / f"{shape}-{n}.wir"
                blob.write_bytes(store.serialize(outputs=graph.outputs))
                timed = phases(binary, blob, runs)
                per = 1e9 / count
                cells = " ".join(f"{timed[p] * per:7.1f}" if timed else f"{'-':>7}" for p in PHASES)
                core = sum(timed[p] for p in PHASES) * per if timed else float("nan")
                if have_dask:
                    dsk = graph.dask()
                    keys = [f"n{o}" for o in graph.outputs]
                    dask_time = best_of(lambda: dask_cull_fuse(dsk, keys), repeat or (1 if count > 200_000 else 2))
                    del dsk
                    dask_cell = f"{dask_time * per:8.1f} {dask_time / python_total:6.1f}x"
                else:
                    dask_cell = f"{'-':>8} {'-':>7}"
                flat.setdefault(shape, []).append(python_total * per)
                print(
                    f"{shape:<10} {count:>8} {report['reduced_nodes']:>8} | {cells} | {core:7.1f} "
                    f"{python_total * per:8.1f} | {dask_cell}",
                    flush=True,
                )
                del store, reduced, graph
    if len(sizes) > 1:
        print("cost per node, largest size over smallest (reduce()):",
              ", ".join(f"{s} {v[-1] / v[0]:.2f}" for s, v in flat.items()))


def threads(n: int = 100_000) -> None:
    """Two reductions one after the other, then at once on two threads: on the two threads of a
    pool that has already run reductions (how a service runs them), and on two threads started
    for the call. A fresh thread's allocator arena starts empty, so its first reduction also pays
    the page faults of its working memory (tens of thousands at 10^5 nodes), which the second
    row shows."""
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"two reductions of {n}-node stores (chains), {'GIL enabled' if gil else 'free-threaded'} "
          f"interpreter {sys.version.split()[0]}")
    graphs = [chains(n), chains(n)]
    stores = [g.store() for g in graphs]

    def one(k: int) -> None:
        stores[k].reduce(outputs=graphs[k].outputs)

    def fresh_threads() -> None:
        workers = [threading.Thread(target=one, args=(k,)) for k in range(2)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        def pooled() -> None:
            list(pool.map(one, range(2)))

        pooled()
        pooled()
        serial = []
        parallel = {"pool": [], "fresh": []}
        for _ in range(7):
            start = time.perf_counter()
            one(0)
            one(1)
            serial.append(time.perf_counter() - start)
            for label, run in (("pool", pooled), ("fresh", fresh_threads)):
                start = time.perf_counter()
                run()
                parallel[label].append(time.perf_counter() - start)
    s = statistics.median(serial)
    print(f"  one after the other:          {s * 1e3:8.1f} ms")
    for label, text in (("pool", "two threads of a warm pool:"), ("fresh", "two threads started anew:")):
        p = statistics.median(parallel[label])
        print(f"  {text:<29} {p * 1e3:8.1f} ms   ratio {p / s:.2f} (cores: {os.cpu_count()})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--shapes", default=",".join(SHAPES))
    parser.add_argument("--phases-binary", default="build-bench/reduce_bench")
    parser.add_argument("--threads-only", action="store_true")
    parser.add_argument("--repeat", type=int, default=None,
                        help="runs per measurement, the best one kept (default 3 below 200000 nodes, else 1)")
    args = parser.parse_args()
    if not args.threads_only:
        measure([int(s) for s in args.sizes.split(",")], args.shapes.split(","), Path(args.phases_binary), args.repeat)
    if args.threads_only or not getattr(sys, "_is_gil_enabled", lambda: True)():
        threads()


if __name__ == "__main__":
    main()

"""Cost of building and reading a GraphStore, beside a plain pure-Python interning store.

Prints, for stores of 10^4, 10^5 and 10^6 nodes, the cost per call of add_source, add_op and
nodes(), the resident bytes per node, the speed-up of add_op over the pure-Python baseline, and
nodes() beside pickle.loads of its own output (which makes the same objects; above 1 is faster).
Each size runs in a fresh process so that the resident-memory figure is its own.

Then, in one process, the new-node path beside the found path (add_op of two inputs with three
params, and with none) and beside the pure-Python store adding the same new nodes.

    .venv/bin/python bench/bench_store.py [--sizes 10000,100000,1000000] [--aims-only]
"""

from __future__ import annotations

import argparse
import gc
import itertools
import json
import math
import pickle
import random
import subprocess
import sys
import time


class PyStore:
    """The plainest interning store a user would write: a dict keyed by tuples, same checks."""

    def __init__(self) -> None:
        self._index: dict[tuple, int] = {}
        self._nodes: list[tuple] = []

    @staticmethod
    def _params(params):
        if params is None:
            return ()
        if not isinstance(params, dict):
            raise TypeError("params must be a dict or None")
        items = []
        for key, value in params.items():
            if not isinstance(key, str):
                raise TypeError(f"'{type(key).__qualname__}' object is not an instance of 'str'")
            if type(value) is bool:
                items.append((key, 2, value))
            elif isinstance(value, int) and -(2**63) <= value < 2**63:
                items.append((key, 0, value))
            elif isinstance(value, (int, float)):
                value = float(value)
                items.append((key, 1, "nan" if math.isnan(value) else value.hex()))
            elif isinstance(value, str):
                items.append((key, 3, value))
            else:
                raise TypeError("param values must be int, float, bool, or str")
        items.sort(key=lambda item: item[0].encode())
        return tuple(items)

    def _intern(self, key: tuple, inputs: tuple) -> int:
        count = len(self._nodes)
        for i in inputs:
            if i >= count:
                raise ValueError(f"no node with id {i}")
        found = self._index.get(key)
        if found is not None:
            return found
        self._index[key] = count
        self._nodes.append(key)
        return count

    def add_source(self, name, params=None) -> int:
        if not isinstance(name, str):
            raise TypeError(f"'{type(name).__qualname__}' object is not an instance of 'str'")
        return self._intern((0, name, self._params(params), ()), ())

    def add_op(self, name, inputs, params=None) -> int:
        if not isinstance(name, str):
            raise TypeError(f"'{type(name).__qualname__}' object is not an instance of 'str'")
        if isinstance(inputs, str):
            raise TypeError("Can't extract `str` to `Vec`")
        ids = []
        for i in inputs:
            i = i.__index__()
            if i < 0:
                raise OverflowError("can't convert negative int to unsigned")
            ids.append(i)
        ids = tuple(ids)
        return self._intern((1, name, self._params(params), ids), ids)

    def nodes(self) -> list[dict]:
        out = []
        for i, (kind, name, params, inputs) in enumerate(self._nodes):
            out.append({
                "id": i,
                "output": False,
                "inputs": list(inputs),
                "kind": "source" if kind == 0 else "op",
                "name": name,
                "params": {k: v for k, _, v in params},
            })
        return out


def workload(n: int, seed: int = 7):
    """n calls: one in ten adds a source, the rest add two-input ops with three params, and one op
    call in five repeats an earlier one exactly."""
    rng = random.Random(seed)
    calls = []
    ops = []
    sources = 0
    for k in range(n):
        if k < 2 or k % 10 == 0:
            calls.append(("source", f"s{sources}", {"dtype": "f32", "rows": sources}))
            sources += 1
        elif ops and rng.random() < 0.2:
            calls.append(rng.choice(ops))
        else:
            hi = k
            call = ("op", rng.choice(("add", "mul", "sub", "max")),
                    [rng.randrange(max(1, hi // 2)), rng.randrange(max(1, hi // 2))],
                    {"scalar": rng.random(), "side": rng.choice(("l", "r")), "axis": rng.randrange(4)})
            ops.append(call)
            calls.append(call)
    return calls


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def build(store, calls):
    """Adds every call; each run of consecutive calls of one kind is timed as a whole, so the
    timer's own cost is spread over the run rather than added to every call."""
    add_source, add_op = store.add_source, store.add_op
    totals = {"source": [0.0, 0], "op": [0.0, 0]}
    perf = time.perf_counter
    for kind, run in itertools.groupby(calls, key=lambda call: call[0]):
        run = list(run)
        if kind == "source":
            t0 = perf()
            for _, name, params in run:
                add_source(name, params)
        else:
            t0 = perf()
            for _, name, inputs, params in run:
                add_op(name, inputs, params)
        totals[kind][0] += perf() - t0
        totals[kind][1] += len(run)
    return (totals["source"][0] / totals["source"][1], totals["op"][0] / totals["op"][1])


def run_one(n: int) -> dict:
    import weftory_core

    calls = workload(n)
    result = {"n": n}
    for label, factory in (("weftory", weftory_core.GraphStore), ("python", PyStore)):
        gc.collect()
        before = rss_bytes()
        store = factory()
        gc.disable()
        per_source, per_op = build(store, calls)
        gc.enable()
        after = rss_bytes()
        count = store.node_count() if label == "weftory" else len(store._nodes)
        t0 = time.perf_counter()
        view = store.nodes()
        per_node_view = (time.perf_counter() - t0) / count
        assert len(view) == count
        # pickle.loads of the same list makes the same objects: the floor a
        # reader of nodes() is compared with.
        pickled = pickle.dumps(view, protocol=pickle.HIGHEST_PROTOCOL)
        del view
        gc.collect()
        t0 = time.perf_counter()
        again = pickle.loads(pickled)
        per_node_loads = (time.perf_counter() - t0) / count
        del again, pickled
        result[label] = {
            "nodes": count,
            "add_source_us": per_source * 1e6,
            "add_op_us": per_op * 1e6,
            "nodes_us_per_node": per_node_view * 1e6,
            "loads_us_per_node": per_node_loads * 1e6,
            "bytes_per_node": (after - before) / count,
        }
        del store
    return result


def op_calls(n: int, params: bool) -> list[tuple]:
    """n distinct add_op calls of one shape (two inputs, three params or none) after 64 sources:
    call k reads a random earlier node and node 63 + k, so every call adds a node."""
    rng = random.Random(n)
    calls = []
    for k in range(n):
        inputs = [rng.randrange(64 + k), 63 + k]
        extra = {"scalar": k + 0.25, "side": "l" if k % 2 else "r", "axis": k % 4} if params else None
        calls.append(("add" if k % 3 else "mul", inputs, extra))
    return calls


def timed_adds(factory, calls, runs: int) -> tuple[float, float]:
    """Best seconds per call over `runs` fresh stores: adding every call new, then adding them all
    again (every node found). The garbage collector is off while a run is timed."""
    best_new = best_found = float("inf")
    perf = time.perf_counter
    for _ in range(runs):
        store = factory()
        for k in range(64):
            store.add_source(f"s{k}")
        add_op = store.add_op
        gc.collect()
        gc.disable()
        try:
            t0 = perf()
            for name, inputs, params in calls:
                add_op(name, inputs, params)
            t1 = perf()
            for name, inputs, params in calls:
                add_op(name, inputs, params)
            t2 = perf()
        finally:
            gc.enable()
        best_new = min(best_new, (t1 - t0) / len(calls))
        best_found = min(best_found, (t2 - t1) / len(calls))
        del store
    return best_new, best_found


def aims(sizes: list[int]) -> None:
    """The new-node path beside the found path and beside the pure-Python store, all in this process."""
    import weftory_core

    header = (f"{'new nodes':>9} {'params':>6} | {'found ns':>8} {'new ns':>8} {'new/found':>9} | "
              f"{'py new ns':>9} {'x python':>8}")
    print(header)
    print("-" * len(header))
    for n in sizes:
        runs = 5 if n <= 100_000 else 2
        for params in (True, False):
            calls = op_calls(n, params)
            new, found = timed_adds(weftory_core.GraphStore, calls, runs)
            py_new, _ = timed_adds(PyStore, calls, runs)
            print(f"{n:>9} {'3' if params else 'none':>6} | {found * 1e9:>8.0f} {new * 1e9:>8.0f} "
                  f"{new / found:>9.2f} | {py_new * 1e9:>9.0f} {py_new / new:>8.1f}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--aims-only", action="store_true",
                        help="only the new-node table: found path, new path, pure-Python store")
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(run_one(args.one)))
        return
    sizes = [int(s) for s in args.sizes.split(",")]
    if args.aims_only:
        aims(sizes)
        return
    header = (f"{'calls':>9} {'nodes':>9} | {'add_source us':>13} {'add_op us':>9} {'nodes() us/node':>15} "
              f"{'loads us/node':>13} {'bytes/node':>10} | {'py add_op us':>12} {'py bytes/node':>13} | "
              f"{'add_op x':>8} {'nodes() vs loads':>16}")
    print(header)
    print("-" * len(header))
    for n in sizes:
        out = subprocess.run([sys.executable, __file__, "--one", str(n)], check=True, capture_output=True, text=True)
        r = json.loads(out.stdout)
        w, p = r["weftory"], r["python"]
        print(f"{n:>9} {w['nodes']:>9} | {w['add_source_us']:>13.3f} {w['add_op_us']:>9.3f} "
              f"{w['nodes_us_per_node']:>15.3f} {w['loads_us_per_node']:>13.3f} {w['bytes_per_node']:>10.0f} | "
              f"{p['add_op_us']:>12.3f} {p['bytes_per_node']:>13.0f} | {p['add_op_us'] / w['add_op_us']:>8.1f} "
              f"{w['loads_us_per_node'] / w['nodes_us_per_node']:>16.2f}")
    print()
    aims(sizes)


if __name__ == "__main__":
    main()

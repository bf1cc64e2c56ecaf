"""Speed of serialize, deserialize, cone and to_dot, beside pickling the nodes() list.

For stores of 10^4, 10^5 and 10^6 nodes (a few sources, then ops with two inputs and two params),
prints for each operation the best wall time of a few runs, nodes per second, MB per second of the
blob size, and nanoseconds per node (flat across sizes means linear). The baseline a user would reach
for is pickle.dumps / pickle.loads (highest protocol) of the same graph's nodes() list; the ratio
column says how many times faster serialize is than dumps and deserialize than loads.
As timeit does, the garbage collector is off while a run is timed.

    .venv/bin/python bench/bench_blob.py [--sizes 10000,100000,1000000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import gc
import pickle
import random
import time

import weftory_core as wc


def build(n: int) -> wc.GraphStore:
    rng = random.Random(n)
    store = wc.GraphStore()
    sources = max(2, n // 1000)
    for i in range(sources):
        store.add_source(f"src{i}", {"rows": 1024, "dtype": "f32"})
    add_op = store.add_op
    for i in range(sources, n):
        a = rng.randrange(i)
        b = rng.randrange(i)
        add_op("add" if i % 2 else "mul", [a, b], {"scalar": i * 0.5, "side": "l" if i % 3 else "r"})
    assert store.node_count() == n
    return store


def best_of(repeat: int, fn):
    result = None
    best = float("inf")
    for _ in range(repeat):
        # The previous run's result is freed here, outside the timed call.
        result = None
        gc.collect()
        gc.disable()
        try:
            started = time.perf_counter()
            result = fn()
            elapsed = time.perf_counter() - started
        finally:
            gc.enable()
        best = min(best, elapsed)
    return best, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    header = f"{'nodes':>9} {'operation':<14} {'seconds':>9} {'Mnodes/s':>9} {'MB/s':>9} {'ns/node':>8} {'vs pickle':>9}"
    print(header)
    print("-" * len(header))
    for n in sizes:
        store = build(n)
        repeat = args.repeat if n < 1_000_000 else max(1, args.repeat - 1)
        last = n - 1

        t_ser, data = best_of(repeat, store.serialize)
        t_de, back = best_of(repeat, lambda: wc.GraphStore.deserialize(data))
        assert back.serialize() == data
        t_cone, cone = best_of(repeat, lambda: store.cone(outputs=[last]))
        kept = cone.node_count()
        assert cone.outputs() == [kept - 1]
        t_dot, dot = best_of(repeat, store.to_dot)

        nodes = store.nodes()
        t_dumps, pickled = best_of(repeat, lambda: pickle.dumps(nodes, protocol=pickle.HIGHEST_PROTOCOL))
        t_loads, _ = best_of(repeat, lambda: pickle.loads(pickled))
        del nodes

        mb = len(data) / 1e6
        rows = [
            ("serialize", t_ser, f"{t_dumps / t_ser:8.1f}x"),
            ("deserialize", t_de, f"{t_loads / t_de:8.1f}x"),
            ("cone(last)", t_cone, ""),
            ("to_dot", t_dot, ""),
            ("pickle.dumps", t_dumps, ""),
            ("pickle.loads", t_loads, ""),
        ]
        for name, seconds, ratio in rows:
            print(
                f"{n:>9} {name:<14} {seconds:>9.4f} {n / seconds / 1e6:>9.2f} {mb / seconds:>9.1f} "
                f"{seconds / n * 1e9:>8.0f} {ratio:>9}"
            )
        print(
            f"{n:>9} sizes: blob {len(data) / 1e6:.2f} MB, DOT text {len(dot) / 1e6:.2f} MB, "
            f"pickle {len(pickled) / 1e6:.2f} MB; cone keeps {kept} nodes"
        )
        print()
        del store, back, cone, dot, pickled, data


if __name__ == "__main__":
    main()

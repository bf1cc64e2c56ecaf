"""IncrementalReducer: what a step costs per consumed node, and finalize beside reduce.

1. Stores of 10^4 to 10^6 nodes are grown in batches of 1, 100 and 10^4 nodes, with a `step`
   after each batch; only the steps are timed. A step should cost the same per node whatever the
   size of the store behind it (the delta, not the history, is paid for); a batch of one node
   also pays for one Python call. `total_work()` must equal the node count.
2. `finalize` of a fully stepped reducer beside `reduce` of the same store, on a graph full of
   commuted duplicates and identity operations and on one with none: finalize runs the pipeline
   on the canonical form only. The steps that built the form are shown beside it.

    python bench/bench_incremental.py [--sizes 10000,100000,1000000] [--batches 1,100,10000]
                                      [--compare-sizes 10000,100000] [--repeat 3]
"""

import argparse
import time

import weftory_core as wc


def grow_duplicates(store, n):
    """Blocks of four: a + b, its commuted twin b + a, 1.0 * (b + a), and -(1.0 * (b + a)).
    Two of every four nodes fold away in the canonical form."""
    p = store.add_source("a")
    q = store.add_source("b")
    while store.node_count() < n:
        s = store.add_op("add", [p, q])
        t = store.add_op("add", [q, p])
        u = store.add_op("mul", [t], {"scalar": 1.0, "side": "l"})
        v = store.add_op("neg", [u])
        p, q = v, s
        yield


def grow_distinct(store, n):
    """Blocks of four operations that nothing folds: no commutative op, no identity."""
    p = store.add_source("a")
    q = store.add_source("b")
    while store.node_count() < n:
        s = store.add_op("sub", [p, q])
        t = store.add_op("sub", [q, p])
        u = store.add_op("mul", [t], {"scalar": 2.0, "side": "l"})
        v = store.add_op("neg", [u])
        p, q = v, s
        yield


def sinks(store):
    used = set()
    for node in store.nodes():
        used.update(node["inputs"])
    return [i for i in range(store.node_count()) if i not in used]


def feed(n, batch, grow):
    """Grows a store to n nodes, stepping a reducer after every `batch` new nodes; returns the
    store, the reducer and the nanoseconds spent in step."""
    store, reducer = wc.GraphStore(), wc.IncrementalReducer()
    spent = 0
    clock = time.perf_counter_ns
    step = reducer.step
    for _ in grow(store, n):
        if store.node_count() - reducer.watermark() >= batch:
            start = clock()
            step(store)
            spent += clock() - start
    start = clock()
    step(store)
    spent += clock() - start
    return store, reducer, spent


def step_table(sizes, batches, repeat):
    print("step cost per consumed node (duplicate-heavy graph; best of", repeat, "runs)")
    header = f"{'nodes':>9} {'batch':>7} {'steps':>9} {'ns/node':>9} {'total_work':>11} {'canonical':>10}"
    print(header)
    print("-" * len(header))
    for n in sizes:
        for batch in batches:
            best = None
            for _ in range(repeat):
                store, reducer, spent = feed(n, batch, grow_duplicates)
                best = spent if best is None else min(best, spent)
            count = store.node_count()
            assert reducer.total_work() == reducer.watermark() == count
            steps = -(-count // batch)
            print(f"{count:>9} {batch:>7} {steps:>9} {best / count:>9.1f} {reducer.total_work():>11} "
                  f"{reducer.canonical_count():>10}")


def best_of(repeat, call):
    best = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        spent = time.perf_counter() - start
        best = spent if best is None else min(best, spent)
    return best, result


def compare_table(sizes, repeat):
    print()
    print("finalize of a stepped reducer beside reduce of the same store (ms, best of", repeat, "runs)")
    header = (f"{'graph':>10} {'nodes':>8} {'canonical':>10} {'steps':>8} {'finalize':>9} {'reduce':>9} "
              f"{'reduce/finalize':>16} {'same store':>11}")
    print(header)
    print("-" * len(header))
    for name, grow in (("duplicates", grow_duplicates), ("distinct", grow_distinct)):
        for n in sizes:
            store, reducer, spent = feed(n, 100, grow)
            outputs = sinks(store)
            t_final, (fin_store, fin_report) = best_of(repeat, lambda: reducer.finalize(store, outputs=outputs))
            t_reduce, (red_store, red_report) = best_of(repeat, lambda: store.reduce(outputs=outputs))
            same = fin_store.serialize() == red_store.serialize() and fin_store.node_map() == red_store.node_map()
            print(f"{name:>10} {store.node_count():>8} {reducer.canonical_count():>10} {spent / 1e6:>8.1f} "
                  f"{t_final * 1e3:>9.1f} {t_reduce * 1e3:>9.1f} {t_reduce / t_final:>15.2f}x {str(same):>11}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--batches", default="1,100,10000")
    parser.add_argument("--compare-sizes", default="10000,100000")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    ints = lambda text: [int(x) for x in text.split(",") if x]  # noqa: E731
    step_table(ints(args.sizes), ints(args.batches), args.repeat)
    compare_table(ints(args.compare_sizes), args.repeat)


if __name__ == "__main__":
    main()

"""Throughput of add_op from several threads: one store per thread, and one store shared by all.

A fixed number of add_op calls (--calls, 400,000 by default) is split evenly between 1, 2 and 4
threads; the figure is calls per second over the wall time from the moment all threads are
released until the last one ends, best of --repeat runs. Two kinds of work:

  distinct   every call adds a new node (the threads' nodes differ from each other's too);
  duplicate  the store already holds every node the calls add, so every call finds one.

Each thread has its own argument objects (names, input lists, params dicts), built before the
clock starts, so that the threads share nothing but the store. The ratio column is the
throughput beside one thread's on the same kind of work; a shared row's last column beside the
same number of threads with a store each, which is what the machine gave at that moment (on a
loaded machine the ratios move from run to run: compare rows of one run). The CPU column is the
process's CPU time per call in the fastest run: time spent spinning or bouncing cache lines
between cores shows there even when other work on the machine hides it from the wall clock. Run it on the free-threaded interpreter
(threads really run at once) and on the GIL build (they take turns):

    .venv-3.13t/bin/python bench/bench_threads.py
    .venv/bin/python bench/bench_threads.py [--calls 400000] [--repeat 5] [--threads 1,2,4]

On a machine with fewer cores than threads, the 4-thread rows show what oversubscription costs.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import threading
import time

import weftory_core

# Nodes the duplicate-heavy work cycles over; all are in the store before the clock starts.
DUPLICATE_POOL = 4096


def distinct_args(thread: int, count: int) -> list[tuple]:
    """count add_op argument tuples no other thread makes: inputs are the store's one source."""
    ops = ("add", "mul", "sub", "max")
    return [
        (f"{ops[i % 4]}", [0, 0], {"thread": thread, "i": i, "side": "l" if i % 2 else "r"})
        for i in range(count)
    ]


def duplicate_args(count: int) -> list[tuple]:
    """count calls cycling over DUPLICATE_POOL nodes; fresh objects on every call of this function."""
    ops = ("add", "mul", "sub", "max")
    pool = [
        (f"{ops[i % 4]}", [0, 0], {"i": i, "side": "l" if i % 2 else "r", "axis": i % 3})
        for i in range(DUPLICATE_POOL)
    ]
    # Each call gets its own objects, not a reference to the pool's.
    return [(name, list(inputs), dict(params)) for name, inputs, params in
            (pool[i % DUPLICATE_POOL] for i in range(count))]


def new_store(work: str):
    store = weftory_core.GraphStore()
    store.add_source("x")
    if work == "duplicate":
        for name, inputs, params in duplicate_args(DUPLICATE_POOL):
            store.add_op(name, inputs, params)
    return store


def one_run(work: str, shared: bool, threads: int, calls: int) -> tuple[float, float]:
    """Calls per second of one run, and the process's CPU seconds per call."""
    per_thread = calls // threads
    if work == "distinct":
        args = [distinct_args(k, per_thread) for k in range(threads)]
    else:
        args = [duplicate_args(per_thread) for _ in range(threads)]
    if shared:
        one = new_store(work)
        stores = [one] * threads
    else:
        stores = [new_store(work) for _ in range(threads)]
    barrier = threading.Barrier(threads + 1)
    errors = []

    def worker(k: int) -> None:
        add_op = stores[k].add_op
        mine = args[k]
        barrier.wait()
        try:
            for name, inputs, params in mine:
                add_op(name, inputs, params)
        except BaseException as exc:  # noqa: B036 - reported by the main thread
            errors.append(exc)

    pool = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
    for t in pool:
        t.start()
    gc.collect()
    gc.disable()
    try:
        barrier.wait()
        t0 = time.perf_counter()
        cpu0 = time.process_time()
        for t in pool:
            t.join()
        elapsed = time.perf_counter() - t0
        cpu = time.process_time() - cpu0
    finally:
        gc.enable()
    if errors:
        raise errors[0]
    # Every node lands once, whichever thread added it.
    per_store = per_thread * (threads if shared else 1) if work == "distinct" else DUPLICATE_POOL
    counts = {store.node_count() for store in stores}
    if counts != {1 + per_store}:
        raise AssertionError(f"node counts {counts}, expected {1 + per_store}")
    return per_thread * threads / elapsed, cpu / (per_thread * threads)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=400_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--threads", default="1,2,4")
    args = parser.parse_args()
    counts = [int(t) for t in args.threads.split(",")]
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"{sys.version.split()[0]} {'GIL' if gil else 'free-threaded'}, {os.cpu_count()} cores, "
          f"{args.calls} add_op calls split between the threads, best of {args.repeat}")
    print(f"{'work':>9} {'stores':>8} {'threads':>7} | {'Mcalls/s':>8} {'vs 1 thread':>11} {'vs own':>7} "
          f"{'CPU us/call':>11}")
    for work in ("distinct", "duplicate"):
        single = None
        own = {}
        for shared in (False, True):
            for n in counts:
                if shared and n == 1:
                    continue  # the same as one thread with its own store
                best, cpu = max(one_run(work, shared, n, args.calls) for _ in range(args.repeat))
                if n == 1:
                    single = best
                if not shared:
                    own[n] = best
                ratio = f"{best / single:.2f}x" if single else ""
                beside_own = f"{best / own[n]:.2f}x" if shared and n in own else ""
                label = "shared" if shared else "own"
                print(f"{work:>9} {label:>8} {n:>7} | {best / 1e6:8.3f} {ratio:>11} {beside_own:>7} "
                      f"{cpu * 1e6:11.3f}", flush=True)


if __name__ == "__main__":
    main()

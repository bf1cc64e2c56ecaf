"""How every entry point scales: adversarial graph shapes at two sizes a decade apart.

Each shape is built at a size n and at 10 n, and every entry point is timed on both (best of a few
runs, the garbage collector off while a run is timed). The table prints the two times, their ratio
and the cost per unit (ns per node, edge, member, parameter or text byte, as the shape says) at
each size. Linear work gives a ratio near 10; a ratio above 20 (more than twice linear) is flagged.
Nothing here passes or fails: the figures are for reading.

Shapes (the unit n counts is in brackets):
  fan-in-merges  one op over [a] * n/2 + [x] * n/2 where x = a + 0.0, so its inputs merge [edges]
  stage          one stage of n members: a reduced chain of alternating exp/neg [members]
  chain          a chain of n two-input ops, each on the one before and a source [nodes]
  fan-out        one op read by n consumers, summed by a tree of adds [consumers]
  outputs        n sources each under one op, every op an output [outputs]
  wide-op        one op with n inputs, each its own source [inputs]
  params         four nodes with a params dict of n entries each, keys in shuffled order [params]
  texts          eight nodes whose name, str params and descriptor are texts of 10 n bytes [bytes]
  commuted       blocks of a + b, b + a, 1.0 * (b + a), -(...): many commuted pairs [nodes]
  identity       a chain of n scalar identities (+ 0.0, * 1.0 on either side) [nodes]

Entry points: add_* (building the shape), nodes, serialize, deserialize, pickle of the store
(dumps, loads), cone, to_dot, reduce with either fusion rule, reduction_report, reduce_incremental,
IncrementalReducer.step (one step over the whole store), finalize, and pickle of a stepped reducer
(dumps, loads). Every store is read as a cone of the shape's outputs, so it carries output marks
and a node map; the stage shape's store is the reduction of a chain.

Each shape and size runs in a child process of its own. A call that takes longer than --timeout
seconds is abandoned (its child killed) and shown as "> T": its ratio is then a lower bound.

Wall-clock ratios also carry the memory hierarchy: at 10^4 most shapes fit in a core's cache and at
10^5 they do not, which alone can make a linear pass 2-3 times slower per unit, and a shared machine
adds noise. --instructions counts the instructions of one call of each entry point instead (under
valgrind's callgrind, some fifty times slower), which is the same from run to run and grows with
the work done alone: a ratio above 20x there is super-linear work, not a cache.

    .venv/bin/python bench/bench_scaling.py [--scale 1.0] [--repeat 3] [--timeout 20]
        [--shapes stage,wide-op,...] [--entries deserialize,reduce,...] [--instructions]

--scale multiplies both sizes (the default sizes are 10^4 and 10^5): --scale 0.1 is a quick check.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pickle
import random
import select
import shutil
import subprocess
import sys
import tempfile
import time

import weftory_core as wc

BASE_SIZE = 10_000
IDENTITIES = [
    ("add", {"scalar": 0.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
]


# ---------------------------------------------------------------- shapes
#
# A builder takes n and returns (store, outputs); building it is what "add_*" times.


def build_fan_in_merges(n):
    s = wc.GraphStore()
    a = s.add_source("a")
    x = s.add_op("add", [a], {"scalar": 0.0, "side": "r"})
    half = max(1, n // 2)
    big = s.add_op("concat", [a] * half + [x] * half)
    return s, [big]


def build_chain_store(n):
    s = wc.GraphStore()
    cur = s.add_source("a")
    for j in range(n):
        cur = s.add_op("neg" if j % 2 else "exp", [cur])
    return s, cur


def build_stage(n):
    # The reduced store of a chain: one stage of n members, with marks and a node map.
    s, last = build_chain_store(n)
    reduced, _ = s.reduce(outputs=[last])
    return reduced, reduced.outputs()


def build_chain(n):
    s = wc.GraphStore()
    src = s.add_source("s", {"rows": 8})
    cur = s.add_source("a")
    add_op = s.add_op
    for j in range(n):
        cur = add_op("sub", [cur, src]) if j % 2 else add_op("pow", [cur, src], {"k": j})
    return s, [cur]


def build_fan_out(n):
    s = wc.GraphStore()
    x = s.add_op("exp", [s.add_source("a")])
    add_op = s.add_op
    level = [add_op("mul", [x], {"scalar": float(i + 2), "side": "l"}) for i in range(n)]
    while len(level) > 1:
        nxt = [add_op("add", [level[i], level[i + 1]]) for i in range(0, len(level) - 1, 2)]
        if len(level) % 2:
            nxt.append(level[-1])
        level = nxt
    return s, level


def build_outputs(n):
    s = wc.GraphStore()
    add_source, add_op = s.add_source, s.add_op
    outs = [add_op("neg", [add_source(f"src{i}")]) for i in range(n)]
    return s, outs


def build_wide_op(n):
    s = wc.GraphStore()
    sources = [s.add_source(f"src{i}") for i in range(n)]
    return s, [s.add_op("concat", sources)]


def build_params(n):
    rng = random.Random(n)
    keys = [f"k{i}" for i in range(n)]
    rng.shuffle(keys)

    def params(salt):
        out = {}
        for i, key in enumerate(keys):
            kind = i % 4
            out[key] = (i + salt, i * 0.5 + salt, (i + salt) % 3 == 0, f"v{i + salt}")[kind]
        return out

    s = wc.GraphStore()
    cur = s.add_source("a", params(0))
    for salt in (1, 2, 3):
        cur = s.add_op("f", [cur], params(salt))
    return s, [cur]


def build_texts(n):
    # Texts with multi-byte characters and every character the identity keys and DOT labels escape.
    piece = 'é;=|%"\\x' + "abcdefgh" * 3
    length = 10 * n

    def text(salt):
        return (str(salt) + piece * (length // len(piece) + 1))[:length]

    s = wc.GraphStore()
    cur = s.add_source(text(0), {"blob": text(1)})
    for salt in (2, 3, 4, 5, 6):
        cur = s.add_op("f", [cur], {"blob": text(salt), "tag": salt})
    descriptor = wc.PayloadDescriptor(kind=text(7), content_hash="sha256:0", framework="fw", version="1",
                                      io_schema=text(8), preprocessing_ref=text(9))
    cur = s.add_external(descriptor, [cur], {"note": text(10)})
    cur = s.add_op(text(11), [cur])
    return s, [cur]


def build_commuted(n):
    s = wc.GraphStore()
    p, q = s.add_source("a"), s.add_source("b")
    add_op = s.add_op
    while s.node_count() < n:
        u = add_op("add", [p, q])
        v = add_op("add", [q, p])
        w = add_op("mul", [v], {"scalar": 1.0, "side": "l"})
        p, q = add_op("neg", [w]), u
    return s, [p, q]


def build_identity(n):
    s = wc.GraphStore()
    cur = s.add_source("a")
    add_op = s.add_op
    for j in range(n):
        name, params = IDENTITIES[j % 4]
        cur = add_op(name, [cur], params)
    return s, [add_op("neg", [cur])]


SHAPES = {
    "fan-in-merges": (build_fan_in_merges, "edges"),
    "stage": (build_stage, "members"),
    "chain": (build_chain, "nodes"),
    "fan-out": (build_fan_out, "consumers"),
    "outputs": (build_outputs, "outputs"),
    "wide-op": (build_wide_op, "inputs"),
    "params": (build_params, "params"),
    "texts": (build_texts, "bytes"),
    "commuted": (build_commuted, "nodes"),
    "identity": (build_identity, "nodes"),
}


# ---------------------------------------------------------------- entry points
#
# An entry point is (name, prepare, call): prepare(ctx) makes what the timed call needs (untimed),
# call(ctx) is timed. ctx holds the shape's store ("store"), its outputs and whatever was prepared.


def _stepped(ctx):
    if "stepped" not in ctx:
        reducer = wc.IncrementalReducer()
        reducer.step(ctx["store"])
        ctx["stepped"] = reducer
    return ctx["stepped"]


def _prep_blob(ctx):
    ctx.setdefault("blob", ctx["store"].serialize())


def _prep_pickle(ctx):
    ctx.setdefault("pickled", pickle.dumps(ctx["store"], protocol=pickle.HIGHEST_PROTOCOL))


def _prep_reducer_pickle(ctx):
    ctx.setdefault("reducer_pickled", pickle.dumps(_stepped(ctx), protocol=pickle.HIGHEST_PROTOCOL))


def _none(ctx):
    return None


def _step(ctx):
    reducer = wc.IncrementalReducer()
    reducer.step(ctx["store"])
    return reducer


ENTRIES = [
    ("add_*", _none, lambda ctx: SHAPES[ctx["shape"]][0](ctx["n"])),
    ("nodes", _none, lambda ctx: ctx["store"].nodes()),
    ("serialize", _none, lambda ctx: ctx["store"].serialize()),
    ("deserialize", _prep_blob, lambda ctx: wc.GraphStore.deserialize(ctx["blob"])),
    ("pickle.dumps", _none, lambda ctx: pickle.dumps(ctx["store"], protocol=pickle.HIGHEST_PROTOCOL)),
    ("pickle.loads", _prep_pickle, lambda ctx: pickle.loads(ctx["pickled"])),
    ("cone", _none, lambda ctx: ctx["store"].cone(outputs=ctx["outputs"])),
    ("to_dot", _none, lambda ctx: ctx["store"].to_dot()),
    ("reduce", _none, lambda ctx: ctx["store"].reduce()),
    ("reduce(maximal)", _none, lambda ctx: ctx["store"].reduce(maximal_fusion=True)),
    ("reduction_report", _none, lambda ctx: ctx["store"].reduction_report()),
    ("reduce_incremental", _none, lambda ctx: ctx["store"].reduce_incremental()),
    ("step", _none, _step),
    ("finalize", _stepped, lambda ctx: ctx["stepped"].finalize(ctx["store"])),
    ("reducer dumps", _stepped, lambda ctx: pickle.dumps(ctx["stepped"], protocol=pickle.HIGHEST_PROTOCOL)),
    ("reducer loads", _prep_reducer_pickle, lambda ctx: pickle.loads(ctx["reducer_pickled"])),
]
ENTRY_NAMES = [name for name, _, _ in ENTRIES]


def best_of(repeat, call, report, limit, budget=0.2, most=50):
    """The best time of at least `repeat` runs, each reported as it ends; quick calls run more often,
    up to `budget` seconds, and slow ones stop repeating once they have taken `limit` seconds."""
    best = float("inf")
    runs = 0
    spent = 0.0
    while runs < repeat or (spent < budget and runs < most):
        gc.collect()
        gc.disable()
        try:
            started = time.perf_counter()
            result = call()
            elapsed = time.perf_counter() - started
        finally:
            gc.enable()
        del result
        best = min(best, elapsed)
        spent += elapsed
        runs += 1
        report(best)
        if spent > limit:
            break
    return best


def counted_once(call):
    """Runs call() once inside a ctypes callback: under callgrind with --toggle-collect=ffi_call
    and --dump-after=ffi_call, exactly the instructions of the call land in a profile dump of
    their own (the result is dropped after the dump, as a timed result is after the clock)."""
    import ctypes

    box = []

    def run():
        try:
            box.append(call())
        except BaseException as error:  # noqa: BLE001 - re-raised below, outside the callback
            box.append(error)
            box.append(None)

    callback = ctypes.CFUNCTYPE(None)(run)
    gc.collect()
    gc.disable()
    try:
        callback()
    finally:
        gc.enable()
    if len(box) == 2:
        raise box[0]


def worker(shape, n, entries, repeat, limit, instructions):
    """Builds one shape at one size and runs the given entry points, one JSON line each: timed
    (best of `repeat`), or once each under callgrind when counting instructions."""

    def say(**fields):
        print(json.dumps(fields), flush=True)

    built, outputs = SHAPES[shape][0](n)
    store = built.cone(outputs=outputs) if shape != "stage" else built
    del built
    ctx = {"shape": shape, "n": n, "store": store, "outputs": outputs}
    by_name = {name: (prepare, call) for name, prepare, call in ENTRIES}
    say(ready=store.node_count())
    for name in entries:
        prepare, call = by_name[name]
        if name == "add_*" and shape == "stage":
            say(entry=name, skipped="derived store")
            continue
        prepare(ctx)
        say(start=name)
        if instructions:
            counted_once(lambda: call(ctx))
            say(entry=name, counted=True)
        else:
            best = best_of(repeat, lambda: call(ctx), lambda t: say(run=name, seconds=t), limit)
            say(entry=name, seconds=best)


# ---------------------------------------------------------------- driver


def callgrind_total(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no instruction total in {path}")


def measure(shape, n, entries, args):
    """Runs the entry points in child processes: {entry: figure, None (a run took over the time
    limit) or a note}. The figure is the best time in seconds, or the instruction count. A timed
    call that overruns on a later run keeps its best so far."""
    results = {}
    pending = list(entries)
    # Under callgrind everything runs some fifty times slower.
    timeout = args.timeout * (50 if args.instructions else 1)
    with tempfile.TemporaryDirectory(prefix="bench_scaling.") as scratch:
        while pending:
            command = [sys.executable, os.path.abspath(__file__), "--worker", shape, str(n), ",".join(pending),
                       "--repeat", str(args.repeat), "--timeout", str(args.timeout)]
            if args.instructions:
                command = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=ffi_call",
                           "--dump-after=ffi_call", f"--callgrind-out-file={scratch}/cg.%p",
                           f"--log-file={scratch}/valgrind.%p", *command, "--instructions"]
            child = subprocess.Popen(command, stdout=subprocess.PIPE, text=True, bufsize=1)
            current = None
            best = None
            overran = False
            counted = []
            # Building and preparing get several timeouts' worth; each run gets one.
            deadline = time.monotonic() + 10 * timeout
            try:
                while True:
                    ready, _, _ = select.select([child.stdout], [], [], max(0.0, deadline - time.monotonic()))
                    if not ready:
                        overran = True
                        break
                    line = child.stdout.readline()
                    if not line:
                        break
                    msg = json.loads(line)
                    if "start" in msg:
                        current, best = msg["start"], None
                        deadline = time.monotonic() + timeout
                    elif "run" in msg:
                        best = msg["seconds"]
                        deadline = time.monotonic() + timeout
                    elif "entry" in msg:
                        if msg.get("counted"):
                            counted.append(msg["entry"])
                        else:
                            results[msg["entry"]] = msg.get("seconds", msg.get("skipped"))
                        pending.remove(msg["entry"])
                        current = None
                        deadline = time.monotonic() + 10 * timeout
            finally:
                if child.poll() is None:
                    child.kill()
                child.wait()
                child.stdout.close()
            # The k-th dump of a child holds the k-th counted call.
            for k, name in enumerate(counted, start=1):
                results[name] = callgrind_total(f"{scratch}/cg.{child.pid}.{k}")
            if not pending:
                break
            # The call running when the child stopped (or, before any started, the next one).
            lost = current if current in pending else pending[0]
            if best is not None:
                results[lost] = best
            elif overran:
                results[lost] = None
            else:
                results[lost] = f"failed (exit status {child.returncode})"
            pending.remove(lost)
    return results


def fmt_figure(value, limit, instructions):
    if value is None:
        return f"> {limit:.0f} s"
    if isinstance(value, str):
        return "failed" if value.startswith("failed") else "-"
    if instructions:
        return f"{value / 1e6:.1f} M" if value >= 1e6 else f"{value / 1e3:.0f} k"
    if value >= 1:
        return f"{value:.2f} s"
    if value >= 1e-3:
        return f"{value * 1e3:.1f} ms"
    return f"{value * 1e6:.0f} us"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies both sizes (default 10^4 and 10^5)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=20.0, help="seconds one call may take")
    parser.add_argument("--shapes", default=",".join(SHAPES))
    parser.add_argument("--entries", default=",".join(ENTRY_NAMES))
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions under valgrind's callgrind instead of timing")
    parser.add_argument("--worker", nargs=3, metavar=("SHAPE", "N", "ENTRIES"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        shape, n, entries = args.worker
        worker(shape, int(n), entries.split(","), args.repeat, args.timeout, args.instructions)
        return

    shapes = [s for s in args.shapes.split(",") if s]
    entries = [e for e in args.entries.split(",") if e]
    for name in shapes:
        if name not in SHAPES:
            parser.error(f"unknown shape {name!r}; known: {', '.join(SHAPES)}")
    for name in entries:
        if name not in ENTRY_NAMES:
            parser.error(f"unknown entry point {name!r}; known: {', '.join(ENTRY_NAMES)}")
    if args.instructions and shutil.which("valgrind") is None:
        parser.error("--instructions needs valgrind (apt-get install valgrind)")
    small = max(2, round(BASE_SIZE * args.scale))
    large = 10 * small
    limit = args.timeout * (50 if args.instructions else 1)
    what, per = ("instructions per call", "instr/unit") if args.instructions else ("best of "
                                                                                   f"{args.repeat}+ runs", "ns/unit")

    print(f"sizes n = {small} and {large}; {what}; linear is a ratio of 10x, flagged above 20x; "
          f"calls over {limit:.0f} s abandoned")
    header = (f"{'shape':<14} {'entry point':<19} {'n=' + str(small):>10} {'n=' + str(large):>10} {'ratio':>8} "
              f"{per:>10} {per:>10}")
    print(header)
    print("-" * len(header))
    flagged = []
    for shape in shapes:
        unit = SHAPES[shape][1]
        at_small = measure(shape, small, entries, args)
        at_large = measure(shape, large, entries, args)
        for entry in entries:
            a, b = at_small.get(entry), at_large.get(entry)
            ratio = per_a = per_b = ""
            flag = ""
            if isinstance(a, (int, float)) and a > 0 and (isinstance(b, (int, float)) or b is None):
                bound = b if b is not None else limit
                r = bound / a
                ratio = f"{'>' if b is None else ''}{r:.1f}x"
                scale = 1 if args.instructions else 1e9
                per_a = f"{a / small * scale:.1f}"
                per_b = f"{'>' if b is None else ''}{bound / large * scale:.1f}"
                if r > 20:
                    flag = "  <-- super-linear"
                    flagged.append((shape, entry, ratio))
            print(f"{shape:<14} {entry:<19} {fmt_figure(a, limit, args.instructions):>10} "
                  f"{fmt_figure(b, limit, args.instructions):>10} {ratio:>8} {per_a:>10} {per_b:>10}{flag}")
        print(f"{'':<14} (unit: {unit})")
    print()
    if flagged:
        print("super-linear (ratio above 20x):")
        for shape, entry, ratio in flagged:
            print(f"  {shape:<14} {entry:<19} {ratio}")
        if not args.instructions:
            print("wall-clock ratios carry the caches and the machine's load as well as the work; "
                  "--instructions (with --shapes/--entries) tells which of these do super-linear work")
    else:
        print("no ratio above 20x")


if __name__ == "__main__":
    main()

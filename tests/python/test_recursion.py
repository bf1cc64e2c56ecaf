"""Recursion through Python code that an argument conversion runs (an __index__ that adds a node)
ends in RecursionError, never in a C stack overflow, at any recursion limit and on threads with
small stacks. Each case runs in a fresh process, so that a crash fails the test instead of the
suite."""

import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent(
    """
    import sys, threading
    import weftory_core as wc

    limit, stack_kib, via = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    sys.setrecursionlimit(limit)
    store = wc.GraphStore()
    store.add_source("a")

    class Deeper:
        # Converting this input (or param value) adds another node whose input is converted the same way.
        def __index__(self):
            if via == "inputs":
                store.add_op("f", [Deeper()])
            else:
                store.add_source("s", {"k": Deeper()})
            return 0

    outcome = []

    def run():
        try:
            store.add_op("f", [Deeper()]) if via == "inputs" else store.add_source("s", {"k": Deeper()})
        except RecursionError:
            outcome.append("RecursionError")
        else:
            outcome.append("returned")

    if stack_kib:
        threading.stack_size(stack_kib * 1024)
        t = threading.Thread(target=run)
        t.start()
        t.join()
    else:
        run()
    # No level got its arguments converted, so none added a node; the store still works.
    print(outcome[0], store.node_count(), store.add_op("g", [0]))
    """
)


@pytest.mark.parametrize("via", ["inputs", "params"])
@pytest.mark.parametrize(
    "limit, stack_kib",
    [(1000, 0), (10_000, 0), (1_000_000, 0), (1_000_000, 256), (1_000_000, 2048)],
    ids=["default-limit", "limit-10000", "no-limit", "thread-256k", "thread-2m"],
)
def test_deep_recursion_through_conversions_raises_recursion_error(limit, stack_kib, via):
    done = subprocess.run(
        [sys.executable, "-c", SCRIPT, str(limit), str(stack_kib), via], capture_output=True, text=True, timeout=120
    )
    assert (done.returncode, done.stdout.split(), done.stderr) == (0, ["RecursionError", "1", "1"], "")

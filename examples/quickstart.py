"""Builds a small graph of every node kind and prints what weftory_core shows of it."""

import weftory_core as wc


def main() -> None:
    print("weftory_core", wc.version())
    store = wc.GraphStore()

    a = store.add_source("a", {"dtype": "f32", "rows": 1024})
    b = store.add_source("b", {"dtype": "f32", "rows": 1024})
    total = store.add_op("add", [a, b])
    # Interning: the same node added again answers the id it already has.
    assert store.add_op("add", [a, b]) == total
    shifted = store.add_op("add", [total], {"scalar": 0.0, "side": "r"})
    scaled = store.add_op("mul", [shifted], {"scalar": 2.5, "side": "l"})
    moved = store.add_exchange([scaled], {"scheme": "hash"})
    model = wc.PayloadDescriptor(
        kind="onnx",
        content_hash="sha256:5e1f",
        framework="onnxruntime",
        version="1.18",
        io_schema="f32[n] -> f32[n]",
    )
    scored = store.add_external(model, [moved], {"batch": 64})
    joined = store.add_join([scored, b], {"how": "inner"})
    store.add_reduction("sum", [joined], {"axis": 0, "keepdims": False})

    print("node_count:", store.node_count())
    print("outputs:", store.outputs())
    print("node_map:", store.node_map())
    print("nodes:")
    for node in store.nodes():
        print(" ", node)


if __name__ == "__main__":
    main()

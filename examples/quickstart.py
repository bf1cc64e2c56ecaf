"""Builds a small graph of every node kind and prints what weftory_core shows of it.

Then round-trips the graph through its byte form, takes the cone of one node, reduces the graph
(printing the report, the node map and the reduced nodes), reduces it again step by step with an
IncrementalReducer while a second graph is being built, and writes the graph and the reduced
graph as Graphviz DOT text to quickstart.dot and quickstart-reduced.dot (and the pictures
quickstart.png and quickstart-reduced.png when Graphviz `dot` is on PATH) in the current
directory, or in the directory given as the first argument:

    python examples/quickstart.py [output-directory]
"""

import shutil
import subprocess
import sys
from pathlib import Path

import weftory_core as wc


def main() -> None:
    print("weftory_core", wc.version())
    store = wc.GraphStore()

    a = store.add_source("a", {"dtype": "f32", "rows": 1024})
    b = store.add_source("b", {"dtype": "f32", "rows": 1024})
    total = store.add_op("add", [a, b])
    # Interning: the same node added again answers the id it already has.
    assert store.add_op("add", [a, b]) == total
    # b + a is a + b, and adding the scalar 0.0 changes nothing: the reduction merges all three.
    swapped = store.add_op("add", [b, a])
    shifted = store.add_op("add", [swapped], {"scalar": 0.0, "side": "r"})
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
    joined = store.add_join([scored, total], {"how": "inner"})
    summed = store.add_reduction("sum", [joined], {"axis": 0, "keepdims": False})

    print("node_count:", store.node_count())
    print("outputs:", store.outputs())
    print("node_map:", store.node_map())
    print("nodes:")
    for node in store.nodes():
        print(" ", node)

    # The canonical byte form: the same nodes under the same ids, byte for byte.
    blob = store.serialize(outputs=[summed])
    restored = wc.GraphStore.deserialize(blob)
    print(f"serialize(outputs=[{summed}]): {len(blob)} bytes, magic {blob[:4]!r}")
    print("deserialize: node_count", restored.node_count(), "outputs", restored.outputs(),
          "same bytes again:", restored.serialize() == blob)

    # The cone of one node: only what it depends on, renumbered, with a map from the old ids.
    cone = store.cone(outputs=[scaled])
    print(f"cone(outputs=[{scaled}]): node_count", cone.node_count(), "outputs", cone.outputs())
    print("  node_map:", cone.node_map())

    # The reduction: dead code dropped, equal terms merged, chains of ops fused into stages.
    reduced, report = restored.reduce()
    print("reduce():")
    print("  report:", report)
    print("  node_map (original id -> (reduced id, stage member or None)):")
    for original, landing in enumerate(reduced.node_map()):
        print(f"    {original} -> {landing}")
    print("  reduced nodes:")
    for node in reduced.nodes():
        print("   ", node)
    assert reduced.reduce()[0].serialize() == reduced.serialize()  # reducing again changes nothing

    # Step by step: an IncrementalReducer canonicalises each batch of new nodes as the graph is
    # built (commuted duplicates and identities fold away at once) and finalize reduces only what
    # is left, with a node map in the ids of the store it was fed.
    growing = wc.GraphStore()
    reducer = wc.IncrementalReducer()
    x = growing.add_source("x", {"dtype": "f32"})
    y = growing.add_source("y", {"dtype": "f32"})
    print("IncrementalReducer:")
    print("  step:", reducer.step(growing), "nodes")
    xy = growing.add_op("mul", [x, y])
    yx = growing.add_op("mul", [y, x])  # a commuted duplicate of x * y
    print("  step:", reducer.step(growing), "nodes")
    plus_zero = growing.add_op("add", [yx], {"scalar": 0.0, "side": "l"})  # an identity
    top = growing.add_op("maximum", [xy, plus_zero])
    print("  step:", reducer.step(growing), "nodes")
    print("  watermark", reducer.watermark(), "total_work", reducer.total_work(),
          "canonical_count", reducer.canonical_count(), "of", growing.node_count(), "nodes")
    step_reduced, step_report = reducer.finalize(growing, outputs=[top])
    print("  finalize report:", step_report)
    print("  node_map:", step_reduced.node_map())
    print("  reduced nodes:")
    for node in step_reduced.nodes():
        print("   ", node)

    # Graphviz: the stores carry their output marks, drawn as double circles.
    out_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else Path.cwd()
    out_dir.mkdir(parents=True, exist_ok=True)
    pictures = {"quickstart": restored, "quickstart-reduced": reduced}
    dot_paths = {}
    for stem, drawn in pictures.items():
        dot_paths[stem] = out_dir / f"{stem}.dot"
        dot_paths[stem].write_text(drawn.to_dot(), encoding="utf-8")
        print("wrote", dot_paths[stem])
    if shutil.which("dot") is None:
        print("Graphviz dot is not on PATH; no picture rendered")
        return
    for stem, dot_path in dot_paths.items():
        png_path = out_dir / f"{stem}.png"
        subprocess.run(["dot", "-Tpng", "-o", str(png_path), str(dot_path)], check=True)
        print("wrote", png_path)


if __name__ == "__main__":
    main()

"""A user's code that uses the module as documented: a type checker must accept all of it."""

import pickle

import weftory_core as wc


def build() -> tuple[wc.GraphStore, list[int]]:
    store = wc.GraphStore()
    a: int = store.add_source("a", {"dtype": "f32", "rows": 3, "dense": True, "scale": 1.5})
    b = store.add_source("b")
    s = store.add_op("add", [a, b])
    r = store.add_reduction("sum", [s], {"axis": 0})
    desc = wc.PayloadDescriptor(kind="onnx", content_hash="sha256:5e1f", framework="onnxruntime",
                                version="1.18", io_schema="f32[n] -> f32[n]", preprocessing_ref=None)
    x = store.add_external(desc, [r])
    e = store.add_exchange([x], {"partitions": 4})
    j = store.add_join([e, b], {"how": "inner"})
    return store, [j]


def use(store: wc.GraphStore, outputs: list[int]) -> str:
    count: int = store.node_count()
    blob: bytes = store.serialize(outputs=outputs)
    again: wc.GraphStore = wc.GraphStore.deserialize(blob)
    marks: list[int] = again.outputs()
    first = store.nodes()[0]
    kind = first["kind"]
    cone = store.cone(outputs=outputs)
    for entry in cone.node_map():
        if entry is not None:
            target, member = entry
            assert target >= 0 and (member is None or member >= 0)
    reduced, report = store.reduce(maximal_fusion=True, outputs=outputs)
    stages: int = report["stages"]
    incremental, _ = store.reduce_incremental(outputs=outputs)
    counts: dict[str, int] = store.reduction_report(outputs=outputs)
    copy: wc.GraphStore = pickle.loads(pickle.dumps(reduced))
    return f"{wc.version()} {count} {marks} {kind} {stages} {counts} {copy.to_dot()} {incremental.node_count()}"


print(use(*build()))

"""A user's code with mistakes a type checker must report, each on the line marked with its code."""

import weftory_core as wc

store = wc.GraphStore()
x: str = store.add_source("a")  # expect-error: assignment
a = store.add_source("a")
store.add_op("add", [a, "b"])  # expect-error: list-item
store.add_source("c", {"dtype": [1, 2]})  # expect-error: dict-item
store.cone([a])  # expect-error: call-arg
blob: str = store.serialize()  # expect-error: assignment
wc.PayloadDescriptor(kind="onnx")  # expect-error: call-arg
reduced, report = store.reduce(outputs=[a])
name: str = report["stages"]  # expect-error: assignment
store.no_such_method()  # expect-error: attr-defined
wc.version(1)  # expect-error: call-arg

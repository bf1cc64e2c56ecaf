"""GraphStore.reduce, reduce_incremental and reduction_report: arguments, counts, node maps,
reduced nodes, and the stage and external keys that must not merge different nodes."""

import inspect

import pytest

import weftory_core as wc

from contracts import REDUCTION_METHODS, REPORT_KEYS, STR_TO_VEC, mismatch, no_node

ADD_ZERO = {"scalar": 0.0, "side": "r"}
DESCRIPTOR = {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}


def report(input_nodes, reachable, canonical, stages, reduced, boundary):
    return dict(zip(REPORT_KEYS, (input_nodes, reachable, canonical, stages, reduced, boundary)))


def marked(store, outputs):
    """A copy of the store whose marks are `outputs` (marks come only from blobs, cones and reductions)."""
    return wc.GraphStore.deserialize(store.serialize(outputs=outputs))


def chain_with_dead_op(x_params=None):
    store = wc.GraphStore()
    a = store.add_source("a")
    x = store.add_op("add" if x_params else "x", [a], x_params)
    y = store.add_op("y", [x])
    store.add_op("z", [a])
    return store, [y]


def diamond():
    store = wc.GraphStore()
    a = store.add_source("a")
    x = store.add_op("x", [a])
    y = store.add_op("y", [x])
    z = store.add_op("z", [x, y])
    return store, [z]


def single_source():
    store = wc.GraphStore()
    return store, [store.add_source("a")]


def unmarked():
    store = wc.GraphStore()
    store.add_op("neg", [store.add_source("a")])
    return store, None


def member(name, *inputs, params=None):
    return {"kind": "op", "name": name, "params": params or {}, "inputs": list(inputs)}


def stage(node_id, inputs, members, output=False):
    return {"id": node_id, "output": output, "inputs": inputs, "kind": "stage", "name": "", "params": {},
            "n_members": len(members), "members": members}


SOURCE_A = {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "a", "params": {}}


# ---------------------------------------------------------------- the three methods


@pytest.mark.parametrize(
    "name, signature, doc_start",
    [(name, *texts) for name, texts in REDUCTION_METHODS.items()],
)
def test_signatures_and_docstrings(name, signature, doc_start):
    method = getattr(wc.GraphStore, name)
    assert method.__text_signature__ == signature
    assert method.__doc__.startswith(doc_start)
    assert str(inspect.signature(method)) == signature.replace("$self,", "self, /,")


def test_methods_follow_cone_in_the_method_table():
    names = [n for n in vars(wc.GraphStore) if not n.startswith("__")]
    at = names.index("cone")
    assert names[at: at + 4] == ["cone", "reduce", "reduce_incremental", "reduction_report"]


CALLS = {
    "reduce": lambda s, **kw: s.reduce(**kw),
    "reduce_incremental": lambda s, **kw: s.reduce_incremental(**kw),
    "reduction_report": lambda s, **kw: s.reduction_report(**kw),
}


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize(
    "outputs, exc_type, message",
    [
        ("0", TypeError, STR_TO_VEC),
        ({0}, TypeError, mismatch("set", "Sequence")),
        ([-1], OverflowError, None),
        ([0, 2**64], OverflowError, None),
        (["0"], TypeError, None),
    ],
)
def test_outputs_conversion_errors(name, outputs, exc_type, message, expect_conversion_error):
    store, _ = diamond()
    expect_conversion_error(lambda: CALLS[name](store, outputs=outputs), exc_type, message, "outputs")


@pytest.mark.parametrize("name", CALLS)
def test_binding_errors(name):
    store, _ = diamond()
    method = getattr(store, name)
    with pytest.raises(TypeError):
        method([3])  # keyword-only
    with pytest.raises(TypeError):
        method(output=[3])
    if name != "reduce":
        with pytest.raises(TypeError):
            method(maximal_fusion=True)


@pytest.mark.parametrize("value", [1, 0, None, "yes", 1.0])
def test_maximal_fusion_must_be_a_bool(value, expect_conversion_error):
    store, outputs = diamond()
    message = mismatch("None" if value is None else type(value).__name__, "bool")
    expect_conversion_error(lambda: store.reduce(maximal_fusion=value, outputs=outputs), TypeError, message,
                            "maximal_fusion")


def test_maximal_fusion_converted_before_outputs(expect_conversion_error):
    store, _ = diamond()
    expect_conversion_error(lambda: store.reduce(maximal_fusion=1, outputs="0"), TypeError, None, "maximal_fusion")


def test_numpy_booleans_select_the_rule():
    np = pytest.importorskip("numpy")
    store, outputs = diamond()
    assert store.reduce(maximal_fusion=np.True_, outputs=outputs)[1]["stages"] == 1
    assert store.reduce(maximal_fusion=np.False_, outputs=outputs)[1]["stages"] == 2
    assert store.reduce(maximal_fusion=np.bool_(True), outputs=outputs)[1] == \
        store.reduce(maximal_fusion=True, outputs=outputs)[1]


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("outputs, bad", [([4], 4), ([0, 7, 9], 7), ([3, 3, 2**63], 2**63)])
def test_output_ids_checked_in_order(name, outputs, bad):
    store, _ = diamond()
    before = store.serialize()
    with pytest.raises(ValueError) as info:
        CALLS[name](store, outputs=outputs)
    assert type(info.value) is ValueError
    assert str(info.value) == no_node(bad)
    assert store.serialize() == before


@pytest.mark.parametrize(
    "build, maximal, expected",
    [
        (unmarked, False, report(2, 0, 0, 0, 0, 0)),
        (single_source, False, report(1, 1, 1, 0, 1, 1)),
        (chain_with_dead_op, False, report(4, 3, 3, 1, 2, 1)),
        (lambda: chain_with_dead_op(ADD_ZERO), False, report(4, 3, 2, 1, 2, 1)),
        (diamond, False, report(4, 4, 4, 2, 3, 1)),
        (diamond, True, report(4, 4, 4, 1, 2, 1)),
    ],
    ids=["no marks", "one source", "chain", "identity absorbed", "diamond", "diamond maximal"],
)
def test_report_counts(build, maximal, expected):
    store, outputs = build()
    before = store.serialize()
    reduced, got = store.reduce(maximal_fusion=maximal, outputs=outputs)
    assert type(got) is dict and set(got) == set(REPORT_KEYS)
    assert all(type(v) is int for v in got.values())
    assert got == expected
    assert reduced.node_count() == got["reduced_nodes"]
    assert len(reduced.node_map()) == got["input_nodes"]
    # The other two methods always use the single-use rule.
    single = store.reduce(outputs=outputs)
    assert store.reduction_report(outputs=outputs) == single[1]
    incremental = store.reduce_incremental(outputs=outputs)
    assert incremental[1] == single[1]
    assert incremental[0].serialize() == single[0].serialize()
    assert incremental[0].node_map() == single[0].node_map()
    # Reading never changes the store, and a second reduction is the same store again.
    assert store.serialize() == before and store.node_map() == []
    again = store.reduce(maximal_fusion=maximal, outputs=outputs)[0]
    assert again is not reduced and again.serialize() == reduced.serialize()


@pytest.mark.parametrize(
    "build, maximal, nodes, node_map",
    [
        (chain_with_dead_op, False,
         [SOURCE_A, stage(1, [0], [member("x", ("input", 0)), member("y", ("member", 0))], True)],
         [(0, None), (1, 0), (1, 1), None]),
        (diamond, False,
         [SOURCE_A, stage(1, [0], [member("x", ("input", 0))]),
          stage(2, [1], [member("y", ("input", 0)), member("z", ("input", 0), ("member", 0))], True)],
         [(0, None), (1, 0), (2, 0), (2, 1)]),
        (diamond, True,
         [SOURCE_A, stage(1, [0], [member("x", ("input", 0)), member("y", ("member", 0)),
                                   member("z", ("member", 0), ("member", 1))], True)],
         [(0, None), (1, 0), (1, 1), (1, 2)]),
    ],
)
def test_reduced_nodes(build, maximal, nodes, node_map):
    store, outputs = build()
    reduced, _ = store.reduce(maximal_fusion=maximal, outputs=outputs)
    assert reduced.nodes() == nodes
    assert reduced.node_map() == node_map
    assert reduced.outputs() == [len(nodes) - 1]


@pytest.mark.parametrize(
    "marks, outputs, expected_marks, expected_map",
    [
        ([2], None, [1], [(0, None), None, (1, 0)]),
        ([2], [], [], [None, None, None]),
        ([1, 2], [1], [0], [None, (0, None), None]),
        ([2], [2, 1, 2], [2, 1], [(0, None), (1, None), (2, 0)]),
    ],
    ids=["marks", "empty list", "marked node excluded", "repeated output"],
)
def test_outputs_argument_against_marks(marks, outputs, expected_marks, expected_map):
    plain = wc.GraphStore()
    a = plain.add_source("a")
    b = plain.add_source("b")
    plain.add_op("neg", [a])
    store = marked(plain, marks)
    assert b == 1 and store.outputs() == marks
    reduced, counts = store.reduce(outputs=outputs)
    assert reduced.outputs() == expected_marks
    assert reduced.node_map() == expected_map
    assert counts["input_nodes"] == 3


# ---------------------------------------------------------------- stage and external keys


def boundary_mix():
    """Every kind, with two one-member stages over one input once reduced."""
    store = wc.GraphStore()
    a = store.add_source("a", {"rows": 4})
    neg = store.add_op("neg", [a])
    ab = store.add_op("abs", [a])
    ext = store.add_external(dict(DESCRIPTOR, kind="a|b", content_hash="c"), [neg])
    ext2 = store.add_external(dict(DESCRIPTOR, kind="a", content_hash="b|c"), [neg])
    ref = store.add_external(dict(DESCRIPTOR, preprocessing_ref="-"), [ab])
    noref = store.add_external(DESCRIPTOR, [ab])
    ex = store.add_exchange([ext, ext2], {"scheme": "hash"})
    j = store.add_join([ref, noref])
    r = store.add_reduction("sum", [ex, j], {"axis": 0})
    return store, [r, neg, ab]


def test_reducing_a_reduced_store_changes_nothing():
    store, outputs = boundary_mix()
    once, counts = store.reduce(outputs=outputs)
    kinds = [n["kind"] for n in once.nodes()]
    assert kinds.count("stage") == 2 and kinds.count("external") == 4
    assert counts["reduced_nodes"] == store.node_count()
    twice, again = once.reduce()
    assert twice.serialize() == once.serialize()
    assert twice.node_map() == [(i, None) for i in range(once.node_count())]
    assert again == report(*([once.node_count()] * 3), 0, once.node_count(), once.node_count())
    # Through the byte form, too.
    restored = wc.GraphStore.deserialize(once.serialize())
    assert restored.reduce()[0].serialize() == once.serialize()


def test_two_stages_over_one_input_stay_two():
    store = wc.GraphStore()
    a = store.add_source("a")
    neg, ab = store.add_op("neg", [a]), store.add_op("abs", [a])
    once, _ = store.reduce(outputs=[neg, ab])
    twice, counts = once.reduce()
    assert counts["canonical_nodes"] == 3
    assert [[m["name"] for m in n["members"]] for n in twice.nodes()[1:]] == [["neg"], ["abs"]]
    assert twice.outputs() == [1, 2]

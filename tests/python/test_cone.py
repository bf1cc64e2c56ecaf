"""GraphStore.cone: the dead-code-free cone of a list of outputs, its marks and node map."""

import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import weftory_core as wc

from blob_builder import DESCRIPTOR, blob, op, refs, source, stage
from contracts import MAGIC, STR_TO_VEC, no_node
from sanitized_run import UNDER_ASAN


@pytest.fixture
def four(store):
    """0: Source a, 1: Source b, 2: Op add on (0, 1), 3: Op neg on (1)."""
    store.add_source("a")
    store.add_source("b")
    store.add_op("add", [0, 1])
    store.add_op("neg", [1])
    return store


def src(i, name, output=False):
    return {"id": i, "output": output, "inputs": [], "kind": "source", "name": name, "params": {}}


def node(i, kind, name, inputs, output=False):
    return {"id": i, "output": output, "inputs": inputs, "kind": kind, "name": name, "params": {}}


def test_cone_of_one_output_keeps_its_dependencies(four):
    cone = four.cone(outputs=[3])
    assert type(cone) is wc.GraphStore
    assert cone.nodes() == [src(0, "b"), node(1, "op", "neg", [0], output=True)]
    assert cone.outputs() == [1]
    assert cone.node_map() == [None, (0, None), None, (1, None)]
    assert cone.serialize() == blob([source("b"), op("neg", [0])], outputs=[1])


def test_source_store_is_unchanged(four):
    before = four.serialize()
    cone = four.cone(outputs=[3])
    cone.add_source("new")
    assert four.serialize() == before
    assert four.outputs() == []
    assert four.node_map() == []
    assert cone.node_count() == 3


@pytest.mark.parametrize(
    "outputs, kept, marks",
    [
        ([3, 2], [0, 1, 2, 3], [3, 2]),
        ([2, 3], [0, 1, 2, 3], [2, 3]),
        ([3, 3], [1, 3], [1]),
        ([3, 1, 3, 1], [1, 3], [1, 0]),
        ([1, 3], [1, 3], [0, 1]),
        ([2, 3, 2, 0], [0, 1, 2, 3], [2, 3, 0]),
        ([0], [0], [0]),
        ([1, 0], [0, 1], [1, 0]),
        ([2], [0, 1, 2], [2]),
        ((3,), [1, 3], [1]),
        (range(4), [0, 1, 2, 3], [0, 1, 2, 3]),
        (b"\x03", [1, 3], [1]),
    ],
)
def test_kept_nodes_and_marks_in_request_order(four, outputs, kept, marks):
    cone = four.cone(outputs=outputs)
    expected_map = [(kept.index(i), None) if i in kept else None for i in range(4)]
    assert cone.node_map() == expected_map
    assert cone.outputs() == marks
    assert cone.node_count() == len(kept)
    names = [four.nodes()[i]["name"] for i in kept]
    assert [n["name"] for n in cone.nodes()] == names


def test_empty_outputs_give_an_empty_store_with_a_full_node_map(four):
    cone = four.cone(outputs=[])
    assert cone.node_count() == 0
    assert cone.outputs() == []
    assert cone.node_map() == [None, None, None, None]
    assert cone.serialize() == MAGIC + bytes(8)


def test_cone_of_an_empty_store(store):
    cone = store.cone(outputs=())
    assert cone.node_count() == 0
    assert cone.node_map() == []
    assert cone.outputs() == []


def test_all_nodes_reproduce_the_store(four):
    cone = four.cone(outputs=[0, 1, 2, 3])
    assert cone.serialize() == four.serialize(outputs=[0, 1, 2, 3])
    assert cone.node_map() == [(i, None) for i in range(4)]
    assert cone.nodes() == [dict(n, output=True) for n in four.nodes()]


def test_stored_marks_do_not_matter():
    marked = wc.GraphStore.deserialize(
        blob([source("a"), source("b"), op("add", [0, 1]), op("neg", [1])], outputs=[2, 0])
    )
    cone = marked.cone(outputs=[3])
    assert cone.outputs() == [1]
    assert cone.node_map() == [None, (0, None), None, (1, None)]


def test_cone_of_a_cone_maps_from_the_intermediate_store(four):
    first = four.cone(outputs=[2, 3])
    second = first.cone(outputs=[3])
    assert second.node_map() == [None, (0, None), None, (1, None)]
    assert second.serialize() == blob([source("b"), op("neg", [0])], outputs=[1])


@pytest.mark.parametrize("outputs, bad", [([4], 4), ([0, 7, 5], 7), ([3, 4], 4), ([2**64 - 1], 2**64 - 1)])
def test_first_bad_id_in_list_order(four, outputs, bad):
    with pytest.raises(ValueError) as info:
        four.cone(outputs=outputs)
    assert type(info.value) is ValueError
    assert str(info.value) == no_node(bad)
    assert four.node_count() == 4


def test_str_is_refused(four, expect_conversion_error):
    expect_conversion_error(lambda: four.cone(outputs="3"), TypeError, STR_TO_VEC, "outputs")


@pytest.mark.parametrize(
    "outputs, exc_type",
    [([-1], OverflowError), ([2**64], OverflowError), ({3}, TypeError), (None, TypeError), (3, TypeError),
     ([3, 1.0], TypeError)],
)
def test_conversion_errors_name_outputs(four, expect_conversion_error, outputs, exc_type):
    expect_conversion_error(lambda: four.cone(outputs=outputs), exc_type, None, "outputs")


def test_outputs_is_required_and_keyword_only(four):
    with pytest.raises(TypeError):
        four.cone()
    with pytest.raises(TypeError):
        four.cone([3])
    with pytest.raises(TypeError):
        four.cone(outputs=[3], other=1)


def test_stage_members_are_copied_unchanged():
    members = [
        ("op|mul|scalar=f3ff0000000000000;side=sl", [("input", 1), ("input", 7)]),
        ("red|sum", [("member", 0), ("input", 2**32 - 1)]),
        ("", [("member", 1), ("member", 0)]),
    ]
    store = wc.GraphStore.deserialize(
        blob([source("a"), source("b"), source("c"), stage([2, 1, 2], members), op("neg", [3])])
    )
    cone = store.cone(outputs=[4])
    assert cone.serialize() == blob(
        [source("b"), source("c"), stage([1, 0, 1], members), op("neg", [2])], outputs=[3]
    )
    assert cone.node_map() == [None, (0, None), (1, None), (2, None), (3, None)]


def test_every_kind_has_its_inputs_renumbered(store):
    store.add_source("unused")
    a = store.add_source("a", {"k": 1})
    store.add_op("unused", [0])
    b = store.add_op("b", [a, a], {"s": "x"})
    r = store.add_reduction("r", [b])
    e = store.add_external(dict(DESCRIPTOR, preprocessing_ref="p"), [r, a], {"n": 2.5})
    store.add_exchange([0])
    x = store.add_exchange([e], {"scheme": "hash"})
    j = store.add_join([x, b, a])
    cone = store.cone(outputs=[j])
    got = [(n["kind"], n["inputs"]) for n in cone.nodes()]
    assert got == [
        ("source", []),
        ("op", [0, 0]),
        ("reduction", [1]),
        ("external", [2, 0]),
        ("exchange", [3]),
        ("join", [4, 1, 0]),
    ]
    kept = [a, b, r, e, x, j]
    by_id = store.nodes()
    for new, old in zip(cone.nodes(), kept):
        for key in set(by_id[old]) - {"id", "inputs", "output"}:
            assert new[key] == by_id[old][key]
    assert cone.node_map() == [(kept.index(i), None) if i in kept else None for i in range(store.node_count())]


# --- against a model ---------------------------------------------------------------


def model_cone(nodes, outputs):
    """Backward closure of the outputs, dense renumbering in source order, node map and marks."""
    keep = set()
    work = list(outputs)
    while work:
        i = work.pop()
        if i not in keep:
            keep.add(i)
            work.extend(nodes[i]["inputs"])
    kept = sorted(keep)
    remap = {old: new for new, old in enumerate(kept)}
    marks = list(dict.fromkeys(remap[o] for o in outputs))
    expected = []
    for new, old in enumerate(kept):
        entry = dict(nodes[old])
        entry["id"] = new
        entry["inputs"] = [remap[i] for i in nodes[old]["inputs"]]
        entry["output"] = new in marks
        expected.append(entry)
    node_map = [(remap[i], None) if i in remap else None for i in range(len(nodes))]
    return expected, marks, node_map


_steps = st.lists(
    st.tuples(
        st.sampled_from(["source", "op", "reduction", "external", "exchange", "join"]),
        st.sampled_from(["a", "b", ""]),
        st.lists(st.integers(min_value=0, max_value=1000), max_size=3),
    ),
    max_size=30,
)


@settings(max_examples=150, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(_steps, st.lists(st.integers(min_value=0, max_value=1000), max_size=6))
def test_cone_matches_model(steps, picks):
    store = wc.GraphStore()
    for kind, name, input_picks in steps:
        count = store.node_count()
        inputs = [p % count for p in input_picks] if count else []
        if kind == "source" or not count:
            store.add_source(name)
        elif kind == "op":
            store.add_op(name, inputs)
        elif kind == "reduction":
            store.add_reduction(name, inputs)
        elif kind == "external":
            store.add_external(dict(DESCRIPTOR, kind=name), inputs)
        elif kind == "exchange":
            store.add_exchange(inputs)
        else:
            store.add_join(inputs)
    count = store.node_count()
    outputs = [p % count for p in picks] if count else []
    cone = store.cone(outputs=outputs)
    expected, marks, node_map = model_cone(store.nodes(), outputs)
    assert cone.nodes() == expected
    assert cone.outputs() == marks
    assert cone.node_map() == node_map


# --- deep chains ---------------------------------------------------------------------


def test_million_node_chain_has_no_depth_limit():
    n = 10**6
    started = time.perf_counter()
    store = wc.GraphStore()
    store.add_source("x")
    add_op = store.add_op
    for i in range(1, n):
        add_op("neg", [i - 1])
    assert store.node_count() == n

    whole = store.cone(outputs=[n - 1])
    assert whole.node_count() == n
    assert whole.outputs() == [n - 1]
    node_map = whole.node_map()
    assert len(node_map) == n
    assert all(node_map[i] == (i, None) for i in range(0, n, 997))
    assert node_map[-1] == (n - 1, None)
    assert whole.serialize().endswith(op("neg", [n - 2]) + refs([n - 1]))
    if not UNDER_ASAN:
        assert time.perf_counter() - started < 20

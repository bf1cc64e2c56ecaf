"""Interning, ids, unknown inputs and the read views of GraphStore."""

import math
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import weftory_core as wc

from contracts import DESCRIPTOR_FIELDS, DESCRIPTOR_KEYS, NODE_KEYS, no_node


def add_any(store, kind, inputs, params=None, name="n", descriptor=None):
    if kind == "source":
        return store.add_source(name, params)
    if kind == "op":
        return store.add_op(name, inputs, params)
    if kind == "reduction":
        return store.add_reduction(name, inputs, params)
    if kind == "external":
        return store.add_external(descriptor, inputs, params)
    if kind == "exchange":
        return store.add_exchange(inputs, params)
    if kind == "join":
        return store.add_join(inputs, params)
    raise AssertionError(kind)


WITH_INPUTS = ["op", "reduction", "external", "exchange", "join"]


# --- interning and ids -------------------------------------------------------------


def test_ids_are_dense_in_insertion_order(store):
    assert [store.add_source(n) for n in "abcde"] == [0, 1, 2, 3, 4]
    assert store.add_op("f", [4, 0]) == 5
    assert store.node_count() == 6
    assert [n["id"] for n in store.nodes()] == list(range(6))


def test_same_source_twice_is_one_node(store):
    assert store.add_source("x") == 0
    assert store.add_source("x") == 0
    assert store.node_count() == 1
    assert store.add_source("x", {"k": 1}) == 1
    assert store.add_source("x", {"k": 1}) == 1
    assert store.node_count() == 2


def test_returned_ids_are_ints(store):
    node = store.add_source("x")
    assert type(node) is int
    assert type(store.node_count()) is int


def test_input_order_and_repetition_matter(store):
    store.add_source("a")
    store.add_source("b")
    same = store.add_op("add", [0, 0])
    assert store.add_op("add", [0, 0]) == same
    ab = store.add_op("add", [0, 1])
    ba = store.add_op("add", [1, 0])
    assert len({same, ab, ba}) == 3
    assert store.add_op("add", [0]) not in {same, ab, ba}
    assert store.add_op("add", [0, 0, 0]) != same
    assert store.node_count() == 2 + 5


def test_every_kind_is_its_own_node(store, desc_fields):
    store.add_source("a")
    ids = [add_any(store, kind, [0], descriptor=desc_fields) for kind in WITH_INPUTS]
    ids.append(store.add_source("n"))
    assert ids == list(range(1, 7))
    # Adding them all again changes nothing.
    again = [add_any(store, kind, [0], descriptor=desc_fields) for kind in WITH_INPUTS]
    assert again + [store.add_source("n")] == ids
    assert store.node_count() == 7


def test_op_without_inputs_differs_from_source_of_same_name(store):
    assert store.add_source("f") == 0
    assert store.add_op("f", []) == 1
    assert store.add_reduction("f", []) == 2
    assert store.add_op("f", []) == 1


@pytest.mark.parametrize("kind", ["source", "op", "reduction"])
def test_name_is_part_of_identity(store, kind):
    store.add_source("root")
    inputs = [] if kind == "source" else [0]
    a = add_any(store, kind, inputs, name="f")
    b = add_any(store, kind, inputs, name="g")
    c = add_any(store, kind, inputs, name="")
    assert len({a, b, c}) == 3
    assert add_any(store, kind, inputs, name="g") == b


@pytest.mark.parametrize("kind", ["source"] + WITH_INPUTS)
def test_params_are_part_of_identity(store, desc_fields, kind):
    store.add_source("root")
    inputs = [] if kind == "source" else [0]
    variants = [None, {"k": 1}, {"k": 2}, {"j": 1}, {"k": 1, "j": 1}, {"k": "1"}, {"k": True}, {"k": 1.0}]
    ids = [add_any(store, kind, inputs, p, descriptor=desc_fields) for p in variants]
    assert len(set(ids)) == len(variants)
    assert [add_any(store, kind, inputs, p, descriptor=desc_fields) for p in variants] == ids


@pytest.mark.parametrize(
    "values",
    [
        (True, 1, 1.0),
        (False, 0, 0.0),
        (0.0, -0.0),
        ("1", 1),
        ("True", True),
        (2**63, 2**63 - 1),
        (-(2**63), -(2**63) - 1),
    ],
    ids=repr,
)
def test_distinct_param_values_make_distinct_nodes(store, values):
    ids = [store.add_source("s", {"v": v}) for v in values]
    assert ids == list(range(len(values)))


@pytest.mark.parametrize(
    "first, second",
    [
        (float("nan"), float("nan")),
        (float("nan"), -float("nan")),
        (float("nan"), struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]),
        (float("nan"), struct.unpack("<d", struct.pack("<Q", 0xFFFFFFFFFFFFFFFF))[0]),
        (2**63, 9223372036854775808.0),
        (-(2**63) - 1, -9223372036854775809.0),
        (2**64 + 1, 2.0**64),
    ],
    ids=["nan", "negative-nan", "nan-payload", "all-ones-nan", "2**63", "below-i64", "rounded"],
)
def test_equal_float_values_make_one_node(store, first, second):
    a = store.add_source("s", {"v": first, "w": 1})
    assert store.add_source("s", {"w": 1, "v": second}) == a
    assert store.node_count() == 1


def test_zero_and_negative_zero_are_stored_as_given(store):
    store.add_source("s", {"v": 0.0})
    store.add_source("s", {"v": -0.0})
    signs = [math.copysign(1.0, n["params"]["v"]) for n in store.nodes()]
    assert signs == [1.0, -1.0]


@pytest.mark.parametrize("field", DESCRIPTOR_FIELDS)
def test_every_descriptor_field_is_part_of_identity(store, desc_fields, field):
    base = store.add_external(desc_fields, [])
    changed = dict(desc_fields, **{field: desc_fields[field] + "x"})
    assert store.add_external(changed, []) == base + 1
    assert store.add_external(wc.PayloadDescriptor(**changed), []) == base + 1


def test_preprocessing_ref_absent_empty_and_text_differ(store, desc_fields):
    absent = store.add_external(desc_fields, [])
    empty = store.add_external(dict(desc_fields, preprocessing_ref=""), [])
    text = store.add_external(dict(desc_fields, preprocessing_ref="r"), [])
    assert [absent, empty, text] == [0, 1, 2]
    assert store.add_external(wc.PayloadDescriptor(**desc_fields, preprocessing_ref=None), []) == absent
    assert store.add_external(wc.PayloadDescriptor(**desc_fields, preprocessing_ref=""), []) == empty
    assert store.add_external(wc.PayloadDescriptor(**desc_fields, preprocessing_ref="r"), []) == text
    refs = [n["descriptor"]["preprocessing_ref"] for n in store.nodes()]
    assert refs == [None, "", "r"]


def test_descriptor_texts_with_separators_are_distinct_nodes(store):
    # Two descriptors whose texts join into the same line are still different nodes.
    a = dict(kind="a|b", content_hash="c", framework="f", version="1", io_schema="s")
    b = dict(kind="a", content_hash="b|c", framework="f", version="1", io_schema="s")
    assert store.add_external(a, []) == 0
    assert store.add_external(b, []) == 1


def test_dict_and_payload_descriptor_give_the_same_node(store):
    store.add_source("root")
    fields = {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}
    from_dict = store.add_external(fields, [0])
    assert store.add_external(wc.PayloadDescriptor(**fields), [0]) == from_dict
    assert store.node_count() == 2


def test_payload_descriptor_is_copied(store, desc_fields):
    pd = wc.PayloadDescriptor(**desc_fields)
    a = store.add_external(pd, [])
    assert store.add_external(pd, []) == a
    del pd
    assert store.nodes()[a]["descriptor"]["kind"] == desc_fields["kind"]


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.add_op("f", []),
        lambda s: s.add_reduction("r", []),
        lambda s: s.add_join([0]),
        lambda s: s.add_join([0, 1, 0]),
        lambda s: s.add_exchange([0, 1]),
        lambda s: s.add_exchange([]),
        lambda s: s.add_external({"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}, []),
        lambda s: s.add_op("f", [1] * 50),
    ],
)
def test_no_arity_is_checked(store, call):
    store.add_source("a")
    store.add_source("b")
    assert call(store) == 2
    assert call(store) == 2
    assert store.node_count() == 3


# --- unknown inputs -----------------------------------------------------------------


@pytest.mark.parametrize(
    "size, inputs, reported",
    [
        (2, [5], 5),
        (2, [2], 2),  # equal to the node count: a forward or self reference
        (2, [0, 9, 7], 9),
        (2, [0, 1, 2, 3], 2),
        (2, [3, 2], 3),
        (0, [0], 0),
        (3, [0, 1, 2, 2**64 - 1, 3], 2**64 - 1),
        (1, [0, 0, 0, 1], 1),
    ],
)
@pytest.mark.parametrize("kind", WITH_INPUTS)
def test_unknown_input_reports_first_offender_and_changes_nothing(store, desc_fields, kind, size, inputs, reported):
    for i in range(size):
        store.add_source(f"s{i}")
    before = store.nodes()
    with pytest.raises(ValueError) as info:
        add_any(store, kind, inputs, {"p": 1}, descriptor=desc_fields)
    assert type(info.value) is ValueError
    assert str(info.value) == no_node(reported)
    assert store.node_count() == size
    assert store.nodes() == before
    # The store still works and the next id is unaffected by the failure.
    assert store.add_source("after") == size


def test_failed_add_leaves_no_trace_for_a_later_equal_add(store):
    store.add_source("a")
    with pytest.raises(ValueError):
        store.add_op("f", [0, 1])
    store.add_source("b")
    assert store.add_op("f", [0, 1]) == 2
    assert store.node_count() == 3


# --- nodes() -----------------------------------------------------------------------


def test_nodes_of_source_with_params(store):
    store.add_source("x", {"b": True, "a": 1.5})
    nodes = store.nodes()
    assert nodes == [{"id": 0, "output": False, "inputs": [], "kind": "source", "name": "x", "params": {"a": 1.5, "b": True}}]
    assert list(nodes[0]) == list(NODE_KEYS)
    assert list(nodes[0]["params"]) == ["a", "b"]
    assert type(nodes[0]["params"]["a"]) is float
    assert type(nodes[0]["params"]["b"]) is bool


def test_nodes_of_every_kind(store):
    s0 = store.add_source("a", {"dtype": "f32"})
    s1 = store.add_source("b")
    op = store.add_op("add", [s0, s1], {"side": "r", "scalar": 0.0})
    red = store.add_reduction("sum", [op], {"axis": -1})
    ext = store.add_external(
        {"kind": "onnx", "content_hash": "sha256:1", "framework": "ort", "version": "1.18", "io_schema": "f32",
         "preprocessing_ref": "prep", "ignored": 1},
        [red, s1],
        {"z": False},
    )
    ext2 = store.add_external(
        wc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s"), []
    )
    exch = store.add_exchange([ext], {"scheme": "hash"})
    join = store.add_join([exch, s0])
    expected = [
        {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "a", "params": {"dtype": "f32"}},
        {"id": 1, "output": False, "inputs": [], "kind": "source", "name": "b", "params": {}},
        {"id": 2, "output": False, "inputs": [0, 1], "kind": "op", "name": "add", "params": {"scalar": 0.0, "side": "r"}},
        {"id": 3, "output": False, "inputs": [2], "kind": "reduction", "name": "sum", "params": {"axis": -1}},
        {
            "id": 4, "output": False, "inputs": [3, 1], "kind": "external", "name": "", "params": {"z": False},
            "descriptor": {"kind": "onnx", "content_hash": "sha256:1", "framework": "ort", "version": "1.18",
                           "io_schema": "f32", "preprocessing_ref": "prep"},
        },
        {
            "id": 5, "output": False, "inputs": [], "kind": "external", "name": "", "params": {},
            "descriptor": {"kind": "k", "content_hash": "h", "framework": "f", "version": "v",
                           "io_schema": "s", "preprocessing_ref": None},
        },
        {"id": 6, "output": False, "inputs": [4], "kind": "exchange", "name": "", "params": {"scheme": "hash"}},
        {"id": 7, "output": False, "inputs": [6, 0], "kind": "join", "name": "", "params": {}},
    ]
    assert [s0, s1, op, red, ext, ext2, exch, join] == list(range(8))
    nodes = store.nodes()
    assert nodes == expected
    for got, want in zip(nodes, expected):
        assert list(got) == list(want)
        assert list(got["params"]) == list(want["params"])
        if "descriptor" in want:
            assert list(got["descriptor"]) == list(DESCRIPTOR_KEYS)
    assert list(nodes[2]["params"]) == ["scalar", "side"]


def test_nodes_value_types(store, desc_fields):
    store.add_source("s", {"i": 1, "f": 1.0, "b": True, "t": "x"})
    store.add_external(desc_fields, [0])
    for node in store.nodes():
        assert type(node["id"]) is int
        assert type(node["output"]) is bool
        assert type(node["inputs"]) is list and all(type(i) is int for i in node["inputs"])
        assert type(node["kind"]) is str
        assert type(node["name"]) is str
        assert type(node["params"]) is dict
    params = store.nodes()[0]["params"]
    assert [type(params[k]) for k in ("b", "f", "i", "t")] == [bool, float, int, str]
    desc = store.nodes()[1]["descriptor"]
    assert type(desc) is dict
    assert all(type(desc[k]) is str for k in DESCRIPTOR_KEYS[:5])


def test_nodes_returns_fresh_copies(store):
    store.add_source("s", {"k": 1})
    store.add_op("f", [0])
    first = store.nodes()
    first[0]["params"]["k"] = 99
    first[1]["inputs"].append(5)
    first.append("junk")
    assert store.nodes() == [
        {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "s", "params": {"k": 1}},
        {"id": 1, "output": False, "inputs": [0], "kind": "op", "name": "f", "params": {}},
    ]
    assert store.nodes() is not store.nodes()


def test_inputs_keep_order_and_repetitions(store):
    for n in "abc":
        store.add_source(n)
    node = store.add_op("f", (2, 0, 2, 1, 0))
    assert store.nodes()[node]["inputs"] == [2, 0, 2, 1, 0]


# --- outputs() and node_map() ----------------------------------------------------------


def test_outputs_and_node_map_of_a_built_store_are_empty(store, desc_fields):
    assert store.outputs() == []
    assert store.node_map() == []
    store.add_source("a")
    store.add_op("f", [0])
    store.add_external(desc_fields, [1])
    assert store.outputs() == []
    assert store.node_map() == []
    assert [n["output"] for n in store.nodes()] == [False, False, False]


def test_outputs_and_node_map_return_new_lists(store):
    first = store.outputs()
    first.append(1)
    assert store.outputs() == []
    m = store.node_map()
    m.append(None)
    assert store.node_map() == []


# --- property test against a model --------------------------------------------------


def _canonical_float(x):
    if math.isnan(x):
        return 0x7FF8000000000000
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def _classify(value):
    """(tag, comparable value) of a param value as the store must see it."""
    if type(value) is bool:
        return ("bool", value)
    if type(value) is int:
        if -(2**63) <= value < 2**63:
            return ("int", value)
        return ("float", _canonical_float(float(value)))
    if type(value) is float:
        return ("float", _canonical_float(value))
    if type(value) is str:
        return ("str", value)
    raise AssertionError(value)


def _canonical_params(params):
    return tuple(sorted((k.encode("utf-8"), _classify(v)) for k, v in (params or {}).items()))


def _descriptor_tuple(d):
    return tuple(d.get(k) for k in DESCRIPTOR_KEYS)


class InterningModel:
    """Pure-Python interning of node structures."""

    def __init__(self):
        self.keys = {}
        self.records = []

    def add(self, kind, name, inputs, params, descriptor):
        for i in inputs:
            if i >= len(self.records):
                return ("bad", i)
        key = (kind, name if kind in ("source", "op", "reduction") else "",
               tuple(inputs), _canonical_params(params),
               _descriptor_tuple(descriptor) if kind == "external" else None)
        if key not in self.keys:
            self.keys[key] = len(self.records)
            self.records.append(key)
        return ("ok", self.keys[key])


_float_values = st.one_of(
    st.sampled_from([0.0, -0.0, 1.0, 1.5, float("nan"), -float("nan"), float("inf"), 2.0**63]),
    st.floats(allow_nan=True, width=64),
)
_int_values = st.one_of(
    st.sampled_from([0, 1, -1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64]),
    st.integers(min_value=-(2**70), max_value=2**70),
)
_param_values = st.one_of(st.booleans(), _int_values, _float_values, st.sampled_from(["", "1", "x", "%;=|"]))
_params = st.one_of(
    st.none(),
    st.dictionaries(st.sampled_from(["a", "b", "B", "", "é", "a;b", "k=v"]), _param_values, max_size=3),
)
_descriptors = st.fixed_dictionaries(
    {k: st.sampled_from(["", "a", "b"]) for k in DESCRIPTOR_KEYS[:5]},
    optional={"preprocessing_ref": st.sampled_from([None, "", "r"])},
)
_actions = st.lists(
    st.tuples(
        st.sampled_from(["source"] + WITH_INPUTS),
        st.sampled_from(["", "f", "g"]),
        st.lists(st.one_of(st.integers(0, 3), st.integers(0, 12)), max_size=3),
        _params,
        _descriptors,
        st.booleans(),
    ),
    max_size=40,
)


@settings(max_examples=150, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(_actions)
def test_interning_matches_model(actions):
    store = wc.GraphStore()
    model = InterningModel()
    for kind, name, inputs, params, descriptor, as_object in actions:
        inputs = [] if kind == "source" else inputs
        if kind == "external" and as_object:
            desc_arg = wc.PayloadDescriptor(**descriptor)
        else:
            desc_arg = descriptor
        expected = model.add(kind, name, inputs, params, descriptor)
        if expected[0] == "bad":
            with pytest.raises(ValueError, match=f"^{no_node(expected[1])}$"):
                add_any(store, kind, inputs, params, name=name, descriptor=desc_arg)
        else:
            assert add_any(store, kind, inputs, params, name=name, descriptor=desc_arg) == expected[1]
        assert store.node_count() == len(model.records)

    nodes = store.nodes()
    assert len(nodes) == len(model.records)
    for node, (kind, name, inputs, params, descriptor) in zip(nodes, model.records):
        keys = list(NODE_KEYS) + (["descriptor"] if kind == "external" else [])
        assert list(node) == keys
        assert node["kind"] == kind
        assert node["name"] == name
        assert node["inputs"] == list(inputs)
        assert node["output"] is False
        got = tuple((k.encode("utf-8"), _classify(v)) for k, v in node["params"].items())
        assert got == params
        if kind == "external":
            assert _descriptor_tuple(node["descriptor"]) == descriptor

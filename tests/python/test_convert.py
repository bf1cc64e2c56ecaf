"""Argument binding and conversion of every GraphStore entry point."""

import collections
import decimal
import fractions
import math
import struct
import sys
import types

import pytest

import weftory_core as wc

from contracts import (
    DESCRIPTOR_FIELDS,
    DESCRIPTOR_TYPE_ERROR,
    DUPLICATE_PARAM_NAME,
    PARAM_VALUE_ERROR,
    PARAMS_TYPE_ERROR,
    STR_TO_VEC,
    mismatch,
    missing_field,
    no_node,
    unexpected_keyword,
)


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


class Outer:
    class Inner:
        pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexAndFloat:
    def __index__(self):
        return 3

    def __float__(self):
        return 99.5


class IndexRaises:
    def __index__(self):
        raise ValueError("no index today")


class IndexRaisesFloatOk:
    def __index__(self):
        raise ValueError("no index today")

    def __float__(self):
        return 2.25


class MyStr(str):
    pass


class MyFloat(float):
    pass


class MyInt(int):
    pass


class MyDict(dict):
    pass


class LyingSequence:
    """A sequence whose length disagrees with what iterating it yields."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 100

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


def source_params(params):
    """Add a source with the given params to a fresh store and read its params back."""
    store = wc.GraphStore()
    store.add_source("s", params)
    return store.nodes()[0]["params"]


# --- binding -------------------------------------------------------------------


@pytest.mark.parametrize(
    "method, args, kwargs",
    [
        ("add_source", (), {}),
        ("add_source", ("x", None, 1), {}),
        ("add_source", ("x",), {"name": "y"}),
        ("add_source", (), {"nam": "x"}),
        ("add_source", ("x",), {"params": None, "extra": 1}),
        ("add_op", ("f",), {}),
        ("add_op", (), {"inputs": []}),
        ("add_reduction", ("f",), {}),
        ("add_external", ({},), {}),
        ("add_exchange", (), {}),
        ("add_exchange", ([], None, None), {}),
        ("add_join", (), {"params": None}),
        ("add_join", ([],), {"inputs": []}),
        ("node_count", (1,), {}),
        ("node_count", (), {"x": 1}),
        ("nodes", (None,), {}),
        ("outputs", (), {"x": 1}),
        ("node_map", (0,), {}),
    ],
)
def test_binding_errors_raise_type_error(store, method, args, kwargs):
    with pytest.raises(TypeError):
        getattr(store, method)(*args, **kwargs)
    assert store.node_count() == 0


@pytest.mark.parametrize(
    "call, function",
    [
        (lambda s, kw: s.add_op("f", [0], **kw), "GraphStore.add_op"),
        (lambda s, kw: s.add_source("x", **kw), "GraphStore.add_source"),
        (lambda s, kw: s.serialize(**kw), "GraphStore.serialize"),
        (lambda s, kw: s.cone(outputs=[0], **kw), "GraphStore.cone"),
        (lambda s, kw: wc.GraphStore.deserialize(b"", **kw), "GraphStore.deserialize"),
        (lambda s, kw: wc.GraphStore(**kw), "GraphStore.__new__"),
        (
            lambda s, kw: wc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="1",
                                               io_schema="s", **kw),
            "PayloadDescriptor.__new__",
        ),
    ],
    ids=["add_op", "add_source", "serialize", "cone", "deserialize", "GraphStore", "PayloadDescriptor"],
)
@pytest.mark.parametrize("name", ["\ud800", "a\udfffb", "\U0001f600"], ids=["lone-high", "lone-low", "astral"])
def test_unexpected_keyword_names_any_str(store, call, function, name):
    store.add_source("a")
    with pytest.raises(TypeError) as info:
        call(store, {name: 1})
    assert type(info.value) is TypeError
    assert info.value.args == (unexpected_keyword(function, name),)
    assert store.node_count() == 1


def test_self_is_positional_only(store):
    with pytest.raises(TypeError):
        wc.GraphStore.add_source(self=store, name="x")
    assert store.node_count() == 0


def test_unbound_method_requires_a_graphstore():
    with pytest.raises(TypeError):
        wc.GraphStore.add_source(object(), "x")


@pytest.mark.parametrize(
    "by_keyword, by_position",
    [
        (lambda s, d: s.add_source(name="n", params={"a": 1}), lambda s, d: s.add_source("n", {"a": 1})),
        (lambda s, d: s.add_op(params=None, inputs=[0], name="n"), lambda s, d: s.add_op("n", [0])),
        (lambda s, d: s.add_op("n", inputs=[0]), lambda s, d: s.add_op("n", [0], None)),
        (lambda s, d: s.add_reduction(inputs=[0], name="n"), lambda s, d: s.add_reduction("n", [0])),
        (lambda s, d: s.add_external(inputs=[0], descriptor=d), lambda s, d: s.add_external(d, [0])),
        (lambda s, d: s.add_exchange(inputs=[0], params={"s": "h"}), lambda s, d: s.add_exchange([0], {"s": "h"})),
        (lambda s, d: s.add_join([0], params={"s": "h"}), lambda s, d: s.add_join([0], {"s": "h"})),
    ],
)
def test_arguments_bind_by_keyword(store, desc_fields, by_keyword, by_position):
    store.add_source("root")
    assert by_keyword(store, desc_fields) == 1
    assert by_position(store, desc_fields) == 1
    assert store.node_count() == 2


# --- PayloadDescriptor constructor ---------------------------------------------


def test_payload_descriptor_rejects_positional_arguments(desc_fields):
    with pytest.raises(TypeError):
        wc.PayloadDescriptor(*desc_fields.values())
    with pytest.raises(TypeError):
        wc.PayloadDescriptor("onnx", **{k: v for k, v in desc_fields.items() if k != "kind"})


@pytest.mark.parametrize("missing", DESCRIPTOR_FIELDS)
def test_payload_descriptor_requires_five_fields(desc_fields, missing):
    del desc_fields[missing]
    with pytest.raises(TypeError):
        wc.PayloadDescriptor(**desc_fields)


def test_payload_descriptor_rejects_unknown_keyword(desc_fields):
    with pytest.raises(TypeError):
        wc.PayloadDescriptor(**desc_fields, extra="x")


@pytest.mark.parametrize(
    "bad, param, message",
    [
        ({"kind": 1}, "kind", mismatch("int", "str")),
        ({"kind": None}, "kind", mismatch("None", "str")),
        ({"kind": b"k"}, "kind", mismatch("bytes", "str")),
        ({"content_hash": 1.5}, "content_hash", mismatch("float", "str")),
        ({"framework": ["f"]}, "framework", mismatch("list", "str")),
        ({"version": 1}, "version", mismatch("int", "str")),
        ({"io_schema": None}, "io_schema", mismatch("None", "str")),
        ({"preprocessing_ref": 5}, "preprocessing_ref", mismatch("int", "str")),
        ({"preprocessing_ref": Outer.Inner()}, "preprocessing_ref", mismatch("Outer.Inner", "str")),
        # Signature order: kind is converted before the later fields.
        ({"kind": 1, "content_hash": None, "preprocessing_ref": 5}, "kind", mismatch("int", "str")),
        ({"framework": 1, "preprocessing_ref": 5}, "framework", mismatch("int", "str")),
        ({"version": 2, "io_schema": 3}, "version", mismatch("int", "str")),
    ],
)
def test_payload_descriptor_field_conversion(desc_fields, expect_conversion_error, bad, param, message):
    desc_fields.update(bad)
    expect_conversion_error(lambda: wc.PayloadDescriptor(**desc_fields), TypeError, message, param)


@pytest.mark.parametrize("field", DESCRIPTOR_FIELDS + ("preprocessing_ref",))
def test_payload_descriptor_lone_surrogate(desc_fields, expect_conversion_error, field):
    desc_fields[field] = "a\ud800"
    expect_conversion_error(lambda: wc.PayloadDescriptor(**desc_fields), UnicodeEncodeError, None, field)


def test_payload_descriptor_accepts_str_subclasses(store, desc_fields):
    plain = store.add_external(wc.PayloadDescriptor(**desc_fields, preprocessing_ref="r"), [])
    sub = {k: MyStr(v) for k, v in desc_fields.items()}
    assert store.add_external(wc.PayloadDescriptor(**sub, preprocessing_ref=MyStr("r")), []) == plain
    desc = store.nodes()[0]["descriptor"]
    assert all(type(v) is str for v in desc.values())


# --- text arguments --------------------------------------------------------------


@pytest.mark.parametrize(
    "value, message",
    [
        (1, mismatch("int", "str")),
        (None, mismatch("None", "str")),
        (b"x", mismatch("bytes", "str")),
        (1.0, mismatch("float", "str")),
        (True, mismatch("bool", "str")),
        (["x"], mismatch("list", "str")),
        (Outer(), mismatch("Outer", "str")),
        (Outer.Inner(), mismatch("Outer.Inner", "str")),
    ],
    ids=lambda v: type(v).__qualname__ if not isinstance(v, str) else "msg",
)
@pytest.mark.parametrize("method", ["add_source", "add_op", "add_reduction"])
def test_name_type_mismatch(store, expect_conversion_error, method, value, message):
    args = (value,) if method == "add_source" else (value, [])
    expect_conversion_error(lambda: getattr(store, method)(*args), TypeError, message, "name")
    assert store.node_count() == 0


@pytest.mark.parametrize("name", ["\ud800", "ok\udfff", "\udc80tail"])
def test_name_with_lone_surrogate_raises_unicode_encode_error(store, expect_conversion_error, name):
    expect_conversion_error(lambda: store.add_source(name), UnicodeEncodeError, None, "name")
    assert store.node_count() == 0


def test_name_str_subclass_is_the_same_text(store):
    assert store.add_source(MyStr("x")) == store.add_source("x") == 0
    name = store.nodes()[0]["name"]
    assert name == "x" and type(name) is str


@pytest.mark.parametrize("name", ["", "a|b", "%;=", "ünïcødé", "日本", "\U0001f600", "nul\x00byte"])
def test_names_round_trip(store, name):
    node = store.add_source(name)
    assert store.nodes()[node]["name"] == name
    assert store.add_source(name) == node


# --- NodeId and lists of NodeId ------------------------------------------------------


@pytest.mark.parametrize(
    "inputs, expected",
    [
        ([0, 1], [0, 1]),
        ((1, 0), [1, 0]),
        (range(2), [0, 1]),
        (b"\x00\x01", [0, 1]),
        (bytearray(b"\x01\x01"), [1, 1]),
        ([True, False], [1, 0]),
        ([Index(1), MyInt(0)], [1, 0]),
        (LyingSequence([1, 0, 1]), [1, 0, 1]),
        (collections.deque([0, 0]), [0, 0]),
        ([], []),
        ((), []),
        (b"", []),
    ],
    ids=lambda v: type(v).__name__,
)
def test_inputs_accept_any_sequence(store, inputs, expected):
    store.add_source("a")
    store.add_source("b")
    node = store.add_op("f", inputs)
    assert store.nodes()[node]["inputs"] == expected
    assert store.add_op("f", expected) == node


class LenRaises(LyingSequence):
    def __len__(self):
        raise RuntimeError("length unknown")


class HugeLen(LyingSequence):
    def __len__(self):
        return 2**62


class GrowsList:
    """An item whose integer conversion appends another id to the list being read."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target.append(1)
        return 0


def test_inputs_are_read_by_iterating_not_by_length(store):
    store.add_source("a")
    store.add_source("b")
    inputs = []
    inputs.append(GrowsList(inputs))
    inputs.append(0)
    node = store.add_op("f", inputs)
    assert store.nodes()[node]["inputs"] == [0, 0, 1]


def test_failing_length_is_only_a_missing_hint(store):
    store.add_source("a")
    store.add_source("b")
    assert store.add_op("f", LenRaises([1, 0])) == 2
    assert store.nodes()[2]["inputs"] == [1, 0]
    # No error is left pending for the next call.
    assert store.add_source("c") == 3


def test_huge_length_is_only_a_hint(store):
    store.add_source("a")
    try:
        node = store.add_op("f", HugeLen([0, 0]))
    except BaseException as exc:  # noqa: B036 - a panic is not an Exception
        pytest.fail(f"{type(exc).__name__}: {exc}")
    assert store.nodes()[node]["inputs"] == [0, 0]


def test_inputs_accept_numpy_integers(store):
    np = pytest.importorskip("numpy")
    store.add_source("a")
    store.add_source("b")
    node = store.add_op("f", [np.int64(1), np.uint8(0)])
    assert store.add_op("f", np.array([1, 0], dtype=np.int32)) == node
    assert store.nodes()[node]["inputs"] == [1, 0]


@pytest.mark.parametrize(
    "inputs, message",
    [
        ("01", STR_TO_VEC),
        ("", STR_TO_VEC),
        (MyStr("0"), STR_TO_VEC),
        ({0}, mismatch("set", "Sequence")),
        (frozenset(), mismatch("frozenset", "Sequence")),
        ({0: 0}, mismatch("dict", "Sequence")),
        ((i for i in [0]), mismatch("generator", "Sequence")),
        (iter([0]), mismatch("list_iterator", "Sequence")),
        (0, mismatch("int", "Sequence")),
        (None, mismatch("None", "Sequence")),
        (Outer.Inner(), mismatch("Outer.Inner", "Sequence")),
    ],
    ids=lambda v: type(v).__name__,
)
@pytest.mark.parametrize("method", ["add_op", "add_reduction", "add_external", "add_exchange", "add_join"])
def test_inputs_refuse_non_sequences(store, desc_fields, expect_conversion_error, method, inputs, message):
    store.add_source("a")
    call = {
        "add_op": lambda: store.add_op("f", inputs),
        "add_reduction": lambda: store.add_reduction("f", inputs),
        "add_external": lambda: store.add_external(desc_fields, inputs),
        "add_exchange": lambda: store.add_exchange(inputs),
        "add_join": lambda: store.add_join(inputs),
    }[method]
    expect_conversion_error(call, TypeError, message, "inputs")
    assert store.node_count() == 1


@pytest.mark.parametrize(
    "inputs, exc_type",
    [
        ([-1], OverflowError),
        ([0, -1], OverflowError),
        ([2**64], OverflowError),
        ([2**100], OverflowError),
        ([Index(-5)], OverflowError),
        ([Index(2**64)], OverflowError),
        ([0, "0"], TypeError),
        ([1.0], TypeError),
        ([None], TypeError),
        ([decimal.Decimal(0)], TypeError),
        ([IndexRaises()], ValueError),
        # The first failing item wins, even when a later one fails differently.
        ([-1, "x"], OverflowError),
        (["x", -1], TypeError),
    ],
    ids=repr,
)
def test_input_items_use_integer_protocol_errors(store, expect_conversion_error, inputs, exc_type):
    store.add_source("a")
    expect_conversion_error(lambda: store.add_op("f", inputs), exc_type, None, "inputs")
    assert store.node_count() == 1


def test_input_index_error_message_is_the_protocols_own(store, expect_conversion_error):
    exc = expect_conversion_error(lambda: store.add_op("f", [IndexRaises()]), ValueError, None, "inputs")
    assert str(exc) == "no index today"


def test_largest_node_id_converts_then_fails_as_unknown_node(store):
    with pytest.raises(ValueError) as info:
        store.add_op("f", [2**64 - 1])
    assert str(info.value) == no_node(18446744073709551615)


# --- params ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "params",
    [[], [("a", 1)], "a", 1, 0.0, True, b"", {"a"}, types.MappingProxyType({"a": 1}), collections.UserDict(a=1)],
    ids=lambda v: type(v).__name__,
)
@pytest.mark.parametrize("method", ["add_source", "add_op", "add_reduction", "add_external", "add_exchange", "add_join"])
def test_params_must_be_dict_or_none(store, desc_fields, expect_conversion_error, method, params):
    store.add_source("a")
    call = {
        "add_source": lambda: store.add_source("s", params),
        "add_op": lambda: store.add_op("f", [0], params),
        "add_reduction": lambda: store.add_reduction("f", [0], params),
        "add_external": lambda: store.add_external(desc_fields, [0], params),
        "add_exchange": lambda: store.add_exchange([0], params),
        "add_join": lambda: store.add_join([0], params),
    }[method]
    expect_conversion_error(call, TypeError, PARAMS_TYPE_ERROR, "params")
    assert store.node_count() == 1


@pytest.mark.parametrize("params", [None, {}, MyDict(), collections.OrderedDict()], ids=repr)
def test_absent_or_empty_params_are_the_same_node(store, params):
    assert store.add_source("s") == 0
    assert store.add_source("s", params) == 0
    assert store.add_source("s", params=params) == 0
    assert store.nodes()[0]["params"] == {}


def test_dict_subclasses_are_read_as_dicts(store):
    node = store.add_source("s", MyDict(b=2, a=1))
    assert store.add_source("s", collections.OrderedDict([("a", 1), ("b", 2)])) == node
    assert store.add_source("s", {"b": 2, "a": 1}) == node
    assert list(store.nodes()[node]["params"].items()) == [("a", 1), ("b", 2)]


@pytest.mark.parametrize(
    "params, message",
    [
        ({1: 2}, mismatch("int", "str")),
        ({None: 2}, mismatch("None", "str")),
        ({b"k": 2}, mismatch("bytes", "str")),
        ({("k",): 2}, mismatch("tuple", "str")),
        ({"ok": 1, 2.5: 1}, mismatch("float", "str")),
        # The first failing item in dict order decides.
        ({1: 1, "v": None}, mismatch("int", "str")),
        ({"v": None, 1: 1}, PARAM_VALUE_ERROR),
    ],
    ids=repr,
)
def test_param_key_must_be_str(store, expect_conversion_error, params, message):
    exc_type = TypeError
    expect_conversion_error(lambda: store.add_source("s", params), exc_type, message, "params")
    assert store.node_count() == 0


def test_param_key_with_lone_surrogate(store, expect_conversion_error):
    expect_conversion_error(lambda: store.add_source("s", {"k\ud800": 1}), UnicodeEncodeError, None, "params")
    assert store.node_count() == 0


def test_param_key_str_subclass_is_plain_key(store):
    node = store.add_source("s", {MyStr("k"): 1})
    assert store.add_source("s", {"k": 1}) == node
    (key,) = store.nodes()[node]["params"]
    assert type(key) is str and key == "k"


@pytest.mark.parametrize(
    "value, expected_type, expected",
    [
        (True, bool, True),
        (False, bool, False),
        (0, int, 0),
        (-1, int, -1),
        (2**63 - 1, int, 2**63 - 1),
        (-(2**63), int, -(2**63)),
        (2**63, float, 9223372036854775808.0),
        (-(2**63) - 1, float, -9223372036854775809.0),
        (2**64, float, 18446744073709551616.0),
        (10**300, float, 1e300),
        (MyInt(5), int, 5),
        (Index(42), int, 42),
        (Index(-7), int, -7),
        (IndexAndFloat(), int, 3),
        # The float protocol also reads __index__ when it cannot take the integer path.
        (Index(2**70), float, float(2**70)),
        (1.5, float, 1.5),
        (MyFloat(2.5), float, 2.5),
        (Floaty(0.25), float, 0.25),
        (IndexRaisesFloatOk(), float, 2.25),
        (decimal.Decimal("1.5"), float, 1.5),
        (fractions.Fraction(1, 4), float, 0.25),
        (float("inf"), float, float("inf")),
        (float("-inf"), float, float("-inf")),
        ("", str, ""),
        ("text", str, "text"),
        (MyStr("sub"), str, "sub"),
        ("%;=|", str, "%;=|"),
    ],
    ids=lambda v: repr(v)[:40],
)
def test_param_value_classification(value, expected_type, expected):
    params = source_params({"v": value})
    assert list(params) == ["v"]
    got = params["v"]
    assert type(got) is expected_type
    assert got == expected


def test_numpy_float_param_is_float():
    np = pytest.importorskip("numpy")
    got = source_params({"v": np.float64(0.5)})["v"]
    assert type(got) is float and got == 0.5
    got = source_params({"v": np.int32(-3)})["v"]
    assert type(got) is int and got == -3


@pytest.mark.parametrize(
    "value",
    [
        10**400,
        -(10**400),
        Index(10**400),
        None,
        b"bytes",
        bytearray(b"x"),
        [1],
        (1,),
        {"nested": 1},
        1j,
        object(),
        IndexRaises(),
        Floaty("not a float"),
        "lone \ud800 surrogate",
    ],
    ids=lambda v: type(v).__name__,
)
def test_param_value_refused(store, expect_conversion_error, value):
    exc = expect_conversion_error(
        lambda: store.add_source("s", {"ok": 1, "v": value}), TypeError, PARAM_VALUE_ERROR, "params"
    )
    # The errors of the failed attempts are discarded, not chained into view.
    assert "no index today" not in str(exc)
    assert store.node_count() == 0


def test_nan_value_is_kept_as_nan():
    got = source_params({"v": float("nan")})["v"]
    assert type(got) is float and math.isnan(got)


def test_negative_zero_keeps_its_sign():
    got = source_params({"v": -0.0})["v"]
    assert got == 0.0 and math.copysign(1.0, got) == -1.0


def test_float_value_round_trips_exact_bits():
    # NaNs included: the stored value is the given one, payload and sign kept.
    for b in (0x0000000000000001, 0x7FEFFFFFFFFFFFFF, 0x3FB999999999999A, 0xC00921FB54442D18,
              0xFFF8000000000000, 0x7FF8000000000123, 0x8000000000000000):
        assert bits(source_params({"v": from_bits(b)})["v"]) == b


SHORT_KEYS = ["b", "a", "aa", "", "B", "é", "z", "Z9", "a\x00", "\U0001f600", "\uffff"]


@pytest.mark.parametrize(
    "keys",
    [
        SHORT_KEYS,
        # Longer maps than an insertion sort is used for, in dict order far from sorted.
        [k + str(i) for i in range(3) for k in SHORT_KEYS],
        [f"{c}{i}" for i in range(500, 0, -1) for c in ("é", "k")],
    ],
    ids=lambda keys: f"{len(keys)}-keys",
)
def test_params_sorted_by_key_bytes(store, keys):
    node = store.add_source("s", {k: i for i, k in enumerate(keys)})
    params = store.nodes()[node]["params"]
    assert list(params) == sorted(keys, key=lambda k: k.encode("utf-8"))
    assert params == {k: i for i, k in enumerate(keys)}


def test_param_order_does_not_matter(store):
    a = store.add_source("n", {"b": 1, "a": 2})
    assert store.add_source("n", {"a": 2, "b": 1}) == a
    assert store.node_count() == 1


class HashedByIdentity(str):
    """A str subclass whose instances are distinct dict keys even when their texts are equal."""

    def __hash__(self):
        return id(self)


ADD_WITH_PARAMS = {
    "add_source": lambda s, p: s.add_source("s", p),
    "add_op": lambda s, p: s.add_op("f", [0], p),
    "add_reduction": lambda s, p: s.add_reduction("f", [0], p),
    "add_external": lambda s, p: s.add_external(
        {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}, [0], p
    ),
    "add_exchange": lambda s, p: s.add_exchange([0], p),
    "add_join": lambda s, p: s.add_join([0], p),
}


@pytest.mark.parametrize(
    "keys",
    [
        (HashedByIdentity("a"), HashedByIdentity("a")),
        ("a", HashedByIdentity("a")),
        (HashedByIdentity("b"), "a", HashedByIdentity("b"), "c"),
        (HashedByIdentity("k"), HashedByIdentity("k"), HashedByIdentity("k")),
        tuple([f"p{i}" for i in range(20)] + [HashedByIdentity("k")] + [f"o{i}" for i in range(20)] + ["k"]),
    ],
    ids=["two-subclass", "str-and-subclass", "among-others", "three", "among-forty"],
)
@pytest.mark.parametrize("method", list(ADD_WITH_PARAMS))
def test_distinct_keys_with_equal_text_are_refused(store, expect_conversion_error, method, keys):
    store.add_source("a")
    before = store.serialize()
    params = {k: i for i, k in enumerate(keys)}
    assert len(params) == len(keys)
    expect_conversion_error(
        lambda: ADD_WITH_PARAMS[method](store, params), ValueError, DUPLICATE_PARAM_NAME, "params"
    )
    assert store.serialize() == before


def test_distinct_key_objects_with_distinct_texts_are_kept(store):
    node = store.add_source("s", {HashedByIdentity("a"): 1, HashedByIdentity("b"): 2})
    assert store.nodes()[node]["params"] == {"a": 1, "b": 2}
    # What the store holds can be written and read back.
    assert wc.GraphStore.deserialize(store.serialize()).nodes() == store.nodes()


# --- descriptors -----------------------------------------------------------------


@pytest.mark.parametrize(
    "descriptor",
    [None, [], "kind", 1, ("k", "h", "f", "1", "s"), types.MappingProxyType({}), collections.UserDict()],
    ids=lambda v: type(v).__name__,
)
def test_descriptor_must_be_payload_descriptor_or_dict(store, expect_conversion_error, descriptor):
    expect_conversion_error(
        lambda: store.add_external(descriptor, []), TypeError, DESCRIPTOR_TYPE_ERROR, "descriptor"
    )
    assert store.node_count() == 0


@pytest.mark.parametrize("missing_index", range(len(DESCRIPTOR_FIELDS)))
def test_descriptor_reports_first_missing_field(store, desc_fields, expect_conversion_error, missing_index):
    missing = DESCRIPTOR_FIELDS[missing_index]
    del desc_fields[missing]
    # Fields after the missing one are invalid, but the missing one is read first.
    for later in DESCRIPTOR_FIELDS[missing_index + 1 :]:
        desc_fields[later] = 1
    expect_conversion_error(
        lambda: store.add_external(desc_fields, []),
        ValueError,
        missing_field(missing),
        "descriptor",
    )
    assert store.node_count() == 0


@pytest.mark.parametrize(
    "descriptor, exc_type, message",
    [
        ({}, ValueError, missing_field("kind")),
        ({"preprocessing_ref": None}, ValueError, missing_field("kind")),
        ({"preprocessing_ref": 5}, TypeError, mismatch("int", "str")),
        ({"preprocessing_ref": b"r", "kind": 1}, TypeError, mismatch("bytes", "str")),
        ({"kind": 1}, TypeError, mismatch("int", "str")),
        ({"kind": None}, TypeError, mismatch("None", "str")),
        ({"kind": "k", "content_hash": None}, TypeError, mismatch("None", "str")),
        ({"kind": "k", "content_hash": "h", "framework": 1.0}, TypeError, mismatch("float", "str")),
        ({"kind": "k", "content_hash": "h", "framework": "f"}, ValueError, missing_field("version")),
        (
            {"kind": "k", "content_hash": "h", "framework": "f", "version": "1"},
            ValueError,
            missing_field("io_schema"),
        ),
        (
            {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": Outer.Inner()},
            TypeError,
            mismatch("Outer.Inner", "str"),
        ),
        ({"Kind": "k", "content-hash": "h"}, ValueError, missing_field("kind")),
        ({"kind": "k\udc00"}, UnicodeEncodeError, None),
        ({"preprocessing_ref": "\udc00"}, UnicodeEncodeError, None),
    ],
    ids=repr,
)
def test_descriptor_dict_read_order(store, expect_conversion_error, descriptor, exc_type, message):
    expect_conversion_error(lambda: store.add_external(descriptor, []), exc_type, message, "descriptor")
    assert store.node_count() == 0


def test_descriptor_dict_ignores_extra_keys_and_accepts_subclasses(store, desc_fields):
    node = store.add_external(desc_fields, [])
    assert store.add_external(MyDict(desc_fields, extra=1, more=[2]), []) == node
    assert store.add_external({**desc_fields, "preprocessing_ref": None}, []) == node
    assert store.add_external(wc.PayloadDescriptor(**desc_fields), []) == node
    assert store.node_count() == 1


def test_descriptor_dict_accepts_str_subclass_values(store, desc_fields):
    node = store.add_external(desc_fields, [])
    assert store.add_external({k: MyStr(v) for k, v in desc_fields.items()}, []) == node


# --- conversion order ---------------------------------------------------------------


@pytest.mark.parametrize(
    "call, exc_type, param",
    [
        (lambda s, d: s.add_source(1, 5), TypeError, "name"),
        (lambda s, d: s.add_source("x", 5), TypeError, "params"),
        (lambda s, d: s.add_op(1, "01", 5), TypeError, "name"),
        (lambda s, d: s.add_op("f", "01", 5), TypeError, "inputs"),
        (lambda s, d: s.add_op("f", [-1], 5), OverflowError, "inputs"),
        (lambda s, d: s.add_op("f", [9], 5), TypeError, "params"),
        (lambda s, d: s.add_reduction(None, [-1], 5), TypeError, "name"),
        (lambda s, d: s.add_reduction("r", [-1], 5), OverflowError, "inputs"),
        (lambda s, d: s.add_reduction("r", [9], {"v": None}), TypeError, "params"),
        # add_external converts its inputs before its descriptor.
        (lambda s, d: s.add_external({}, "01", 5), TypeError, "inputs"),
        (lambda s, d: s.add_external(5, [-1], 5), OverflowError, "inputs"),
        (lambda s, d: s.add_external({}, [9], 5), ValueError, "descriptor"),
        (lambda s, d: s.add_external(d, [9], 5), TypeError, "params"),
        (lambda s, d: s.add_exchange({0}, 5), TypeError, "inputs"),
        (lambda s, d: s.add_exchange([9], [1]), TypeError, "params"),
        (lambda s, d: s.add_join(None, 5), TypeError, "inputs"),
        (lambda s, d: s.add_join([9], {1: 1}), TypeError, "params"),
    ],
)
def test_conversion_order_and_note(store, desc_fields, expect_conversion_error, call, exc_type, param):
    store.add_source("a")
    expect_conversion_error(lambda: call(store, desc_fields), exc_type, None, param)
    assert store.node_count() == 1


# --- references ------------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda s, a: s.add_op(a["name"], a["inputs"], a["params"]),
        lambda s, a: s.add_external(a["desc"], a["inputs"], a["params"]),
        lambda s, a: s.add_external(a["pd"], [0]),
        lambda s, a: s.add_op(a["name"], a["inputs"], a["bad_params"]),
        lambda s, a: s.add_op(a["name"], [a["index"], 9], a["params"]),
        lambda s, a: s.add_external({"preprocessing_ref": a["name"]}, a["inputs"]),
        lambda s, a: s.add_join([a["index"], a["name"]]),
        lambda s, a: s.nodes(),
    ],
)
def test_calls_keep_no_references_to_arguments(store, desc_fields, call):
    store.add_source("a")
    args = {
        "name": "".join(["un", "shared", "-name"]),
        "index": Index(0),
        "floaty": Floaty(1.5),
        "desc": dict(desc_fields),
        "pd": wc.PayloadDescriptor(**desc_fields),
    }
    args["inputs"] = [args["index"], 0]
    args["params"] = {"".join(["k", "1"]): args["index"], "f": args["floaty"], "s": args["name"]}
    args["bad_params"] = {"ok": args["floaty"], "bad": None}
    before = {k: sys.getrefcount(v) for k, v in args.items()}
    for _ in range(200):
        try:
            call(store, args)
        except (TypeError, ValueError, OverflowError):
            pass
    after = {k: sys.getrefcount(v) for k, v in args.items()}
    assert after == before

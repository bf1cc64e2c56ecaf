"""GraphStore.to_dot: exact DOT text, labels, float texts, escaping, and Graphviz acceptance."""

import decimal
import math
import os
import shutil
import struct
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import weftory_core as wc

from blob_builder import DESCRIPTOR, blob, every_kind_blob, exchange, external, join, op, reduction, source, stage
from contracts import DOT_FOOTER, DOT_HEADER


def escape(label):
    return label.replace("\\", "\\\\").replace('"', '\\"')


def expected_dot(labels, inputs, marks=()):
    """labels[i] unescaped, inputs[i] the node's inputs, marks the marked ids."""
    lines = [DOT_HEADER]
    for i, label in enumerate(labels):
        shape = ", shape=doublecircle" if i in marks else ""
        lines.append(f'  n{i} [label="{escape(label)}"{shape}];\n')
    for i, ins in enumerate(inputs):
        for x in ins:
            lines.append(f"  n{x} -> n{i};\n")
    lines.append(DOT_FOOTER)
    return "".join(lines)


def float_text(x):
    """Shortest round-trip decimal in positional notation, without a trailing ".0"."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = format(decimal.Decimal(repr(x)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


# --- documented texts ------------------------------------------------------------------


def test_empty_store(store):
    text = store.to_dot()
    assert type(text) is str
    assert text == DOT_HEADER + DOT_FOOTER


def test_source_and_neg_with_output():
    store = wc.GraphStore.deserialize(blob([source("x"), op("neg", [0])], outputs=[0]))
    assert store.to_dot() == (
        DOT_HEADER
        + '  n0 [label="Source x", shape=doublecircle];\n'
        '  n1 [label="Op neg"];\n'
        "  n0 -> n1;\n"
        + DOT_FOOTER
    )


def test_repeated_input_gives_repeated_edges(store):
    store.add_source("a")
    store.add_source("b")
    store.add_op("add", [0, 0])
    store.add_op("f", [2, 1, 2, 0])
    assert store.to_dot() == (
        DOT_HEADER
        + '  n0 [label="Source a"];\n'
        '  n1 [label="Source b"];\n'
        '  n2 [label="Op add"];\n'
        '  n3 [label="Op f"];\n'
        "  n0 -> n2;\n"
        "  n0 -> n2;\n"
        "  n2 -> n3;\n"
        "  n1 -> n3;\n"
        "  n2 -> n3;\n"
        "  n0 -> n3;\n"
        + DOT_FOOTER
    )


def test_op_with_params(store):
    store.add_source("a")
    store.add_op("add", [0], {"side": "r", "scalar": 0.0})
    assert store.to_dot() == expected_dot(["Source a", "Op add {scalar=0, side=r}"], [[], [0]])


def test_every_kind_blob_renders_exactly():
    store = wc.GraphStore.deserialize(every_kind_blob())
    ext = "External onnx:sha256:5e1f [onnxruntime 1.18]"
    labels = [
        "Source a {dtype=f32, rows=1024}",
        "Source b {flag=true, neg=-0, w=0.5}",
        "Op add {scalar=0, side=r}",
        "Reduction sum {axis=-3, keepdims=false}",
        ext + " {batch=64}",
        ext,
        "Stage[2 members]",
        "Exchange {scheme=hash}",
        "Join {how=inner}",
        "Stage[0 members]",
    ]
    inputs = [[], [], [0, 1], [2, 2], [3], [4, 0], [5, 1], [6], [7, 0], []]
    assert store.to_dot() == expected_dot(labels, inputs, marks={8, 6})


# --- labels ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "build, label",
    [
        (lambda s: s.add_source("x"), "Source x"),
        (lambda s: s.add_source(""), "Source "),
        (lambda s: s.add_op("", []), "Op "),
        (lambda s: s.add_op("neg", []), "Op neg"),
        (lambda s: s.add_reduction("sum", []), "Reduction sum"),
        (lambda s: s.add_reduction("", [], {"a": 1}), "Reduction  {a=1}"),
        (lambda s: s.add_exchange([]), "Exchange"),
        (lambda s: s.add_exchange([], {"scheme": "hash"}), "Exchange {scheme=hash}"),
        (lambda s: s.add_join([]), "Join"),
        (lambda s: s.add_join([], {"how": "left", "on": "k"}), "Join {how=left, on=k}"),
        (lambda s: s.add_external({"kind": "k", "content_hash": "h", "framework": "f", "version": "v",
                                   "io_schema": "s"}, []), "External k:h [f v]"),
        (lambda s: s.add_external({"kind": "k", "content_hash": "h", "framework": "f", "version": "v",
                                   "io_schema": "other", "preprocessing_ref": "p"}, []), "External k:h [f v]"),
        (lambda s: s.add_external({"kind": "", "content_hash": "", "framework": "", "version": "",
                                   "io_schema": ""}, [], {"b": True}), "External : [ ] {b=true}"),
        (lambda s: s.add_source("s", {"b": 1, "a": "x y", "": 2}), "Source s {=2, a=x y, b=1}"),
        (lambda s: s.add_source("s", {"k": "a=b, c}"}), "Source s {k=a=b, c}}"),
        (lambda s: s.add_source("s", {"é": 1, "z": 2, "Z": 3}), "Source s {Z=3, z=2, é=1}"),
        (lambda s: s.add_source("s", {"k;|%=": "%;="}), "Source s {k;|%==%;=}"),
        (lambda s: s.add_source("s", {"t": True, "f": False}), "Source s {f=false, t=true}"),
    ],
)
def test_labels(store, build, label):
    build(store)
    assert store.to_dot() == expected_dot([label], [[]])


@pytest.mark.parametrize("count", [0, 1, 2, 3, 17])
def test_stage_label_counts_members(count):
    members = [("op|f", [("input", 0)])] + [("op|g", [("member", i)]) for i in range(count - 1)]
    store = wc.GraphStore.deserialize(blob([source("a"), stage([0, 0], members[:count])]))
    assert store.to_dot() == expected_dot(["Source a", f"Stage[{count} members]"], [[], [0, 0]])


@pytest.mark.parametrize(
    "value, text",
    [
        (0, "0"),
        (-5, "-5"),
        (2**53 + 1, "9007199254740993"),
        (2**63 - 1, "9223372036854775807"),
        (-(2**63), "-9223372036854775808"),
        (True, "true"),
        (False, "false"),
        ("", ""),
        ("text with spaces", "text with spaces"),
    ],
)
def test_non_float_value_texts(store, value, text):
    store.add_source("s", {"k": value})
    assert store.to_dot() == expected_dot([f"Source s {{k={text}}}"], [[]])


FLOATS = [
    0.0, -0.0, 1.0, -1.0, 0.5, 1e20, float("nan"), float("-nan"), float("inf"), float("-inf"),
    1e-7, 1.5e300, 0.1, 0.2 + 0.1, 1 / 3, float(2**53), float(2**53 + 2), 2.0**63, 1e15, 1e16,
    1e21, 1e22, 123456789.125, -1e-5, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
    2.5, 100.0, 12345.678, 1e-300, 9.999999999999999e22,
]


def test_documented_float_texts():
    assert [float_text(x) for x in (0.0, -0.0, 1.0, 0.5, 1e20, float("nan"), float("inf"), float("-inf"))] == [
        "0", "-0", "1", "0.5", "100000000000000000000", "NaN", "inf", "-inf"
    ]
    assert float_text(1e-7) == "0.0000001"
    assert float_text(1.5e300) == "15" + "0" * 299


@pytest.mark.parametrize("value", FLOATS, ids=repr)
def test_float_texts(store, value):
    store.add_source("s", {"k": value})
    assert store.to_dot() == expected_dot([f"Source s {{k={float_text(value)}}}"], [[]])
    text = float_text(value)
    assert "e" not in text.lower() or text in ("inf", "-inf")
    if not math.isnan(value):
        # The text reads back as the same double.
        assert struct.pack("<d", float(text)) == struct.pack("<d", value)


def test_float_from_large_int_param(store):
    # Ints beyond 64 bits become floats, shown by their shortest round-trip digits.
    store.add_source("s", {"k": 2**63, "m": 2**64 + 1})
    assert store.to_dot() == expected_dot(["Source s {k=9223372036854776000, m=18446744073709552000}"], [[]])


# --- escaping ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, written",
    [
        ('a"b', 'a\\"b'),
        ("a\\b", "a\\\\b"),
        ('\\"', '\\\\\\"'),
        ('""', '\\"\\"'),
        ("\\\\", "\\\\\\\\"),
        ("line\nfeed", "line\nfeed"),
        ("tab\there", "tab\there"),
        ("\\n", "\\\\n"),
        ("{}<>|", "{}<>|"),
        ("é✓", "é✓"),
    ],
)
def test_escaping_of_names(store, name, written):
    store.add_source(name)
    assert store.to_dot() == DOT_HEADER + f'  n0 [label="Source {written}"];\n' + DOT_FOOTER


def test_backslash_quote_is_three_backslashes_and_a_quote(store):
    store.add_op('x\\"y', [])
    line = store.to_dot().splitlines()[1]
    assert line == '  n0 [label="Op x' + "\\" * 3 + '"y"];'


def test_escaping_covers_params_and_descriptor_fields(store):
    store.add_source("s", {'k"': 'v\\', "q": '"'})
    desc = {"kind": 'k"', "content_hash": "h\\", "framework": "f", "version": '\\"', "io_schema": '"'}
    store.add_external(desc, [0], {"p": "\n"})
    labels = ['Source s {k"=v\\, q="}', 'External k":h\\ [f \\"] {p=\n}']
    assert store.to_dot() == expected_dot(labels, [[], [0]])
    assert 'label="Source s {k\\"=v\\\\, q=\\"}"' in store.to_dot()


# --- marks -----------------------------------------------------------------------------


@pytest.mark.parametrize("marks", [[2, 0], [0, 2], [1], [0, 1, 2], []])
def test_each_marked_node_is_a_double_circle_once(marks):
    records = [source("a"), reduction("r", [0]), join([0, 1])]
    store = wc.GraphStore.deserialize(blob(records, outputs=marks))
    text = store.to_dot()
    assert text == expected_dot(["Source a", "Reduction r", "Join"], [[], [0], [0, 1]], marks=set(marks))
    assert text.count("shape=doublecircle") == len(marks)


def test_cone_marks_show_in_dot(store):
    store.add_source("a")
    store.add_source("b")
    store.add_op("add", [0, 1])
    store.add_op("neg", [1])
    cone = store.cone(outputs=[3, 3])
    assert cone.to_dot() == expected_dot(["Source b", "Op neg"], [[], [0]], marks={1})


def test_equal_stores_render_equally(store):
    store.add_source("a", {"x": 1.5})
    store.add_op("f", [0, 0])
    other = wc.GraphStore.deserialize(store.serialize())
    assert other.to_dot() == store.to_dot()
    assert store.to_dot() == store.to_dot()


def test_to_dot_takes_no_arguments(store):
    with pytest.raises(TypeError):
        store.to_dot(1)
    with pytest.raises(TypeError):
        store.to_dot(outputs=[])


# --- Graphviz ---------------------------------------------------------------------------


ODD_NAMES = [
    "",
    '"',
    '""',
    "\\",
    "\\\\",
    '\\"',
    'a\\"b"c\\',
    "trailing\\",
    "line\nfeed",
    "cr\rlf\r\n",
    "tab\t",
    "é✓𝄞 漢字",
    "\U0010ffff",
    "<b>html</b> & more",
    "{record|field}",
    "\\N \\G \\l \\r",
    "-> n0; } digraph {",
    " ",
]


def _odd_store():
    """Every node kind with odd texts in names, params and descriptor fields."""
    records = []
    for i, name in enumerate(ODD_NAMES):
        records.append(source(name, {name: name} if i % 2 else {}))
    n = len(records)
    records += [
        op(ODD_NAMES[6], [0, 1, 1], {"k": 1.5e300, "n": float("nan")}),
        reduction(ODD_NAMES[3], [n], {ODD_NAMES[5]: True}),
        external({"kind": '"', "content_hash": "\\", "framework": "\n", "version": "", "io_schema": '"',
                  "preprocessing_ref": "\\"}, [n + 1, 2], {"q": '"'}),
        external(DESCRIPTOR, []),
        stage([n + 2, n + 3], [("op|f", [("input", 0)]), ("op|g", [("member", 0), ("input", 1)])]),
        stage([], []),
        exchange([n + 4], {"scheme": "\\\""}),
        exchange([]),
        join([n + 6, n + 5, n + 4], {"how": 'in"ner'}),
        join([]),
        op("", [n + 8, n + 8]),
    ]
    return wc.GraphStore.deserialize(blob(records, outputs=[len(records) - 1, 0, n + 4]))


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz dot is not installed")
@pytest.mark.parametrize(
    "make",
    [
        lambda: wc.GraphStore(),
        _odd_store,
        lambda: wc.GraphStore.deserialize(every_kind_blob()),
    ],
    ids=["empty", "odd_texts", "every_kind"],
)
def test_graphviz_accepts_the_text(make):
    store = make()
    # Graphviz runs as itself: a sanitizer runtime preloaded into this interpreter stays out.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    result = subprocess.run(
        ["dot", "-Tsvg"], input=store.to_dot().encode("utf-8"), capture_output=True, timeout=60, env=env
    )
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    svg = result.stdout.decode("utf-8")
    assert svg.count('<g id="node') == store.node_count()
    edges = sum(len(n["inputs"]) for n in store.nodes())
    assert svg.count('<g id="edge') == edges


def test_odd_store_holds_every_kind():
    kinds = {n["kind"] for n in _odd_store().nodes()}
    assert kinds == {"source", "op", "reduction", "external", "stage", "exchange", "join"}


_float_batches = st.lists(
    st.one_of(
        st.floats(allow_nan=True, width=64),
        st.integers(min_value=0, max_value=2**64 - 1).map(lambda b: struct.unpack("<d", struct.pack("<Q", b))[0]),
    ),
    min_size=1,
    max_size=40,
)


@settings(max_examples=100, deadline=None, derandomize=True, database=None)
@given(_float_batches)
def test_random_float_texts(values):
    store = wc.GraphStore()
    for i, value in enumerate(values):
        store.add_source("s", {"k": value, "i": i})
    labels = [f"Source s {{i={i}, k={float_text(v)}}}" for i, v in enumerate(values)]
    # Each node differs by its "i" parameter, so none is interned away.
    assert store.node_count() == len(values)
    assert store.to_dot() == expected_dot(labels, [[]] * len(labels))

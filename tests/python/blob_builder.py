"""Writes weftory IR blobs field by field with struct, independently of the module's writer.

Layout: "WIR1", u32 node count, the node records in id order, u32 output count, u64 output ids.
All integers little-endian; a text is a u32 byte length and the UTF-8 bytes; node references
are u64; a stage member input is a one-byte source (0 input, 1 member) and a u32 index.
"""

import struct

from contracts import DESCRIPTOR_FIELDS, MAGIC

SOURCE, OP, REDUCTION, EXTERNAL, STAGE, EXCHANGE, JOIN = range(7)
INT, FLOAT, BOOL, STR = range(4)


def u8(value):
    return struct.pack("<B", value)


def u32(value):
    return struct.pack("<I", value)


def u64(value):
    return struct.pack("<Q", value)


def i64(value):
    return struct.pack("<q", value)


def f64(value):
    return struct.pack("<d", value)


def text(value):
    """A str is written as its UTF-8 bytes; bytes are written as they are (for malformed texts)."""
    raw = value.encode("utf-8") if isinstance(value, str) else bytes(value)
    return u32(len(raw)) + raw


class RawValue:
    """A parameter value written with an explicit tag byte and payload."""

    def __init__(self, tag, payload=b""):
        self.tag = tag
        self.payload = payload


def param_value(value):
    if isinstance(value, RawValue):
        return u8(value.tag) + value.payload
    if type(value) is bool:
        return u8(BOOL) + u8(1 if value else 0)
    if isinstance(value, int):
        return u8(INT) + i64(value)
    if isinstance(value, float):
        return u8(FLOAT) + f64(value)
    if isinstance(value, str):
        return u8(STR) + text(value)
    raise AssertionError(value)


def params(entries=()):
    """A dict is written in ascending key-byte order; a list of pairs exactly as given."""
    if isinstance(entries, dict):
        entries = sorted(entries.items(), key=lambda item: item[0].encode("utf-8"))
    entries = list(entries)
    return u32(len(entries)) + b"".join(text(k) + param_value(v) for k, v in entries)


def refs(ids):
    ids = list(ids)
    return u32(len(ids)) + b"".join(u64(i) for i in ids)


def source(name, p=()):
    return u8(SOURCE) + text(name) + params(p)


def op(name, inputs, p=()):
    return u8(OP) + text(name) + params(p) + refs(inputs)


def reduction(name, inputs, p=()):
    return u8(REDUCTION) + text(name) + params(p) + refs(inputs)


def external(descriptor, inputs, p=(), presence=None):
    """descriptor: a dict of the five texts and optionally preprocessing_ref (None = absent)."""
    out = u8(EXTERNAL) + b"".join(text(descriptor[k]) for k in DESCRIPTOR_FIELDS)
    ref = descriptor.get("preprocessing_ref")
    if presence is None:
        presence = 0 if ref is None else 1
    out += u8(presence)
    if presence:
        out += text(ref)
    return out + params(p) + refs(inputs)


_SOURCES = {"input": 0, "member": 1}


def member(token, inputs=()):
    """inputs: (source, index) pairs; source "input", "member" or a raw byte."""
    out = text(token) + u32(len(inputs))
    for src, index in inputs:
        out += u8(_SOURCES.get(src, src)) + u32(index)
    return out


def stage(inputs, members):
    """members: (token, member inputs) pairs, or already encoded bytes."""
    body = b"".join(m if isinstance(m, bytes) else member(*m) for m in members)
    return u8(STAGE) + refs(inputs) + u32(len(members)) + body


def exchange(inputs, p=()):
    return u8(EXCHANGE) + params(p) + refs(inputs)


def join(inputs, p=()):
    return u8(JOIN) + params(p) + refs(inputs)


def blob(records, outputs=(), count=None):
    records = list(records)
    n = len(records) if count is None else count
    return MAGIC + u32(n) + b"".join(records) + refs(outputs)


DESCRIPTOR = {
    "kind": "onnx",
    "content_hash": "sha256:5e1f",
    "framework": "onnxruntime",
    "version": "1.18",
    "io_schema": "f32[n] -> f32[n]",
}


def stage_blob():
    """Two sources feeding a three-member stage, then an op on the stage; stage and op marked."""
    return blob(
        [
            source("a"),
            source("b"),
            stage(
                [0, 1],
                [
                    ("op|add", [("input", 0), ("input", 1)]),
                    ("op|mul|scalar=f3ff0000000000000;side=sl", [("member", 0)]),
                    ("red|sum|axis=i0", [("member", 1), ("input", 1)]),
                ],
            ),
            op("neg", [2]),
        ],
        outputs=[3, 2],
    )


def every_kind_blob():
    """One node of each of the seven kinds, with parameters of every value type."""
    return blob(
        [
            source("a", {"rows": 1024, "dtype": "f32"}),
            source("b", {"w": 0.5, "neg": -0.0, "flag": True}),
            op("add", [0, 1], {"scalar": 0.0, "side": "r"}),
            reduction("sum", [2, 2], {"axis": -3, "keepdims": False}),
            external(dict(DESCRIPTOR, preprocessing_ref="pre/1"), [3], {"batch": 64}),
            external(DESCRIPTOR, [4, 0]),
            stage([5, 1], [("op|neg", [("input", 0)]), ("op|add", [("member", 0), ("input", 1)])]),
            exchange([6], {"scheme": "hash"}),
            join([7, 0], {"how": "inner"}),
            stage([], []),
        ],
        outputs=[8, 6],
    )

"""The texts weftory_core promises exactly, written once for all the tests.

Error messages and the note naming the argument, panic messages, signatures and docstrings,
field and report keys, the DOT frame, the blob's magic and its reader's errors, and the version. The tests import
them from here (`from contracts import ...`, as they import blob_builder). Texts a test makes up
itself, and CPython's own wording, stay in the test that uses them.
"""

VERSION = "0.0.7"
MODULE_NAME = "weftory_core"

# --- argument conversion -------------------------------------------------------------------


def processing_note(param):
    """The one note on an exception raised while converting the argument named `param`."""
    return f"while processing '{param}'"


def not_an_instance(expected):
    return f"is not an instance of '{expected}'"


def mismatch(obj_type_text, expected):
    """The TypeError for an object of another type; None has a wording of its own."""
    if obj_type_text == "None":
        return f"'None' {not_an_instance(expected)}"
    return f"'{obj_type_text}' object {not_an_instance(expected)}"


def unexpected_keyword(function, name):
    return f"{function}() got an unexpected keyword argument '{name}'"


def no_bool_conversion(type_name):
    return f"object of type '{type_name}' does not define a '__bool__' conversion"


STR_TO_VEC = "Can't extract `str` to `Vec`"
PARAMS_TYPE_ERROR = "params must be a dict or None"
PARAM_VALUE_ERROR = "param values must be int, float, bool, or str"
DUPLICATE_PARAM_NAME = "duplicate param name"
DESCRIPTOR_TYPE_ERROR = "descriptor must be a PayloadDescriptor or dict"


def missing_field(field):
    return f"descriptor missing required field '{field}'"


def no_node(node_id):
    return f"no node with id {node_id}"


# The five required descriptor fields, in the order the descriptor reader visits them (also the
# order of PayloadDescriptor's keywords, of a blob's External record and of nodes()' descriptor).
DESCRIPTOR_FIELDS = ("kind", "content_hash", "framework", "version", "io_schema")
DESCRIPTOR_KEYS = DESCRIPTOR_FIELDS + ("preprocessing_ref",)
# The keys of a nodes() entry, in order (an External node adds "descriptor").
NODE_KEYS = ("id", "output", "inputs", "kind", "name", "params")

# --- panics ----------------------------------------------------------------------------------

PANIC_EXCEPTION = "PanicException"
DICT_CHANGED_SIZE = "dictionary changed size during iteration"
DICT_KEYS_CHANGED = "dictionary keys changed during iteration"
STORE_POISONED = "weftory-core store mutex poisoned"
REDUCER_POISONED = "incremental reducer poisoned"


def store_poisoned(reason):
    return f"{STORE_POISONED}: a previous operation failed while holding it ({reason})"


# --- the IR blob -----------------------------------------------------------------------------

MAGIC = b"WIR1"  # the first four bytes of every blob: the format and its version

TRUNCATED = "truncated weftory IR blob"
BAD_MAGIC = "not a weftory IR blob (bad magic/version)"
BAD_UTF8 = "invalid utf-8 in weftory IR blob"
DUPLICATE_PARAM = "duplicate param name in weftory IR blob"

# Each is followed by the offending value in decimal.
INVALID_NODE_TAG = "invalid node tag "
INVALID_PARAM_TAG = "invalid param tag "
INVALID_STAGE_REF_TAG = "invalid stage-ref tag "
NODE_REFERENCE = "node reference "
OUT_OF_RANGE = " out of range"
# Followed by the token, quoted and escaped.
UNPARSEABLE_MEMBER_TOKEN = "unparseable stage member token "


def invalid_node_tag(tag):
    return f"{INVALID_NODE_TAG}{tag}"


def invalid_param_tag(tag):
    return f"{INVALID_PARAM_TAG}{tag}"


def invalid_stage_ref_tag(tag):
    return f"{INVALID_STAGE_REF_TAG}{tag}"


def out_of_range(ref):
    return f"{NODE_REFERENCE}{ref}{OUT_OF_RANGE}"


# --- pickling --------------------------------------------------------------------------------


def bad_node_map_entry(index, got):
    """`got` describes the entry: "a tuple of length 3", "'list'"."""
    return f"node map entry {index} must be None or a (reduced_id, member_index) tuple, not {got}"


REDUCER_STATE_TYPE_ERROR = "IncrementalReducer state must be a tuple (bytes, bytes, int)"


def invalid_reducer_state(detail):
    return f"invalid IncrementalReducer state: {detail}"


# --- reports -----------------------------------------------------------------------------------

# The keys of a reduction report, in order.
REPORT_KEYS = ("input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes")

# --- DOT ---------------------------------------------------------------------------------------

DOT_HEADER = "digraph weftory {\n"
DOT_FOOTER = "}\n"

# --- signatures and docstrings ----------------------------------------------------------------

# GraphStore method: (__text_signature__, inspect.signature of the unbound method)
GRAPHSTORE_SIGNATURES = {
    "add_source": ("($self, name, params=None)", "(self, /, name, params=None)"),
    "add_op": ("($self, name, inputs, params=None)", "(self, /, name, inputs, params=None)"),
    "add_reduction": ("($self, name, inputs, params=None)", "(self, /, name, inputs, params=None)"),
    "add_external": ("($self, descriptor, inputs, params=None)", "(self, /, descriptor, inputs, params=None)"),
    "add_exchange": ("($self, inputs, params=None)", "(self, /, inputs, params=None)"),
    "add_join": ("($self, inputs, params=None)", "(self, /, inputs, params=None)"),
    "node_count": ("($self)", "(self, /)"),
    "nodes": ("($self)", "(self, /)"),
    "outputs": ("($self)", "(self, /)"),
    "node_map": ("($self)", "(self, /)"),
}

PAYLOAD_DESCRIPTOR_SIGNATURE = "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"

# GraphStore reduction method: (__text_signature__, how its docstring starts)
REDUCTION_METHODS = {
    "reduce": ("($self, *, maximal_fusion=False, outputs=None)", "Reduces the graph (dead-code elimination"),
    "reduce_incremental": ("($self, *, outputs=None)", "A one-shot incremental reduction"),
    "reduction_report": ("($self, *, outputs=None)", "The reduction report for the current graph"),
}

INCREMENTAL_REDUCER_DOC = (
    "Genuinely incremental reduction (plan §A.1): feed it a store as the graph is being built; each\n"
    "`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,\n"
    "commutativity dedup, hash-consing — the same sound rules the SaturationEngine runs), so a concise\n"
    "canonical form is maintained while building and `finalize` does one linear pass instead of a\n"
    "whole-history optimization. `total_work()` counts nodes processed across all steps — it equals\n"
    "the node count of the store, no matter how many steps fed it (the incrementality witness)."
)

# IncrementalReducer method: (__text_signature__, __doc__)
INCREMENTAL_REDUCER_METHODS = {
    "step": (
        "($self, store)",
        "Consume the nodes recorded in `store` since the last step. Returns how many were processed\n"
        "(the delta size). The reducer must always be fed the same store.",
    ),
    "finalize": (
        "($self, store, *, maximal_fusion=False, outputs=None)",
        "Finish: consume any remaining delta, then reduce the maintained canonical form against the\n"
        "store's marked outputs — or, with `outputs=`, against EXACTLY that set (M22: stored marks\n"
        "ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`.",
    ),
    "watermark": ("($self)", "How many of the store's nodes have been consumed so far."),
    "total_work": (
        "($self)",
        "Cumulative nodes processed across all steps (== watermark: each node touched once).",
    ),
    "canonical_count": ("($self)", "Size of the maintained canonical form."),
}

#include "python/graph_store.hpp"

#include <array>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "optimizer/reduce_graph.hpp"
#include "optimizer/report.hpp"
#include "python/binder.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/method_cast.hpp"
#include "python/nodes_view.hpp"
#include "store/blob.hpp"
#include "store/cone.hpp"
#include "store/dot.hpp"

namespace weftory::py {

using support::Result;
using support::fatal;
using store::BadNodeId;
using store::BlobError;
using store::BlobTooLarge;
using store::Landing;
using store::NodeDraft;
using store::NodeId;
using store::NodeKind;
using store::NodeMapEntry;
using store::SerializeError;
using store::Snapshot;
using store::Store;
using store::new_store;
using store::read_blob;
using store::read_blob_with_node_map;
using store::render_dot;
using store::serialize_store;
using optimizer::ReductionReport;
using optimizer::StoreReduction;
using optimizer::reduce_store;
using optimizer::report_entries;

void raise_bad_node_id(BadNodeId bad) { raise(PyExc_ValueError, "no node with id " + std::to_string(bad.id)); }

namespace {

// Ends the draft and inserts it. Kept out of line so that the frame of an
// add_* method, which stays on the stack while its arguments are converted
// (and so while Python code a conversion runs calls back into the module),
// holds only the binding and the draft's handle.
[[gnu::noinline]] PyObject* insert_draft(PyObject* self, NodeDraft& draft) {
  draft.finish();
  Result<NodeId, BadNodeId> added = store_of(self).add(draft);
  if (!added.ok()) raise_bad_node_id(added.error());
  return PyLong_FromUnsignedLongLong(added.value());
}

// ---------------------------------------------------------------- add_*

constexpr Param kAddSourceParams[] = {{"name", false, true}, {"params", false, false}};
constexpr Param kAddNamedParams[] = {{"name", false, true}, {"inputs", false, true}, {"params", false, false}};
constexpr Param kAddExternalParams[] = {
    {"descriptor", false, true}, {"inputs", false, true}, {"params", false, false}};
constexpr Param kAddBoundaryParams[] = {{"inputs", false, true}, {"params", false, false}};

PyObject* add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    std::array<PyObject*, 2> a{};
    bind_fastcall({"GraphStore.add_source", kAddSourceParams}, args, nargs, kwnames, a);
    DraftLease draft(NodeKind::Source);
    convert_arg("name", [&] { draft->set_name(to_text_view(a[0])); });
    convert_arg("params", [&] { params_into(a[1], *draft); });
    return insert_draft(self, *draft);
  });
}

template <NodeKind kKind>
PyObject* add_named(const char* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    std::array<PyObject*, 3> a{};
    bind_fastcall({function, kAddNamedParams}, args, nargs, kwnames, a);
    DraftLease draft(kKind);
    convert_arg("name", [&] { draft->set_name(to_text_view(a[0])); });
    convert_arg("inputs", [&] { node_ids_into(a[1], draft->inputs()); });
    convert_arg("params", [&] { params_into(a[2], *draft); });
    return insert_draft(self, *draft);
  });
}

PyObject* add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_named<NodeKind::Op>("GraphStore.add_op", self, args, nargs, kwnames);
}

PyObject* add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_named<NodeKind::Reduction>("GraphStore.add_reduction", self, args, nargs, kwnames);
}

PyObject* add_external(PyObject* self, PyTypeObject* cls, PyObject* const* args, std::size_t nargsf,
                       PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    std::array<PyObject*, 3> a{};
    bind_fastcall({"GraphStore.add_external", kAddExternalParams}, args, PyVectorcall_NARGS(nargsf), kwnames, a);
    DraftLease draft(NodeKind::External);
    convert_arg("inputs", [&] { node_ids_into(a[1], draft->inputs()); });
    const ModuleState& state = state_of_class(cls);
    convert_arg("descriptor", [&] { draft->set_descriptor(descriptor_from_python(state, a[0])); });
    convert_arg("params", [&] { params_into(a[2], *draft); });
    return insert_draft(self, *draft);
  });
}

template <NodeKind kKind>
PyObject* add_boundary(const char* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    std::array<PyObject*, 2> a{};
    bind_fastcall({function, kAddBoundaryParams}, args, nargs, kwnames, a);
    DraftLease draft(kKind);
    convert_arg("inputs", [&] { node_ids_into(a[0], draft->inputs()); });
    convert_arg("params", [&] { params_into(a[1], *draft); });
    return insert_draft(self, *draft);
  });
}

PyObject* add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_boundary<NodeKind::Exchange>("GraphStore.add_exchange", self, args, nargs, kwnames);
}

PyObject* add_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_boundary<NodeKind::Join>("GraphStore.add_join", self, args, nargs, kwnames);
}

// ---------------------------------------------------------------- readers

PyObject* node_count(PyObject* self, PyObject*) {
  return entry_point([&] { return PyLong_FromUnsignedLongLong(store_of(self).node_count()); });
}

PyObject* to_dot(PyObject* self, PyObject*) {
  return entry_point([&] {
    // Rendered under the store's mutex; the str is made after it is released.
    std::string text = render_dot(store_of(self));
    return text_to_python(text).release();
  });
}

constexpr Param kSerializeParams[] = {{"outputs", false, false}};

PyObject* serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    std::array<PyObject*, 1> a{};
    bind_fastcall({"GraphStore.serialize", kSerializeParams}, args, nargs, kwnames, a);
    std::optional<std::vector<NodeId>> outputs;
    if (a[0] && a[0] != Py_None) outputs = convert_arg("outputs", [&] { return to_node_ids(a[0]); });
    Result<std::vector<std::uint8_t>, SerializeError> serialized =
        outputs ? serialize_store(store_of(self), std::span<const NodeId>(*outputs))
                : serialize_store(store_of(self), std::nullopt);
    if (!serialized) {
      if (auto* bad = std::get_if<BadNodeId>(&serialized.error())) raise_bad_node_id(*bad);
      raise(PyExc_ValueError, std::get<BlobTooLarge>(serialized.error()).message);
    }
    const auto& bytes = serialized.value();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
  });
}

std::span<const std::uint8_t> bytes_view(PyObject* obj) {
  if (!PyBytes_Check(obj)) raise_type_mismatch(obj, "bytes");
  return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
}

PyObject* store_from_blob(const ModuleState& state, Result<std::unique_ptr<Store>, BlobError> read) {
  if (!read.ok()) raise(PyExc_ValueError, read.error().message());
  return wrap_store(state, std::move(read).value()).release();
}

constexpr Param kDeserializeParams[] = {{"data", false, true}};

// A static method, told its defining class like the others (bind_static_methods).
PyObject* deserialize(PyObject*, PyTypeObject* cls, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    std::array<PyObject*, 1> a{};
    bind_fastcall({"GraphStore.deserialize", kDeserializeParams}, args, PyVectorcall_NARGS(nargsf), kwnames, a);
    // bytes are immutable: the reader works on them in place.
    std::span<const std::uint8_t> data = convert_arg("data", [&] { return bytes_view(a[0]); });
    return store_from_blob(state_of_class(cls), read_blob(data));
  });
}

PyObject* nodes(PyObject* self, PyObject*) {
  return entry_point([&] {
    Snapshot snap = store_of(self).snapshot();
    return nodes_to_python(snap).release();
  });
}

PyObject* outputs(PyObject* self, PyObject*) {
  return entry_point([&] { return ids_to_python(store_of(self).outputs_copy()).release(); });
}

PyObject* node_map(PyObject* self, PyObject*) {
  return entry_point([&] { return node_map_to_python(store_of(self).node_map_copy()).release(); });
}

constexpr Param kConeParams[] = {{"outputs", true, true}};

PyObject* cone(PyObject* self, PyTypeObject* cls, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    std::array<PyObject*, 1> a{};
    bind_fastcall({"GraphStore.cone", kConeParams}, args, PyVectorcall_NARGS(nargsf), kwnames, a);
    std::vector<NodeId> outputs = convert_arg("outputs", [&] { return to_node_ids(a[0]); });
    Result<std::unique_ptr<Store>, BadNodeId> result = store::cone(store_of(self), outputs);
    if (!result.ok()) raise_bad_node_id(result.error());
    return wrap_store(state_of_class(cls), std::move(result).value()).release();
  });
}

// ---------------------------------------------------------------- reductions
//
// Arguments are converted and output ids checked before any work; the store
// is read once, at the snapshot, and the thread stays attached throughout.

constexpr Param kReduceParams[] = {{"maximal_fusion", true, false}, {"outputs", true, false}};
constexpr Param kReduceDefaultParams[] = {{"outputs", true, false}};

std::optional<std::vector<NodeId>> optional_outputs(PyObject* arg) {
  if (!arg || arg == Py_None) return std::nullopt;
  return convert_arg("outputs", [&] { return to_node_ids(arg); });
}

StoreReduction run_reduction(PyObject* self, const std::optional<std::vector<NodeId>>& outputs,
                             bool maximal_fusion) {
  std::optional<std::span<const NodeId>> wanted;
  if (outputs) wanted = std::span<const NodeId>(*outputs);
  Result<StoreReduction, BadNodeId> result = reduce_store(store_of(self), wanted, maximal_fusion);
  if (!result.ok()) raise_bad_node_id(result.error());
  return std::move(result).value();
}

PyObject* reduce(PyObject* self, PyTypeObject* cls, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    std::array<PyObject*, 2> a{};
    bind_fastcall({"GraphStore.reduce", kReduceParams}, args, PyVectorcall_NARGS(nargsf), kwnames, a);
    const bool maximal_fusion = a[0] ? convert_arg("maximal_fusion", [&] { return to_bool(a[0]); }) : false;
    const std::optional<std::vector<NodeId>> outputs = optional_outputs(a[1]);
    return reduction_pair(state_of_class(cls), run_reduction(self, outputs, maximal_fusion));
  });
}

PyObject* reduce_incremental(PyObject* self, PyTypeObject* cls, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    std::array<PyObject*, 1> a{};
    bind_fastcall({"GraphStore.reduce_incremental", kReduceDefaultParams}, args, PyVectorcall_NARGS(nargsf),
                  kwnames, a);
    const std::optional<std::vector<NodeId>> outputs = optional_outputs(a[0]);
    return reduction_pair(state_of_class(cls), run_reduction(self, outputs, false));
  });
}

PyObject* reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    std::array<PyObject*, 1> a{};
    bind_fastcall({"GraphStore.reduction_report", kReduceDefaultParams}, args, nargs, kwnames, a);
    const std::optional<std::vector<NodeId>> outputs = optional_outputs(a[0]);
    // The reduced store is built in full and released here.
    return report_to_python(run_reduction(self, outputs, false).report).release();
  });
}

// ---------------------------------------------------------------- pickling
//
// A store pickles as its blob (nodes and marks) with its node map beside it,
// restored by the private static method _from_pickle.

PyObject* reduce_for_pickle(PyObject* self, PyObject*) {
  return entry_point([&]() -> PyObject* {
    // Without requested outputs the one error there can be is BlobTooLarge.
    Result<std::vector<std::uint8_t>, SerializeError> serialized = serialize_store(store_of(self), std::nullopt);
    if (!serialized) raise(PyExc_ValueError, std::get<BlobTooLarge>(serialized.error()).message);
    const auto& bytes = serialized.value();
    PyRef blob = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                        static_cast<Py_ssize_t>(bytes.size())));
    if (!blob) throw_python_error();
    PyRef map = node_map_to_python(store_of(self).node_map_copy());
    PyRef restore = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_pickle"));
    if (!restore) throw_python_error();
    return Py_BuildValue("(O(OO))", restore.get(), blob.get(), map.get());
  });
}

[[noreturn]] void raise_bad_node_map_entry(std::size_t index, PyObject* item) {
  std::string message = "node map entry " + std::to_string(index);
  message += " must be None or a (reduced_id, member_index) tuple, not ";
  if (PyTuple_Check(item)) {
    message += "a tuple of length ";
    message += std::to_string(PyTuple_GET_SIZE(item));
  } else {
    message += '\'';
    message += type_qualname(item);
    message += '\'';
  }
  raise(PyExc_TypeError, message);
}

NodeMapEntry node_map_entry_from_python(std::size_t index, PyObject* item) {
  if (item == Py_None) return std::nullopt;
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) raise_bad_node_map_entry(index, item);
  Landing landing;
  landing.reduced_id = to_node_id(PyTuple_GET_ITEM(item, 0));
  PyObject* member = PyTuple_GET_ITEM(item, 1);
  if (member != Py_None) landing.member = to_node_id(member);
  return landing;
}

constexpr Param kFromPickleParams[] = {{"data", false, true}, {"node_map", false, true}};

PyObject* from_pickle(PyObject*, PyTypeObject* cls, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    std::array<PyObject*, 2> a{};
    bind_fastcall({"GraphStore._from_pickle", kFromPickleParams}, args, PyVectorcall_NARGS(nargsf), kwnames, a);
    std::span<const std::uint8_t> data = convert_arg("data", [&] { return bytes_view(a[0]); });
    std::vector<NodeMapEntry> map = convert_arg("node_map", [&] {
      if (!PyList_Check(a[1])) raise_type_mismatch(a[1], "list");
      // A tuple copy: its items stay put whatever other threads do to the list.
      PyRef items = PyRef::steal(PySequence_Tuple(a[1]));
      if (!items) throw_python_error();
      std::vector<NodeMapEntry> entries;
      entries.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())));
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        entries.push_back(node_map_entry_from_python(static_cast<std::size_t>(i), PyTuple_GET_ITEM(items.get(), i)));
      }
      return entries;
    });
    return store_from_blob(state_of_class(cls), read_blob_with_node_map(data, std::move(map)));
  });
}

// ---------------------------------------------------------------- the type

PyObject* graph_store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry_point([&]() -> PyObject* {
    std::array<PyObject*, 0> none{};
    bind_tuple({"GraphStore.__new__", {}}, args, kwargs, none);
    auto store = new_store();
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) throw_python_error();
    reinterpret_cast<GraphStoreObject*>(self)->store = store.release();
    return self;
  });
}

void graph_store_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<GraphStoreObject*>(self)->store;
  type->tp_free(self);
  Py_DECREF(type);
}


// Holds a static method's place in the method table until bind_static_methods
// puts the real one there; never called.
PyObject* unbound_static_method(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return entry_point([]() -> PyObject* { fatal("static method of a GraphStore class that is not set up"); });
}

constexpr const char* kDeserializeDoc =
    "deserialize(data)\n--\n\n"
    "Rebuilds a store from canonical bytes. A round trip reproduces the same node ids, so serializing the "
    "result gives the input bytes again.";
constexpr const char* kFromPickleDoc =
    "_from_pickle(data, node_map)\n--\n\nRestores a pickled store (its blob and its node map).";

PyMethodDef kMethods[] = {
    {"add_source", method_entry(add_source), METH_FASTCALL | METH_KEYWORDS,
     "add_source($self, name, params=None)\n--\n\n"},
    {"add_op", method_entry(add_op), METH_FASTCALL | METH_KEYWORDS, "add_op($self, name, inputs, params=None)\n--\n\n"},
    {"add_reduction", method_entry(add_reduction), METH_FASTCALL | METH_KEYWORDS,
     "add_reduction($self, name, inputs, params=None)\n--\n\n"},
    {"add_external", method_entry(add_external), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "add_external($self, descriptor, inputs, params=None)\n--\n\n"},
    {"add_exchange", method_entry(add_exchange), METH_FASTCALL | METH_KEYWORDS,
     "add_exchange($self, inputs, params=None)\n--\n\n"
     "Records an Exchange boundary. It has no name; its identity is its scheme ParamMap (params) plus its "
     "one logical input. Its nodes() kind is \"exchange\"."},
    {"add_join", method_entry(add_join), METH_FASTCALL | METH_KEYWORDS,
     "add_join($self, inputs, params=None)\n--\n\n"
     "Records a Join boundary with two inputs [left, right]. Its identity is its scheme ParamMap plus its "
     "ordered inputs. Its nodes() kind is \"join\"."},
    {"node_count", method_entry(node_count), METH_NOARGS, "node_count($self)\n--\n\n"},
    {"to_dot", method_entry(to_dot), METH_NOARGS, "to_dot($self)\n--\n\n"},
    {"serialize", method_entry(serialize), METH_FASTCALL | METH_KEYWORDS,
     "serialize($self, outputs=None)\n--\n\n"
     "Writes the IR in its canonical, versioned, byte-identical durable form. With outputs= the bytes flag "
     "exactly that set and the stored marks are ignored; the default writes the stored marks."},
    {"deserialize", method_entry(unbound_static_method), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kDeserializeDoc},
    {"nodes", method_entry(nodes), METH_NOARGS,
     "nodes($self)\n--\n\n"
     "A structured, read-only view of every node in id order: one dict per node with the keys id, output, "
     "inputs, kind, name and params, plus descriptor for External nodes and n_members and members for "
     "Stage nodes."},
    {"outputs", method_entry(outputs), METH_NOARGS,
     "outputs($self)\n--\n\n"
     "The marked output node ids, in mark order (what an evaluator of the IR returns, in order)."},
    {"node_map", method_entry(node_map), METH_NOARGS,
     "node_map($self)\n--\n\n"
     "For each node of the graph this store was reduced from, where it landed here, as (reduced_node_id, "
     "member_index or None), or None if dead-code elimination dropped it; indexed by that graph's node id. "
     "Empty for a store that did not come out of a reduction."},
    {"cone", method_entry(cone), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "cone($self, *, outputs)\n--\n\n"
     "The one-to-one cone of outputs (dead-code elimination without rewrites) as a fresh store marked with "
     "outputs; its node map sends each kept id to (cone id, None)."},
    {"reduce", method_entry(reduce), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
     "Reduces the graph (dead-code elimination, common-subexpression elimination, equality-saturation "
     "rewriting and stage fusion behind the RewriteEngine). Returns the reduced store and a report dict. "
     "maximal_fusion=True opts in to fusing fan-out operations whose consumers all land in one stage, the "
     "default being the single-use rule."},
    {"reduce_incremental", method_entry(reduce_incremental), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "reduce_incremental($self, *, outputs=None)\n--\n\n"
     "A one-shot incremental reduction of the current graph with the same result as reduce. For "
     "step-by-step reduction while building, IncrementalReducer is the tool."},
    {"reduction_report", method_entry(reduction_report), METH_FASTCALL | METH_KEYWORDS,
     "reduction_report($self, *, outputs=None)\n--\n\n"
     "The reduction report for the current graph, without keeping the reduced store."},
    {"__reduce__", method_entry(reduce_for_pickle), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the store as its blob with its node map beside it."},
    {"_from_pickle", method_entry(unbound_static_method), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     kFromPickleDoc},
    {nullptr, nullptr, 0, nullptr},
};

// The static methods as they are called: told their defining class.
constexpr int kStaticMethodFlags = METH_STATIC | METH_METHOD | METH_FASTCALL | METH_KEYWORDS;
PyMethodDef kStaticMethods[] = {
    {"deserialize", method_entry(deserialize), kStaticMethodFlags, kDeserializeDoc},
    {"_from_pickle", method_entry(from_pickle), kStaticMethodFlags, kFromPickleDoc},
};

constexpr const char* kDoc =
    "GraphStore()\n--\n\n"
    "Thread-safe interned graph store. An immutable (frozen) class: its state changes only through the "
    "store's own mutex, so one store is safe to share between threads, with or without the GIL. Adding a "
    "node that is already present returns the id it already has; ids are dense, from 0, in insertion order.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(graph_store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_store_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "weftory_core.GraphStore",
    sizeof(GraphStoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

// A static method made from a method table gets no receiver and no class, so
// nothing would tell it which module's class its stores are to be made of.
// Each placeholder of the table is replaced, in place in the class dict (so
// the method order stays), by a staticmethod around a function that is told
// this class as its defining class; it reads and pickles like the one the
// table makes. The class is not yet visible to any other code.
int bind_static_methods(PyTypeObject* type) {
  PyObject* dict = type->tp_dict;
  for (PyMethodDef& def : kStaticMethods) {
    PyRef function = PyRef::steal(PyCMethod_New(&def, reinterpret_cast<PyObject*>(type), nullptr, type));
    PyRef method = function ? PyRef::steal(PyStaticMethod_New(function.get())) : PyRef();
    if (!method || PyDict_SetItemString(dict, def.ml_name, method.get()) < 0) return -1;
  }
  PyType_Modified(type);
  return 0;
}

}  // namespace

PyRef report_to_python(const ReductionReport& report) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) throw_python_error();
  for (const auto& [key, count] : report_entries(report)) {
    // Plain (not interned) key strings: interning them anew on every call
    // would churn the interpreter's table of interned strings.
    PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(count));
    if (!name || !value || PyDict_SetItem(dict.get(), name.get(), value.get()) < 0) throw_python_error();
  }
  return dict;
}

PyObject* reduction_pair(const ModuleState& state, StoreReduction reduced) {
  PyRef report = report_to_python(reduced.report);
  PyRef store = wrap_store(state, std::move(reduced.store));
  return PyTuple_Pack(2, store.get(), report.get());
}

PyObject* create_graph_store_type(PyObject* module) {
  PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
  if (!type || bind_static_methods(reinterpret_cast<PyTypeObject*>(type.get())) < 0) return nullptr;
  return type.release();
}

PyRef wrap_store(const ModuleState& state, std::unique_ptr<Store> store) {
  PyTypeObject* type = state.graph_store_type;
  if (!type) fatal("GraphStore type is not initialised");
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) throw_python_error();
  reinterpret_cast<GraphStoreObject*>(self)->store = store.release();
  return PyRef::steal(self);
}

}  // namespace weftory::py

#include "python/convert.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <cstring>
#include <string_view>

#include "python/errors.hpp"
#include "python/payload_descriptor.hpp"
#include "store/node_draft.hpp"

// Per-object critical sections exist from 3.13 on (no-ops with a GIL).
#if PY_VERSION_HEX < 0x030D0000
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace weftory::py {

using support::fatal;
using store::NodeDraft;
using store::NodeId;
using store::NodeKind;
using store::ParamEntry;
using store::ParamMap;
using store::ParamTag;
using store::ParamValue;
using store::PayloadDescriptor;
using store::kRetainedDraftBytes;

namespace {

// Reads a str as UTF-8 without copying; nullptr with an error set on failure.
const char* utf8_view(PyObject* str, Py_ssize_t* size) { return PyUnicode_AsUTF8AndSize(str, size); }

PyRef dict_get(PyObject* dict, const char* key) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* value = nullptr;
  if (PyDict_GetItemStringRef(dict, key, &value) < 0) throw_python_error();
  return PyRef::steal(value);
#else
  PyRef key_obj = PyRef::steal(PyUnicode_FromString(key));
  if (!key_obj) throw_python_error();
  PyObject* value = PyDict_GetItemWithError(dict, key_obj.get());
  if (!value && PyErr_Occurred()) throw_python_error();
  return PyRef::borrow(value);
#endif
}

// Drops the error of a failed classification attempt, which only means the
// value is not of that kind. Running out of recursion depth or memory says
// nothing about the value and is raised as it is: discarded, the next attempt
// would run the same Python code into the same failure again, so a recursion
// through conversions would take time exponential in its depth.
void discard_attempt_error() {
  if (PyErr_ExceptionMatches(PyExc_RecursionError) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    throw_python_error();
  }
  PyErr_Clear();
}

// Adds one param, its value classified by the first rule that applies.
// The exact built-in types skip the protocol attempts that cannot apply to
// them, and an attempt is only made when the type has the slot it needs, so
// the common cases raise (and discard) no exception.
void add_param_from_python(NodeDraft& draft, std::string_view key, PyObject* value) {
  if (Py_IS_TYPE(value, &PyBool_Type)) return draft.add_param(key, ParamTag::Bool, value == Py_True ? 1 : 0);

  if (PyLong_CheckExact(value) || (!PyFloat_CheckExact(value) && !PyUnicode_CheckExact(value) && PyIndex_Check(value))) {
    PyRef index = PyLong_CheckExact(value) ? PyRef::borrow(value) : PyRef::steal(PyNumber_Index(value));
    if (index) {
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (!(v == -1 && PyErr_Occurred()) && overflow == 0) {
        return draft.add_param(key, ParamTag::Int, static_cast<std::uint64_t>(v));
      }
    }
    discard_attempt_error();
  }

  if (PyFloat_CheckExact(value)) {
    return draft.add_param(key, ParamTag::Float, std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(value)));
  }
  if (!PyUnicode_CheckExact(value)) {
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number && (number->nb_float || number->nb_index)) {
      double d = PyFloat_AsDouble(value);
      if (!(d == -1.0 && PyErr_Occurred())) return draft.add_param(key, ParamTag::Float, std::bit_cast<std::uint64_t>(d));
      discard_attempt_error();
    }
  }

  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* data = utf8_view(value, &size);
    if (data) return draft.add_str_param(key, std::string_view(data, static_cast<std::size_t>(size)));
    discard_attempt_error();
  }
  raise(PyExc_TypeError, "param values must be int, float, bool, or str");
}

// How many str keys of the dict have exactly this UTF-8 text, counting up to
// two. The whole count runs inside one critical section of the dict, so that
// another thread moving keys around cannot make one key be met twice; nothing
// in it runs Python code. Keys that do not encode are not counted.
int count_keys_with_text(PyObject* dict, std::string_view text) {
  int count = 0;
  Py_BEGIN_CRITICAL_SECTION(dict);
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  while (count < 2 && PyDict_Next(dict, &pos, &key, nullptr)) {
    if (!PyUnicode_Check(key)) continue;
    Py_ssize_t size = 0;
    const char* data = utf8_view(key, &size);
    if (!data) {
      PyErr_Clear();
      continue;
    }
    if (std::string_view(data, static_cast<std::size_t>(size)) == text) ++count;
  }
  Py_END_CRITICAL_SECTION();
  return count;
}

// A converted map must not repeat a key. A dict holds each key once, so a
// repeat comes either from two distinct keys with the same text (str
// subclasses with their own hashes), which the dict still holds both of, or
// from the dict changing while it was read (a key removed and put back, so
// that iteration met it twice).
void check_unique_keys(NodeDraft& draft, PyObject* dict) {
  const std::size_t repeated = draft.sort_params();
  if (repeated == draft.param_count()) return;
  if (count_keys_with_text(dict, draft.param(repeated).key) >= 2) raise(PyExc_ValueError, "duplicate param name");
  fatal("dictionary keys changed during iteration");
}

}  // namespace

std::string_view to_text_view(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_type_mismatch(obj, "str");
  Py_ssize_t size = 0;
  const char* data = utf8_view(obj, &size);
  if (!data) throw_python_error();
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::string to_text(PyObject* obj) { return std::string(to_text_view(obj)); }

NodeId to_node_id(PyObject* obj) {
  // An exact int is its own index; anything else goes through __index__.
  PyRef index = PyLong_CheckExact(obj) ? PyRef::borrow(obj) : PyRef::steal(PyNumber_Index(obj));
  if (!index) throw_python_error();
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
  return static_cast<NodeId>(v);
}

namespace {

// A list or tuple read by position, which is what iterating it does. A
// list's length is read through PyList_GET_SIZE, every time: on a
// free-threaded build another thread may resize the list meanwhile, and that
// accessor is the atomic read of what the resize writes (Py_SIZE is not).
void ids_from_list_or_tuple(PyObject* obj, bool is_list, std::vector<NodeId>& ids) {
  ids.reserve(static_cast<std::size_t>(is_list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj)));
  for (Py_ssize_t i = 0;; ++i) {
    PyRef item;
    if (is_list) {
#if PY_VERSION_HEX >= 0x030D0000
      if (i >= PyList_GET_SIZE(obj)) break;
      item = PyRef::steal(PyList_GetItemRef(obj, i));
      if (!item) {
        PyErr_Clear();
        break;
      }
#else
      if (i >= PyList_GET_SIZE(obj)) break;
      item = PyRef::borrow(PyList_GET_ITEM(obj, i));
#endif
    } else {
      if (i >= PyTuple_GET_SIZE(obj)) break;
      item = PyRef::borrow(PyTuple_GET_ITEM(obj, i));
    }
    ids.push_back(to_node_id(item.get()));
  }
}

}  // namespace

std::vector<NodeId> to_node_ids(PyObject* obj) {
  std::vector<NodeId> ids;
  node_ids_into(obj, ids);
  return ids;
}

void node_ids_into(PyObject* obj, std::vector<NodeId>& ids) {
  ids.clear();
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (PyList_CheckExact(obj)) return ids_from_list_or_tuple(obj, true, ids);
  if (PyTuple_CheckExact(obj)) return ids_from_list_or_tuple(obj, false, ids);
  if (!PySequence_Check(obj)) raise_type_mismatch(obj, "Sequence");
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    // The length is only a hint: a sequence may report more than it yields.
    ids.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), 4096));
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) throw_python_error();
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) ids.push_back(to_node_id(item.get()));
  if (PyErr_Occurred()) throw_python_error();
}

bool to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  PyTypeObject* type = Py_TYPE(obj);
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) PyErr_Clear();
  bool numpy_bool = false;
  if (module && PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) throw_python_error();
    numpy_bool = PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                 PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
  }
  if (!numpy_bool) raise_type_mismatch(obj, "bool");
  auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
  if (!nb_bool) {
    PyErr_Clear();
    raise(PyExc_TypeError, "object of type '" + type_qualname(obj) + "' does not define a '__bool__' conversion");
  }
  int truth = nb_bool(obj);
  if (truth < 0) throw_python_error();
  return truth != 0;
}

void params_into(PyObject* obj, NodeDraft& draft) {
  if (!obj || obj == Py_None) return;
  if (!PyDict_Check(obj)) raise(PyExc_TypeError, "params must be a dict or None");

  // Items are read one at a time, each inside the dict's critical section;
  // converting a value may run Python code that changes the dict, which ends
  // the call as an internal error rather than reading a changed table.
  const Py_ssize_t initial_size = PyDict_GET_SIZE(obj);
  Py_ssize_t remaining = initial_size;
  Py_ssize_t pos = 0;
  draft.reserve_params(static_cast<std::size_t>(initial_size));
  while (true) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    int status = 0;  // 0: ended, 1: item, 2: size changed, 3: keys changed
    Py_BEGIN_CRITICAL_SECTION(obj);
    if (PyDict_GET_SIZE(obj) != initial_size) {
      status = 2;
    } else if (remaining == -1) {
      status = 3;
    } else if (PyDict_Next(obj, &pos, &key, &value)) {
      Py_INCREF(key);
      Py_INCREF(value);
      --remaining;
      status = 1;
    }
    Py_END_CRITICAL_SECTION();
    if (status == 2) fatal("dictionary changed size during iteration");
    if (status == 3) fatal("dictionary keys changed during iteration");
    if (status == 0) break;
    PyRef key_ref = PyRef::steal(key);
    PyRef value_ref = PyRef::steal(value);
    add_param_from_python(draft, to_text_view(key_ref.get()), value_ref.get());
  }
  check_unique_keys(draft, obj);
}

namespace {

// Drafts kept for reuse by this thread. A conversion can run Python code that
// calls back into the module, so each call borrows a draft of its own.
struct DraftPool {
  std::vector<std::unique_ptr<NodeDraft>> free;
};
thread_local DraftPool t_drafts;
constexpr std::size_t kPooledDrafts = 8;

}  // namespace

DraftLease::DraftLease(NodeKind kind) {
  std::vector<std::unique_ptr<NodeDraft>>& free = t_drafts.free;
  if (free.empty()) {
    draft_ = new NodeDraft();
  } else {
    draft_ = free.back().release();
    free.pop_back();
  }
  draft_->reset(kind);
}

DraftLease::~DraftLease() {
  std::vector<std::unique_ptr<NodeDraft>>& free = t_drafts.free;
  // A draft that grew for one very large node is not kept.
  if (free.size() < kPooledDrafts && draft_->retained_bytes() <= kRetainedDraftBytes) {
    try {
      free.emplace_back(draft_);
      return;
    } catch (...) {
    }
  }
  delete draft_;
}

PayloadDescriptor descriptor_from_python(const ModuleState& state, PyObject* obj) {
  if (const PayloadDescriptor* held = payload_descriptor_value(state, obj)) return *held;
  if (!PyDict_Check(obj)) raise(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
  PayloadDescriptor d;
  PyRef pre = dict_get(obj, "preprocessing_ref");
  if (pre && pre.get() != Py_None) d.preprocessing_ref = to_text(pre.get());
  struct Field {
    const char* name;
    std::string PayloadDescriptor::*member;
  };
  static constexpr Field kRequired[] = {
      {"kind", &PayloadDescriptor::kind},
      {"content_hash", &PayloadDescriptor::content_hash},
      {"framework", &PayloadDescriptor::framework},
      {"version", &PayloadDescriptor::version},
      {"io_schema", &PayloadDescriptor::io_schema},
  };
  for (const Field& field : kRequired) {
    PyRef value = dict_get(obj, field.name);
    if (!value) raise(PyExc_ValueError, std::string("descriptor missing required field '") + field.name + "'");
    d.*field.member = to_text(value.get());
  }
  return d;
}

PyRef text_to_python(std::string_view text) {
  PyRef s = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
  if (!s) throw_python_error();
  return s;
}

PyRef param_value_to_python(const ParamValue& value) {
  PyObject* o = nullptr;
  switch (value.tag()) {
    case ParamTag::Int: o = PyLong_FromLongLong(value.as_int()); break;
    case ParamTag::Float: o = PyFloat_FromDouble(value.as_float()); break;
    case ParamTag::Bool: o = Py_NewRef(value.as_bool() ? Py_True : Py_False); break;
    case ParamTag::Str: return text_to_python(value.as_str());
  }
  if (!o) throw_python_error();
  return PyRef::steal(o);
}

PyRef params_to_python(const ParamMap& params) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) throw_python_error();
  for (const ParamEntry& e : params) {
    PyRef key = text_to_python(e.key);
    PyRef value = param_value_to_python(e.value);
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw_python_error();
  }
  return dict;
}

PyRef ids_to_python(const std::vector<NodeId>& ids) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) throw_python_error();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* v = PyLong_FromUnsignedLongLong(ids[i]);
    if (!v) throw_python_error();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
  }
  return list;
}

}  // namespace weftory::py

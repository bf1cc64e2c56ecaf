#include "python/nodes_view.hpp"

#include <array>
#include <cstdio>

#include "python/convert.hpp"
#include "python/errors.hpp"

namespace weftory::py {

namespace {

// The dict keys, made once per call.
struct Keys {
  PyRef id, output, inputs, kind, name, params, descriptor, n_members, members;
  PyRef d_kind, d_content_hash, d_framework, d_version, d_io_schema, d_preprocessing_ref;
  std::array<PyRef, kNodeKindCount> kind_words;
  PyRef op_word, red_word, input_word, member_word;

  Keys() {
    auto make = [](const char* text) {
      PyRef s = PyRef::steal(PyUnicode_InternFromString(text));
      if (!s) throw_python_error();
      return s;
    };
    id = make("id");
    output = make("output");
    inputs = make("inputs");
    kind = make("kind");
    name = make("name");
    params = make("params");
    descriptor = make("descriptor");
    n_members = make("n_members");
    members = make("members");
    d_kind = make("kind");
    d_content_hash = make("content_hash");
    d_framework = make("framework");
    d_version = make("version");
    d_io_schema = make("io_schema");
    d_preprocessing_ref = make("preprocessing_ref");
    for (int k = 0; k < kNodeKindCount; ++k) {
      kind_words[static_cast<std::size_t>(k)] = make(std::string(kind_name(static_cast<NodeKind>(k))).c_str());
    }
    input_word = make("input");
    member_word = make("member");
  }
};

void set(PyObject* dict, const PyRef& key, PyObject* value) {
  if (PyDict_SetItem(dict, key.get(), value) < 0) throw_python_error();
}

void set(PyObject* dict, const PyRef& key, PyRef value) { set(dict, key, value.get()); }

PyRef new_dict() {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) throw_python_error();
  return d;
}

PyRef id_to_python(std::uint64_t id) {
  PyRef v = PyRef::steal(PyLong_FromUnsignedLongLong(id));
  if (!v) throw_python_error();
  return v;
}

PyRef descriptor_to_python(const Keys& keys, const PayloadDescriptor& d) {
  PyRef dict = new_dict();
  set(dict.get(), keys.d_kind, text_to_python(d.kind));
  set(dict.get(), keys.d_content_hash, text_to_python(d.content_hash));
  set(dict.get(), keys.d_framework, text_to_python(d.framework));
  set(dict.get(), keys.d_version, text_to_python(d.version));
  set(dict.get(), keys.d_io_schema, text_to_python(d.io_schema));
  if (d.preprocessing_ref) {
    set(dict.get(), keys.d_preprocessing_ref, text_to_python(*d.preprocessing_ref));
  } else {
    set(dict.get(), keys.d_preprocessing_ref, Py_None);
  }
  return dict;
}

PyRef member_to_python(const Keys& keys, const StageMember& member) {
  std::optional<ParsedMemberToken> parsed = parse_member_token(member.token);
  if (!parsed) raise(PyExc_ValueError, "unparseable stage member token " + quote_token(member.token));
  PyRef dict = new_dict();
  set(dict.get(), keys.kind, text_to_python(parsed->kind));
  set(dict.get(), keys.name, text_to_python(parsed->name));
  set(dict.get(), keys.params, params_to_python(parsed->params));
  PyRef inputs = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(member.inputs.size())));
  if (!inputs) throw_python_error();
  for (std::size_t k = 0; k < member.inputs.size(); ++k) {
    const MemberInput& in = member.inputs[k];
    const PyRef& word = in.source == MemberSource::Input ? keys.input_word : keys.member_word;
    PyRef index = id_to_python(in.index);
    PyObject* pair = PyTuple_Pack(2, word.get(), index.get());
    if (!pair) throw_python_error();
    PyList_SET_ITEM(inputs.get(), static_cast<Py_ssize_t>(k), pair);
  }
  set(dict.get(), keys.inputs, std::move(inputs));
  return dict;
}

PyRef node_to_python(const Keys& keys, NodeId id, bool is_output, const NodeRecord& node) {
  PyRef dict = new_dict();
  set(dict.get(), keys.id, id_to_python(id));
  set(dict.get(), keys.output, is_output ? Py_True : Py_False);
  set(dict.get(), keys.inputs, ids_to_python(node.inputs));
  set(dict.get(), keys.kind, keys.kind_words[static_cast<std::size_t>(node.kind)].get());
  set(dict.get(), keys.name, text_to_python(node.name));
  set(dict.get(), keys.params, params_to_python(node.params));
  if (node.kind == NodeKind::External && node.descriptor) {
    set(dict.get(), keys.descriptor, descriptor_to_python(keys, *node.descriptor));
  }
  if (node.kind == NodeKind::Stage) {
    set(dict.get(), keys.n_members, id_to_python(node.members.size()));
    PyRef members = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(node.members.size())));
    if (!members) throw_python_error();
    for (std::size_t k = 0; k < node.members.size(); ++k) {
      PyList_SET_ITEM(members.get(), static_cast<Py_ssize_t>(k), member_to_python(keys, node.members[k]).release());
    }
    set(dict.get(), keys.members, std::move(members));
  }
  return dict;
}

}  // namespace

std::string quote_token(std::string_view token) {
  std::string out = "\"";
  for (unsigned char c : token) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

PyRef nodes_to_python(const Snapshot& snapshot) {
  Keys keys;
  std::vector<bool> marked(snapshot.nodes.size(), false);
  for (NodeId id : snapshot.outputs) {
    if (id < marked.size()) marked[id] = true;
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(snapshot.nodes.size())));
  if (!list) throw_python_error();
  for (std::size_t i = 0; i < snapshot.nodes.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), node_to_python(keys, i, marked[i], snapshot.nodes[i]).release());
  }
  return list;
}

PyRef node_map_to_python(const std::vector<NodeMapEntry>& node_map) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(node_map.size())));
  if (!list) throw_python_error();
  for (std::size_t i = 0; i < node_map.size(); ++i) {
    PyObject* item;
    if (!node_map[i]) {
      item = Py_NewRef(Py_None);
    } else {
      PyRef reduced = id_to_python(node_map[i]->reduced_id);
      PyRef member = node_map[i]->member ? id_to_python(*node_map[i]->member) : PyRef::borrow(Py_None);
      item = PyTuple_Pack(2, reduced.get(), member.get());
      if (!item) throw_python_error();
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

}  // namespace weftory::py

#include "python/nodes_view.hpp"

#include <array>
#include <cstdio>
#include <initializer_list>
#include <optional>

#include <boost/unordered/unordered_flat_map.hpp>

#include "python/convert.hpp"
#include "python/errors.hpp"

namespace weftory::py {

namespace {

PyRef id_to_python(std::uint64_t id) {
  PyRef v = PyRef::steal(PyLong_FromUnsignedLongLong(id));
  if (!v) throw_python_error();
  return v;
}

// Builds the dicts of one nodes() call: the keys are made once, each node
// dict starts as a copy of a template that already holds its keys in order
// (so filling it never resizes), and short texts that repeat across nodes
// (names, parameter keys and values) are decoded once and shared.
class ViewBuilder {
 public:
  ViewBuilder() {
    id_ = make("id");
    output_ = make("output");
    inputs_ = make("inputs");
    kind_ = make("kind");
    name_ = make("name");
    params_ = make("params");
    descriptor_ = make("descriptor");
    n_members_ = make("n_members");
    members_ = make("members");
    content_hash_ = make("content_hash");
    framework_ = make("framework");
    version_ = make("version");
    io_schema_ = make("io_schema");
    preprocessing_ref_ = make("preprocessing_ref");
    for (int k = 0; k < kNodeKindCount; ++k) {
      kind_words_[static_cast<std::size_t>(k)] = make(std::string(kind_name(static_cast<NodeKind>(k))).c_str());
    }
    input_word_ = make("input");
    member_word_ = make("member");
    node_template_ = make_template({&id_, &output_, &inputs_, &kind_, &name_, &params_});
    external_template_ = make_template({&id_, &output_, &inputs_, &kind_, &name_, &params_, &descriptor_});
    stage_template_ = make_template({&id_, &output_, &inputs_, &kind_, &name_, &params_, &n_members_, &members_});
    descriptor_template_ =
        make_template({&kind_, &content_hash_, &framework_, &version_, &io_schema_, &preprocessing_ref_});
  }

  PyRef node(NodeId id, bool is_output, const NodeRecord& node) {
    const PyRef& templ = node.kind == NodeKind::External && node.descriptor ? external_template_
                         : node.kind == NodeKind::Stage                     ? stage_template_
                                                                            : node_template_;
    PyRef dict = copy(templ);
    set(dict, id_, id_to_python(id));
    set(dict, output_, PyRef::borrow(is_output ? Py_True : Py_False));
    set(dict, inputs_, ids_to_python(node.inputs));
    set(dict, kind_, PyRef::borrow(kind_words_[static_cast<std::size_t>(node.kind)].get()));
    set(dict, name_, text(node.name));
    set(dict, params_, params(node.params));
    if (node.kind == NodeKind::External && node.descriptor) set(dict, descriptor_, descriptor(*node.descriptor));
    if (node.kind == NodeKind::Stage) {
      set(dict, n_members_, id_to_python(node.members.size()));
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(node.members.size())));
      if (!list) throw_python_error();
      for (std::size_t k = 0; k < node.members.size(); ++k) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), member(node.members[k]).release());
      }
      set(dict, members_, std::move(list));
    }
    return dict;
  }

 private:
  static PyRef make(const char* text) {
    PyRef s = PyRef::steal(PyUnicode_InternFromString(text));
    if (!s) throw_python_error();
    return s;
  }

  static PyRef make_template(std::initializer_list<const PyRef*> keys) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) throw_python_error();
    for (const PyRef* key : keys) {
      if (PyDict_SetItem(dict.get(), key->get(), Py_None) < 0) throw_python_error();
    }
    return dict;
  }

  static PyRef copy(const PyRef& templ) {
    PyRef dict = PyRef::steal(PyDict_Copy(templ.get()));
    if (!dict) throw_python_error();
    return dict;
  }

  static void set(const PyRef& dict, const PyRef& key, PyRef value) {
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw_python_error();
  }

  PyRef text(const std::string& value) {
    if (value.size() > kCachedTextMax) return text_to_python(value);
    auto hit = texts_.find(value);
    if (hit != texts_.end()) return PyRef::borrow(hit->second.get());
    PyRef decoded = text_to_python(value);
    texts_.emplace(value, PyRef::borrow(decoded.get()));
    return decoded;
  }

  PyRef params(const ParamMap& map) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) throw_python_error();
    for (const ParamEntry& e : map) {
      PyRef value = e.value.tag() == ParamTag::Str ? text(e.value.as_str()) : param_value_to_python(e.value);
      set(dict, text(e.key), std::move(value));
    }
    return dict;
  }

  PyRef descriptor(const PayloadDescriptor& d) {
    PyRef dict = copy(descriptor_template_);
    set(dict, kind_, text(d.kind));
    set(dict, content_hash_, text(d.content_hash));
    set(dict, framework_, text(d.framework));
    set(dict, version_, text(d.version));
    set(dict, io_schema_, text(d.io_schema));
    set(dict, preprocessing_ref_, d.preprocessing_ref ? text(*d.preprocessing_ref) : PyRef::borrow(Py_None));
    return dict;
  }

  PyRef member(const StageMember& member) {
    std::optional<ParsedMemberToken> parsed = parse_member_token(member.token);
    if (!parsed) raise(PyExc_ValueError, "unparseable stage member token " + quote_token(member.token));
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) throw_python_error();
    set(dict, kind_, text(parsed->kind));
    set(dict, name_, text(parsed->name));
    set(dict, params_, params(parsed->params));
    PyRef inputs = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(member.inputs.size())));
    if (!inputs) throw_python_error();
    for (std::size_t k = 0; k < member.inputs.size(); ++k) {
      const MemberInput& in = member.inputs[k];
      const PyRef& word = in.source == MemberSource::Input ? input_word_ : member_word_;
      PyRef index = id_to_python(in.index);
      PyObject* pair = PyTuple_Pack(2, word.get(), index.get());
      if (!pair) throw_python_error();
      PyList_SET_ITEM(inputs.get(), static_cast<Py_ssize_t>(k), pair);
    }
    set(dict, inputs_, std::move(inputs));
    return dict;
  }

  static constexpr std::size_t kCachedTextMax = 64;

  PyRef id_, output_, inputs_, kind_, name_, params_, descriptor_, n_members_, members_;
  PyRef content_hash_, framework_, version_, io_schema_, preprocessing_ref_;
  std::array<PyRef, kNodeKindCount> kind_words_;
  PyRef input_word_, member_word_;
  PyRef node_template_, external_template_, stage_template_, descriptor_template_;
  boost::unordered_flat_map<std::string, PyRef> texts_;
};

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
  ViewBuilder builder;
  std::vector<bool> marked(snapshot.nodes.size(), false);
  for (NodeId id : snapshot.outputs) {
    if (id < marked.size()) marked[id] = true;
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(snapshot.nodes.size())));
  if (!list) throw_python_error();
  for (std::size_t i = 0; i < snapshot.nodes.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), builder.node(i, marked[i], snapshot.nodes[i]).release());
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

#include "python/nodes_view.hpp"

#include <array>
#include <cstdio>
#include <initializer_list>
#include <optional>

#include <boost/unordered/unordered_flat_map.hpp>

#include "python/convert.hpp"
#include "python/errors.hpp"

namespace weftory::py {

using store::DescriptorView;
using store::InputsView;
using store::MemberInput;
using store::MemberSource;
using store::NodeId;
using store::NodeKind;
using store::NodeMapEntry;
using store::NodeRef;
using store::NodeTable;
using store::ParamEntry;
using store::ParamMap;
using store::ParamTag;
using store::ParamView;
using store::ParsedMemberToken;
using store::Snapshot;
using store::TextId;
using store::kNodeKindCount;
using store::kind_has_name;
using store::kind_name;
using store::parse_member_token;

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

  PyRef node(NodeId id, bool is_output, const NodeRef& node) {
    const NodeKind kind = node.kind();
    const PyRef& templ = kind == NodeKind::External ? external_template_
                         : kind == NodeKind::Stage  ? stage_template_
                                                    : node_template_;
    PyRef dict = copy(templ);
    set(dict, id_, id_to_python(id));
    set(dict, output_, PyRef::borrow(is_output ? Py_True : Py_False));
    set(dict, inputs_, inputs(node.inputs()));
    set(dict, kind_, PyRef::borrow(kind_words_[static_cast<std::size_t>(kind)].get()));
    set(dict, name_, kind_has_name(kind) ? stored_text(node.table(), node.name_id()) : empty_text());
    set(dict, params_, params(node));
    if (kind == NodeKind::External) set(dict, descriptor_, descriptor(node.descriptor()));
    if (kind == NodeKind::Stage) {
      const std::size_t members = node.member_count();
      set(dict, n_members_, id_to_python(members));
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(members)));
      if (!list) throw_python_error();
      for (std::size_t k = 0; k < members; ++k) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k),
                        member(node.member_token(k), node.member_inputs(k)).release());
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

  // One str per stored text and call: a text id names the same bytes for
  // the table's whole life, so the decoded object is shared by every node.
  PyRef stored_text(const NodeTable& table, TextId id) {
    if (id >= stored_.size()) stored_.resize(static_cast<std::size_t>(id) + 1);
    PyRef& slot = stored_[id];
    if (!slot) slot = text_to_python(table.texts().text(id));
    return PyRef::borrow(slot.get());
  }

  PyRef empty_text() {
    if (!empty_) empty_ = text_to_python(std::string_view());
    return PyRef::borrow(empty_.get());
  }

  // Texts that are not stored (parsed member tokens), shared while short.
  PyRef text(std::string_view value) {
    if (value.size() > kCachedTextMax) return text_to_python(value);
    std::string key(value);
    auto hit = texts_.find(key);
    if (hit != texts_.end()) return PyRef::borrow(hit->second.get());
    PyRef decoded = text_to_python(value);
    texts_.emplace(std::move(key), PyRef::borrow(decoded.get()));
    return decoded;
  }

  static PyRef inputs(const InputsView& ids) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) throw_python_error();
    for (std::size_t k = 0; k < ids.size(); ++k) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), id_to_python(ids[k]).release());
    }
    return list;
  }

  PyRef params(const NodeRef& node) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) throw_python_error();
    const NodeTable& table = node.table();
    for (std::size_t i = 0; i < node.param_count(); ++i) {
      const ParamView p = node.param(i);
      PyRef value = p.tag == ParamTag::Str ? stored_text(table, node.str_id(i)) : param_to_python(p);
      set(dict, stored_text(table, node.key_id(i)), std::move(value));
    }
    return dict;
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

  static PyRef param_to_python(const ParamView& p) {
    PyObject* v = nullptr;
    switch (p.tag) {
      case ParamTag::Int: v = PyLong_FromLongLong(p.as_int()); break;
      case ParamTag::Float: v = PyFloat_FromDouble(p.as_float()); break;
      case ParamTag::Bool: v = Py_NewRef(p.as_bool() ? Py_True : Py_False); break;
      case ParamTag::Str: v = PyUnicode_DecodeUTF8(p.str.data(), static_cast<Py_ssize_t>(p.str.size()), nullptr); break;
    }
    if (v == nullptr) throw_python_error();
    return PyRef::steal(v);
  }

  PyRef descriptor(const DescriptorView& d) {
    PyRef dict = copy(descriptor_template_);
    set(dict, kind_, text(d.kind));
    set(dict, content_hash_, text(d.content_hash));
    set(dict, framework_, text(d.framework));
    set(dict, version_, text(d.version));
    set(dict, io_schema_, text(d.io_schema));
    set(dict, preprocessing_ref_, d.preprocessing_ref ? text(*d.preprocessing_ref) : PyRef::borrow(Py_None));
    return dict;
  }

  PyRef member(std::string_view token, std::span<const MemberInput> member_inputs) {
    std::optional<ParsedMemberToken> parsed = parse_member_token(token);
    if (!parsed) raise(PyExc_ValueError, "unparseable stage member token " + quote_token(token));
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) throw_python_error();
    set(dict, kind_, text(parsed->kind));
    set(dict, name_, text(parsed->name));
    set(dict, params_, params(parsed->params));
    PyRef inputs = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(member_inputs.size())));
    if (!inputs) throw_python_error();
    for (std::size_t k = 0; k < member_inputs.size(); ++k) {
      const MemberInput& in = member_inputs[k];
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
  std::vector<PyRef> stored_;
  PyRef empty_;
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

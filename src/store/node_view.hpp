// The read interface every pass uses on a node, whatever holds it: a
// NodeRecord a caller built (RecordRef) or a node stored in a NodeTable
// (NodeRef). Both answer the same questions with views (kind, name,
// parameters one by one, inputs, descriptor texts, stage members), and the
// structural hash, equality and identity key are written once over that
// interface, so a record being added and a stored node agree bit for bit.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "store/node.hpp"
#include "support/hash.hpp"

namespace weftory::store {

inline constexpr std::uint64_t kCanonicalNanBits = 0x7ff8000000000000ULL;

// One parameter: key bytes, tag, and the value (Int and Bool as integers,
// Float as its IEEE-754 pattern, Str as `str`).
struct ParamView {
  std::string_view key;
  ParamTag tag = ParamTag::Int;
  std::uint64_t bits = 0;
  std::string_view str;

  std::int64_t as_int() const { return static_cast<std::int64_t>(bits); }
  double as_float() const { return std::bit_cast<double>(bits); }
  bool as_bool() const { return bits != 0; }
  std::uint64_t canonical_bits() const {
    const double d = as_float();
    return d != d ? kCanonicalNanBits : bits;
  }
  ParamValue to_value() const;
};

struct DescriptorView {
  std::string_view kind, content_hash, framework, version, io_schema;
  std::optional<std::string_view> preprocessing_ref;
  PayloadDescriptor to_descriptor() const;
};

// The hash every text enters a node hash with; a table keeps it per text.
inline std::uint64_t text_hash(std::string_view text) {
  support::HashBuilder h;
  h.add_bytes(text);
  return h.finish();
}

// A NodeRecord seen through the read interface; holds a reference only.
class RecordRef {
 public:
  explicit RecordRef(const NodeRecord& record) : r_(&record) {}

  NodeKind kind() const { return r_->kind; }
  std::string_view name() const { return r_->name; }
  std::size_t param_count() const { return r_->params.size(); }
  ParamView param(std::size_t i) const {
    const ParamEntry& e = r_->params[i];
    ParamView v{e.key, e.value.tag(), 0, {}};
    switch (e.value.tag()) {
      case ParamTag::Str: v.str = e.value.as_str(); break;
      case ParamTag::Float: v.bits = std::bit_cast<std::uint64_t>(e.value.as_float()); break;
      default: v.bits = static_cast<std::uint64_t>(e.value.as_int());
    }
    return v;
  }
  std::span<const NodeId> inputs() const { return r_->inputs; }
  bool has_descriptor() const { return r_->descriptor != nullptr; }
  DescriptorView descriptor() const {
    const PayloadDescriptor& d = *r_->descriptor;
    DescriptorView v{d.kind, d.content_hash, d.framework, d.version, d.io_schema, std::nullopt};
    if (d.preprocessing_ref) v.preprocessing_ref = *d.preprocessing_ref;
    return v;
  }
  std::size_t member_count() const { return r_->members.size(); }
  std::string_view member_token(std::size_t i) const { return r_->members[i].token; }
  std::span<const MemberInput> member_inputs(std::size_t i) const { return r_->members[i].inputs; }

  // Texts have no per-table hash here: they are hashed from their bytes.
  std::uint64_t name_hash() const { return text_hash(name()); }
  std::uint64_t key_hash(std::size_t i) const { return text_hash(r_->params[i].key); }
  std::uint64_t str_hash(std::size_t i) const { return text_hash(r_->params[i].value.as_str()); }

  const NodeRecord& record() const { return *r_; }

 private:
  const NodeRecord* r_;
};

// Which fields each kind carries.
inline bool kind_has_name(NodeKind k) { return k == NodeKind::Source || k == NodeKind::Op || k == NodeKind::Reduction; }
inline bool kind_has_params(NodeKind k) { return k != NodeKind::Stage; }
inline bool kind_has_inputs(NodeKind k) { return k != NodeKind::Source; }

// The structural hash: texts enter through their text hashes, so a table can
// hash a stored node without rereading its bytes. Consistent with same_node.
template <class Node>
std::uint64_t hash_node(const Node& n, std::uint64_t seed) {
  support::HashBuilder h(seed);
  const NodeKind kind = n.kind();
  h.add(static_cast<std::uint64_t>(kind));
  if (kind_has_name(kind)) h.add(n.name_hash());
  if (kind == NodeKind::External && n.has_descriptor()) {
    const DescriptorView d = n.descriptor();
    for (std::string_view t : {d.kind, d.content_hash, d.framework, d.version, d.io_schema}) h.add(text_hash(t));
    h.add(d.preprocessing_ref.has_value());
    if (d.preprocessing_ref) h.add(text_hash(*d.preprocessing_ref));
  }
  if (kind_has_params(kind)) {
    const std::size_t count = n.param_count();
    h.add(count);
    for (std::size_t i = 0; i < count; ++i) {
      const ParamView p = n.param(i);
      h.add(n.key_hash(i));
      h.add(static_cast<std::uint64_t>(p.tag));
      if (p.tag == ParamTag::Str) {
        h.add(n.str_hash(i));
      } else if (p.tag == ParamTag::Float) {
        h.add(p.canonical_bits());
      } else {
        h.add(p.bits);
      }
    }
  }
  if (kind_has_inputs(kind)) {
    const auto inputs = n.inputs();
    h.add(inputs.size());
    for (NodeId id : inputs) h.add(id);
  }
  if (kind == NodeKind::Stage) {
    const std::size_t members = n.member_count();
    h.add(members);
    for (std::size_t m = 0; m < members; ++m) {
      if constexpr (requires { n.member_token_hash(m); }) {
        h.add(n.member_token_hash(m));
      } else {
        h.add(text_hash(n.member_token(m)));
      }
      const auto ins = n.member_inputs(m);
      h.add(ins.size());
      for (const MemberInput& mi : ins) {
        h.add(static_cast<std::uint64_t>(mi.source));
        h.add(mi.index);
      }
    }
  }
  return h.finish();
}

inline bool same_param(const ParamView& a, const ParamView& b) {
  if (a.key != b.key || a.tag != b.tag) return false;
  switch (a.tag) {
    case ParamTag::Str: return a.str == b.str;
    case ParamTag::Float: return a.canonical_bits() == b.canonical_bits();
    default: return a.bits == b.bits;
  }
}

// The structural equality of two nodes, each behind the read interface.
template <class A, class B>
bool same_node(const A& a, const B& b) {
  const NodeKind kind = a.kind();
  if (kind != b.kind()) return false;
  if (kind_has_inputs(kind)) {
    const auto ia = a.inputs();
    const auto ib = b.inputs();
    if (ia.size() != ib.size()) return false;
    for (std::size_t i = 0; i < ia.size(); ++i) {
      if (ia[i] != ib[i]) return false;
    }
  }
  if (kind_has_name(kind) && a.name() != b.name()) return false;
  if (kind_has_params(kind)) {
    const std::size_t count = a.param_count();
    if (count != b.param_count()) return false;
    for (std::size_t i = 0; i < count; ++i) {
      if (!same_param(a.param(i), b.param(i))) return false;
    }
  }
  if (kind == NodeKind::External) {
    if (a.has_descriptor() != b.has_descriptor()) return false;
    if (a.has_descriptor()) {
      const DescriptorView da = a.descriptor();
      const DescriptorView db = b.descriptor();
      if (da.kind != db.kind || da.content_hash != db.content_hash || da.framework != db.framework ||
          da.version != db.version || da.io_schema != db.io_schema || da.preprocessing_ref != db.preprocessing_ref) {
        return false;
      }
    }
  }
  if (kind == NodeKind::Stage) {
    const std::size_t members = a.member_count();
    if (members != b.member_count()) return false;
    for (std::size_t m = 0; m < members; ++m) {
      if (a.member_token(m) != b.member_token(m)) return false;
      const auto ia = a.member_inputs(m);
      const auto ib = b.member_inputs(m);
      if (ia.size() != ib.size()) return false;
      for (std::size_t i = 0; i < ia.size(); ++i) {
        if (!(ia[i] == ib[i])) return false;
      }
    }
  }
  return true;
}

// An owning copy of a node.
template <class Node>
NodeRecord to_record(const Node& n) {
  NodeRecord r;
  r.kind = n.kind();
  if (kind_has_name(r.kind)) r.name = std::string(n.name());
  if (kind_has_params(r.kind)) {
    const std::size_t count = n.param_count();
    r.params.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      const ParamView p = n.param(i);
      r.params.push_back(ParamEntry{std::string(p.key), p.to_value()});
    }
  }
  if (kind_has_inputs(r.kind)) {
    const auto inputs = n.inputs();
    r.inputs.assign(inputs.begin(), inputs.end());
  }
  if (r.kind == NodeKind::External && n.has_descriptor()) {
    r.descriptor = std::make_unique<PayloadDescriptor>(n.descriptor().to_descriptor());
  }
  if (r.kind == NodeKind::Stage) {
    const std::size_t members = n.member_count();
    r.members.reserve(members);
    for (std::size_t m = 0; m < members; ++m) {
      const auto ins = n.member_inputs(m);
      r.members.push_back(StageMember{std::string(n.member_token(m)), {ins.begin(), ins.end()}});
    }
  }
  return r;
}

void append_escaped_key_text(std::string& out, std::string_view text);
// Appends one parameter's "key=value" text of the identity key.
void append_param_text(std::string& out, const ParamView& param);
// Appends the base text of an External's key: "ext|" and its descriptor.
void append_external_base(std::string& out, const DescriptorView& descriptor);
// Appends one stage member's part of a Stage's key: "token=i0,m1".
void append_member_text(std::string& out, std::string_view token, std::span<const MemberInput> inputs);

// Appends the identity key of any node (see identity_key in node.hpp) to
// `key`. A caller that builds many keys appends into one scratch buffer and
// copies each key out at its final size, so a key costs one allocation
// rather than one per growth step.
template <class Node>
void append_identity_key(std::string& key, const Node& n) {
  switch (n.kind()) {
    case NodeKind::Source: key += "src|"; break;
    case NodeKind::Op: key += "op|"; break;
    case NodeKind::Reduction: key += "red|"; break;
    case NodeKind::External:
      if (n.has_descriptor()) {
        append_external_base(key, n.descriptor());
      } else {
        key += "ext|";
      }
      break;
    case NodeKind::Stage: {
      // The member count, then every member as its escaped token, "=" and its
      // inputs ("i" for a stage input, "m" for an earlier member), members
      // joined with ";": two stages share a key only when their members agree.
      key += "stage|";
      key += std::to_string(n.member_count());
      for (std::size_t m = 0; m < n.member_count(); ++m) {
        key += m == 0 ? '|' : ';';
        append_member_text(key, n.member_token(m), n.member_inputs(m));
      }
      return;
    }
    case NodeKind::Exchange: key += "exch"; break;
    case NodeKind::Join: key += "join"; break;
  }
  if (kind_has_name(n.kind())) append_escaped_key_text(key, n.name());
  const std::size_t count = n.param_count();
  for (std::size_t i = 0; i < count; ++i) {
    key += i == 0 ? '|' : ';';
    append_param_text(key, n.param(i));
  }
}

// The identity key of any node (see identity_key in node.hpp).
template <class Node>
std::string identity_key_of(const Node& n) {
  std::string key;
  append_identity_key(key, n);
  return key;
}

// A node seen with other inputs: what a pass that renumbers nodes hands to a
// store. Holds references only.
template <class Node>
class WithInputs {
 public:
  WithInputs(const Node& node, std::span<const NodeId> inputs) : n_(node), inputs_(inputs) {}
  NodeKind kind() const { return n_.kind(); }
  std::string_view name() const { return n_.name(); }
  std::size_t param_count() const { return n_.param_count(); }
  ParamView param(std::size_t i) const { return n_.param(i); }
  std::span<const NodeId> inputs() const { return inputs_; }
  bool has_descriptor() const { return n_.has_descriptor(); }
  DescriptorView descriptor() const { return n_.descriptor(); }
  std::size_t member_count() const { return n_.member_count(); }
  std::string_view member_token(std::size_t i) const { return n_.member_token(i); }
  std::span<const MemberInput> member_inputs(std::size_t i) const { return n_.member_inputs(i); }
  std::uint64_t name_hash() const { return n_.name_hash(); }
  std::uint64_t key_hash(std::size_t i) const { return n_.key_hash(i); }
  std::uint64_t str_hash(std::size_t i) const { return n_.str_hash(i); }

 private:
  const Node& n_;
  std::span<const NodeId> inputs_;
};

}  // namespace weftory::store

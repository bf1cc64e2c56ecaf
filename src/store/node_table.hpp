// The compact form in which a store keeps its nodes. A node is one 16-byte
// record; its inputs and parameters lie in one run of 32-bit words in a
// shared pool, and every text (names, parameter keys, string values,
// descriptor fields, member tokens) is kept once per table and referred to by
// a 32-bit text id. Descriptors and stage members, which few nodes carry,
// live in side tables. Everything is append-only and never moves (see
// StableVector), so a NodeRef read without the writer's lock stays valid as
// long as it reads below a node count it learnt under that lock.
//
// Node ids and word positions are 32-bit inside a table and text ids 30-bit:
// appending beyond those limits fails with bad_alloc and changes nothing.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "store/node.hpp"
#include "store/node_view.hpp"
#include "support/stable_vector.hpp"

namespace weftory::store {

using TextId = std::uint32_t;
inline constexpr std::uint64_t kTableLimit = 0xFFFFFFFFu;
// Text ids share a word with a parameter's tag, so they have 30 bits.
inline constexpr std::uint64_t kTextLimit = std::uint64_t{1} << 30;

// The texts of one table, each stored once.
class TextPool {
 public:
  TextPool();
  TextPool(const TextPool&) = delete;
  TextPool& operator=(const TextPool&) = delete;

  // The id of `text`, adding it when it is new. Writer side only. `hash`
  // must be text_hash(text).
  TextId intern(std::string_view text, std::uint64_t hash);
  TextId intern(std::string_view text) { return intern(text, text_hash(text)); }
  // The id of `text` if the pool holds it. Writer side only.
  std::optional<TextId> find(std::string_view text) const;

  std::string_view text(TextId id) const {
    const Entry& e = entries_[id];
    return {e.data, e.size};
  }
  std::uint64_t hash(TextId id) const { return hashes_[id]; }
  std::size_t size() const { return entries_.size(); }
  std::size_t allocated_bytes() const;

 private:
  struct Entry {
    const char* data;
    std::uint32_t size;
  };
  // A text being looked up, with its hash computed once.
  struct Probe {
    std::string_view text;
    std::uint64_t hash;
  };
  struct Hash {
    using is_transparent = void;
    using is_avalanching = void;
    const TextPool* pool;
    std::size_t operator()(TextId id) const { return pool->hashes_[id]; }
    std::size_t operator()(const Probe& p) const { return p.hash; }
  };
  struct Equal {
    using is_transparent = void;
    const TextPool* pool;
    bool operator()(TextId a, TextId b) const { return a == b || pool->text(a) == pool->text(b); }
    bool operator()(const Probe& a, TextId b) const { return a.text == pool->text(b); }
    bool operator()(TextId a, const Probe& b) const { return pool->text(a) == b.text; }
  };

  const char* store_bytes(std::string_view text);

  support::StableVector<Entry> entries_;
  support::StableVector<std::uint64_t> hashes_;
  std::vector<std::unique_ptr<char[]>> chunks_;
  std::size_t chunk_bytes_ = 0;
  std::size_t chunk_total_ = 0;
  char* cursor_ = nullptr;
  char* chunk_end_ = nullptr;
  boost::unordered_flat_set<TextId, Hash, Equal> index_;
  // The last text seen at each of a few hash slots: parameter keys and
  // names repeat from node to node, and most look-ups end here.
  struct Recent {
    std::uint64_t hash = 0;
    const char* data = nullptr;
    std::uint32_t size = 0;
    TextId id = ~TextId{0};
  };
  static constexpr std::size_t kRecentSlots = 256;
  std::array<Recent, kRecentSlots> recent_{};
};

// One stored node. `head` packs the kind (low 3 bits) and the parameter
// count; `text` is the name's text id (Source, Op, Reduction), the
// descriptor's index (External) or the stage's index (Stage); the run holds
// the inputs, one word each, then three words per parameter.
struct StoredNode {
  std::uint32_t head;
  std::uint32_t text;
  std::uint32_t input_count;
  std::uint32_t run;
};
static_assert(sizeof(StoredNode) == 16);

struct StoredDescriptor {
  TextId kind, content_hash, framework, version, io_schema, preprocessing_ref;
  bool has_preprocessing_ref;
};

// A stage's members in one heap block: this header, the members' tokens, the
// offsets of their inputs (member m's are [starts[m], starts[m + 1])), then
// the inputs. One allocation per stage, where three vectors cost three and
// more as they grew: a reduction emits a stage for every few nodes.
class StoredStage {
 public:
  // A block for `members` members with `inputs` inputs in all, every token
  // and offset zero; free it with destroy.
  static StoredStage* make(std::size_t members, std::size_t inputs);
  static void destroy(StoredStage* stage) noexcept;
  struct Deleter {
    void operator()(StoredStage* stage) const noexcept { destroy(stage); }
  };

  std::size_t member_count() const { return members_; }
  std::span<TextId> tokens() { return {reinterpret_cast<TextId*>(this + 1), members_}; }
  std::span<const TextId> tokens() const { return {reinterpret_cast<const TextId*>(this + 1), members_}; }
  std::span<std::uint32_t> starts() { return {tokens().data() + members_, members_ + std::size_t{1}}; }
  std::span<const std::uint32_t> starts() const { return {tokens().data() + members_, members_ + std::size_t{1}}; }
  std::span<MemberInput> inputs() { return {reinterpret_cast<MemberInput*>(bytes() + inputs_offset(members_)), inputs_}; }
  std::span<const MemberInput> inputs() const {
    return {reinterpret_cast<const MemberInput*>(bytes() + inputs_offset(members_)), inputs_};
  }

 private:
  StoredStage(std::uint32_t members, std::uint32_t inputs) : members_(members), inputs_(inputs) {}
  static std::size_t inputs_offset(std::size_t members) {
    const std::size_t end = sizeof(StoredStage) + sizeof(TextId) * members + sizeof(std::uint32_t) * (members + 1);
    return (end + alignof(MemberInput) - 1) / alignof(MemberInput) * alignof(MemberInput);
  }
  char* bytes() { return reinterpret_cast<char*>(this); }
  const char* bytes() const { return reinterpret_cast<const char*>(this); }

  std::uint32_t members_;
  std::uint32_t inputs_;
};
static_assert(alignof(StoredStage) <= alignof(MemberInput) && alignof(TextId) == alignof(std::uint32_t));

class NodeTable;

// A node whose texts are already in a table's pool (a blob's records, read
// into the store being filled): it names that pool and gives each text's id
// in it, so that appending it there copies ids rather than interning texts.
template <class Node>
concept PooledNode = requires(const Node& n, std::size_t i) {
  { n.pool() } -> std::same_as<const TextPool&>;
  { n.name_id() } -> std::same_as<TextId>;
  { n.key_id(i) } -> std::same_as<TextId>;
  { n.str_id(i) } -> std::same_as<TextId>;
  { n.descriptor_ids() } -> std::same_as<StoredDescriptor>;
  { n.member_token_id(i) } -> std::same_as<TextId>;
};

// A stored node's inputs: 32-bit words read as NodeIds.
class InputsView {
 public:
  class iterator {
   public:
    using value_type = NodeId;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    explicit iterator(const std::uint32_t* p) : p_(p) {}
    NodeId operator*() const { return *p_; }
    iterator& operator++() {
      ++p_;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++p_;
      return old;
    }
    friend bool operator==(iterator, iterator) = default;

   private:
    const std::uint32_t* p_ = nullptr;
  };

  InputsView() = default;
  InputsView(const std::uint32_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  NodeId operator[](std::size_t i) const { return data_[i]; }
  iterator begin() const { return iterator(data_); }
  iterator end() const { return iterator(data_ + size_); }

 private:
  const std::uint32_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// A stored node seen through the read interface.
class NodeRef {
 public:
  NodeRef(const NodeTable& table, std::uint32_t id);

  NodeId id() const { return id_; }
  NodeKind kind() const { return static_cast<NodeKind>(node_.head & 7u); }
  std::string_view name() const;
  std::size_t param_count() const { return node_.head >> 3; }
  ParamView param(std::size_t i) const;
  InputsView inputs() const { return {run_, node_.input_count}; }
  bool has_descriptor() const { return kind() == NodeKind::External; }
  DescriptorView descriptor() const;
  std::size_t member_count() const;
  std::string_view member_token(std::size_t i) const;
  std::span<const MemberInput> member_inputs(std::size_t i) const;

  std::uint64_t name_hash() const;
  std::uint64_t key_hash(std::size_t i) const;
  std::uint64_t str_hash(std::size_t i) const;

  // Text ids, for readers that share one object per text.
  TextId name_id() const { return node_.text; }
  TextId key_id(std::size_t i) const { return param_words(i)[0] >> 2; }
  TextId str_id(std::size_t i) const { return param_words(i)[1]; }
  // All parameters as stored, three words each (key id and tag, then the
  // value's bits or its text id and 0): within one table, two nodes have
  // equal words exactly when their parameters are equal.
  std::span<const std::uint32_t> stored_params() const {
    return {param_words(0), 3 * param_count()};
  }

  const NodeTable& table() const { return *table_; }

 private:
  const std::uint32_t* param_words(std::size_t i) const { return run_ + node_.input_count + 3 * i; }

  const NodeTable* table_;
  StoredNode node_;
  const std::uint32_t* run_;
  std::uint32_t id_;
};

bool operator==(const NodeRef& a, const NodeRef& b);
bool operator==(const NodeRef& a, const NodeRecord& b);

class NodeTable {
 public:
  NodeTable() = default;
  NodeTable(const NodeTable&) = delete;
  NodeTable& operator=(const NodeTable&) = delete;
  ~NodeTable();

  std::size_t size() const { return nodes_.size(); }
  NodeRef node(std::size_t id) const { return NodeRef(*this, static_cast<std::uint32_t>(id)); }

  // Appends a copy of `node` (any node behind the read interface) with its
  // inputs as they are; returns its id. Interns its texts. On failure
  // (bad_alloc) the table holds what it held before, apart from texts.
  template <class Node>
  std::uint32_t append(const Node& node);

  // Takes back the last node (the one just appended). Texts stay.
  void pop_back();

  const TextPool& texts() const { return texts_; }
  TextPool& texts() { return texts_; }
  std::size_t allocated_bytes() const;

 private:
  friend class NodeRef;

  std::uint32_t add_descriptor(const DescriptorView& d);
  std::uint32_t push_descriptor(const StoredDescriptor& d);
  // `pooled`: the node's token ids are ids of this table's pool.
  template <class Node>
  std::uint32_t add_stage(const Node& node, bool pooled);

  support::StableVector<StoredNode> nodes_;
  support::StableVector<std::uint32_t, 10> words_;
  support::StableVector<StoredDescriptor> descriptors_;
  support::StableVector<StoredStage*> stages_;
  TextPool texts_;
};

// ---------------------------------------------------------------- inline

inline NodeRef::NodeRef(const NodeTable& table, std::uint32_t id)
    : table_(&table),
      node_(table.nodes_[id]),
      run_(node_.input_count != 0 || (node_.head >> 3) != 0 ? table.words_.data_at(node_.run) : nullptr),
      id_(id) {}

inline std::string_view NodeRef::name() const {
  return kind_has_name(kind()) ? table_->texts_.text(node_.text) : std::string_view();
}
inline std::uint64_t NodeRef::name_hash() const { return table_->texts_.hash(node_.text); }
inline std::uint64_t NodeRef::key_hash(std::size_t i) const { return table_->texts_.hash(key_id(i)); }
inline std::uint64_t NodeRef::str_hash(std::size_t i) const { return table_->texts_.hash(str_id(i)); }

inline ParamView NodeRef::param(std::size_t i) const {
  const std::uint32_t* w = param_words(i);
  ParamView v;
  v.key = table_->texts_.text(w[0] >> 2);
  v.tag = static_cast<ParamTag>(w[0] & 3u);
  if (v.tag == ParamTag::Str) {
    v.str = table_->texts_.text(w[1]);
  } else {
    v.bits = static_cast<std::uint64_t>(w[1]) | (static_cast<std::uint64_t>(w[2]) << 32);
  }
  return v;
}

template <class Node>
std::uint32_t NodeTable::append(const Node& node) {
  const NodeKind kind = node.kind();
  const std::size_t id = nodes_.size();
  if (id >= kTableLimit) throw std::bad_alloc();
  const auto inputs = node.inputs();
  const std::size_t params = kind_has_params(kind) ? node.param_count() : 0;
  if (params >= (std::size_t{1} << 29)) throw std::bad_alloc();
  StoredNode stored{static_cast<std::uint32_t>(kind) | static_cast<std::uint32_t>(params << 3), 0,
                    static_cast<std::uint32_t>(inputs.size()), 0};
  const std::size_t words = inputs.size() + 3 * params;
  const std::size_t run = words_.prepare_run(words, kTableLimit);
  std::uint32_t* w = words_.mutable_run(run);
  for (NodeId input : inputs) *w++ = static_cast<std::uint32_t>(input);
  bool pooled = false;
  if constexpr (PooledNode<Node>) pooled = &node.pool() == &texts_;
  for (std::size_t i = 0; i < params; ++i) {
    const ParamView p = node.param(i);
    TextId key;
    if constexpr (PooledNode<Node>) {
      key = pooled ? node.key_id(i) : texts_.intern(p.key, node.key_hash(i));
    } else {
      key = texts_.intern(p.key, node.key_hash(i));
    }
    *w++ = (key << 2) | static_cast<std::uint32_t>(p.tag);
    if (p.tag == ParamTag::Str) {
      if constexpr (PooledNode<Node>) {
        *w++ = pooled ? node.str_id(i) : texts_.intern(p.str, node.str_hash(i));
      } else {
        *w++ = texts_.intern(p.str, node.str_hash(i));
      }
      *w++ = 0;
    } else {
      *w++ = static_cast<std::uint32_t>(p.bits);
      *w++ = static_cast<std::uint32_t>(p.bits >> 32);
    }
  }
  stored.run = static_cast<std::uint32_t>(run);
  if (kind_has_name(kind)) {
    if constexpr (PooledNode<Node>) {
      stored.text = pooled ? node.name_id() : texts_.intern(node.name(), node.name_hash());
    } else {
      stored.text = texts_.intern(node.name(), node.name_hash());
    }
  } else if (kind == NodeKind::External) {
    if constexpr (PooledNode<Node>) {
      stored.text = pooled ? push_descriptor(node.descriptor_ids()) : add_descriptor(node.descriptor());
    } else {
      stored.text = add_descriptor(node.descriptor());
    }
  } else if (kind == NodeKind::Stage) {
    stored.text = add_stage(node, pooled);
  }
  nodes_.push_back(stored);
  words_.commit_run();
  return static_cast<std::uint32_t>(id);
}

template <class Node>
std::uint32_t NodeTable::add_stage(const Node& node, [[maybe_unused]] bool pooled) {
  const std::size_t members = node.member_count();
  std::size_t inputs = 0;
  for (std::size_t m = 0; m < members; ++m) inputs += node.member_inputs(m).size();
  if (members >= kTableLimit || inputs >= kTableLimit) throw std::bad_alloc();
  std::unique_ptr<StoredStage, StoredStage::Deleter> stage(StoredStage::make(members, inputs));
  const std::span<TextId> tokens = stage->tokens();
  const std::span<std::uint32_t> starts = stage->starts();
  MemberInput* out = stage->inputs().data();
  std::size_t filled = 0;
  for (std::size_t m = 0; m < members; ++m) {
    if constexpr (PooledNode<Node>) {
      tokens[m] = pooled ? node.member_token_id(m) : texts_.intern(node.member_token(m));
    } else if constexpr (requires { node.member_token_hash(m); }) {
      tokens[m] = texts_.intern(node.member_token(m), node.member_token_hash(m));
    } else {
      tokens[m] = texts_.intern(node.member_token(m));
    }
    const auto ins = node.member_inputs(m);
    std::copy(ins.begin(), ins.end(), out + filled);
    filled += ins.size();
    starts[m + 1] = static_cast<std::uint32_t>(filled);
  }
  const std::size_t index = stages_.size();
  if (index >= kTableLimit) throw std::bad_alloc();
  stages_.push_back(stage.get());
  stage.release();
  return static_cast<std::uint32_t>(index);
}

}  // namespace weftory::store

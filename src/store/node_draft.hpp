// A node being built for the interning insert, behind the read interface.
// Its texts are copied into one byte buffer and its parameters are plain
// entries, and a draft is reused from call to call, so building one costs no
// allocation once its buffers have grown. Each text's hash is computed once,
// in finish(), and serves both the node's hash and the store's text pool.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/node.hpp"
#include "store/node_view.hpp"

namespace weftory::store {

// Drafts a caller keeps for reuse should hold no more than this.
inline constexpr std::size_t kRetainedDraftBytes = std::size_t{1} << 16;

// The members of a stage being drafted: each member's token (a `Token`: a
// text's place or id) and its inputs, all members' inputs in one buffer.
template <class Token>
class MemberList {
 public:
  void clear() {
    tokens_.clear();
    starts_.assign(1, 0);
    inputs_.clear();
  }
  // Starts a member; its inputs follow through add_input.
  void add(Token token) {
    if (!tokens_.empty()) starts_.push_back(static_cast<std::uint32_t>(inputs_.size()));
    tokens_.push_back(token);
  }
  void add_input(MemberInput input) {
    if (inputs_.size() >= 0xFFFFFFFFu) throw std::bad_alloc();
    inputs_.push_back(input);
  }
  // Room for n more inputs. The buffer is shared by all of a stage's members
  // and reserved for each, so it grows geometrically: reserving exactly what
  // one more member needs would copy everything so far for every member,
  // quadratic in the stage's size.
  void reserve_inputs(std::size_t n) {
    const std::size_t needed = inputs_.size() + n;
    if (needed > inputs_.capacity()) inputs_.reserve(std::max(needed, 2 * inputs_.capacity()));
  }
  // Closes the last member; call once all are added.
  void finish() {
    if (!tokens_.empty()) starts_.push_back(static_cast<std::uint32_t>(inputs_.size()));
  }

  std::size_t size() const { return tokens_.size(); }
  Token token(std::size_t i) const { return tokens_[i]; }
  std::span<const MemberInput> inputs(std::size_t i) const {
    return std::span<const MemberInput>(inputs_).subspan(starts_[i], starts_[i + 1] - starts_[i]);
  }
  std::size_t capacity_bytes() const {
    return tokens_.capacity() * sizeof(Token) + starts_.capacity() * sizeof(std::uint32_t) +
           inputs_.capacity() * sizeof(MemberInput);
  }

 private:
  std::vector<Token> tokens_;
  std::vector<std::uint32_t> starts_ = {0};  // member m's inputs: [starts_[m], starts_[m + 1])
  std::vector<MemberInput> inputs_;
};

class NodeDraft {
 public:
  // Starts a new node of `kind`, dropping everything of the previous one.
  void reset(NodeKind kind) {
    kind_ = kind;
    bytes_.clear();
    name_ = {};
    params_.clear();
    inputs_.clear();
    has_descriptor_ = false;
    members_.clear();
    sorted_ = true;
    repeated_ = 0;
  }

  void set_name(std::string_view name) { name_ = add_text(name); }
  std::vector<NodeId>& inputs() { return inputs_; }
  void add_param(std::string_view key, ParamTag tag, std::uint64_t bits) {
    sorted_ = false;
    params_.push_back(Entry{add_text(key), tag, bits, {}, 0, 0});
  }
  void add_str_param(std::string_view key, std::string_view value) {
    const Span k = add_text(key);
    sorted_ = false;
    params_.push_back(Entry{k, ParamTag::Str, 0, add_text(value), 0, 0});
  }
  void set_descriptor(const PayloadDescriptor& d) {
    DescriptorView v{d.kind, d.content_hash, d.framework, d.version, d.io_schema, std::nullopt};
    if (d.preprocessing_ref) v.preprocessing_ref = *d.preprocessing_ref;
    set_descriptor(v);
  }
  void set_descriptor(const DescriptorView& d) {
    descriptor_texts_[0] = add_text(d.kind);
    descriptor_texts_[1] = add_text(d.content_hash);
    descriptor_texts_[2] = add_text(d.framework);
    descriptor_texts_[3] = add_text(d.version);
    descriptor_texts_[4] = add_text(d.io_schema);
    has_preprocessing_ref_ = d.preprocessing_ref.has_value();
    if (has_preprocessing_ref_) descriptor_texts_[5] = add_text(*d.preprocessing_ref);
    has_descriptor_ = true;
  }

  // Appends a stage member: its token now, its inputs through
  // add_member_input, before the next member starts.
  void add_member(std::string_view token) { members_.add(add_text(token)); }
  void add_member_input(MemberInput input) { members_.add_input(input); }
  // The position (in member order) the next member will have.
  std::size_t member_count_so_far() const { return members_.size(); }
  // Room for n more member inputs (see MemberList::reserve_inputs).
  void reserve_member_inputs(std::size_t n) { members_.reserve_inputs(n); }
  // Room for n parameters in all; made once per node, on an emptied buffer.
  void reserve_params(std::size_t n) { params_.reserve(n); }

  // Sorts the parameters by key bytes (stable). Returns the position of the
  // first key that equals the one before it, or param_count() when the keys
  // are unique.
  std::size_t sort_params() {
    if (sorted_) return repeated_;
    sorted_ = true;
    if (params_.size() > kInsertionSortMax) {
      // A large map (a dict of thousands of keys in any order) in n log n.
      std::stable_sort(params_.begin(), params_.end(),
                       [this](const Entry& a, const Entry& b) { return view(a.key) < view(b.key); });
    } else {
      // Most maps are short: a stable insertion sort without a buffer.
      for (std::size_t i = 1; i < params_.size(); ++i) {
        if (!(key(i) < key(i - 1))) continue;
        const Entry moving = params_[i];
        const std::string_view moving_key = view(moving.key);
        std::size_t j = i;
        do {
          params_[j] = params_[j - 1];
          --j;
        } while (j > 0 && moving_key < key(j - 1));
        params_[j] = moving;
      }
    }
    repeated_ = params_.size();
    for (std::size_t i = 1; i < params_.size(); ++i) {
      if (key(i) == key(i - 1)) {
        repeated_ = i;
        break;
      }
    }
    return repeated_;
  }

  // Ends the node: sorts the parameters and hashes the texts; call after
  // everything is added. Returns what sort_params returns.
  std::size_t finish() {
    const std::size_t repeated = sort_params();
    members_.finish();
    name_hash_ = text_hash(name());
    for (Entry& e : params_) {
      e.key_hash = text_hash(view(e.key));
      if (e.tag == ParamTag::Str) e.str_hash = text_hash(view(e.str));
    }
    return repeated;
  }

  // Bytes the draft keeps allocated between nodes.
  std::size_t retained_bytes() const {
    return bytes_.capacity() + params_.capacity() * sizeof(Entry) + inputs_.capacity() * sizeof(NodeId) +
           members_.capacity_bytes();
  }

  // The read interface (valid after finish()).
  NodeKind kind() const { return kind_; }
  std::string_view name() const { return view(name_); }
  std::size_t param_count() const { return params_.size(); }
  ParamView param(std::size_t i) const {
    const Entry& e = params_[i];
    return ParamView{view(e.key), e.tag, e.bits, e.tag == ParamTag::Str ? view(e.str) : std::string_view()};
  }
  std::span<const NodeId> inputs() const { return inputs_; }
  bool has_descriptor() const { return has_descriptor_; }
  DescriptorView descriptor() const {
    DescriptorView d{view(descriptor_texts_[0]), view(descriptor_texts_[1]), view(descriptor_texts_[2]),
                     view(descriptor_texts_[3]), view(descriptor_texts_[4]), std::nullopt};
    if (has_preprocessing_ref_) d.preprocessing_ref = view(descriptor_texts_[5]);
    return d;
  }
  std::size_t member_count() const { return members_.size(); }
  std::string_view member_token(std::size_t i) const { return view(members_.token(i)); }
  std::span<const MemberInput> member_inputs(std::size_t i) const { return members_.inputs(i); }
  std::uint64_t name_hash() const { return name_hash_; }
  std::uint64_t key_hash(std::size_t i) const { return params_[i].key_hash; }
  std::uint64_t str_hash(std::size_t i) const { return params_[i].str_hash; }

 private:
  static constexpr std::size_t kInsertionSortMax = 16;

  // A text as a place in bytes_, which may move while the draft is filled.
  struct Span {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
  };
  struct Entry {
    Span key;
    ParamTag tag;
    std::uint64_t bits;
    Span str;
    std::uint64_t key_hash;
    std::uint64_t str_hash;
  };

  Span add_text(std::string_view text) {
    if (text.size() > 0xFFFFFFFFu || bytes_.size() + text.size() > 0xFFFFFFFFu) throw std::bad_alloc();
    const Span s{static_cast<std::uint32_t>(bytes_.size()), static_cast<std::uint32_t>(text.size())};
    bytes_.append(text);
    return s;
  }
  std::string_view view(Span s) const { return std::string_view(bytes_.data() + s.offset, s.size); }
  std::string_view key(std::size_t i) const { return view(params_[i].key); }

  NodeKind kind_ = NodeKind::Source;
  std::string bytes_;
  Span name_;
  std::uint64_t name_hash_ = 0;
  std::vector<Entry> params_;
  std::vector<NodeId> inputs_;
  Span descriptor_texts_[6];
  bool has_descriptor_ = false;
  bool has_preprocessing_ref_ = false;
  bool sorted_ = true;
  std::size_t repeated_ = 0;
  MemberList<Span> members_;
};

}  // namespace weftory::store

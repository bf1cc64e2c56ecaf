// The nodes of a pass result on their way into a new store: boundary nodes as
// records, stages laid out flat (their inputs, member tokens and member
// inputs in shared arrays). A reduction emits a stage for every few nodes;
// as records each cost a vector per member and two more, all allocated and
// freed again once the store has them, which was a fifth of a reduction.
// Element k reads as a NodeRecord (made on demand) or, without copying,
// through the same read interface as a record (visit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/node.hpp"
#include "store/node_view.hpp"

namespace weftory::store {

class ReducedNodes;

// A stage of a ReducedNodes seen through the read interface of a node.
class StageRef {
 public:
  NodeKind kind() const { return NodeKind::Stage; }
  std::string_view name() const { return {}; }
  std::size_t param_count() const { return 0; }
  ParamView param(std::size_t) const { return {}; }
  std::span<const NodeId> inputs() const;
  bool has_descriptor() const { return false; }
  DescriptorView descriptor() const { return {}; }
  std::size_t member_count() const;
  std::string_view member_token(std::size_t m) const;
  // text_hash of the token, computed once per distinct token.
  std::uint64_t member_token_hash(std::size_t m) const;
  std::span<const MemberInput> member_inputs(std::size_t m) const;
  std::uint64_t name_hash() const { return text_hash({}); }
  std::uint64_t key_hash(std::size_t) const { return 0; }
  std::uint64_t str_hash(std::size_t) const { return 0; }

 private:
  friend class ReducedNodes;
  StageRef(const ReducedNodes& nodes, std::size_t stage) : nodes_(&nodes), stage_(stage) {}
  const ReducedNodes* nodes_;
  std::size_t stage_;
};

class ReducedNodes {
 public:
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // Appends a node given as a record (any kind).
  void push_record(NodeRecord record);

  // Stores a member token and returns its number for add_member; the caller
  // numbers each distinct text once.
  std::uint32_t add_token(std::string_view text);
  // Builds a stage: its members in order, then its inputs.
  void add_member(std::uint32_t token, std::span<const MemberInput> inputs);
  void end_stage(std::span<const NodeId> inputs);

  // The inputs of node k (reduced positions).
  std::span<const NodeId> inputs(std::size_t k) const;
  // Calls visit(RecordRef) or visit(StageRef) for node k.
  template <class F>
  decltype(auto) visit(std::size_t k, F&& visit) const {
    const Entry& e = entries_[k];
    if (e.stage) return visit(StageRef(*this, e.index));
    return visit(RecordRef(records_[e.index]));
  }

  // Node k as a record.
  NodeRecord record(std::size_t k) const;
  NodeRecord operator[](std::size_t k) const { return record(k); }
  std::vector<NodeRecord> to_records() const;

  // Iterates the nodes as records (made one by one).
  class const_iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = NodeRecord;
    using difference_type = std::ptrdiff_t;
    using reference = NodeRecord;
    using pointer = void;
    const_iterator(const ReducedNodes* nodes, std::size_t k) : nodes_(nodes), k_(k) {}
    NodeRecord operator*() const { return nodes_->record(k_); }
    const_iterator& operator++() {
      ++k_;
      return *this;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.k_ == b.k_; }

   private:
    const ReducedNodes* nodes_;
    std::size_t k_;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }

  friend bool operator==(const ReducedNodes& a, const ReducedNodes& b);

 private:
  friend class StageRef;
  struct Entry {
    bool stage;
    std::size_t index;  // into records_ or stages_
  };
  struct Stage {
    std::size_t first_input, input_end;    // in stage_inputs_
    std::size_t first_member, member_end;  // in member_tokens_ / member_starts_
  };

  std::vector<Entry> entries_;
  std::vector<NodeRecord> records_;
  std::vector<Stage> stages_;
  std::vector<NodeId> stage_inputs_;
  std::vector<std::uint32_t> member_tokens_;
  // Member m's inputs are member_inputs_[member_starts_[m], member_starts_[m + 1]).
  std::vector<std::size_t> member_starts_{0};
  std::vector<MemberInput> member_inputs_;
  std::vector<std::string> tokens_;
  std::vector<std::uint64_t> token_hashes_;
};

inline std::span<const NodeId> StageRef::inputs() const {
  const auto& s = nodes_->stages_[stage_];
  return std::span<const NodeId>(nodes_->stage_inputs_).subspan(s.first_input, s.input_end - s.first_input);
}
inline std::size_t StageRef::member_count() const {
  const auto& s = nodes_->stages_[stage_];
  return s.member_end - s.first_member;
}
inline std::string_view StageRef::member_token(std::size_t m) const {
  return nodes_->tokens_[nodes_->member_tokens_[nodes_->stages_[stage_].first_member + m]];
}
inline std::uint64_t StageRef::member_token_hash(std::size_t m) const {
  return nodes_->token_hashes_[nodes_->member_tokens_[nodes_->stages_[stage_].first_member + m]];
}
inline std::span<const MemberInput> StageRef::member_inputs(std::size_t m) const {
  const std::size_t at = nodes_->stages_[stage_].first_member + m;
  const std::size_t from = nodes_->member_starts_[at];
  return std::span<const MemberInput>(nodes_->member_inputs_).subspan(from, nodes_->member_starts_[at + 1] - from);
}

}  // namespace weftory::store

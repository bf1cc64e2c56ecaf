#include "store/reduced_nodes.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

namespace weftory::store {

void ReducedNodes::push_record(NodeRecord record) {
  records_.push_back(std::move(record));
  entries_.push_back({false, records_.size() - 1});
}

std::uint32_t ReducedNodes::add_token(std::string_view text) {
  if (tokens_.size() >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  token_hashes_.push_back(text_hash(text));
  try {
    tokens_.emplace_back(text);
  } catch (...) {
    token_hashes_.pop_back();
    throw;
  }
  return static_cast<std::uint32_t>(tokens_.size() - 1);
}

void ReducedNodes::add_member(std::uint32_t token, std::span<const MemberInput> inputs) {
  member_tokens_.push_back(token);
  member_inputs_.insert(member_inputs_.end(), inputs.begin(), inputs.end());
  member_starts_.push_back(member_inputs_.size());
}

void ReducedNodes::end_stage(std::span<const NodeId> inputs) {
  Stage stage;
  stage.first_input = stage_inputs_.size();
  stage_inputs_.insert(stage_inputs_.end(), inputs.begin(), inputs.end());
  stage.input_end = stage_inputs_.size();
  // The members added since the previous stage ended.
  stage.first_member = stages_.empty() ? 0 : stages_.back().member_end;
  stage.member_end = member_tokens_.size();
  stages_.push_back(stage);
  entries_.push_back({true, stages_.size() - 1});
}

std::span<const NodeId> ReducedNodes::inputs(std::size_t k) const {
  const Entry& e = entries_[k];
  if (e.stage) return StageRef(*this, e.index).inputs();
  return records_[e.index].inputs;
}

NodeRecord ReducedNodes::record(std::size_t k) const {
  const Entry& e = entries_[k];
  if (!e.stage) return records_[e.index];
  return to_record(StageRef(*this, e.index));
}

std::vector<NodeRecord> ReducedNodes::to_records() const {
  std::vector<NodeRecord> out;
  out.reserve(size());
  for (std::size_t k = 0; k < size(); ++k) out.push_back(record(k));
  return out;
}

bool operator==(const ReducedNodes& a, const ReducedNodes& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k)
    if (!(a.record(k) == b.record(k))) return false;
  return true;
}

}  // namespace weftory::store

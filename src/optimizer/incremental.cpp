#include "optimizer/incremental.hpp"

#include <algorithm>
#include <new>
#include <random>
#include <string>
#include <utility>

#include "store/node_view.hpp"
#include "support/fatal.hpp"
#include "support/hash.hpp"

namespace weftory::optimizer {

using support::Result;
using support::fatal;
using support::random_seed;
using store::BadNodeId;
using store::NodeId;
using store::NodeIdEqual;
using store::NodeIdHash;
using store::NodeMapEntry;
using store::NodeProbe;
using store::NodeRecord;
using store::NodeRef;
using store::NodeTable;
using store::NodesView;
using store::RecordRef;
using store::Store;
using store::WithInputs;
using store::build_reduced_store;
using store::hash_node;

namespace {

RecordRef as_node(const NodeRecord& record) { return RecordRef(record); }
const NodeRef& as_node(const NodeRef& node) { return node; }

// Makes room for `extra` more entries, growing geometrically so that many
// small batches cost amortised constant time per entry.
template <class T>
void reserve_more(std::vector<T>& v, std::size_t extra) {
  const std::size_t needed = v.size() + extra;
  if (needed > v.capacity()) v.reserve(std::max(needed, 2 * v.capacity()));
}

// The nodes a store holds from `watermark` on. The store's own fatal error
// (its poisoned mutex) ends the call under the reducer's mutex like any
// other, and so poisons the reducer too.
NodesView read_delta(const Store& store, std::uint64_t watermark) { return store.nodes_since(watermark); }

}  // namespace

// ---------------------------------------------------------------- IncrementalState

IncrementalState::IncrementalState()
    : seed_(random_seed()),
      table_(std::make_shared<NodeTable>()),
      hashcons_(0, NodeIdHash{&hashes_}, NodeIdEqual{&table_, &hashes_}) {}

Result<void, BadNodeId> IncrementalState::consume(const NodesView& batch) { return consume_batch(batch); }

Result<void, BadNodeId> IncrementalState::consume(std::span<const NodeRecord> batch) { return consume_batch(batch); }

template <class Node>
std::optional<std::uint32_t> IncrementalState::find(const Node& candidate, std::uint64_t hash) const {
  auto hit = hashcons_.find(NodeProbe<Node>{candidate, hash});
  if (hit == hashcons_.end()) return std::nullopt;
  return *hit;
}

template <class Node>
std::uint32_t IncrementalState::intern(const Node& candidate, std::uint64_t hash) {
  const std::uint32_t index = table_->append(candidate);
  // An allocation failure from here on takes the node back.
  try {
    hashes_.push_back(hash);
    hashcons_.insert(index);
  } catch (...) {
    hashes_.truncate(index);
    table_->pop_back();
    throw;
  }
  return index;
}

template <class Batch>
Result<void, BadNodeId> IncrementalState::consume_batch(const Batch& batch) {
  // Reserved up front, so a record is consumed by one push that cannot fail.
  reserve_more(forward_, batch.size());
  for (const auto& item : batch) {
    const auto& node = as_node(item);
    // 1. Inputs into canonical indices; a node not yet consumed ends the batch.
    const std::size_t consumed = forward_.size();
    inputs_.clear();
    for (NodeId input : node.inputs()) {
      if (input >= consumed) return BadNodeId{input};
      inputs_.push_back(forward_[input]);
    }
    const WithInputs candidate(node, std::span<const NodeId>(inputs_));

    std::uint32_t target;
    if (!inputs_.empty() && is_identity_op(candidate)) {
      // 2. A scalar identity is represented by its first input.
      target = static_cast<std::uint32_t>(inputs_[0]);
    } else {
      // 3, 4. The candidate as it is, then (two-input commutative Op) with
      // its inputs swapped; otherwise it is new and appended. A new
      // commutative node keeps the input order it arrived with.
      const std::uint64_t hash = hash_node(candidate, seed_);
      std::optional<std::uint32_t> hit = find(candidate, hash);
      if (!hit && is_commutative_op(candidate)) {
        std::swap(inputs_[0], inputs_[1]);
        hit = find(candidate, hash_node(candidate, seed_));
        std::swap(inputs_[0], inputs_[1]);
      }
      target = hit ? *hit : intern(candidate, hash);
    }
    // 5.
    forward_.push_back(target);
  }
  total_work_ += batch.size();
  return {};
}

Result<ReductionResult, BadNodeId> IncrementalState::reduce_canonical(std::span<const NodeId> outputs,
                                                                      const RewriteEngine& engine,
                                                                      bool maximal_fusion) const {
  std::vector<NodeId> translated;
  translated.reserve(outputs.size());
  for (NodeId output : outputs) {
    if (output >= forward_.size()) return BadNodeId{output};
    translated.push_back(forward_[output]);
  }
  ReductionResult result = reduce_graph(canonical_form(), translated, engine, maximal_fusion);
  // Composed map: store node -> canonical node -> where that landed.
  std::vector<NodeMapEntry> composed;
  composed.reserve(forward_.size());
  for (std::uint32_t canonical : forward_) {
    if (canonical >= result.node_map.size()) {
      fatal("index out of bounds: the len is " + std::to_string(result.node_map.size()) + " but the index is " +
            std::to_string(canonical));
    }
    composed.push_back(result.node_map[canonical]);
  }
  result.node_map = std::move(composed);
  return result;
}

Result<void, std::string> IncrementalState::restore(const NodesView& canonical,
                                                    std::span<const std::uint32_t> forward,
                                                    std::uint64_t total_work) {
  if (watermark() != 0 || canonical_count() != 0) return std::string("the reducer has consumed nodes already");
  for (std::size_t i = 0; i < forward.size(); ++i) {
    if (forward[i] >= canonical.size()) {
      return "forward entry " + std::to_string(i) + " refers to canonical node " + std::to_string(forward[i]) +
             " of " + std::to_string(canonical.size());
    }
  }
  if (total_work > forward.size()) {
    return "total work " + std::to_string(total_work) + " exceeds the " + std::to_string(forward.size()) +
           " consumed nodes";
  }
  try {
    for (const NodeRef& node : canonical) {
      const std::uint64_t hash = hash_node(node, seed_);
      if (find(node, hash)) fatal("a store holds two equal nodes");
      intern(node, hash);
    }
    forward_.assign(forward.begin(), forward.end());
  } catch (const std::bad_alloc&) {
    // The state was fresh: an allocation failure leaves it fresh again.
    hashcons_.clear();
    while (table_->size() != 0) table_->pop_back();
    hashes_.truncate(0);
    forward_.clear();
    throw;
  }
  total_work_ = total_work;
  return {};
}

// ---------------------------------------------------------------- IncrementalReducer

Result<std::uint64_t, BadNodeId> IncrementalReducer::step(const Store& store) {
  return locked([&]() -> Result<std::uint64_t, BadNodeId> {
    const NodesView batch = read_delta(store, state_.watermark());
    if (auto consumed = state_.consume(batch); !consumed) return consumed.error();
    return std::uint64_t{batch.size()};
  });
}

Result<StoreReduction, BadNodeId> IncrementalReducer::finalize(const Store& store,
                                                               std::optional<std::span<const NodeId>> outputs,
                                                               bool maximal_fusion) {
  // The outputs come from the store before the reducer's mutex is taken: a
  // store's mutex is only ever taken inside the reducer's, never around it.
  std::vector<NodeId> marks;
  std::span<const NodeId> wanted;
  if (outputs) {
    const std::uint64_t count = store.node_count();
    for (NodeId id : *outputs) {
      if (id >= count) return BadNodeId{id};
    }
    wanted = *outputs;
  } else {
    marks = store.outputs_copy();
    wanted = marks;
  }
  return locked([&]() -> Result<StoreReduction, BadNodeId> {
    const NodesView batch = read_delta(store, state_.watermark());
    if (auto consumed = state_.consume(batch); !consumed) return consumed.error();
    const SaturationEngine engine;
    Result<ReductionResult, BadNodeId> reduced = state_.reduce_canonical(wanted, engine, maximal_fusion);
    if (!reduced.ok()) return reduced.error();
    ReductionResult& result = reduced.value();
    return StoreReduction{build_reduced_store(result.nodes, result.outputs, std::move(result.node_map)),
                          result.report};
  });
}

std::uint64_t IncrementalReducer::watermark() const {
  return locked([&] { return state_.watermark(); });
}

std::uint64_t IncrementalReducer::total_work() const {
  return locked([&] { return state_.total_work(); });
}

std::uint64_t IncrementalReducer::canonical_count() const {
  return locked([&] { return state_.canonical_count(); });
}

bool IncrementalReducer::poisoned() const { return poison_.poisoned(); }

}  // namespace weftory::optimizer

// The incremental canonicaliser: a canonical form of a graph kept while the
// graph is being built. It is fed a store's nodes in id order, a batch at a
// time, and looks at each node once: inputs translated into the canonical
// form, scalar identities forwarded to their first input, commuted and
// structural duplicates folded onto the node already there, everything else
// appended. At the end the canonical form goes through the reduction
// pipeline, and the pipeline's node map is composed with the forwarding map
// so that the result speaks in the fed store's ids.
//
// The canonical form is a NodeTable of its own with a hash-cons index over
// it, like a store's interning index: consuming a node allocates nothing of
// its own, and the pipeline reads the form through a view, without a copy.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "optimizer/engine.hpp"
#include "optimizer/reduce_graph.hpp"
#include "optimizer/rules.hpp"
#include "store/node.hpp"
#include "store/node_index.hpp"
#include "store/node_table.hpp"
#include "store/store.hpp"
#include "support/poison.hpp"
#include "support/result.hpp"
#include "support/stable_vector.hpp"

namespace weftory::optimizer {

// Whether an Op is one of the scalar identities. Decided from the node's
// fields, without building its key: the key escapes every separator, so it
// equals an identity's key exactly when the name, the Float scalar's bits and
// the Str side are the identity's and there is no other parameter.
template <class Node>
bool is_identity_op(const Node& node) {
  if (node.kind() != store::NodeKind::Op || node.param_count() != 2) return false;
  const store::ParamView scalar = node.param(0);
  const store::ParamView side = node.param(1);
  if (scalar.key != "scalar" || scalar.tag != store::ParamTag::Float || side.key != "side" ||
      side.tag != store::ParamTag::Str)
    return false;
  const std::string_view name = node.name();
  for (const rules::ScalarIdentity& identity : rules::kScalarIdentities) {
    if (name == identity.name && scalar.bits == identity.scalar_bits() && side.str == identity.side) return true;
  }
  return false;
}

template <class Node>
bool is_commutative_op(const Node& node) {
  if (node.kind() != store::NodeKind::Op || node.param_count() != 0 || node.inputs().size() != 2) return false;
  const std::string_view name = node.name();
  for (std::string_view commutative : rules::kCommutativeNames) {
    if (name == commutative) return true;
  }
  return false;
}

class IncrementalState {
 public:
  IncrementalState();
  IncrementalState(const IncrementalState&) = delete;
  IncrementalState& operator=(const IncrementalState&) = delete;

  // Consumes the store nodes with ids watermark(), watermark() + 1, ... in
  // order; their inputs are store ids. An input not below the watermark (a
  // node not yet consumed) ends the call with that id: the records before it
  // stay consumed, and total_work() counts no record of the failed batch.
  support::Result<void, store::BadNodeId> consume(const store::NodesView& batch);
  support::Result<void, store::BadNodeId> consume(std::span<const store::NodeRecord> batch);

  // Reduces the canonical form to what `outputs` (store ids) need and
  // composes the node map back to store ids: one entry per consumed node.
  // An output not below the watermark is answered as BadNodeId before any
  // work. The state is not changed.
  support::Result<ReductionResult, store::BadNodeId> reduce_canonical(std::span<const store::NodeId> outputs,
                                                                      const RewriteEngine& engine,
                                                                      bool maximal_fusion) const;

  std::uint64_t watermark() const { return forward_.size(); }
  std::uint64_t total_work() const { return total_work_; }
  std::uint64_t canonical_count() const { return table_->size(); }

  // The canonical form; valid while the state lives, and not changed by
  // later batches below the size it had when taken.
  store::NodesView canonical_form() const { return store::NodesView(table_, 0, table_->size()); }
  // The canonical index store node `id` (below the watermark) is represented by.
  std::uint64_t forward(std::uint64_t id) const { return forward_[id]; }
  std::span<const std::uint32_t> forward_map() const { return forward_; }

  // Fills a fresh state with a canonical form and a forwarding map taken
  // from another state (pickling). The form is a store's arena, so its
  // inputs are earlier and no two of its nodes are equal; every forward
  // entry must be below its size and total_work at most the length of
  // forward, and the state fresh. Anything else is refused with a message
  // before the state is touched; an allocation failure leaves it fresh.
  support::Result<void, std::string> restore(const store::NodesView& canonical, std::span<const std::uint32_t> forward,
                                             std::uint64_t total_work);

 private:
  template <class Batch>
  support::Result<void, store::BadNodeId> consume_batch(const Batch& batch);
  template <class Node>
  std::uint32_t intern(const Node& candidate, std::uint64_t hash);
  template <class Node>
  std::optional<std::uint32_t> find(const Node& candidate, std::uint64_t hash) const;

  std::uint64_t seed_;
  std::shared_ptr<store::NodeTable> table_;
  support::StableVector<std::uint64_t> hashes_;
  std::vector<std::uint32_t> forward_;
  // The hash-cons index: canonical indices, hashed and compared through the table.
  store::NodeIndex hashcons_;
  std::uint64_t total_work_ = 0;
  // The candidate's translated inputs, reused from node to node.
  std::vector<store::NodeId> inputs_;
};

inline constexpr const char* kReducerPoisonedMessage = "incremental reducer poisoned";

// An IncrementalState behind its own mutex: what a Python IncrementalReducer
// owns. Every operation takes the mutex; a fatal internal error while it is
// held poisons it for good. The lock order is this mutex, then a store's
// (inside nodes_since); no store mutex is held when this one is taken.
class IncrementalReducer {
 public:
  // Consumes what `store` holds beyond the watermark; the number of nodes
  // consumed, or the id a record referred to that was not yet consumed.
  support::Result<std::uint64_t, store::BadNodeId> step(const store::Store& store);

  // Resolves the outputs against `store` first (its marks when absent, else
  // every given id checked against its node count), then under the mutex
  // consumes the remaining delta and reduces the canonical form into a new
  // store whose node map is indexed by the fed store's ids.
  support::Result<StoreReduction, store::BadNodeId> finalize(const store::Store& store,
                                                             std::optional<std::span<const store::NodeId>> outputs,
                                                             bool maximal_fusion);

  std::uint64_t watermark() const;
  std::uint64_t total_work() const;
  std::uint64_t canonical_count() const;
  bool poisoned() const;

  // Runs f(state) under the mutex (pickling reads the state this way; tests
  // poison the mutex through it). An exception escaping f poisons the mutex,
  // except an allocation failure.
  template <class F>
  decltype(auto) with_state(F&& f) {
    return locked([&]() -> decltype(auto) { return f(state_); });
  }

 private:
  template <class F>
  decltype(auto) locked(F&& f) const {
    return poison_.locked(mutex_, std::forward<F>(f));
  }

  mutable std::mutex mutex_;
  support::PoisonFlag poison_{kReducerPoisonedMessage, false};
  IncrementalState state_;
};

}  // namespace weftory::optimizer

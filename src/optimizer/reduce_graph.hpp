// The reduction pipeline: dead-code elimination, the rewrite engine,
// common-subexpression elimination, stage fusion, the node map and the
// report, and the entry that reduces a store into a new one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "optimizer/engine.hpp"
#include "optimizer/report.hpp"
#include "store/node.hpp"
#include "store/store.hpp"
#include "support/result.hpp"

namespace weftory::optimizer {

struct ReductionResult {
  // Stage and boundary nodes (never an Op), inputs referring to earlier
  // positions.
  store::ReducedNodes nodes;
  // One reduced position per requested output, order and repetitions kept.
  std::vector<store::NodeId> outputs;
  // One entry per input node: dropped, or where it landed.
  std::vector<store::NodeMapEntry> node_map;
  ReductionReport report;
};

// Where the time of one reduction went, in seconds. Filled only by the
// overloads that take it; the others read no clock.
struct ReductionTimings {
  double snapshot = 0;
  double dead_code = 0;
  double terms = 0;  // identity keys, prototype table and engine terms
  double engine = 0;
  double cse = 0;
  double fusion = 0;  // fusion, emission and the node map
  double store_build = 0;
};

// Reduces `nodes` (every input an earlier position) to what `outputs` (all
// below nodes.size()) need. A violated precondition is a fatal internal error.
ReductionResult reduce_graph(std::span<const store::NodeRecord> nodes, std::span<const store::NodeId> outputs,
                             const RewriteEngine& engine, bool maximal_fusion);
ReductionResult reduce_graph(std::span<const store::NodeRecord> nodes, std::span<const store::NodeId> outputs,
                             const RewriteEngine& engine, bool maximal_fusion, ReductionTimings& timings);

// The same on a view of a table's nodes (a store's, or the incremental
// canonical form), read in place.
ReductionResult reduce_graph(const store::NodesView& nodes, std::span<const store::NodeId> outputs,
                             const RewriteEngine& engine, bool maximal_fusion);

struct StoreReduction {
  std::unique_ptr<store::Store> store;
  ReductionReport report;
};

// Reduces what `source` holds at one instant into a fresh store with the
// reduced outputs marked and the node map installed. Without `outputs` the
// store's marks are the outputs; given ones are checked in order against the
// node count, the first not below it answered as BadNodeId before any work.
// The source's mutex is held only while its nodes are copied.
support::Result<StoreReduction, store::BadNodeId> reduce_store(const store::Store& source,
                                                               std::optional<std::span<const store::NodeId>> outputs,
                                                               bool maximal_fusion);
support::Result<StoreReduction, store::BadNodeId> reduce_store(const store::Store& source,
                                                               std::optional<std::span<const store::NodeId>> outputs,
                                                               bool maximal_fusion, ReductionTimings& timings);

}  // namespace weftory::optimizer

// Stage fusion: partitions a canonical term graph into groups, one Stage per
// group of Op terms and every other term (a boundary) alone, and emits one
// reduced node per group.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "optimizer/engine.hpp"
#include "store/node.hpp"
#include "store/reduced_nodes.hpp"
#include "store/store.hpp"

namespace weftory::optimizer {

// For each op of the batch, the first live node that has it (null when there
// is none, and for Op nodes, which are never re-created): the template a
// boundary term is re-created from. Records belong to the caller.
using PrototypeTable = std::vector<const store::NodeRecord*>;

struct FusionResult {
  // Stage and boundary nodes in emission order; inputs are earlier positions.
  store::ReducedNodes nodes;
  // One entry per canonical output, in order.
  std::vector<store::NodeId> outputs;
  // One entry per canonical term: the reduced node it became, and its member
  // position when that node is a Stage built here.
  std::vector<store::Landing> landing;
  std::uint64_t stages = 0;
  std::uint64_t boundary_nodes = 0;
};

// `canonical` lists terms children first (every child index below its
// user's); a term is fusable exactly when it is not opaque. Groups:
//  - single-use rule (maximal_fusion false): an Op term joins its consumer
//    when that is its one use, it is no output and the consumer is an Op;
//  - maximal rule: an Op term that is no output joins the group all its
//    consumers share, when they are all Op terms in one group.
// Groups are emitted in ascending order of their largest member; a Stage
// lists its members ascending and its inputs in order of first reference.
// An output index out of range or a boundary term without a prototype is a
// fatal internal error.
FusionResult fuse_and_emit(const OpTable& ops, std::span<const EngineTerm> canonical, std::span<const std::uint64_t> canonical_outputs,
                           const PrototypeTable& prototypes, bool maximal_fusion);

}  // namespace weftory::optimizer

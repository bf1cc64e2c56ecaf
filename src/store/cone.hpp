// The cone of a set of outputs: dead-code elimination alone, and the store
// built from it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "store/node.hpp"
#include "store/store.hpp"
#include "support/result.hpp"

namespace weftory::store {

// The remap entry of a node that is not in the cone.
inline constexpr NodeId kDroppedNode = ~NodeId{0};

struct DeadCodeResult {
  // The kept nodes in increasing source-id order, inputs renumbered to
  // positions in this vector; everything else (names, parameters,
  // descriptors, stage members) as in the source.
  std::vector<NodeRecord> nodes;
  // One entry per source node: its position in `nodes`, or kDroppedNode.
  std::vector<NodeId> remap;
  // The requested outputs mapped through `remap`, order and repetitions kept.
  std::vector<NodeId> outputs;
};

// Keeps every node the requested outputs depend on and nothing else. `nodes`
// is a store's arena (every input below its node's id); every requested id
// must be below nodes.size(). Linear in nodes plus edges, with an explicit
// stack, so arbitrarily deep chains are fine. An id outside the arena is a
// fatal internal error: callers check the outputs first.
DeadCodeResult eliminate_dead_code(std::span<const NodeRecord> nodes, std::span<const NodeId> outputs);
// The same, moving the kept records out of `nodes` instead of copying them.
DeadCodeResult eliminate_dead_code(std::vector<NodeRecord>&& nodes, std::span<const NodeId> outputs);

// Which nodes of a view the outputs depend on, without copying any.
struct LiveNodes {
  std::vector<NodeId> kept;     // ascending source ids
  std::vector<NodeId> remap;    // per source node: position in `kept`, or kDroppedNode
  std::vector<NodeId> outputs;  // the requested outputs through `remap`
};
LiveNodes find_live_nodes(const NodesView& nodes, std::span<const NodeId> outputs);
LiveNodes find_live_nodes(std::span<const NodeRecord> nodes, std::span<const NodeId> outputs);

// The node map of a pass that only drops nodes: entry i is (remap[i], no
// member) for a kept node and dropped otherwise.
std::vector<NodeMapEntry> node_map_from_remap(std::span<const NodeId> remap);

// The cone of `outputs` in `source` as a fresh store: the kept nodes under
// dense ids in source order, the outputs marked in request order once each,
// and a node map with one entry per source node. The source's mutex is held
// only while its nodes are copied. The first requested id not below the node
// count is returned as BadNodeId and nothing is built.
support::Result<std::unique_ptr<Store>, BadNodeId> cone(const Store& source, std::span<const NodeId> outputs);

}  // namespace weftory::store

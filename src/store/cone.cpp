// Dead-code elimination and the cone store.
#include "store/cone.hpp"

#include <string>
#include <type_traits>
#include <utility>

#include "support/fatal.hpp"

namespace weftory::store {

using support::Result;
using support::fatal;

namespace {

std::span<const NodeId> node_inputs(const NodeRecord& record) { return record.inputs; }
InputsView node_inputs(const NodeRef& node) { return node.inputs(); }

// Marks the backward closure of `outputs`: each node is expanded once, its
// inputs pushed on an explicit stack.
template <class Nodes>
std::vector<std::uint8_t> mark_live(const Nodes& nodes, std::span<const NodeId> outputs) {
  const std::size_t n = nodes.size();
  std::vector<std::uint8_t> keep(n, 0);
  std::vector<NodeId> stack;
  stack.reserve(outputs.size());
  for (NodeId id : outputs) {
    if (id >= n) fatal("index out of bounds: requested output " + std::to_string(id) + " of " + std::to_string(n));
    stack.push_back(id);
  }
  while (!stack.empty()) {
    const NodeId id = stack.back();
    stack.pop_back();
    if (keep[id]) continue;
    keep[id] = 1;
    for (NodeId input : node_inputs(nodes[id])) {
      if (input >= id) {
        fatal("index out of bounds: node " + std::to_string(id) + " has input " + std::to_string(input));
      }
      if (!keep[input]) stack.push_back(input);
    }
  }
  return keep;
}

template <class Nodes>
DeadCodeResult eliminate(Nodes&& nodes, std::span<const NodeId> outputs) {
  constexpr bool kMove = std::is_rvalue_reference_v<Nodes&&> && !std::is_const_v<std::remove_reference_t<Nodes>>;
  const std::vector<std::uint8_t> keep = mark_live(std::span<const NodeRecord>(nodes), outputs);

  DeadCodeResult result;
  const std::size_t n = keep.size();
  result.remap.assign(n, kDroppedNode);
  std::size_t kept = 0;
  for (std::uint8_t k : keep) kept += k;
  result.nodes.reserve(kept);
  for (std::size_t i = 0; i < n; ++i) {
    if (!keep[i]) continue;
    result.remap[i] = result.nodes.size();
    if constexpr (kMove) {
      result.nodes.push_back(std::move(nodes[i]));
    } else {
      result.nodes.push_back(nodes[i]);
    }
    // Inputs are below i and kept (the closure), so their entries are set.
    for (NodeId& input : result.nodes.back().inputs) input = result.remap[input];
  }
  result.outputs.reserve(outputs.size());
  for (NodeId id : outputs) result.outputs.push_back(result.remap[id]);
  return result;
}

}  // namespace

DeadCodeResult eliminate_dead_code(std::span<const NodeRecord> nodes, std::span<const NodeId> outputs) {
  return eliminate(nodes, outputs);
}

DeadCodeResult eliminate_dead_code(std::vector<NodeRecord>&& nodes, std::span<const NodeId> outputs) {
  return eliminate(std::move(nodes), outputs);
}

std::vector<NodeMapEntry> node_map_from_remap(std::span<const NodeId> remap) {
  std::vector<NodeMapEntry> map;
  map.reserve(remap.size());
  for (NodeId to : remap) {
    if (to == kDroppedNode) {
      map.emplace_back(std::nullopt);
    } else {
      map.emplace_back(Landing{to, std::nullopt});
    }
  }
  return map;
}

namespace {

template <class Nodes>
LiveNodes live_nodes(const Nodes& nodes, std::span<const NodeId> outputs) {
  const std::vector<std::uint8_t> keep = mark_live(nodes, outputs);
  LiveNodes live;
  live.remap.assign(keep.size(), kDroppedNode);
  for (std::size_t i = 0; i < keep.size(); ++i) {
    if (!keep[i]) continue;
    live.remap[i] = live.kept.size();
    live.kept.push_back(i);
  }
  live.outputs.reserve(outputs.size());
  for (NodeId id : outputs) live.outputs.push_back(live.remap[id]);
  return live;
}

}  // namespace

LiveNodes find_live_nodes(const NodesView& nodes, std::span<const NodeId> outputs) { return live_nodes(nodes, outputs); }

LiveNodes find_live_nodes(std::span<const NodeRecord> nodes, std::span<const NodeId> outputs) {
  return live_nodes(nodes, outputs);
}

Result<std::unique_ptr<Store>, BadNodeId> cone(const Store& source, std::span<const NodeId> outputs) {
  Result<NodesView, BadNodeId> view = source.snapshot_for_outputs(outputs);
  if (!view.ok()) return view.error();
  const NodesView& nodes = view.value();
  const LiveNodes live = find_live_nodes(nodes, outputs);
  // The kept nodes go straight from the source's table into the new one,
  // inputs renumbered; no owning record is built.
  auto store = new_store();
  std::vector<NodeId> inputs;
  for (NodeId id : live.kept) {
    const NodeRef node = nodes[id];
    inputs.clear();
    for (NodeId input : node.inputs()) inputs.push_back(live.remap[input]);
    auto added = store->add(WithInputs<NodeRef>(node, inputs));
    if (!added.ok()) fatal_bad_node_id("reduced graph references only earlier nodes", added.error());
    // The source holds no two equal nodes, so none of the kept ones collapse.
    if (added.value() != live.remap[id]) fatal("cone node " + std::to_string(id) + " collapsed into another");
  }
  for (NodeId position : live.outputs) {
    if (auto marked = store->mark_output(position); !marked) {
      fatal_bad_node_id("reduced output is valid", marked.error());
    }
  }
  install_node_map(*store, node_map_from_remap(live.remap));
  return std::unique_ptr<Store>(std::move(store));
}

}  // namespace weftory::store

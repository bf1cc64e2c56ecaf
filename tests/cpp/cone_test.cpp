// Dead-code elimination and the cone store.
#include "store/cone.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/fatal.hpp"

namespace weftory::store {

using support::FatalError;
using support::Result;

namespace {

NodeId add(Store& store, NodeRecord record) {
  Result<NodeId, BadNodeId> added = store.add_node(std::move(record));
  EXPECT_TRUE(added.ok());
  return added.value();
}

// 0: Source a, 1: Source b, 2: Op add on (0, 1), 3: Op neg on (1).
std::unique_ptr<Store> four_node_store() {
  auto store = new_store();
  add(*store, NodeRecord::source("a", {}));
  add(*store, NodeRecord::source("b", {}));
  add(*store, NodeRecord::op("add", {}, {0, 1}));
  add(*store, NodeRecord::op("neg", {}, {1}));
  return store;
}

NodeMapEntry kept(NodeId id) { return Landing{id, std::nullopt}; }
const NodeMapEntry kDrop = std::nullopt;

TEST(Cone, RequestedOutputsGiveTheirCone) {
  struct Case {
    const char* name;
    std::vector<NodeId> outputs;
    std::vector<NodeRecord> nodes;
    std::vector<NodeId> marks;
    std::vector<NodeMapEntry> node_map;
  };
  const std::vector<Case> cases = {
      {"neg alone", {3}, {NodeRecord::source("b", {}), NodeRecord::op("neg", {}, {0})}, {1},
       {kDrop, kept(0), kDrop, kept(1)}},
      {"repeated request, one mark", {3, 3}, {NodeRecord::source("b", {}), NodeRecord::op("neg", {}, {0})}, {1},
       {kDrop, kept(0), kDrop, kept(1)}},
      {"marks in request order, not sorted",
       {3, 2},
       {NodeRecord::source("a", {}), NodeRecord::source("b", {}), NodeRecord::op("add", {}, {0, 1}),
        NodeRecord::op("neg", {}, {1})},
       {3, 2},
       {kept(0), kept(1), kept(2), kept(3)}},
      {"a source alone", {0}, {NodeRecord::source("a", {})}, {0}, {kept(0), kDrop, kDrop, kDrop}},
      {"add keeps both sources", {2, 2, 0}, {NodeRecord::source("a", {}), NodeRecord::source("b", {}),
                                             NodeRecord::op("add", {}, {0, 1})},
       {2, 0}, {kept(0), kept(1), kept(2), kDrop}},
      {"nothing requested", {}, {}, {}, {kDrop, kDrop, kDrop, kDrop}},
      {"everything requested",
       {0, 1, 2, 3},
       {NodeRecord::source("a", {}), NodeRecord::source("b", {}), NodeRecord::op("add", {}, {0, 1}),
        NodeRecord::op("neg", {}, {1})},
       {0, 1, 2, 3},
       {kept(0), kept(1), kept(2), kept(3)}},
  };
  auto source = four_node_store();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<std::unique_ptr<Store>, BadNodeId> result = cone(*source, c.outputs);
    ASSERT_TRUE(result.ok());
    const Store& got = *result.value();
    const Snapshot snap = got.snapshot();
    EXPECT_EQ(snap.nodes, c.nodes);
    EXPECT_EQ(snap.outputs, c.marks);
    EXPECT_EQ(got.node_map_copy(), c.node_map);
  }
  // The source is untouched.
  EXPECT_EQ(source->node_count(), 4u);
  EXPECT_TRUE(source->outputs_copy().empty());
}

TEST(Cone, BadRequestedIdIsReportedInListOrder) {
  auto source = four_node_store();
  struct Case {
    std::vector<NodeId> outputs;
    NodeId bad;
  };
  const Case cases[] = {{{4}, 4}, {{0, 7, 9}, 7}, {{3, 4, 2}, 4}, {{~NodeId{0}}, ~NodeId{0}}};
  for (const Case& c : cases) {
    Result<std::unique_ptr<Store>, BadNodeId> result = cone(*source, c.outputs);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().id, c.bad);
  }
}

TEST(Cone, StageMembersAreCopiedAndOnlyInputsRenumbered) {
  auto source = new_store();
  add(*source, NodeRecord::source("unused", {}));
  const NodeId x = add(*source, NodeRecord::source("x", {}));
  const NodeId y = add(*source, NodeRecord::source("y", {}));
  const std::vector<StageMember> members = {
      StageMember{"op|neg", {{MemberSource::Input, 1}}},
      StageMember{"op|add", {{MemberSource::Member, 0}, {MemberSource::Input, 0}}},
  };
  ParamMap scheme = {ParamEntry{"scheme", ParamValue::from_str("hash")}};
  const NodeId stage = add(*source, NodeRecord::stage({y, x, y}, members));
  const NodeId ex = add(*source, NodeRecord::exchange(scheme, {stage}));

  Result<std::unique_ptr<Store>, BadNodeId> result = cone(*source, std::vector<NodeId>{ex});
  ASSERT_TRUE(result.ok());
  const Snapshot snap = result.value()->snapshot();
  const std::vector<NodeRecord> expected = {
      NodeRecord::source("x", {}), NodeRecord::source("y", {}),
      NodeRecord::stage({1, 0, 1}, members),  // member inputs unchanged
      NodeRecord::exchange(scheme, {2})};
  EXPECT_EQ(snap.nodes, expected);
  EXPECT_EQ(snap.outputs, (std::vector<NodeId>{3}));
}

TEST(Cone, EveryKindKeepsItsFields) {
  auto source = new_store();
  ParamMap params = {ParamEntry{"k", ParamValue::from_float(-0.0)}, ParamEntry{"s", ParamValue::from_str("v")}};
  const NodeId s = add(*source, NodeRecord::source("s", params));
  add(*source, NodeRecord::source("dead", {}));
  const NodeId r = add(*source, NodeRecord::reduction("sum", params, {s, s}));
  const NodeId e = add(*source, NodeRecord::external(PayloadDescriptor{"k", "h", "f", "v", "io", std::string("pre")},
                                                     params, {r}));
  const NodeId j = add(*source, NodeRecord::join(params, {e, s}));
  Result<std::unique_ptr<Store>, BadNodeId> result = cone(*source, std::vector<NodeId>{j});
  ASSERT_TRUE(result.ok());
  const std::vector<NodeRecord> expected = {
      NodeRecord::source("s", params), NodeRecord::reduction("sum", params, {0, 0}),
      NodeRecord::external(PayloadDescriptor{"k", "h", "f", "v", "io", std::string("pre")}, params, {1}),
      NodeRecord::join(params, {2, 0})};
  EXPECT_EQ(result.value()->snapshot().nodes, expected);
  EXPECT_EQ(result.value()->node_map_copy(), (std::vector<NodeMapEntry>{kept(0), kDrop, kept(1), kept(2), kept(3)}));
}

// ---------------------------------------------------------------------------
// The pass on its own

// An independent statement of the cone: a node is live when requested or
// when a live node consumes it; one sweep from the last node down decides it.
std::vector<bool> reference_live(const std::vector<NodeRecord>& nodes, const std::vector<NodeId>& outputs) {
  std::vector<bool> live(nodes.size(), false);
  for (NodeId id : outputs) live[id] = true;
  for (std::size_t i = nodes.size(); i-- > 0;) {
    if (!live[i]) continue;
    for (NodeId input : nodes[i].inputs) live[input] = true;
  }
  return live;
}

TEST(DeadCodePass, MatchesTheBackwardSweepOnRandomGraphs) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 300; ++round) {
    const std::size_t n = rng() % 40;
    std::vector<NodeRecord> nodes;
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<NodeId> inputs;
      if (i > 0) {
        for (int k = static_cast<int>(rng() % 4); k > 0; --k) inputs.push_back(rng() % i);
      }
      if (inputs.empty()) {
        nodes.push_back(NodeRecord::source("s" + std::to_string(i), {}));
      } else if (rng() % 5 == 0) {
        nodes.push_back(NodeRecord::stage(inputs, {StageMember{"op|m", {{MemberSource::Input, 0}}}}));
      } else {
        nodes.push_back(NodeRecord::op("o" + std::to_string(i), {}, inputs));
      }
    }
    std::vector<NodeId> outputs;
    if (n > 0) {
      for (int k = static_cast<int>(rng() % 5); k > 0; --k) outputs.push_back(rng() % n);
    }
    const std::vector<bool> live = reference_live(nodes, outputs);
    const DeadCodeResult result = eliminate_dead_code(std::span<const NodeRecord>(nodes), outputs);

    ASSERT_EQ(result.remap.size(), n);
    std::vector<NodeId> kept_ids;
    for (std::size_t i = 0; i < n; ++i) {
      if (live[i]) {
        EXPECT_EQ(result.remap[i], kept_ids.size()) << "node " << i;
        kept_ids.push_back(i);
      } else {
        EXPECT_EQ(result.remap[i], kDroppedNode) << "node " << i;
      }
    }
    ASSERT_EQ(result.nodes.size(), kept_ids.size());
    for (std::size_t k = 0; k < kept_ids.size(); ++k) {
      const NodeRecord& original = nodes[kept_ids[k]];
      const NodeRecord& copy = result.nodes[k];
      ASSERT_EQ(copy.inputs.size(), original.inputs.size());
      for (std::size_t j = 0; j < copy.inputs.size(); ++j) {
        EXPECT_EQ(kept_ids[copy.inputs[j]], original.inputs[j]);
      }
      NodeRecord renamed = copy;
      renamed.inputs = original.inputs;
      EXPECT_EQ(renamed, original);
    }
    ASSERT_EQ(result.outputs.size(), outputs.size());
    for (std::size_t k = 0; k < outputs.size(); ++k) EXPECT_EQ(kept_ids[result.outputs[k]], outputs[k]);

    // Moving the records out gives the same result.
    std::vector<NodeRecord> owned = nodes;
    const DeadCodeResult moved = eliminate_dead_code(std::move(owned), outputs);
    EXPECT_EQ(moved.nodes, result.nodes);
    EXPECT_EQ(moved.remap, result.remap);
    EXPECT_EQ(moved.outputs, result.outputs);
  }
}

TEST(DeadCodePass, AMillionNodeChainNeedsNoRecursion) {
  constexpr std::size_t kLength = 1'000'000;
  std::vector<NodeRecord> nodes;
  nodes.reserve(kLength);
  nodes.push_back(NodeRecord::source("x", {}));
  for (std::size_t i = 1; i < kLength; ++i) nodes.push_back(NodeRecord::op("neg", {}, {i - 1}));
  // A node beside the chain that nothing requests.
  nodes.push_back(NodeRecord::source("dead", {}));

  const std::vector<NodeId> outputs = {kLength - 1};
  const DeadCodeResult result = eliminate_dead_code(std::move(nodes), outputs);
  ASSERT_EQ(result.nodes.size(), kLength);
  EXPECT_EQ(result.remap.back(), kDroppedNode);
  EXPECT_EQ(result.remap[kLength - 1], kLength - 1);
  EXPECT_EQ(result.nodes.back().inputs, (std::vector<NodeId>{kLength - 2}));
  EXPECT_EQ(result.outputs, outputs);
}

TEST(Cone, AMillionNodeChainThroughTheStore) {
  constexpr std::size_t kLength = 1'000'000;
  auto source = new_store();
  add(*source, NodeRecord::source("dead", {}));
  add(*source, NodeRecord::source("x", {}));
  for (std::size_t i = 2; i < kLength; ++i) add(*source, NodeRecord::op("neg", {}, {i - 1}));
  Result<std::unique_ptr<Store>, BadNodeId> result = cone(*source, std::vector<NodeId>{kLength - 1});
  ASSERT_TRUE(result.ok());
  const Store& got = *result.value();
  EXPECT_EQ(got.node_count(), kLength - 1);
  EXPECT_EQ(got.outputs_copy(), (std::vector<NodeId>{kLength - 2}));
  const std::vector<NodeMapEntry> map = got.node_map_copy();
  ASSERT_EQ(map.size(), kLength);
  EXPECT_EQ(map[0], kDrop);
  EXPECT_EQ(map[1], kept(0));
  EXPECT_EQ(map[kLength - 1], kept(kLength - 2));
}

TEST(DeadCodePass, DiamondsExpandEachNodeOnce) {
  // Each layer consumes both nodes of the layer below twice: 2^k paths, but
  // the pass touches every node once, so this finishes at once.
  std::vector<NodeRecord> nodes;
  nodes.push_back(NodeRecord::source("a", {}));
  nodes.push_back(NodeRecord::source("b", {}));
  for (NodeId i = 2; i < 200; i += 2) {
    nodes.push_back(NodeRecord::op("l", {}, {i - 2, i - 1, i - 2, i - 1}));
    nodes.push_back(NodeRecord::op("r", {}, {i - 1, i - 2, i - 1, i - 2}));
  }
  const DeadCodeResult result = eliminate_dead_code(std::span<const NodeRecord>(nodes), std::vector<NodeId>{198});
  // Everything but the last right-hand node.
  EXPECT_EQ(result.nodes.size(), 199u);
  EXPECT_EQ(result.remap[199], kDroppedNode);
}

TEST(DeadCodePass, OutOfRangeIdsAreFatal) {
  std::vector<NodeRecord> nodes;
  nodes.push_back(NodeRecord::source("a", {}));
  EXPECT_THROW((void)eliminate_dead_code(std::span<const NodeRecord>(nodes), std::vector<NodeId>{1}), FatalError);
  nodes.push_back(NodeRecord::op("self", {}, {1}));
  EXPECT_THROW((void)eliminate_dead_code(std::span<const NodeRecord>(nodes), std::vector<NodeId>{1}), FatalError);
}

TEST(DeadCodePass, NodeMapFromRemap) {
  const std::vector<NodeId> remap = {kDroppedNode, 0, kDroppedNode, 1, 2};
  EXPECT_EQ(node_map_from_remap(remap), (std::vector<NodeMapEntry>{kDrop, kept(0), kDrop, kept(1), kept(2)}));
  EXPECT_TRUE(node_map_from_remap({}).empty());
}

}  // namespace
}  // namespace weftory::store

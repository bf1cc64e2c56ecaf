// The reduction pipeline: counts, node map, outputs, the identity-key fault
// cases, and a randomized check against a symbolic evaluator.
#include "optimizer/reduce_graph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "optimizer/report.hpp"
#include "support/fatal.hpp"
#include "symbolic_eval.hpp"

namespace weftory::optimizer {

using support::FatalError;
using store::BadNodeId;
using store::Landing;
using store::MemberInput;
using store::MemberSource;
using store::NodeId;
using store::NodeKind;
using store::NodeMapEntry;
using store::NodeRecord;
using store::ParamEntry;
using store::ParamMap;
using store::ParamValue;
using store::PayloadDescriptor;
using store::StageMember;
using store::Store;
using store::new_store;

namespace {

ParamMap scalar(double value, const char* side) {
  return {ParamEntry{"scalar", ParamValue::from_float(value)}, ParamEntry{"side", ParamValue::from_str(side)}};
}

PayloadDescriptor descriptor(std::string kind, std::string hash, std::optional<std::string> ref = std::nullopt) {
  return PayloadDescriptor{std::move(kind), std::move(hash), "f", "1", "s", std::move(ref)};
}

StageMember member(std::string token, std::vector<MemberInput> inputs) { return {std::move(token), std::move(inputs)}; }
constexpr MemberInput kIn0{MemberSource::Input, 0};

// Node map as "0 1.0 -": reduced id, ".member" when there is one, "-" dropped.
std::string describe(const std::vector<NodeMapEntry>& map) {
  std::string out;
  for (const NodeMapEntry& e : map) {
    if (!out.empty()) out += ' ';
    if (!e) {
      out += '-';
      continue;
    }
    out += std::to_string(e->reduced_id);
    if (e->member) out += '.' + std::to_string(*e->member);
  }
  return out;
}

struct PipelineCase {
  const char* name;
  std::vector<NodeRecord> nodes;
  std::vector<NodeId> outputs;
  bool maximal;
  ReductionReport report;  // input, reachable, canonical, stages, reduced, boundary
  const char* node_map;
  std::vector<NodeId> reduced_outputs;
};

class PipelineTest : public ::testing::TestWithParam<PipelineCase> {};

TEST_P(PipelineTest, CountsMapsAndOutputs) {
  const PipelineCase& c = GetParam();
  const SaturationEngine engine;
  const ReductionResult r = reduce_graph(c.nodes, c.outputs, engine, c.maximal);
  EXPECT_EQ(r.report, c.report);
  EXPECT_TRUE(report_is_consistent(r.report));
  EXPECT_EQ(r.report.reduced_nodes, r.nodes.size());
  EXPECT_EQ(describe(r.node_map), c.node_map);
  EXPECT_EQ(r.outputs, c.reduced_outputs);
  for (const NodeRecord& node : r.nodes) EXPECT_NE(node.kind, NodeKind::Op);
}

const NodeRecord kA = NodeRecord::source("a", {});
const NodeRecord kB = NodeRecord::source("b", {});

INSTANTIATE_TEST_SUITE_P(
    Cases, PipelineTest,
    ::testing::Values(
        PipelineCase{"no outputs", {kA, NodeRecord::op("neg", {}, {0})}, {}, false, {2, 0, 0, 0, 0, 0}, "- -", {}},
        PipelineCase{"chain and a dead op",
                     {kA, NodeRecord::op("x", {}, {0}), NodeRecord::op("y", {}, {1}), NodeRecord::op("z", {}, {0})},
                     {2},
                     false,
                     {4, 3, 3, 1, 2, 1},
                     "0 1.0 1.1 -",
                     {1}},
        PipelineCase{"identity absorbed",
                     {kA, NodeRecord::op("add", scalar(0.0, "r"), {0}), NodeRecord::op("y", {}, {1}),
                      NodeRecord::op("z", {}, {0})},
                     {2},
                     false,
                     {4, 3, 2, 1, 2, 1},
                     "0 0 1.0 -",
                     {1}},
        PipelineCase{"identity as the output", {kA, NodeRecord::op("mul", scalar(1.0, "l"), {0})}, {1}, false,
                     {2, 2, 1, 0, 1, 1}, "0 0", {0}},
        PipelineCase{"commuted duplicates",
                     {kA, kB, NodeRecord::op("add", {}, {0, 1}), NodeRecord::op("add", {}, {1, 0})},
                     {2, 3},
                     false,
                     {4, 4, 3, 1, 3, 2},
                     "0 1 2.0 2.0",
                     {2, 2}},
        PipelineCase{"repeated and reordered outputs",
                     {kA, kB, NodeRecord::op("neg", {}, {0})},
                     {2, 0, 2},
                     false,
                     {3, 2, 2, 1, 2, 1},
                     "0 - 1.0",
                     {1, 0, 1}},
        // Keys that collided before they were injective: each stays itself.
        PipelineCase{"two stages over one input",
                     {kA, NodeRecord::stage({0}, {member("op|neg", {kIn0})}),
                      NodeRecord::stage({0}, {member("op|abs", {kIn0})})},
                     {1, 2},
                     false,
                     {3, 3, 3, 0, 3, 3},
                     "0 1 2",
                     {1, 2}},
        PipelineCase{"stages with equal tokens and other member inputs",
                     {kA, kB, NodeRecord::stage({0, 1}, {member("op|add", {kIn0, {MemberSource::Input, 1}})}),
                      NodeRecord::stage({0, 1}, {member("op|add", {{MemberSource::Input, 1}, kIn0})})},
                     {2, 3},
                     false,
                     {4, 4, 4, 0, 4, 4},
                     "0 1 2 3",
                     {2, 3}},
        PipelineCase{"externals whose texts hold separators",
                     {kA, NodeRecord::external(descriptor("a|b", "c"), {}, {0}),
                      NodeRecord::external(descriptor("a", "b|c"), {}, {0})},
                     {1, 2},
                     false,
                     {3, 3, 3, 0, 3, 3},
                     "0 1 2",
                     {1, 2}},
        PipelineCase{"absent and present preprocessing_ref",
                     {kA, NodeRecord::external(descriptor("k", "h"), {}, {0}),
                      NodeRecord::external(descriptor("k", "h", "-"), {}, {0})},
                     {1, 2},
                     false,
                     {3, 3, 3, 0, 3, 3},
                     "0 1 2",
                     {1, 2}}),
    [](const ::testing::TestParamInfo<PipelineCase>& info) { return "case" + std::to_string(info.index); });

TEST(Pipeline, BoundariesKeepTheirRecords) {
  const std::vector<NodeRecord> nodes = {
      kA, NodeRecord::op("neg", {}, {0}),
      NodeRecord::external(descriptor("onnx", "h", "p"), {ParamEntry{"batch", ParamValue::from_int(8)}}, {1}),
      NodeRecord::exchange({ParamEntry{"scheme", ParamValue::from_str("hash")}}, {2}),
      NodeRecord::join({}, {3, 0}), NodeRecord::reduction("sum", {}, {4})};
  const SaturationEngine engine;
  const ReductionResult r = reduce_graph(nodes, std::vector<NodeId>{5}, engine, false);
  ASSERT_EQ(r.nodes.size(), 6u);
  for (std::size_t k : {0u, 2u, 3u, 4u, 5u}) {
    NodeRecord expected = nodes[k];
    // Only the neg op became a stage, so every id stays where it was.
    EXPECT_EQ(r.nodes[k], expected) << k;
  }
  EXPECT_EQ(r.nodes[1], NodeRecord::stage({0}, {member("op|neg", {kIn0})}));
}

TEST(Pipeline, OutputOutOfRangeIsFatal) {
  const SaturationEngine engine;
  const std::vector<NodeRecord> nodes = {kA};
  EXPECT_THROW((void)reduce_graph(nodes, std::vector<NodeId>{1}, engine, false), FatalError);
}

TEST(ReduceStore, ChecksOutputsAndReadsMarks) {
  auto store = new_store();
  ASSERT_TRUE(store->add_node(kA).ok());
  ASSERT_TRUE(store->add_node(NodeRecord::op("neg", {}, {0})).ok());
  ASSERT_TRUE(store->mark_output(1).ok());
  const std::vector<NodeId> bad = {0, 2, 5};
  auto failed = reduce_store(*store, std::span<const NodeId>(bad), false);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), BadNodeId{2});

  ReductionTimings timings;
  auto by_marks = reduce_store(*store, std::nullopt, false, timings);
  ASSERT_TRUE(by_marks.ok());
  const Store& reduced = *by_marks.value().store;
  EXPECT_EQ(reduced.node_count(), 2u);
  EXPECT_EQ(reduced.outputs_copy(), (std::vector<NodeId>{1}));
  EXPECT_EQ(reduced.node_map_copy(), (std::vector<NodeMapEntry>{Landing{0, std::nullopt}, Landing{1, 0}}));
  EXPECT_GT(timings.engine, 0.0);

  const std::vector<NodeId> none;
  auto empty = reduce_store(*store, std::span<const NodeId>(none), false);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value().store->node_count(), 0u);
  EXPECT_EQ(empty.value().report, (ReductionReport{2, 0, 0, 0, 0, 0}));
}

// ---------------------------------------------------------------- randomized
//
// Random graphs of every kind, reduced under both rules, are evaluated
// symbolically: every live node must land on a place with its own value, and
// reducing the result again must change nothing.

std::vector<NodeRecord> random_graph(std::mt19937_64& rng, std::size_t n) {
  static const std::vector<std::pair<std::string, ParamMap>> ops = {
      {"add", {}},   {"mul", {}},  {"neg", {}}, {"sub", {}}, {"maximum", {}},
      {"add", scalar(0.0, "r")}, {"add", scalar(0.0, "l")}, {"mul", scalar(1.0, "r")}, {"mul", scalar(2.0, "r")}};
  std::vector<NodeRecord> nodes;
  auto pick = [&](std::size_t below) { return static_cast<NodeId>(below - 1 - rng() % std::min<std::size_t>(below, 5)); };
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t roll = rng() % 20;
    if (i < 2 || roll == 0) {
      nodes.push_back(NodeRecord::source("s" + std::to_string(rng() % 3), {}));
    } else if (roll == 1) {
      nodes.push_back(NodeRecord::reduction("sum", {}, {pick(i)}));
    } else if (roll == 2) {
      nodes.push_back(NodeRecord::external(descriptor(rng() % 2 ? "a|b" : "a", rng() % 2 ? "c" : "b|c"), {}, {pick(i)}));
    } else if (roll == 3) {
      nodes.push_back(NodeRecord::join({}, {pick(i), pick(i)}));
    } else if (roll == 4) {
      nodes.push_back(NodeRecord::stage({pick(i)}, {member(rng() % 2 ? "op|neg" : "op|abs", {kIn0})}));
    } else {
      const auto& [name, params] = ops[rng() % ops.size()];
      const std::size_t arity = params.empty() && name != "neg" ? 2 : 1;
      std::vector<NodeId> inputs;
      for (std::size_t k = 0; k < arity; ++k) inputs.push_back(pick(i));
      nodes.push_back(NodeRecord::op(name, params, inputs));
    }
  }
  return nodes;
}

TEST(PipelineRandom, ReducedGraphComputesTheSameAndIsAFixedPoint) {
  std::mt19937_64 rng(4242);
  const SaturationEngine engine;
  for (int round = 0; round < 300; ++round) {
    const std::size_t n = 2 + rng() % 40;
    const std::vector<NodeRecord> nodes = random_graph(rng, n);
    std::vector<NodeId> outputs;
    for (std::size_t k = 0, count = rng() % 4; k < count; ++k) outputs.push_back(rng() % n);
    const bool maximal = round % 2 == 1;
    SCOPED_TRACE("round " + std::to_string(round));
    const ReductionResult r = reduce_graph(nodes, outputs, engine, maximal);
    ASSERT_TRUE(report_is_consistent(r.report));
    // The same records read in place from a store (whose keys are found by
    // their text ids) reduce to the same result.
    const std::unique_ptr<Store> held = new_store();
    for (const NodeRecord& record : nodes) held->load(store::RecordRef(record));
    const ReductionResult in_place = reduce_graph(held->snapshot().nodes, outputs, engine, maximal);
    ASSERT_EQ(in_place.nodes, r.nodes);
    ASSERT_EQ(in_place.outputs, r.outputs);
    ASSERT_EQ(in_place.node_map, r.node_map);
    ASSERT_EQ(in_place.report, r.report);
    ASSERT_EQ(r.report.input_nodes, n);
    ASSERT_EQ(r.node_map.size(), n);
    ASSERT_EQ(r.outputs.size(), outputs.size());

    testing::SymbolicEval eval;
    const testing::SymbolicEval::Values original = eval.run(nodes);
    const testing::SymbolicEval::Values reduced = eval.run(r.nodes.to_records());
    std::size_t live = 0;
    for (std::size_t p = 0; p < n; ++p) {
      const NodeMapEntry& e = r.node_map[p];
      if (!e) continue;
      ++live;
      ASSERT_EQ(eval.at(reduced, e->reduced_id, e->member), original.nodes[p]) << "node " << p;
    }
    ASSERT_EQ(live, r.report.reachable_nodes);
    for (std::size_t k = 0; k < outputs.size(); ++k) ASSERT_EQ(reduced.nodes[r.outputs[k]], original.nodes[outputs[k]]);

    const ReductionResult again = reduce_graph(r.nodes.to_records(), r.outputs, engine, maximal);
    ASSERT_EQ(again.nodes, r.nodes);
    ASSERT_EQ(again.outputs, r.outputs);
    for (std::size_t k = 0; k < again.node_map.size(); ++k) {
      ASSERT_EQ(again.node_map[k], (NodeMapEntry{Landing{k, std::nullopt}})) << k;
    }
  }
}

}  // namespace
}  // namespace weftory::optimizer

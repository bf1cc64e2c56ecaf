// The incremental canonicaliser: forwarding, folding and hash-consing case by
// case; batches that fail part-way; the reduction of the canonical form and
// its composed node map; a randomized check against a plain map-based model
// and against the one-shot pipeline; and the mutex-guarded reducer, alone
// and with several threads stepping it while others grow the store.
#include "optimizer/incremental.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "optimizer/report.hpp"
#include "support/fatal.hpp"
#include "symbolic_eval.hpp"

namespace weftory::optimizer {

using support::FatalError;
using support::Result;
using support::fatal;
using store::BadNodeId;
using store::Landing;
using store::MemberInput;
using store::MemberSource;
using store::NodeId;
using store::NodeKind;
using store::NodeMapEntry;
using store::NodeRecord;
using store::NodesView;
using store::ParamEntry;
using store::ParamMap;
using store::ParamValue;
using store::PayloadDescriptor;
using store::RecordRef;
using store::StageMember;
using store::Store;
using store::kPoisonedMessage;
using store::new_store;
using store::same_node;
using store::to_record;

namespace {

ParamMap scalar(ParamValue value, const char* side) {
  return {ParamEntry{"scalar", std::move(value)}, ParamEntry{"side", ParamValue::from_str(side)}};
}
ParamMap scalar(double value, const char* side) { return scalar(ParamValue::from_float(value), side); }

PayloadDescriptor descriptor(std::string kind) { return PayloadDescriptor{std::move(kind), "h", "f", "1", "s", {}}; }
constexpr MemberInput kIn0{MemberSource::Input, 0};

NodeRecord src(const char* name) { return NodeRecord::source(name, {}); }
NodeRecord op(const char* name, std::vector<NodeId> inputs, ParamMap params = {}) {
  return NodeRecord::op(name, std::move(params), std::move(inputs));
}

std::vector<std::uint64_t> forward_of(const IncrementalState& s) {
  return {s.forward_map().begin(), s.forward_map().end()};
}

// ---------------------------------------------------------------- consume, case by case

struct ConsumeCase {
  const char* name;
  std::vector<NodeRecord> nodes;
  std::vector<std::uint64_t> forward;
  std::uint64_t canonical_count;
};

class ConsumeTest : public ::testing::TestWithParam<ConsumeCase> {};

TEST_P(ConsumeTest, ForwardsFoldsAndInterns) {
  const ConsumeCase& c = GetParam();
  IncrementalState state;
  ASSERT_TRUE(state.consume(c.nodes).ok());
  EXPECT_EQ(forward_of(state), c.forward);
  EXPECT_EQ(state.canonical_count(), c.canonical_count);
  EXPECT_EQ(state.watermark(), c.nodes.size());
  EXPECT_EQ(state.total_work(), c.nodes.size());
  // The canonical form is an arena: inputs earlier, no two nodes equal.
  const NodesView form = state.canonical_form();
  for (std::size_t i = 0; i < form.size(); ++i) {
    for (NodeId in : form[i].inputs()) EXPECT_LT(in, i);
    for (std::size_t j = 0; j < i; ++j) EXPECT_FALSE(same_node(form[i], form[j])) << i << " == " << j;
  }
}

const NodeRecord kA = src("a");
const NodeRecord kB = src("b");

INSTANTIATE_TEST_SUITE_P(
    Cases, ConsumeTest,
    ::testing::Values(
        ConsumeCase{"empty", {}, {}, 0},
        ConsumeCase{"identity, commuted add",
                    {kA, kB, op("add", {0, 1}), op("add", {1, 0}), op("add", {0}, scalar(0.0, "r"))},
                    {0, 1, 2, 2, 0},
                    3},
        ConsumeCase{"sub does not commute", {kA, kB, op("sub", {0, 1}), op("sub", {1, 0})}, {0, 1, 2, 3}, 4},
        ConsumeCase{"a parameter disables the fold",
                    {kA, kB, op("add", {0, 1}, {ParamEntry{"side", ParamValue::from_str("r")}}),
                     op("add", {1, 0}, {ParamEntry{"side", ParamValue::from_str("r")}})},
                    {0, 1, 2, 3},
                    4},
        ConsumeCase{"every commutative name",
                    {kA, kB, op("mul", {0, 1}), op("mul", {1, 0}), op("and", {0, 1}), op("and", {1, 0}),
                     op("or", {1, 0}), op("or", {0, 1}), op("eq", {0, 1}), op("eq", {1, 0}), op("ne", {0, 1}),
                     op("ne", {1, 0}), op("maximum", {0, 1}), op("maximum", {1, 0}), op("minimum", {0, 1}),
                     op("minimum", {1, 0})},
                    {0, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8},
                    9},
        ConsumeCase{"three inputs do not commute", {kA, kB, op("add", {0, 1, 0}), op("add", {1, 0, 0})}, {0, 1, 2, 3}, 4},
        ConsumeCase{"a commuted reduction is not folded",
                    {kA, kB, NodeRecord::reduction("add", {}, {0, 1}), NodeRecord::reduction("add", {}, {1, 0})},
                    {0, 1, 2, 3},
                    4},
        ConsumeCase{"mul by 1.0 on the left", {kA, op("mul", {0}, scalar(1.0, "l"))}, {0, 0}, 1},
        ConsumeCase{"an int scalar is no identity", {kA, op("mul", {0}, scalar(ParamValue::from_int(1), "l"))}, {0, 1}, 2},
        ConsumeCase{"negative zero is no identity", {kA, op("add", {0}, scalar(-0.0, "r"))}, {0, 1}, 2},
        ConsumeCase{"another side is no identity", {kA, op("add", {0}, scalar(0.0, "R"))}, {0, 1}, 2},
        ConsumeCase{"a reduction is no identity",
                    {kA, NodeRecord::reduction("add", scalar(0.0, "r"), {0})},
                    {0, 1},
                    2},
        ConsumeCase{"an extra parameter is no identity",
                    {kA, op("add", {0}, {ParamEntry{"extra", ParamValue::from_int(1)}, ParamEntry{"scalar", ParamValue::from_float(0.0)},
                                         ParamEntry{"side", ParamValue::from_str("r")}})},
                    {0, 1},
                    2},
        ConsumeCase{"an identity forwards to its first input", {kA, kB, op("add", {1, 0}, scalar(0.0, "r"))}, {0, 1, 1}, 2},
        ConsumeCase{"an identity without inputs is an ordinary node",
                    {op("add", {}, scalar(0.0, "r")), op("add", {}, scalar(0.0, "l"))},
                    {0, 1},
                    2},
        ConsumeCase{"a chain of identities collapses to its start",
                    {kA, op("neg", {0}), op("add", {1}, scalar(0.0, "r")), op("mul", {2}, scalar(1.0, "l")),
                     op("add", {3}, scalar(0.0, "l")), op("neg", {4})},
                    {0, 1, 1, 1, 1, 2},
                    3},
        ConsumeCase{"folding propagates upward",
                    {kA, kB, op("add", {0, 1}), op("add", {1, 0}), op("neg", {2}), op("neg", {3}), op("sub", {4, 5})},
                    {0, 1, 2, 2, 3, 3, 4},
                    5},
        ConsumeCase{"a commuted node keeps its arrival order",
                    {kA, kB, op("add", {1, 0}), op("add", {0, 1}), op("mul", {3, 0})},
                    {0, 1, 2, 2, 3},
                    4},
        ConsumeCase{"structural duplicates of every kind share one node",
                    {kA, kA, kB, NodeRecord::external(descriptor("k"), {}, {0}),
                     NodeRecord::external(descriptor("k"), {}, {1}),
                     NodeRecord::stage({3}, {StageMember{"op|neg", {kIn0}}}),
                     NodeRecord::stage({4}, {StageMember{"op|neg", {kIn0}}}),
                     NodeRecord::stage({4}, {StageMember{"op|abs", {kIn0}}}), NodeRecord::exchange({}, {5}),
                     NodeRecord::exchange({}, {6}), NodeRecord::join({}, {3, 4}), NodeRecord::join({}, {4, 3}),
                     NodeRecord::reduction("sum", {}, {0}), NodeRecord::reduction("sum", {}, {1})},
                    {0, 0, 1, 2, 2, 3, 3, 4, 5, 5, 6, 6, 7, 7},
                    8}),
    [](const ::testing::TestParamInfo<ConsumeCase>& info) {
      std::string name = info.param.name;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

TEST(Consume, StageInputsAreTranslatedAndMembersCopied) {
  IncrementalState state;
  const std::vector<NodeRecord> nodes = {kA, op("add", {0}, scalar(0.0, "r")),
                                         NodeRecord::stage({1, 0}, {StageMember{"op|sub", {kIn0, {MemberSource::Input, 1}}}})};
  ASSERT_TRUE(state.consume(nodes).ok());
  ASSERT_EQ(state.canonical_count(), 2u);
  const NodeRecord stage = to_record(state.canonical_form()[1]);
  EXPECT_EQ(stage, NodeRecord::stage({0, 0}, nodes[2].members));
}

TEST(Consume, AFailedBatchKeepsWhatItConsumedButCountsNoWork) {
  IncrementalState state;
  ASSERT_TRUE(state.consume(std::vector<NodeRecord>{kA}).ok());
  // Node 2 refers to 3, which is not consumed yet (nor 4, after it).
  const std::vector<NodeRecord> batch = {kB, op("neg", {1}), op("f", {0, 3, 4}), op("g", {0})};
  const Result<void, BadNodeId> consumed = state.consume(batch);
  ASSERT_FALSE(consumed.ok());
  EXPECT_EQ(consumed.error().id, 3u);
  EXPECT_EQ(state.watermark(), 3u);
  EXPECT_EQ(state.canonical_count(), 3u);
  EXPECT_EQ(state.total_work(), 1u);
  // A later batch continues from the watermark and is counted.
  ASSERT_TRUE(state.consume(std::vector<NodeRecord>{op("neg", {1}), op("neg", {2})}).ok());
  EXPECT_EQ(forward_of(state), (std::vector<std::uint64_t>{0, 1, 2, 2, 3}));
  EXPECT_EQ(state.total_work(), 3u);
  // An empty batch changes nothing.
  ASSERT_TRUE(state.consume(std::vector<NodeRecord>{}).ok());
  EXPECT_EQ(state.watermark(), 5u);
  EXPECT_EQ(state.total_work(), 3u);
}

// The field test of is_identity_op agrees with the identity key it stands for.
TEST(Consume, IdentityTestAgreesWithTheIdentityKey) {
  std::mt19937_64 rng(7);
  const std::vector<std::string> names = {"add", "mul", "ad", "addd", "add|scalar=f0000000000000000;side=sr", "sub"};
  const std::vector<std::string> keys = {"scalar", "side", "scalar;side", "extra", "sid"};
  const std::vector<ParamValue> values = {ParamValue::from_float(0.0), ParamValue::from_float(1.0),
                                          ParamValue::from_float(-0.0), ParamValue::from_int(0),
                                          ParamValue::from_int(1), ParamValue::from_bool(false),
                                          ParamValue::from_str("r"), ParamValue::from_str("l"),
                                          ParamValue::from_str("r;x"), ParamValue::from_float(std::nan(""))};
  int identities = 0;
  for (int round = 0; round < 20000; ++round) {
    ParamMap params;
    for (std::size_t k = 0, count = rng() % 4; k < count; ++k) {
      const std::string& key = keys[rng() % keys.size()];
      if (std::none_of(params.begin(), params.end(), [&](const ParamEntry& e) { return e.key == key; })) {
        params.push_back(ParamEntry{key, values[rng() % values.size()]});
      }
    }
    if (rng() % 2) params = scalar(values[rng() % 2], rng() % 2 ? "r" : "l");
    std::sort(params.begin(), params.end(), [](const ParamEntry& a, const ParamEntry& b) { return a.key < b.key; });
    const NodeRecord node = NodeRecord::op(names[rng() % names.size()], params, {0});
    const std::string key = identity_key(node);
    const bool expected = std::ranges::find(rules::identity_keys(), key) != rules::identity_keys().end();
    identities += expected;
    ASSERT_EQ(is_identity_op(RecordRef(node)), expected) << key;
  }
  EXPECT_GT(identities, 100);
}

// ---------------------------------------------------------------- reduce_canonical

TEST(ReduceCanonical, TranslatesOutputsAndComposesTheNodeMap) {
  IncrementalState state;
  ASSERT_TRUE(state.consume(std::vector<NodeRecord>{kA, kB, op("add", {0, 1}), op("add", {1, 0}),
                                                    op("add", {0}, scalar(0.0, "r"))})
                  .ok());
  const SaturationEngine engine;
  Result<ReductionResult, BadNodeId> r = state.reduce_canonical(std::vector<NodeId>{4, 2}, engine, false);
  ASSERT_TRUE(r.ok());
  const ReductionResult& result = r.value();
  // Canonical outputs [0, 2]: a, and the stage of the one add over a and b.
  EXPECT_EQ(result.report, (ReductionReport{3, 3, 3, 1, 3, 2}));
  ASSERT_EQ(result.node_map.size(), 5u);
  EXPECT_EQ(result.node_map[2], result.node_map[3]);
  EXPECT_EQ(result.node_map[4], result.node_map[0]);
  ASSERT_EQ(result.outputs.size(), 2u);
  EXPECT_EQ(result.nodes[result.outputs[0]], kA);
  EXPECT_EQ(result.nodes[result.outputs[1]].kind, NodeKind::Stage);
  EXPECT_EQ(result.node_map[2], (NodeMapEntry{Landing{result.outputs[1], 0}}));
}

TEST(ReduceCanonical, AnOutputNotConsumedIsRefusedAndChangesNothing) {
  IncrementalState state;
  ASSERT_TRUE(state.consume(std::vector<NodeRecord>{kA, op("neg", {0})}).ok());
  const SaturationEngine engine;
  Result<ReductionResult, BadNodeId> r = state.reduce_canonical(std::vector<NodeId>{1, 2, 5}, engine, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().id, 2u);
  EXPECT_EQ(state.watermark(), 2u);
  EXPECT_EQ(state.canonical_count(), 2u);
  // With no outputs every node is dropped, one entry per consumed node.
  Result<ReductionResult, BadNodeId> none = state.reduce_canonical({}, engine, false);
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none.value().report, (ReductionReport{2, 0, 0, 0, 0, 0}));
  EXPECT_EQ(none.value().node_map, (std::vector<NodeMapEntry>{std::nullopt, std::nullopt}));
}

// ---------------------------------------------------------------- randomized

// A plain model of the canonicaliser: canonical nodes keyed by (identity
// key, canonical inputs) in an ordered map, the rules written from their
// keys. Identity keys are injective, so this key is the structural equality.
struct Model {
  std::map<std::pair<std::string, std::vector<NodeId>>, std::uint64_t> index;
  std::vector<NodeRecord> form;
  std::vector<std::uint64_t> forward;

  void feed(const NodeRecord& node) {
    NodeRecord candidate = node;
    for (NodeId& in : candidate.inputs) in = forward.at(in);
    const std::string key = identity_key(candidate);
    const bool identity = node.kind == NodeKind::Op &&
                          std::ranges::find(rules::identity_keys(), key) != rules::identity_keys().end();
    if (identity && !candidate.inputs.empty()) {
      forward.push_back(candidate.inputs[0]);
      return;
    }
    static const std::set<std::string> commuted = {"op|add", "op|mul", "op|and",     "op|or",
                                                   "op|eq",  "op|ne",  "op|maximum", "op|minimum"};
    auto hit = index.find({key, candidate.inputs});
    if (hit == index.end() && node.kind == NodeKind::Op && candidate.inputs.size() == 2 && commuted.count(key)) {
      hit = index.find({key, {candidate.inputs[1], candidate.inputs[0]}});
    }
    if (hit != index.end()) {
      forward.push_back(hit->second);
      return;
    }
    index.emplace(std::pair{key, candidate.inputs}, form.size());
    forward.push_back(form.size());
    form.push_back(std::move(candidate));
  }
};

std::vector<NodeRecord> random_graph(std::mt19937_64& rng, std::size_t n) {
  static const std::vector<std::pair<std::string, ParamMap>> ops = {
      {"add", {}}, {"mul", {}}, {"neg", {}}, {"sub", {}}, {"maximum", {}}, {"eq", {}},
      {"add", scalar(0.0, "r")}, {"add", scalar(0.0, "l")}, {"mul", scalar(1.0, "r")}, {"mul", scalar(2.0, "r")},
      {"mul", scalar(1.0, "l")}};
  std::vector<NodeRecord> nodes;
  auto pick = [&](std::size_t below) { return static_cast<NodeId>(below - 1 - rng() % std::min<std::size_t>(below, 4)); };
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t roll = rng() % 24;
    if (i < 2 || roll == 0) {
      nodes.push_back(NodeRecord::source("s" + std::to_string(rng() % 3), {}));
    } else if (roll == 1) {
      nodes.push_back(NodeRecord::reduction("sum", {}, {pick(i)}));
    } else if (roll == 2) {
      nodes.push_back(NodeRecord::external(descriptor(rng() % 2 ? "a|b" : "a"), {}, {pick(i)}));
    } else if (roll == 3) {
      nodes.push_back(NodeRecord::join({}, {pick(i), pick(i)}));
    } else if (roll == 4) {
      nodes.push_back(NodeRecord::stage({pick(i)}, {StageMember{rng() % 2 ? "op|neg" : "op|abs", {kIn0}}}));
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

TEST(IncrementalRandom, AgreesWithTheModelWithAnyBatchesAndWithTheOneShotPipeline) {
  std::mt19937_64 rng(2024);
  const SaturationEngine engine;
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // The graph goes into a store a few nodes at a time, and each new batch
    // is consumed from the store, as the reducer does. The store interns, so
    // its ids are positions of the graph with repeats left out.
    const std::vector<NodeRecord> graph = random_graph(rng, 2 + rng() % 40);
    auto store = new_store();
    IncrementalState batched;
    std::vector<NodeId> id;
    for (std::size_t i = 0; i < graph.size(); ++i) {
      NodeRecord node = graph[i];
      for (NodeId& in : node.inputs) in = id[in];
      id.push_back(store->add_node(node).value());
      if (rng() % 4 == 0 || i + 1 == graph.size()) {
        ASSERT_TRUE(batched.consume(store->nodes_since(batched.watermark())).ok());
      }
    }
    const std::vector<NodeRecord> nodes = store->snapshot().nodes.to_vector();
    const std::size_t n = nodes.size();
    IncrementalState whole;
    ASSERT_TRUE(whole.consume(nodes).ok());

    Model model;
    for (const NodeRecord& node : nodes) model.feed(node);

    ASSERT_EQ(forward_of(batched), model.forward);
    ASSERT_EQ(forward_of(whole), model.forward);
    ASSERT_EQ(batched.canonical_form(), model.form);
    ASSERT_EQ(batched.total_work(), n);

    const bool maximal = round % 2 == 1;
    std::vector<NodeId> outputs;
    for (std::size_t k = 0, count = rng() % 4; k < count; ++k) outputs.push_back(rng() % n);
    Result<ReductionResult, BadNodeId> r = batched.reduce_canonical(outputs, engine, maximal);
    ASSERT_TRUE(r.ok());
    const ReductionResult& result = r.value();
    ASSERT_TRUE(report_is_consistent(result.report));
    ASSERT_EQ(result.report.input_nodes, batched.canonical_count());
    ASSERT_EQ(result.node_map.size(), n);
    Result<ReductionResult, BadNodeId> again = whole.reduce_canonical(outputs, engine, maximal);
    ASSERT_EQ(again.value().nodes, result.nodes);
    ASSERT_EQ(again.value().node_map, result.node_map);

    // Every store node that landed somewhere landed on its own value, and so
    // did every output.
    testing::SymbolicEval eval;
    const testing::SymbolicEval::Values original = eval.run(nodes);
    const testing::SymbolicEval::Values reduced = eval.run(result.nodes.to_records());
    for (std::size_t p = 0; p < n; ++p) {
      const NodeMapEntry& e = result.node_map[p];
      if (e) {
        ASSERT_EQ(eval.at(reduced, e->reduced_id, e->member), original.nodes[p]) << "node " << p;
      }
    }
    for (std::size_t k = 0; k < outputs.size(); ++k) ASSERT_EQ(reduced.nodes[result.outputs[k]], original.nodes[outputs[k]]);

    // With every sink an output, nothing is dead, and the one-shot pipeline
    // on the store must give the same reduced graph, outputs and node map.
    std::vector<bool> used(n, false);
    for (const NodeRecord& node : nodes) {
      for (NodeId in : node.inputs) used[in] = true;
    }
    std::vector<NodeId> sinks;
    for (std::size_t p = 0; p < n; ++p) {
      if (!used[p]) sinks.push_back(p);
    }
    const ReductionResult expected = reduce_graph(nodes, sinks, engine, maximal);
    const ReductionResult got = batched.reduce_canonical(sinks, engine, maximal).value();
    ASSERT_EQ(got.nodes, expected.nodes);
    ASSERT_EQ(got.outputs, expected.outputs);
    ASSERT_EQ(got.node_map, expected.node_map);
    ReductionReport counts = expected.report;
    counts.input_nodes = counts.reachable_nodes = batched.canonical_count();
    ASSERT_EQ(got.report, counts);
  }
}

// ---------------------------------------------------------------- IncrementalReducer

std::unique_ptr<Store> grown_store(std::size_t n) {
  auto store = new_store();
  (void)store->add_node(src("a"));
  for (std::size_t i = 1; i < n; ++i) (void)store->add_node(op("neg", {i - 1}));
  return store;
}

TEST(Reducer, StepsConsumeTheDeltaAndFinalizeTheRest) {
  auto store = new_store();
  IncrementalReducer reducer;
  EXPECT_EQ(reducer.step(*store).value(), 0u);
  EXPECT_EQ(reducer.watermark() + reducer.total_work() + reducer.canonical_count(), 0u);
  (void)store->add_node(src("a"));
  for (std::size_t i = 1; i < 10; ++i) {
    (void)store->add_node(op("neg", {i - 1}));
    if (i == 3 || i == 6 || i == 9) {
      const std::uint64_t expected = i == 3 ? 4 : 3;
      EXPECT_EQ(reducer.step(*store).value(), expected) << i;
    }
  }
  EXPECT_EQ(reducer.step(*store).value(), 0u);
  EXPECT_EQ(reducer.watermark(), 10u);
  EXPECT_EQ(reducer.total_work(), 10u);
  // A shorter store gives an empty batch.
  EXPECT_EQ(reducer.step(*grown_store(3)).value(), 0u);

  // An output beyond the store is refused before the reducer is touched.
  (void)store->add_node(op("abs", {9}));
  Result<StoreReduction, BadNodeId> bad = reducer.finalize(*store, std::vector<NodeId>{11}, false);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().id, 11u);
  EXPECT_EQ(reducer.watermark(), 10u);

  Result<StoreReduction, BadNodeId> done = reducer.finalize(*store, std::vector<NodeId>{10}, false);
  ASSERT_TRUE(done.ok());
  EXPECT_EQ(reducer.watermark(), 11u);
  EXPECT_EQ(done.value().report, (ReductionReport{11, 11, 11, 1, 2, 1}));
  EXPECT_EQ(done.value().store->node_map_copy().size(), 11u);
}

TEST(Reducer, AFatalErrorUnderItsMutexPoisonsIt) {
  auto store = grown_store(3);
  // A store's poison met while the reducer's mutex is held poisons it too.
  IncrementalReducer stepped;
  auto poisoned_store = grown_store(3);
  EXPECT_THROW(poisoned_store->read_locked([](const auto&, const auto&) -> int { fatal("planted"); }), FatalError);
  try {
    (void)stepped.step(*poisoned_store);
    ADD_FAILURE() << "expected the store's poison";
  } catch (const FatalError& e) {
    EXPECT_EQ(std::string(e.what()).rfind(kPoisonedMessage, 0), 0u) << e.what();
  }
  EXPECT_TRUE(stepped.poisoned());

  IncrementalReducer reducer;
  EXPECT_EQ(reducer.step(*store).value(), 3u);
  EXPECT_THROW(reducer.with_state([](IncrementalState&) -> int { fatal("planted"); }), FatalError);
  EXPECT_TRUE(reducer.poisoned());
  const std::string expected = kReducerPoisonedMessage;
  auto expect_poisoned = [&](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "expected the reducer's poison";
    } catch (const FatalError& e) {
      EXPECT_EQ(e.what(), expected);
    }
  };
  for (int i = 0; i < 2; ++i) {
    expect_poisoned([&] { (void)reducer.step(*store); });
    expect_poisoned([&] { (void)reducer.finalize(*store, std::nullopt, false); });
    expect_poisoned([&] { (void)reducer.watermark(); });
    expect_poisoned([&] { (void)reducer.total_work(); });
    expect_poisoned([&] { (void)reducer.canonical_count(); });
  }
}

TEST(Reducer, ThreadsSteppingWhileOthersGrowConsumeEveryNodeOnce) {
  auto store = new_store();
  (void)store->add_node(src("a"));
  (void)store->add_node(src("b"));
  IncrementalReducer reducer;
  constexpr int kWriters = 2, kSteppers = 3, kPerWriter = 3000;
  std::atomic<int> writers_done{0};
  std::atomic<std::uint64_t> stepped{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      std::mt19937_64 rng(w);
      for (int i = 0; i < kPerWriter; ++i) {
        const NodeId count = store->node_count();
        const NodeId x = rng() % count, y = rng() % count;
        (void)store->add_node(rng() % 3 ? op(rng() % 2 ? "add" : "sub", {x, y}) : op("add", {x}, scalar(0.0, "r")));
      }
      ++writers_done;
    });
  }
  for (int s = 0; s < kSteppers; ++s) {
    threads.emplace_back([&, s] {
      while (writers_done.load() < kWriters) {
        stepped += reducer.step(*store).value();
        // finalize races the steps, and consumes a delta of its own.
        if (s == 0) (void)reducer.finalize(*store, std::vector<NodeId>{0}, false).value();
      }
      stepped += reducer.step(*store).value();
    });
  }
  for (std::thread& t : threads) t.join();
  const std::uint64_t count = store->node_count();
  EXPECT_LE(stepped.load(), count);
  EXPECT_GT(stepped.load(), 0u);
  // One forward entry per node: none was consumed twice, none skipped.
  EXPECT_EQ(reducer.watermark(), count);
  EXPECT_EQ(reducer.total_work(), count);
  // However the batches fell, the state is that of one batch.
  IncrementalState whole;
  ASSERT_TRUE(whole.consume(store->nodes_since(0)).ok());
  reducer.with_state([&](IncrementalState& state) {
    EXPECT_EQ(forward_of(state), forward_of(whole));
    EXPECT_EQ(state.canonical_form(), whole.canonical_form());
    return 0;
  });
}

}  // namespace
}  // namespace weftory::optimizer

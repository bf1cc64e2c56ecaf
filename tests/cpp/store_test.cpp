#include "store/store.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <unordered_map>

namespace weftory::store {

using support::FatalError;
using support::fatal;

namespace {

NodeRecord src(const char* name) { return NodeRecord::source(name, {}); }
NodeRecord op(const char* name, std::vector<NodeId> inputs) { return NodeRecord::op(name, {}, std::move(inputs)); }

std::string numbered(int k) { return std::string("s").append(std::to_string(k)); }

NodeId add(Store& s, NodeRecord r) {
  auto result = s.add_node(std::move(r));
  EXPECT_TRUE(result.ok());
  return result.ok() ? result.value() : ~0ULL;
}

TEST(AddNode, InternsEqualRecords) {
  Store s;
  EXPECT_EQ(add(s, src("x")), 0u);
  EXPECT_EQ(add(s, src("x")), 0u);
  EXPECT_EQ(s.node_count(), 1u);
  EXPECT_EQ(add(s, src("y")), 1u);
  EXPECT_EQ(add(s, op("add", {0, 0})), 2u);
  EXPECT_EQ(add(s, op("add", {0, 0})), 2u);
  EXPECT_EQ(add(s, op("add", {0, 1})), 3u);
  EXPECT_EQ(add(s, op("add", {1, 0})), 4u);
  EXPECT_EQ(s.node_count(), 5u);
}

TEST(AddNode, RejectsTheFirstInputThatIsNotOlder) {
  Store s;
  add(s, src("a"));
  add(s, src("b"));
  struct Case {
    std::vector<NodeId> inputs;
    NodeId reported;
  };
  for (const Case& c : {Case{{2}, 2}, Case{{0, 9, 7}, 9}, Case{{5, 1}, 5}, Case{{1, ~0ULL}, ~0ULL}}) {
    auto result = s.add_node(op("f", c.inputs));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().id, c.reported);
  }
  EXPECT_EQ(s.node_count(), 2u);
  auto stage = s.add_node(NodeRecord::stage({0, 3}, {}));
  ASSERT_FALSE(stage.ok());
  EXPECT_EQ(stage.error().id, 3u);
}

TEST(AddNode, MemberInputsAreNotNodeIds) {
  Store s;
  add(s, src("a"));
  StageMember m{"op|neg", {{MemberSource::Input, 100}, {MemberSource::Member, 100}}};
  EXPECT_EQ(add(s, NodeRecord::stage({0}, {m})), 1u);
}

TEST(MarkOutput, KeepsFirstMarkOrderAndRejectsUnknownIds) {
  Store s;
  for (const char* n : {"a", "b", "c"}) add(s, src(n));
  auto bad = s.mark_output(3);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().id, 3u);
  EXPECT_TRUE(s.mark_output(1).ok());
  EXPECT_TRUE(s.mark_output(0).ok());
  EXPECT_TRUE(s.mark_output(1).ok());
  EXPECT_EQ(s.outputs_copy(), (std::vector<NodeId>{1, 0}));
}

TEST(Snapshots, CopyNodesAndMarks) {
  Store s;
  for (const char* n : {"a", "b", "c", "d"}) add(s, src(n));
  ASSERT_TRUE(s.mark_output(2).ok());
  Snapshot snap = s.snapshot();
  ASSERT_EQ(snap.nodes.size(), 4u);
  EXPECT_EQ(snap.nodes[3].name(), "d");
  EXPECT_EQ(snap.outputs, (std::vector<NodeId>{2}));

  EXPECT_TRUE(s.nodes_since(10).empty());
  EXPECT_TRUE(s.nodes_since(4).empty());
  auto tail = s.nodes_since(2);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail[0].name(), "c");
  EXPECT_EQ(tail[1].name(), "d");
  EXPECT_EQ(s.nodes_since(0).size(), 4u);
}

// A record whose every field owns heap memory, so that one moved out from
// under a view reads back differently (moved-from texts and vectors are empty).
NodeRecord rich(int k) {
  std::string name = "a rather long node name, past any small-string buffer " + std::to_string(k);
  ParamMap params{{"key-" + std::to_string(k), ParamValue::from_str(std::string(40, 'v'))}};
  std::vector<NodeId> inputs;
  for (int i = 0; i < k && i < 3; ++i) inputs.push_back(static_cast<NodeId>(i));
  return NodeRecord::op(std::move(name), std::move(params), std::move(inputs));
}

// Adds enough records that the store's tables grow by several segments
// (each a fresh allocation) past what `held` saw. Returns how many were added.
int grow_past_several_segments(Store& s, int next) {
  constexpr int kGrowth = 2000;
  for (int k = 0; k < kGrowth; ++k) add(s, rich(next + k));
  return kGrowth;
}

TEST(Snapshots, HeldViewKeepsItsRecordsWhileTheTablesGrow) {
  Store s;
  int next = 0;
  for (; next < 5; ++next) add(s, rich(next));
  const NodesView held = s.snapshot().nodes;
  const std::vector<NodeRecord> expected = held.to_vector();
  for (int round = 0; round < 2; ++round) {
    next += grow_past_several_segments(s, next);
    EXPECT_GT(s.node_count(), expected.size());
    ASSERT_EQ(held.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(held[i], expected[i]) << "record " << i;
  }
  // The store itself reads the same records, and a copy of the held view
  // made after the moves reads them too.
  const NodesView copy = held;
  EXPECT_EQ(copy, expected);
  Snapshot now = s.snapshot();
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(now.nodes[i], expected[i]) << "record " << i;
  for (int k = 0; k < next; ++k) EXPECT_EQ(now.nodes[static_cast<std::size_t>(k)], rich(k)) << "record " << k;
}

TEST(Snapshots, ViewsOfEveryRoundOfGrowthStayIntact) {
  // One view per round of growth, each taken before the tables grow again.
  Store s;
  int next = 0;
  add(s, rich(next++));
  std::vector<NodesView> views;
  for (int round = 0; round < 6; ++round) {
    views.push_back(s.snapshot().nodes);
    next += grow_past_several_segments(s, next);
  }
  for (const NodesView& view : views) {
    for (std::size_t i = 0; i < view.size(); ++i) ASSERT_EQ(view[i], rich(static_cast<int>(i))) << "record " << i;
  }
}

TEST(Snapshots, ForOutputsReportsTheFirstBadIdInListOrder) {
  Store s;
  for (const char* n : {"a", "b", "c", "d", "e"}) add(s, src(n));
  std::vector<NodeId> ids = {0, 7, 9};
  auto bad = s.snapshot_for_outputs(ids);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().id, 7u);
  std::vector<NodeId> good = {4, 4, 0};
  auto ok = s.snapshot_for_outputs(good);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value().size(), 5u);
}

TEST(BuildReducedStore, RemapsInputsOutputsAndNodeMap) {
  std::vector<NodeRecord> nodes = {src("a"), src("b"), op("add", {0, 1})};
  std::vector<NodeId> outputs = {2, 2, 0};
  std::vector<NodeMapEntry> map = {Landing{1, 3}, std::nullopt, Landing{2, std::nullopt}};
  auto store = build_reduced_store(nodes, outputs, map);
  EXPECT_EQ(store->node_count(), 3u);
  EXPECT_EQ(store->outputs_copy(), (std::vector<NodeId>{2, 0}));
  auto copied_map = store->node_map_copy();
  ASSERT_EQ(copied_map.size(), 3u);
  EXPECT_EQ(copied_map[0], (NodeMapEntry{Landing{1, 3}}));
  EXPECT_EQ(copied_map[1], std::nullopt);
  EXPECT_EQ(copied_map[2], (NodeMapEntry{Landing{2, std::nullopt}}));
  EXPECT_EQ(to_record(store->snapshot().nodes[2]).inputs, (std::vector<NodeId>{0, 1}));
}

TEST(BuildReducedStore, CollapsesEqualRecordsThroughTheirIds) {
  // Positions 0 and 1 are equal; position 2 refers to position 1, which lands on id 0.
  std::vector<NodeRecord> nodes = {src("a"), src("a"), op("neg", {1})};
  std::vector<NodeId> outputs = {2};
  auto store = build_reduced_store(nodes, outputs, {Landing{1, std::nullopt}});
  EXPECT_EQ(store->node_count(), 2u);
  EXPECT_EQ(to_record(store->snapshot().nodes[1]).inputs, (std::vector<NodeId>{0}));
  EXPECT_EQ(store->outputs_copy(), (std::vector<NodeId>{1}));
  EXPECT_EQ(store->node_map_copy()[0]->reduced_id, 0u);
}

// Random pass results, stages laid out flat beside records of other kinds,
// against the same nodes written as records: the flat form reads back as
// those records, and both build paths give the same store. Some results
// repeat a node, which sends the build through its interning path.
TEST(BuildReducedStore, FlatStagesBuildWhatTheirRecordsBuild) {
  unsigned collapsed = 0;
  for (unsigned seed = 0; seed < 40; ++seed) {
    std::mt19937 rng(seed);
    ReducedNodes flat;
    std::vector<NodeRecord> model;
    const std::vector<std::string> texts = {"op|add", "op|neg", "op|mul|scalar=f4000000000000000;side=sr"};
    std::vector<std::uint32_t> token_ids;
    for (const std::string& t : texts) token_ids.push_back(flat.add_token(t));
    const std::size_t count = 1 + rng() % 30;
    for (std::size_t k = 0; k < count; ++k) {
      auto earlier = [&] { return static_cast<NodeId>(rng() % k); };
      if (k == 0 || rng() % 3 == 0) {
        NodeRecord r = k > 0 && rng() % 2 ? op("join", {earlier()}) : src(("s" + std::to_string(rng() % 4)).c_str());
        flat.push_record(r);
        model.push_back(std::move(r));
        continue;
      }
      std::vector<StageMember> members;
      for (std::size_t m = 0, n = 1 + rng() % 3; m < n; ++m) {
        StageMember member;
        const std::size_t t = rng() % texts.size();
        member.token = texts[t];
        for (std::size_t i = 0, ins = rng() % 3; i < ins; ++i) {
          const bool from_member = m > 0 && rng() % 2;
          member.inputs.push_back(from_member ? MemberInput{MemberSource::Member, rng() % m}
                                              : MemberInput{MemberSource::Input, rng() % 2});
        }
        flat.add_member(token_ids[t], member.inputs);
        members.push_back(std::move(member));
      }
      std::vector<NodeId> inputs = {earlier(), earlier()};
      flat.end_stage(inputs);
      model.push_back(NodeRecord::stage(std::move(inputs), std::move(members)));
    }
    ASSERT_EQ(flat.to_records(), model) << seed;
    std::vector<NodeId> outputs = {static_cast<NodeId>(count - 1), 0};
    std::vector<NodeMapEntry> map = {Landing{count - 1, 0}, std::nullopt, Landing{0, std::nullopt}};
    auto from_flat = build_reduced_store(flat, outputs, map);
    auto from_records = build_reduced_store(model, outputs, map);
    const auto a = from_flat->snapshot();
    const auto b = from_records->snapshot();
    ASSERT_EQ(a.nodes.size(), b.nodes.size()) << seed;
    for (std::size_t k = 0; k < a.nodes.size(); ++k) {
      const NodeRecord node = to_record(a.nodes[k]);
      EXPECT_EQ(node, to_record(b.nodes[k])) << seed;
      // Filed under the hash its record has: adding it again finds it.
      auto again = from_flat->add_node(node);
      ASSERT_TRUE(again.ok());
      EXPECT_EQ(again.value(), k) << seed;
    }
    EXPECT_EQ(a.outputs, b.outputs) << seed;
    EXPECT_EQ(from_flat->node_map_copy(), from_records->node_map_copy()) << seed;
    collapsed += a.nodes.size() < count;
  }
  // Both build paths were taken.
  EXPECT_GT(collapsed, 0u);
  EXPECT_LT(collapsed, 40u);
}

TEST(BuildReducedStore, BrokenPassResultsAreFatal) {
  std::vector<NodeRecord> forward = {op("f", {0})};
  EXPECT_THROW(build_reduced_store(forward, {}, {}), FatalError);
  std::vector<NodeRecord> one = {src("a")};
  std::vector<NodeId> bad_output = {1};
  try {
    build_reduced_store(one, bad_output, {});
    FAIL() << "expected a fatal error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "reduced output is valid");
  }
  EXPECT_THROW(build_reduced_store(one, {}, {Landing{5, std::nullopt}}), FatalError);
  // A refusal by the store is named in the panic text.
  EXPECT_EQ(std::string("x: BadNodeId(7)"), [] {
    try {
      fatal_bad_node_id("x", BadNodeId{7});
    } catch (const FatalError& e) {
      return std::string(e.what());
    }
    return std::string();
  }());
}

TEST(Poisoning, AFailureUnderTheMutexPoisonsEveryLaterOperation) {
  Store s;
  add(s, src("a"));
  EXPECT_FALSE(s.poisoned());
  EXPECT_THROW(s.read_locked([](const auto&, const auto&) -> int { fatal("broken invariant"); }), FatalError);
  EXPECT_TRUE(s.poisoned());
  auto expect_poisoned = [](auto&& operation) {
    try {
      operation();
      ADD_FAILURE() << "expected the poisoned-mutex error";
    } catch (const FatalError& e) {
      std::string text = e.what();
      EXPECT_EQ(text.rfind("weftory-core store mutex poisoned: ", 0), 0u) << text;
    }
  };
  expect_poisoned([&] { (void)s.add_node(src("b")); });
  // A node the store holds is found without the append mutex; still refused.
  expect_poisoned([&] { (void)s.add_node(src("a")); });
  expect_poisoned([&] { (void)s.mark_output(0); });
  expect_poisoned([&] { (void)s.node_count(); });
  expect_poisoned([&] { (void)s.snapshot(); });
  expect_poisoned([&] { (void)s.snapshot_for_outputs({}); });
  expect_poisoned([&] { (void)s.nodes_since(0); });
  expect_poisoned([&] { (void)s.outputs_copy(); });
  expect_poisoned([&] { (void)s.node_map_copy(); });
  expect_poisoned([&] { s.read_locked([](const auto&, const auto&) { return 0; }); });
}

TEST(Poisoning, OrdinaryResultsDoNotPoison) {
  Store s;
  EXPECT_FALSE(s.add_node(op("f", {3})).ok());
  EXPECT_FALSE(s.mark_output(0).ok());
  EXPECT_FALSE(s.poisoned());
  EXPECT_EQ(add(s, src("a")), 0u);
}

TEST(ConcurrentStore, ThreadsAddingOverlappingNodesAgreeOnIds) {
  constexpr int kThreads = 8;
  constexpr int kSources = 200;
  Store s;
  std::vector<std::vector<NodeId>> seen(kThreads);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kSources; ++i) {
        // Each thread walks the same names in a different rotation.
        int k = (i + t * 37) % kSources;
        auto id = s.add_node(NodeRecord::source(numbered(k), {}));
        seen[static_cast<std::size_t>(t)].push_back(id.ok() ? id.value() : ~0ULL);
        (void)s.snapshot();
      }
    });
  }
  go = true;
  for (auto& th : threads) th.join();
  EXPECT_EQ(s.node_count(), static_cast<std::uint64_t>(kSources));
  Snapshot snap = s.snapshot();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kSources; ++i) {
      int k = (i + t * 37) % kSources;
      NodeId id = seen[static_cast<std::size_t>(t)][static_cast<std::size_t>(i)];
      ASSERT_LT(id, snap.nodes.size());
      EXPECT_EQ(snap.nodes[id].name(), numbered(k));
    }
  }
}

TEST(ConcurrentStore, ReadersSeeConsistentPrefixes) {
  Store s;
  add(s, src("root"));
  std::atomic<bool> done{false};
  // Every node brings new texts, so the text pool grows along with the
  // records while the reader reads names and parameters through its views.
  std::thread writer([&] {
    for (int i = 1; i < 2000; ++i) {
      ParamMap params{{"p" + numbered(i), ParamValue::from_str(numbered(-i))}};
      (void)s.add_node(NodeRecord::op(numbered(i), std::move(params), {static_cast<NodeId>(i - 1)}));
    }
    done = true;
  });
  std::size_t last = 0;
  while (!done.load()) {
    Snapshot snap = s.snapshot();
    ASSERT_GE(snap.nodes.size(), last);
    last = snap.nodes.size();
    for (std::size_t i = 1; i < snap.nodes.size(); ++i) {
      const NodeRef node = snap.nodes[i];
      ASSERT_EQ(node.inputs()[0], i - 1);
      ASSERT_EQ(node.name(), numbered(static_cast<int>(i)));
      ASSERT_EQ(node.param(0).str, numbered(-static_cast<int>(i)));
    }
  }
  writer.join();
  EXPECT_EQ(s.node_count(), 2000u);
}

// Recipes of a graph every thread of a test builds: node r is a source or an
// op on up to three earlier recipes, with a parameter or two; some recipes
// are equal to earlier ones, so interning collapses them.
struct Recipe {
  bool source;
  std::string name;
  std::vector<std::size_t> inputs;  // recipe positions
  std::int64_t param;
};

std::vector<Recipe> make_recipes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<Recipe> out;
  for (std::size_t r = 0; r < n; ++r) {
    Recipe recipe{r < 8 || rng() % 10 == 0, "n" + std::to_string(rng() % 40), {}, std::int64_t(rng() % 50)};
    if (!recipe.source) {
      for (unsigned k = rng() % 4; k > 0; --k) recipe.inputs.push_back(rng() % r);
    }
    out.push_back(std::move(recipe));
  }
  return out;
}

NodeRecord record_of(const Recipe& recipe, const std::vector<NodeId>& ids) {
  ParamMap params{{"p", ParamValue::from_int(recipe.param)}};
  if (recipe.source) return NodeRecord::source(recipe.name, params);
  std::vector<NodeId> inputs;
  for (std::size_t i : recipe.inputs) inputs.push_back(ids[i]);
  return NodeRecord::op(recipe.name, params, std::move(inputs));
}

// Every input older than its node, and no two nodes equal.
void expect_well_formed(const NodesView& nodes) {
  std::unordered_map<std::uint64_t, std::vector<std::size_t>> by_hash;
  for (std::size_t id = 0; id < nodes.size(); ++id) {
    for (NodeId input : nodes[id].inputs()) ASSERT_LT(input, id) << "node " << id;
    std::vector<std::size_t>& same = by_hash[hash_node(nodes[id], 0)];
    for (std::size_t other : same) ASSERT_FALSE(same_node(nodes[id], nodes[other])) << id << " == " << other;
    same.push_back(id);
  }
}

TEST(ConcurrentStore, ThreadsBuildingOverlappingGraphsGetOneDenseIdPerNode) {
  constexpr int kThreads = 6;
  constexpr std::size_t kRecipes = 3000;
  const std::vector<Recipe> recipes = make_recipes(kRecipes, 11);
  Store s;
  std::vector<std::vector<NodeId>> ids(kThreads, std::vector<NodeId>(kRecipes));
  std::vector<std::vector<NodeId>> own(kThreads);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<NodeId>& mine = ids[static_cast<std::size_t>(t)];
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (std::size_t r = 0; r < kRecipes; ++r) {
        auto added = s.add_node(record_of(recipes[r], mine));
        ASSERT_TRUE(added.ok());
        mine[r] = added.value();
        // Between the shared nodes, some of the thread's own, on shared inputs.
        if (r % 7 == static_cast<std::size_t>(t) % 7) {
          auto extra = s.add_node(
              NodeRecord::op("own" + std::to_string(t), {{"r", ParamValue::from_int(std::int64_t(r))}}, {mine[r]}));
          ASSERT_TRUE(extra.ok());
          own[static_cast<std::size_t>(t)].push_back(extra.value());
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  // Every thread got the same id for each recipe.
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(ids[static_cast<std::size_t>(t)], ids[0]) << "thread " << t;
  std::vector<bool> used(s.node_count(), false);
  for (NodeId id : ids[0]) used.at(id) = true;
  std::size_t own_total = 0;
  for (const auto& list : own) {
    own_total += list.size();
    for (NodeId id : list) {
      ASSERT_LT(id, used.size());
      EXPECT_FALSE(used[id]) << "a thread's own node shares id " << id;
      used[id] = true;
    }
  }
  // Ids are dense: every id below the count was handed out.
  EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);
  const Snapshot snap = s.snapshot();
  expect_well_formed(snap.nodes);
  // Each recipe's id holds the recipe's node.
  for (std::size_t r = 0; r < kRecipes; ++r) {
    ASSERT_TRUE(same_node(snap.nodes[ids[0][r]], RecordRef(record_of(recipes[r], ids[0])))) << r;
  }
  EXPECT_GT(own_total, 0u);
}

TEST(ConcurrentStore, ViewsTakenWhileThreadsAddAreWellFormedPrefixes) {
  constexpr int kWriters = 3;
  constexpr std::size_t kRecipes = 2000;
  const std::vector<Recipe> recipes = make_recipes(kRecipes, 5);
  Store s;
  std::atomic<int> writing{kWriters};
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t) {
    writers.emplace_back([&, t] {
      std::vector<NodeId> mine(kRecipes);
      for (std::size_t r = 0; r < kRecipes; ++r) {
        mine[r] = s.add_node(record_of(recipes[r], mine)).value();
        (void)s.add_node(NodeRecord::op("w" + std::to_string(t), {}, {mine[r]}));
      }
      writing.fetch_sub(1);
    });
  }
  std::vector<NodesView> views;
  std::vector<NodesView> tails;
  std::uint64_t last = 0;
  while (writing.load() > 0) {
    NodesView view = s.snapshot().nodes;
    ASSERT_GE(view.size(), last);
    last = view.size();
    expect_well_formed(view);
    if (views.size() < 200) views.push_back(view);
    NodesView tail = s.nodes_since(last / 2);
    ASSERT_GE(tail.first_id() + tail.size(), last);
    if (tails.size() < 200) tails.push_back(tail);
    const std::uint64_t count = s.node_count();
    ASSERT_GE(count, last);
  }
  for (auto& th : writers) th.join();
  const NodesView all = s.snapshot().nodes;
  expect_well_formed(all);
  // Every view held is a prefix (or a slice) of the final table.
  for (const auto& list : {views, tails}) {
    for (const NodesView& view : list) {
      for (std::size_t i = 0; i < view.size(); ++i) {
        ASSERT_TRUE(same_node(view[i], all[view.first_id() + i]));
      }
    }
  }
}

TEST(ConcurrentStore, PoisoningStopsEveryThreadWhateverItWasDoing) {
  constexpr int kThreads = 4;
  Store s;
  add(s, src("root"));
  std::atomic<int> running{0};
  std::vector<std::string> errors(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      running.fetch_add(1);
      try {
        // Even threads add new nodes; odd ones only find nodes already there.
        for (std::uint64_t i = 0;; ++i) {
          if (t % 2 == 0) {
            (void)s.add_node(NodeRecord::op("t" + std::to_string(t), {{"i", ParamValue::from_int(std::int64_t(i))}}, {0}));
          } else {
            (void)s.add_node(src("root"));
            if (i % 16 == 0) (void)s.node_count();
          }
        }
      } catch (const FatalError& e) {
        errors[static_cast<std::size_t>(t)] = e.what();
      }
    });
  }
  while (running.load() < kThreads) std::this_thread::yield();
  while (s.node_count() < 500) std::this_thread::yield();
  EXPECT_THROW(s.read_locked([](const auto&, const auto&) -> int { fatal("broken invariant"); }), FatalError);
  for (auto& th : threads) th.join();
  for (const std::string& text : errors) {
    EXPECT_EQ(text.rfind("weftory-core store mutex poisoned: ", 0), 0u) << text;
    EXPECT_NE(text.find("broken invariant"), std::string::npos) << text;
  }
  EXPECT_THROW((void)s.node_count(), FatalError);
  EXPECT_THROW((void)s.add_node(src("root")), FatalError);
}

}  // namespace
}  // namespace weftory::store

#include "optimizer/engine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "egraph/log.hpp"
#include "support/fatal.hpp"

namespace weftory::optimizer {

using support::FatalError;

namespace {

constexpr const char* kAddZeroRight = "op|add|scalar=f0000000000000000;side=sr";
constexpr const char* kAddZeroLeft = "op|add|scalar=f0000000000000000;side=sl";
constexpr const char* kMulOneRight = "op|mul|scalar=f3ff0000000000000;side=sr";
constexpr const char* kMulOneLeft = "op|mul|scalar=f3ff0000000000000;side=sl";

// Builds an input term by term.
class Terms {
 public:
  std::uint64_t add(const std::string& op, const std::vector<std::uint64_t>& children = {}) {
    return input.add(op, children);
  }
  EngineInput input;
};

// An output term with its op as text, to compare against expected terms.
struct Shown {
  std::string op;
  std::vector<std::uint64_t> children;
  bool opaque;
  friend bool operator==(const Shown&, const Shown&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Shown& s) {
    out << s.op << " (";
    for (std::uint64_t c : s.children) out << ' ' << c;
    return out << " ) opaque=" << s.opaque;
  }
};
Shown shown(const EngineInput& input, const EngineTerm& term) {
  return Shown{std::string(input.ops.text(term.op)), {term.children.begin(), term.children.end()}, term.opaque};
}

EngineOutput rewrite(const EngineInput& input) {
  const SaturationEngine engine;
  return engine.rewrite(input);
}

TEST(EngineTest, HasTwelveRulesInOrderAndAnIterationLimitOfTwelve) {
  const SaturationEngine engine;
  const std::vector<std::string> names = {
      "commute-add", "commute-mul", "commute-and", "commute-or", "commute-eq", "commute-ne", "commute-maximum",
      "commute-minimum", std::string("identity-") + kAddZeroRight, std::string("identity-") + kAddZeroLeft,
      std::string("identity-") + kMulOneRight, std::string("identity-") + kMulOneLeft};
  ASSERT_EQ(engine.rules().size(), names.size());
  for (std::size_t k = 0; k < names.size(); ++k) EXPECT_EQ(engine.symbols().text(engine.rules()[k].name()), names[k]);
  EXPECT_EQ(engine.rules()[0].searcher().to_string(), "(op|add ?a ?b)");
  EXPECT_EQ(engine.rules()[0].applier().to_string(), "(op|add ?b ?a)");
  EXPECT_EQ(engine.rules()[7].applier().to_string(), "(op|minimum ?b ?a)");
  EXPECT_EQ(engine.rules()[8].searcher().to_string(), std::string("(") + kAddZeroRight + " ?x)");
  EXPECT_EQ(engine.rules()[11].applier().to_string(), "?x");
  EXPECT_EQ(engine.iteration_limit(), 12u);
}

TEST(EngineTest, EmptyInputGivesEmptyOutput) {
  const EngineOutput out = rewrite(EngineInput{});
  EXPECT_TRUE(out.terms.empty());
  EXPECT_TRUE(out.roots.empty());
  EXPECT_TRUE(out.node_map.empty());
}

class CommutedDuplicateTest : public ::testing::TestWithParam<std::string> {};

TEST_P(CommutedDuplicateTest, SwappedOperandsMapToTheEarlierTerm) {
  Terms t;
  const auto a = t.add("src|a");
  const auto b = t.add("src|b");
  const auto ab = t.add("op|" + GetParam(), {a, b});
  const auto ba = t.add("op|" + GetParam(), {b, a});
  t.input.roots = {ba, ab};
  const EngineOutput out = rewrite(t.input);
  ASSERT_EQ(out.terms.size(), 3u);
  EXPECT_EQ(shown(t.input, out.terms[2]), (Shown{"op|" + GetParam(), {0, 1}, false}));
  EXPECT_EQ(out.node_map, (std::vector<std::uint64_t>{0, 1, 2, 2}));
  EXPECT_EQ(out.roots, (std::vector<std::uint64_t>{2, 2}));
}

INSTANTIATE_TEST_SUITE_P(CommutedOps, CommutedDuplicateTest,
                         ::testing::Values("add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"));

class NotCommutedTest : public ::testing::TestWithParam<std::string> {};

TEST_P(NotCommutedTest, SwappedOperandsStayApart) {
  Terms t;
  const auto a = t.add("src|a");
  const auto b = t.add("src|b");
  t.add(GetParam(), {a, b});
  t.add(GetParam(), {b, a});
  const EngineOutput out = rewrite(t.input);
  EXPECT_EQ(out.terms.size(), 4u);
  EXPECT_EQ(out.node_map, (std::vector<std::uint64_t>{0, 1, 2, 3}));
}

INSTANTIATE_TEST_SUITE_P(OtherOps, NotCommutedTest,
                         ::testing::Values("op|sub", "op|div", "op|pow", "op|add|scalar=f0000000000000000",
                                           "op|mul|axis=i0", "red|add", "join", "op|Add"));

class IdentityTest : public ::testing::TestWithParam<std::string> {};

TEST_P(IdentityTest, IdentityMapsToItsInputAndAddsNoTerm) {
  Terms t;
  const auto x = t.add("src|x");
  const auto id = t.add(GetParam(), {x});
  const auto use = t.add("op|neg", {id});
  t.input.roots = {use, id};
  const EngineOutput out = rewrite(t.input);
  ASSERT_EQ(out.terms.size(), 2u);
  EXPECT_EQ(shown(t.input, out.terms[0]), (Shown{"src|x", {}, true}));
  EXPECT_EQ(shown(t.input, out.terms[1]), (Shown{"op|neg", {0}, false}));  // its child is x now
  EXPECT_EQ(out.node_map, (std::vector<std::uint64_t>{0, 0, 1}));
  EXPECT_EQ(out.roots, (std::vector<std::uint64_t>{1, 0}));
}

INSTANTIATE_TEST_SUITE_P(IdentityKeys, IdentityTest,
                         ::testing::Values(kAddZeroRight, kAddZeroLeft, kMulOneRight, kMulOneLeft));

class NotIdentityTest : public ::testing::TestWithParam<std::string> {};

TEST_P(NotIdentityTest, OtherScalarSpellingsStay) {
  Terms t;
  const auto x = t.add("src|x");
  t.add(GetParam(), {x});
  const EngineOutput out = rewrite(t.input);
  EXPECT_EQ(out.terms.size(), 2u);
  EXPECT_EQ(out.node_map, (std::vector<std::uint64_t>{0, 1}));
}

INSTANTIATE_TEST_SUITE_P(Spellings, NotIdentityTest,
                         ::testing::Values("op|add|scalar=f8000000000000000;side=sr",  // -0.0
                                           "op|add|scalar=i0;side=sr",                 // int-typed
                                           "op|mul|scalar=f0000000000000000;side=sr",  // times zero
                                           "op|add|extra=i1;scalar=f0000000000000000;side=sr",
                                           "op|sub|scalar=f0000000000000000;side=sr",
                                           "op|add|scalar=f0000000000000000;side=sx"));

TEST(EngineTest, IdentityWithTwoInputsDoesNotApply) {
  Terms t;
  const auto x = t.add("src|x");
  const auto y = t.add("src|y");
  t.add(kAddZeroRight, {x, y});
  EXPECT_EQ(rewrite(t.input).terms.size(), 3u);
}

TEST(EngineTest, IdenticalTermsShareOneOutputTerm) {
  Terms t;
  const auto a = t.add("src|a");
  const auto s1 = t.add("op|sub", {a, a});
  const auto s2 = t.add("op|sub", {a, a});
  const auto a2 = t.add("src|a");
  t.input.roots = {s2, a2};
  const EngineOutput out = rewrite(t.input);
  EXPECT_EQ(out.terms.size(), 2u);
  EXPECT_EQ(out.node_map, (std::vector<std::uint64_t>{0, 1, 1, 0}));
  EXPECT_EQ(out.roots, (std::vector<std::uint64_t>{1, 0}));
  (void)s1;
}

TEST(EngineTest, OpaqueFlagIsSetForEveryNonOpTerm) {
  Terms t;
  const auto s = t.add("src|a");
  const auto o = t.add("op|exp", {s});
  const auto r = t.add("red|sum|axis=i0", {o});
  const auto e = t.add("ext|onnx|h|torch|2|schema|-", {r});
  const auto st = t.add("stage|2", {e});
  const auto x = t.add("exch|scheme=shash", {st});
  const auto j = t.add("join", {x, o});
  const auto odd = t.add("opx", {j});  // "op" without the bar is not an Op key
  (void)odd;
  const EngineOutput out = rewrite(t.input);
  ASSERT_EQ(out.terms.size(), 8u);
  const std::vector<bool> expected = {true, false, true, true, true, true, true, true};
  for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(out.terms[k].opaque, expected[k]) << t.input.ops.text(out.terms[k].op);
}

TEST(EngineTest, InputOpaqueFlagIsIgnored) {
  Terms t;
  t.add("op|neg");
  t.input.terms[0].opaque = true;
  EXPECT_FALSE(rewrite(t.input).terms[0].opaque);
}

TEST(EngineTest, RewritesComposeThroughCongruence) {
  // f(a + b) and f(b + a) are one term once the sums merge; chains of
  // identities collapse onto their innermost input.
  Terms t;
  const auto a = t.add("src|a");
  const auto b = t.add("src|b");
  const auto ab = t.add("op|add", {a, b});
  const auto f1 = t.add("op|exp", {ab});
  const auto ba = t.add("op|add", {b, a});
  const auto f2 = t.add("op|exp", {ba});
  const auto i1 = t.add(kMulOneLeft, {a});
  const auto i2 = t.add(kAddZeroRight, {i1});
  const auto i3 = t.add(kMulOneRight, {i2});
  const auto mixed = t.add("op|mul", {i3, b});
  const auto plain = t.add("op|mul", {b, a});
  t.input.roots = {f2, mixed, plain};
  const EngineOutput out = rewrite(t.input);
  EXPECT_EQ(out.node_map[f2], out.node_map[f1]);
  EXPECT_EQ(out.node_map[i3], out.node_map[a]);
  EXPECT_EQ(out.node_map[plain], out.node_map[mixed]);
  // The representative of mul is the earliest input term, with its own
  // (identity-wrapped) child replaced by the child's class representative.
  EXPECT_EQ(shown(t.input, out.terms[out.node_map[mixed]]),
            (Shown{"op|mul", {out.node_map[a], out.node_map[b]}, false}));
  EXPECT_EQ(out.terms.size(), 5u);  // a, b, a+b, exp, mul
}

TEST(EngineTest, MalformedInputIsFatal) {
  Terms forward;
  forward.add("src|a");
  forward.add("op|neg", {1});  // refers to itself
  try {
    rewrite(forward.input);
    FAIL() << "expected a fatal error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 1 but the index is 1");
  }
  Terms root;
  root.add("src|a");
  root.input.roots = {0, 1};
  EXPECT_THROW(rewrite(root.input), FatalError);
}

TEST(EngineTest, RunStatsDescribeTheRun) {
  Terms t;
  const auto a = t.add("src|a");
  const auto b = t.add("src|b");
  t.add("op|add", {a, b});
  t.add("op|add", {b, a});
  EngineRunStats stats;
  const SaturationEngine engine;
  engine.rewrite(t.input, stats);
  EXPECT_EQ(stats.stop_reason, egraph::StopReason::saturated());
  EXPECT_EQ(stats.node_limit, 4u * 4u + 1024u);
  EXPECT_EQ(stats.iterations, stats.iteration_records.size());
  EXPECT_GE(stats.iterations, 2u);
  EXPECT_EQ(stats.egraph_classes, 3u);
}

// ---------------------------------------------------------------------------
// Random batches against a direct canonical form.

// Canonical form of a term: identities are their input, commuted operations
// have their operand forms sorted, everything else keeps its order.
struct Reference {
  std::map<std::pair<std::string, std::vector<int>>, int> forms;
  std::vector<int> form_of;
  int canonical(const EngineInput& input, const EngineTerm& term) {
    const std::string op(input.ops.text(term.op));
    static const std::vector<std::string> identities = {kAddZeroRight, kAddZeroLeft, kMulOneRight, kMulOneLeft};
    static const std::vector<std::string> commuted = {"op|add", "op|mul", "op|and",     "op|or",
                                                      "op|eq",  "op|ne",  "op|maximum", "op|minimum"};
    std::vector<int> kids;
    for (auto c : term.children) kids.push_back(form_of[c]);
    if (kids.size() == 1 && std::find(identities.begin(), identities.end(), op) != identities.end())
      return kids[0];
    if (kids.size() == 2 && std::find(commuted.begin(), commuted.end(), op) != commuted.end())
      std::sort(kids.begin(), kids.end());
    auto [it, inserted] = forms.try_emplace({op, kids}, static_cast<int>(forms.size()));
    return it->second;
  }
};

EngineInput random_input(unsigned seed, std::size_t n) {
  std::mt19937 rng(seed);
  const std::vector<std::string> binary = {"op|add", "op|mul", "op|sub", "op|maximum", "op|eq"};
  const std::vector<std::string> unary = {"op|neg", kAddZeroRight, kAddZeroLeft, kMulOneRight, kMulOneLeft,
                                          "op|add|scalar=f4000000000000000;side=sr"};
  Terms t;
  for (int k = 0; k < 6; ++k) t.add("src|s" + std::to_string(k));
  while (t.input.terms.size() < n) {
    const auto size = t.input.terms.size();
    if (rng() % 2 == 0) {
      t.add(binary[rng() % binary.size()], {rng() % size, rng() % size});
    } else {
      t.add(unary[rng() % unary.size()], {rng() % size});
    }
  }
  for (std::size_t k = 0; k < n; k += 7) t.input.roots.push_back(k);
  return t.input;
}

class RandomEngineTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomEngineTest, ClassesMatchTheCanonicalFormsAndOutputIsWellFormed) {
  const EngineInput input = random_input(GetParam(), 300);
  EngineRunStats stats;
  const SaturationEngine engine;
  const EngineOutput out = engine.rewrite(input, stats);
  ASSERT_EQ(stats.stop_reason, egraph::StopReason::saturated());

  Reference ref;
  for (const EngineTerm& term : input.terms) ref.form_of.push_back(ref.canonical(input, term));
  ASSERT_EQ(out.node_map.size(), input.terms.size());
  for (std::size_t x = 0; x < input.terms.size(); ++x)
    for (std::size_t y = x + 1; y < input.terms.size(); ++y)
      ASSERT_EQ(ref.form_of[x] == ref.form_of[y], out.node_map[x] == out.node_map[y]) << x << " vs " << y;

  // One output term per class, in order of the earliest member, which is the
  // representative, unchanged but for its children.
  std::vector<std::uint64_t> first_member(out.terms.size(), input.terms.size());
  for (std::size_t i = 0; i < input.terms.size(); ++i)
    first_member[out.node_map[i]] = std::min<std::uint64_t>(first_member[out.node_map[i]], i);
  for (std::size_t j = 0; j < out.terms.size(); ++j) {
    ASSERT_LT(first_member[j], input.terms.size());
    if (j > 0) {
      EXPECT_LT(first_member[j - 1], first_member[j]);
    }
    const EngineTerm& rep = input.terms[first_member[j]];
    EXPECT_EQ(out.terms[j].op, rep.op);
    ASSERT_EQ(out.terms[j].children.size(), rep.children.size());
    for (std::size_t c = 0; c < rep.children.size(); ++c) {
      EXPECT_EQ(out.terms[j].children[c], out.node_map[rep.children[c]]);
      EXPECT_LT(out.terms[j].children[c], j) << "output must stay topologically ordered";
    }
  }
  for (std::size_t r = 0; r < input.roots.size(); ++r) EXPECT_EQ(out.roots[r], out.node_map[input.roots[r]]);

  // Equal inputs give equal outputs.
  EXPECT_EQ(engine.rewrite(input), out);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomEngineTest, ::testing::Range(1u, 13u));

// The output must not depend on the order in which operator texts were first
// interned in this process (symbol numbers decide e-node order).
TEST(EngineTest, OutputDoesNotDependOnSymbolNumbering) {
  auto build = [](const std::string& prefix) {
    Terms t;
    const auto a = t.add("src|" + prefix + "a");
    const auto b = t.add("src|" + prefix + "b");
    const auto c = t.add("src|" + prefix + "c");
    const auto ab = t.add("op|add", {a, b});
    const auto ba = t.add("op|add", {b, a});
    const auto u = t.add("op|" + prefix + "u", {ab, c});
    const auto v = t.add("op|" + prefix + "u", {ba, c});
    const auto w = t.add("op|" + prefix + "w", {c, b});
    t.add(kAddZeroLeft, {w});
    t.add("op|mul", {u, v});
    t.add("op|mul", {v, u});
    return t.input;
  };
  const EngineOutput first = rewrite(build("numbering-1-"));
  const EngineOutput second = rewrite(build("numbering-2-"));
  EXPECT_EQ(first.node_map, second.node_map);
  EXPECT_EQ(first.roots, second.roots);
  ASSERT_EQ(first.terms.size(), second.terms.size());
  for (std::size_t k = 0; k < first.terms.size(); ++k) EXPECT_EQ(first.terms[k].children, second.terms[k].children);
}

TEST(EngineTest, CopiedInputsOutliveTheirOriginals) {
  EngineOutput expected;
  EngineInput copy;
  {
    const EngineInput original = random_input(7, 200);
    expected = rewrite(original);
    copy = original;
  }
  const EngineInput second(copy);
  EXPECT_EQ(rewrite(copy), expected);
  EXPECT_EQ(rewrite(second), expected);
  for (OpIndex op = 0; op < copy.ops.size(); ++op) EXPECT_EQ(copy.ops.intern(std::string(copy.ops.text(op))), op);
}

// Each thread makes its own engine first thing, so the threads also race to
// build the process's one rule set (each test runs in a process of its own).
TEST(EngineTest, ConcurrentRewritesAgreeWithSequentialOnes) {
  std::vector<EngineInput> inputs;
  for (unsigned seed = 100; seed < 104; ++seed) inputs.push_back(random_input(seed, 400));
  std::vector<EngineOutput> got(inputs.size());
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < inputs.size(); ++k)
    threads.emplace_back([&, k] { got[k] = SaturationEngine().rewrite(inputs[k]); });
  for (auto& thread : threads) thread.join();
  const SaturationEngine engine;
  std::vector<EngineOutput> expected;
  for (const EngineInput& input : inputs) expected.push_back(engine.rewrite(input));
  for (std::size_t k = 0; k < inputs.size(); ++k) EXPECT_EQ(got[k], expected[k]) << "input " << k;
}

// One batch rewritten twice: with no log sink, and with a sink listening at
// `level`, which turns off every shortcut the quiet run may take.
struct QuietAndListened {
  EngineOutput quiet;
  EngineOutput listened;
  EngineRunStats quiet_stats;
  EngineRunStats listened_stats;
};
QuietAndListened rewrite_quietly_and_listened(const EngineInput& input, egraph::LogLevel level) {
  const SaturationEngine engine;
  QuietAndListened runs;
  runs.quiet = engine.rewrite(input, runs.quiet_stats);
  egraph::ScopedLogSink listening([](egraph::LogLevel, std::string_view) {}, level);
  runs.listened = engine.rewrite(input, runs.listened_stats);
  return runs;
}

// The two runs report the same run: stop reason and every iteration record.
void expect_same_run(const EngineRunStats& a, const EngineRunStats& b) {
  EXPECT_EQ(a.iterations, b.iterations);
  EXPECT_EQ(a.egraph_nodes, b.egraph_nodes);
  EXPECT_EQ(a.egraph_classes, b.egraph_classes);
  EXPECT_EQ(a.node_limit, b.node_limit);
  EXPECT_EQ(a.stop_reason, b.stop_reason);
  ASSERT_EQ(a.iteration_records.size(), b.iteration_records.size());
  for (std::size_t k = 0; k < a.iteration_records.size(); ++k) {
    const auto& x = a.iteration_records[k];
    const auto& y = b.iteration_records[k];
    EXPECT_EQ(x.applied, y.applied) << "iteration " << k;
    EXPECT_EQ(x.egraph_nodes, y.egraph_nodes) << "iteration " << k;
    EXPECT_EQ(x.egraph_classes, y.egraph_classes) << "iteration " << k;
    EXPECT_EQ(x.n_rebuilds, y.n_rebuilds) << "iteration " << k;
    EXPECT_EQ(x.stop_reason, y.stop_reason) << "iteration " << k;
  }
}

// Batches in which no term has the op and child count of a rule's searcher
// (commuted names with one or three inputs, identity keys with two, other
// keys), full of identical terms: the hash-consing path must report exactly
// what the saturation run reports, which an installed log sink forces.
class UnmatchedBatchTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(UnmatchedBatchTest, HashConsingAgreesWithTheSaturationRun) {
  std::mt19937 rng(GetParam());
  const std::vector<std::pair<std::string, std::size_t>> shapes = {
      {"op|add", 1}, {"op|mul", 3}, {"op|neg", 1}, {"op|sub", 2}, {kAddZeroRight, 2}, {kMulOneLeft, 0},
      {"red|add", 1}, {"op|maximum", 0}};
  Terms t;
  for (int k = 0; k < 4; ++k) t.add("src|s" + std::to_string(k));
  while (t.input.terms.size() < 400) {
    const auto& [op, arity] = shapes[rng() % shapes.size()];
    // Children drawn from a small window make identical terms common.
    std::vector<std::uint64_t> children;
    const std::size_t size = t.input.terms.size();
    for (std::size_t c = 0; c < arity; ++c) children.push_back(size - 1 - rng() % std::min<std::size_t>(size, 6));
    t.add(op, children);
  }
  for (std::size_t k = 0; k < t.input.terms.size(); k += 5) t.input.roots.push_back(k);
  const bool with_match = GetParam() % 3 == 0;
  if (with_match) t.add("op|add", {0, 1});

  const QuietAndListened runs = rewrite_quietly_and_listened(t.input, egraph::LogLevel::Warn);
  EXPECT_EQ(runs.quiet_stats.matched_nothing, !with_match);
  EXPECT_FALSE(runs.listened_stats.matched_nothing);
  EXPECT_EQ(runs.quiet, runs.listened);
  EXPECT_LT(runs.quiet.terms.size(), 300u) << "the batch should hold many identical terms";
  expect_same_run(runs.quiet_stats, runs.listened_stats);
}

INSTANTIATE_TEST_SUITE_P(Seeds, UnmatchedBatchTest, ::testing::Range(1u, 10u));

// Without a trace sink the run counts single-operator matches instead of
// searching for a ban, reads them off the class lists, and skips applications
// whose e-node its class already lists; with one it runs the matching machine
// and every application. Batches large enough to be banned, rich in commuted
// duplicates, identities and congruences, must give the same classes and the
// same iteration records both ways.
class TracedRunTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(TracedRunTest, ShortcutsAgreeWithTheTracedRun) {
  std::mt19937 rng(GetParam());
  const std::vector<std::pair<std::string, std::size_t>> shapes = {
      {"op|add", 2}, {"op|add", 2}, {"op|mul", 2}, {"op|maximum", 2}, {"op|sub", 2},
      {kAddZeroRight, 1}, {kMulOneLeft, 1}, {"op|neg", 1}, {"op|add", 3}};
  Terms t;
  for (int k = 0; k < 12; ++k) t.add("src|s" + std::to_string(k));
  const std::size_t size = 3500 + 1500 * (GetParam() % 3);
  while (t.input.terms.size() < size) {
    const auto& [op, arity] = shapes[rng() % shapes.size()];
    std::vector<std::uint64_t> children;
    const std::size_t have = t.input.terms.size();
    for (std::size_t c = 0; c < arity; ++c) children.push_back(rng() % have);
    const std::uint64_t term = t.add(op, children);
    // Often the swapped twin right away, so commuted duplicates merge.
    if (arity == 2 && rng() % 3 == 0) t.add(op, {children[1], children[0]});
    if (rng() % 7 == 0) t.input.roots.push_back(term);
  }

  const QuietAndListened runs = rewrite_quietly_and_listened(t.input, egraph::LogLevel::Trace);
  EXPECT_EQ(runs.quiet, runs.listened);
  EXPECT_LT(runs.quiet.terms.size(), t.input.terms.size()) << "the batch should merge terms";
  expect_same_run(runs.quiet_stats, runs.listened_stats);
  const auto& records = runs.quiet_stats.iteration_records;
  EXPECT_TRUE(std::any_of(records.begin(), records.end(),
                          [](const egraph::IterationRecord& r) { return r.applied.empty() && !r.stop_reason; }))
      << "some iteration should have found its rules banned";
}

INSTANTIATE_TEST_SUITE_P(Seeds, TracedRunTest, ::testing::Range(1u, 7u));

TEST(EngineTest, LargeBatchesStillMergeAfterBackoff) {
  // 1500 commuted pairs: commute-add finds more than 1000 matches and is
  // banned first, yet the run still merges every pair before it stops.
  Terms t;
  std::vector<std::uint64_t> sources;
  for (int k = 0; k < 60; ++k) sources.push_back(t.add("src|big" + std::to_string(k)));
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs;
  for (int i = 0; i < 60 && pairs.size() < 1500; ++i)
    for (int j = i + 1; j < 60 && pairs.size() < 1500; ++j) {
      const auto ab = t.add("op|add", {sources[i], sources[j]});
      pairs.push_back({ab, 0});
    }
  std::size_t k = 0;
  for (int i = 0; i < 60 && k < pairs.size(); ++i)
    for (int j = i + 1; j < 60 && k < pairs.size(); ++j) pairs[k++].second = t.add("op|add", {sources[j], sources[i]});
  EngineRunStats stats;
  const SaturationEngine engine;
  const EngineOutput out = engine.rewrite(t.input, stats);
  for (const auto& [ab, ba] : pairs) ASSERT_EQ(out.node_map[ab], out.node_map[ba]);
  EXPECT_EQ(out.terms.size(), 60u + 1500u);
  EXPECT_GT(stats.iterations, 2u);
}

}  // namespace
}  // namespace weftory::optimizer

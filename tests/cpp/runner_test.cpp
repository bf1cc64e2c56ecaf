#include "egraph/runner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "egraph/log.hpp"
#include "log_capture.hpp"
#include "support/fatal.hpp"
#include "test_symbols.hpp"

namespace weftory::egraph {

using support::FatalError;
using support::Result;

namespace {

using namespace std::chrono_literals;

Symbol sym(const std::string& text) { return test_symbols().intern(text); }

std::string numbered(const char* prefix, std::size_t k) {
  std::string text(prefix);
  text += std::to_string(k);
  return text;
}

Rewrite rule(const std::string& name, const std::string& searcher, const std::string& applier) {
  return Rewrite::make(name, std::make_shared<const Pattern>(parse_pattern(searcher, test_symbols()).unwrap()),
                       std::make_shared<const Pattern>(parse_pattern(applier, test_symbols()).unwrap()), test_symbols())
      .unwrap();
}

// n distinct leaves l0..l(n-1) and f(li) over each.
EGraph leaves_under_f(std::size_t n) {
  EGraph g(test_symbols());
  for (std::size_t k = 0; k < n; ++k) {
    const Id leaf = g.add(SymbolLang(sym(numbered("l", k)), {}));
    g.add(SymbolLang(sym("f"), {leaf}));
  }
  return g;
}

std::size_t applied_count(const IterationRecord& record, const std::string& name) {
  for (const auto& [rule_name, count] : record.applied)
    if (rule_name == sym(name)) return count;
  return 0;
}

// ---------------------------------------------------------------------------
// Diagnostics plumbing

TEST(LogTest, RecordsAreBuiltOnlyForAnInstalledSinkOfThatLevel) {
  bool built = false;
  auto make = [&] {
    built = true;
    return std::string("record");
  };
  log_lazy(LogLevel::Warn, make);
  EXPECT_FALSE(built) << "no sink: nothing may be formatted";
  std::vector<std::pair<LogLevel, std::string>> seen;
  {
    ScopedLogSink sink([&](LogLevel level, std::string_view text) { seen.emplace_back(level, text); },
                       LogLevel::Info);
    log_lazy(LogLevel::Debug, make);
    EXPECT_FALSE(built) << "debug is above the sink's level";
    log_lazy(LogLevel::Info, make);
    EXPECT_TRUE(built);
  }
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, LogLevel::Info);
  EXPECT_EQ(seen[0].second, "record");
  built = false;
  log_lazy(LogLevel::Warn, make);
  EXPECT_FALSE(built) << "the scoped sink is gone";
  EXPECT_FALSE(log_enabled(LogLevel::Warn));
}

// ---------------------------------------------------------------------------
// Runner

TEST(RunnerTest, DefaultsAreAsDocumented) {
  Runner runner;
  EXPECT_EQ(runner.iteration_limit(), 30u);
  EXPECT_EQ(runner.node_limit(), 10000u);
  EXPECT_EQ(runner.time_limit(), 5s);
  EXPECT_FALSE(runner.stop_reason().has_value());
  EXPECT_TRUE(runner.iterations().empty());
  EXPECT_TRUE(runner.roots().empty());
  const auto* backoff = dynamic_cast<const BackoffScheduler*>(&runner.scheduler());
  ASSERT_NE(backoff, nullptr);
  EXPECT_EQ(backoff->match_limit(), 1000u);
  EXPECT_EQ(backoff->ban_length(), 5u);
}

TEST(RunnerTest, NothingToApplySaturatesAfterOneIteration) {
  Runner runner;
  runner.with_egraph(leaves_under_f(3)).run(std::vector<Rewrite>{rule("never", "(g ?x)", "?x")});
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  EXPECT_EQ(runner.iterations()[0].stop_reason, StopReason::saturated());
  EXPECT_EQ(runner.iterations()[0].egraph_nodes, 6u);
  EXPECT_EQ(runner.iterations()[0].egraph_classes, 6u);
  EXPECT_TRUE(runner.iterations()[0].applied.empty());
  EXPECT_TRUE(runner.egraph().clean());
}

TEST(RunnerTest, AppliesUntilNothingChangesAndRecordsEachIteration) {
  Runner runner;
  runner.with_egraph(leaves_under_f(4)).run(std::vector<Rewrite>{rule("drop-f", "(f ?x)", "?x")});
  ASSERT_EQ(runner.iterations().size(), 2u);
  const IterationRecord& first = runner.iterations()[0];
  EXPECT_EQ(applied_count(first, "drop-f"), 4u);
  EXPECT_EQ(first.egraph_nodes, 8u);
  EXPECT_FALSE(first.stop_reason.has_value());
  EXPECT_GE(first.total_time, first.search_time);
  EXPECT_GE(first.search_time, 0.0);
  EXPECT_TRUE(runner.iterations()[1].applied.empty());
  EXPECT_EQ(runner.iterations()[1].egraph_classes, 4u);
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
}

TEST(RunnerTest, RebuildUnionsAreCountedPerIteration) {
  // Merging a and b through the rule makes g(a) and g(b) congruent.
  EGraph g(test_symbols());
  const Id a = g.add(SymbolLang(sym("a"), {}));
  const Id b = g.add(SymbolLang(sym("b"), {}));
  g.add(SymbolLang(sym("g"), {a}));
  g.add(SymbolLang(sym("g"), {b}));
  Runner runner;
  runner.with_egraph(std::move(g)).run(std::vector<Rewrite>{rule("b-is-a", "b", "a")});
  ASSERT_GE(runner.iterations().size(), 1u);
  EXPECT_EQ(applied_count(runner.iterations()[0], "b-is-a"), 1u);
  EXPECT_EQ(runner.iterations()[0].n_rebuilds, 1u);
  EXPECT_EQ(runner.egraph().number_of_classes(), 2u);
}

TEST(RunnerTest, IterationLimitStopsUnlessTheIterationSaturated) {
  Runner applying;
  applying.with_egraph(leaves_under_f(2)).with_iteration_limit(1).run(std::vector<Rewrite>{
      rule("drop-f", "(f ?x)", "?x")});
  EXPECT_EQ(applying.iterations().size(), 1u);
  EXPECT_EQ(applying.stop_reason(), StopReason::iteration_limit(1));

  Runner idle;
  idle.with_egraph(leaves_under_f(2)).with_iteration_limit(1).run(std::vector<Rewrite>{rule("never", "(g ?x)", "?x")});
  EXPECT_EQ(idle.iterations().size(), 1u);
  EXPECT_EQ(idle.stop_reason(), StopReason::saturated());
}

TEST(RunnerTest, OversizedEGraphStopsBeforeAnySearch) {
  Runner runner;
  runner.with_egraph(leaves_under_f(5)).with_node_limit(9).run(std::vector<Rewrite>{rule("drop-f", "(f ?x)", "?x")});
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason::node_limit(10));
  EXPECT_TRUE(runner.iterations()[0].applied.empty());
  const auto& backoff = dynamic_cast<const BackoffScheduler&>(runner.scheduler());
  EXPECT_TRUE(backoff.stats().empty()) << "no rule may have been searched";
}

TEST(RunnerTest, LimitsAreCheckedTimeThenNodesThenIterations) {
  const std::vector<Rewrite> rules{rule("drop-f", "(f ?x)", "?x")};
  Runner all;
  all.with_egraph(leaves_under_f(2)).with_time_limit(-1s).with_node_limit(0).with_iteration_limit(0).run(rules);
  ASSERT_TRUE(all.stop_reason().has_value());
  EXPECT_EQ(all.stop_reason()->kind, StopReason::Kind::TimeLimit);
  Runner nodes_and_iterations;
  nodes_and_iterations.with_egraph(leaves_under_f(2)).with_node_limit(0).with_iteration_limit(0).run(rules);
  EXPECT_EQ(nodes_and_iterations.stop_reason(), StopReason::node_limit(4));
  Runner iterations;
  iterations.with_egraph(leaves_under_f(2)).with_iteration_limit(0).run(rules);
  EXPECT_EQ(iterations.stop_reason(), StopReason::iteration_limit(0));
  EXPECT_EQ(iterations.iterations().size(), 1u);
}

TEST(RunnerTest, NodeLimitDuringApplyStopsTheRestButStillRebuilds) {
  // The first rule adds one e-node per match and crosses the limit; the
  // second rule must not be applied any more.
  Runner runner;
  runner.with_egraph(leaves_under_f(3)).with_node_limit(7);
  runner.run(std::vector<Rewrite>{rule("wrap", "(f ?x)", "(h ?x)"), rule("drop-f", "(f ?x)", "?x")});
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason::node_limit(9));
  EXPECT_EQ(applied_count(runner.iterations()[0], "wrap"), 3u);
  EXPECT_EQ(applied_count(runner.iterations()[0], "drop-f"), 0u);
  EXPECT_TRUE(runner.egraph().clean());
}

// The limit is the largest e-graph a run may go on with: a size equal to it
// does not stop the run, one more does. Checked where the size is compared:
// before the first search (a graph that starts at the size) and after an
// apply (a graph that grows to it).
struct NodeLimitCase {
  std::size_t leaves;
  const char* rule;  // applier of a rule searching (f ?x)
  std::size_t limit;
  std::optional<StopReason> stop;
  std::size_t iterations;
  std::size_t final_size;
};

class NodeLimitBoundaryTest : public ::testing::TestWithParam<NodeLimitCase> {};

TEST_P(NodeLimitBoundaryTest, SizeEqualToTheLimitGoesOnAndOneMoreStops) {
  const NodeLimitCase& c = GetParam();
  Runner runner;
  runner.with_egraph(leaves_under_f(c.leaves)).with_node_limit(c.limit);
  runner.run(std::vector<Rewrite>{rule("r", "(f ?x)", c.rule)});
  EXPECT_EQ(runner.stop_reason(), c.stop);
  EXPECT_EQ(runner.iterations().size(), c.iterations);
  EXPECT_EQ(runner.egraph().total_size(), c.final_size);
}

INSTANTIATE_TEST_SUITE_P(
    Boundary, NodeLimitBoundaryTest,
    ::testing::Values(
        // Starts at 10 e-nodes; the rule only merges f(x) with x and adds nothing.
        NodeLimitCase{5, "?x", 10, StopReason::saturated(), 2, 10},
        NodeLimitCase{5, "?x", 9, StopReason::node_limit(10), 1, 10},
        // Starts at 6 e-nodes and grows to 9 by adding h(x) for each f(x).
        NodeLimitCase{3, "(h ?x)", 9, StopReason::saturated(), 2, 9},
        NodeLimitCase{3, "(h ?x)", 8, StopReason::node_limit(9), 1, 9}));

TEST(RunnerTest, TimeLimitEndsTheRun) {
  Runner runner;
  runner.with_egraph(leaves_under_f(1)).with_time_limit(10ms).with_hook([](Runner&) -> Result<void, std::string> {
    std::this_thread::sleep_for(20ms);
    return {};
  });
  runner.run(std::vector<Rewrite>{rule("never", "(g ?x)", "?x")});
  ASSERT_TRUE(runner.stop_reason().has_value());
  EXPECT_EQ(runner.stop_reason()->kind, StopReason::Kind::TimeLimit);
  EXPECT_GT(runner.stop_reason()->seconds, 0.01);
  EXPECT_EQ(runner.iterations().size(), 1u);
}

TEST(RunnerTest, FailingHookStopsWithItsText) {
  int calls = 0;
  Runner runner;
  runner.with_egraph(leaves_under_f(1)).with_hook([&](Runner& r) -> Result<void, std::string> {
    ++calls;
    if (r.iterations().size() == 1) return std::string("hook says stop");
    return {};
  });
  // A rule that keeps adding nodes, so only the hook can end the run early.
  runner.run(std::vector<Rewrite>{rule("grow", "(f ?x)", "(f (f ?x))")});
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(runner.stop_reason(), StopReason::other("hook says stop"));
  EXPECT_EQ(runner.iterations().size(), 2u);
  EXPECT_TRUE(runner.iterations()[1].applied.empty());
}

TEST(RunnerTest, ChangingSizesPreventSaturation) {
  // Nothing applies, but a hook adds an e-node every iteration.
  int added = 0;
  Runner runner;
  runner.with_egraph(leaves_under_f(1)).with_iteration_limit(4).with_hook([&](Runner& r) -> Result<void, std::string> {
    r.egraph().add(SymbolLang(sym(numbered("hook-leaf-", static_cast<std::size_t>(added++))), {}));
    r.egraph().rebuild();
    return {};
  });
  runner.run(std::vector<Rewrite>{rule("never", "(g ?x)", "?x")});
  EXPECT_EQ(runner.stop_reason(), StopReason::iteration_limit(4));
}

TEST(RunnerTest, RunningTwiceIsFatal) {
  Runner runner;
  const std::vector<Rewrite> rules{rule("never", "(g ?x)", "?x")};
  runner.with_egraph(leaves_under_f(1)).run(rules);
  EXPECT_THROW(runner.run(rules), FatalError);
}

class CountingScheduler : public RewriteScheduler {
 public:
  bool can_stop(std::size_t iteration) override {
    asked.push_back(iteration);
    return true;
  }
  std::vector<std::size_t> asked;
};

TEST(RunnerTest, CanStopIsAskedOnlyAfterIterationsThatAppliedNothing) {
  auto scheduler = std::make_unique<CountingScheduler>();
  CountingScheduler* seen = scheduler.get();
  Runner runner;
  runner.with_egraph(leaves_under_f(2)).with_scheduler(std::move(scheduler));
  runner.run(std::vector<Rewrite>{rule("drop-f", "(f ?x)", "?x")});
  EXPECT_EQ(seen->asked, (std::vector<std::size_t>{1}));
  EXPECT_EQ(runner.iterations().size(), 2u);
}

TEST(RunnerTest, DuplicateRuleNamesWarnOnStandardErrorOnceAndShareStatistics) {
  const std::vector<Rewrite> rules{rule("dup", "(f ?x)", "?x"), rule("solo", "(g ?x)", "?x"),
                                   rule("dup", "(h ?x)", "?x")};
  LogCapture warnings(LogLevel::Warn);
  testing::internal::CaptureStderr();
  Runner runner;
  runner.with_egraph(leaves_under_f(2)).run(rules);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'dup' appears 2 times\n");
  EXPECT_TRUE(warnings.contains("Rule 'dup' appears 2 times"));
  const auto& backoff = dynamic_cast<const BackoffScheduler&>(runner.scheduler());
  ASSERT_EQ(backoff.stats().size(), 2u);
  EXPECT_EQ(backoff.stats()[0].first, sym("dup"));
  EXPECT_EQ(backoff.stats()[1].first, sym("solo"));

  testing::internal::CaptureStderr();
  Runner distinct;
  distinct.with_egraph(leaves_under_f(2)).run(std::vector<Rewrite>{rule("one", "(f ?x)", "?x")});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(RunnerTest, IterationsAreDescribedToASink) {
  LogCapture log(LogLevel::Debug);
  Runner runner;
  runner.with_egraph(leaves_under_f(1)).run(std::vector<Rewrite>{rule("drop-f", "(f ?x)", "?x")});
  for (const char* fragment : {"Iteration 0", "Iteration 1", "Search time: ", "Apply time: ", "Rebuild time: ",
                               "Size: n=2, e=1", "Applying drop-f 1 times", "Applied drop-f 1 times",
                               "Stopping: Saturated"})
    EXPECT_TRUE(log.contains(fragment)) << fragment;
}

// ---------------------------------------------------------------------------
// Backoff scheduler

struct BanCase {
  std::size_t matches;
  bool banned;
};

class BackoffThresholdTest : public ::testing::TestWithParam<BanCase> {};

TEST_P(BackoffThresholdTest, AppliesUpToTheMatchLimitAndBansAbove) {
  const BanCase c = GetParam();
  LogCapture log(LogLevel::Info);
  Runner runner;
  runner.with_egraph(leaves_under_f(c.matches)).run(std::vector<Rewrite>{rule("wrap", "(f ?x)", "(g ?x)")});
  const auto& backoff = dynamic_cast<const BackoffScheduler&>(runner.scheduler());
  const RuleStats* stats = backoff.stats_for(sym("wrap"));
  ASSERT_NE(stats, nullptr);
  if (!c.banned) {
    EXPECT_EQ(applied_count(runner.iterations()[0], "wrap"), c.matches);
    EXPECT_EQ(stats->times_banned, 0u);
    EXPECT_FALSE(log.contains("Banning"));
    return;
  }
  // Banned in iteration 0 for 5 iterations; with nothing else to do the ban
  // is fast-forwarded and iteration 1 applies under the doubled threshold.
  EXPECT_TRUE(runner.iterations()[0].applied.empty());
  EXPECT_TRUE(log.contains("Banning wrap (0-1) for 5 iters: 1000 < 1001")) << "matches " << c.matches;
  EXPECT_TRUE(log.contains("Banned 1/1, fast-forwarded by 5 to unban wrap"));
  ASSERT_GE(runner.iterations().size(), 2u);
  EXPECT_EQ(applied_count(runner.iterations()[1], "wrap"), c.matches);
  EXPECT_EQ(stats->times_banned, 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
}

INSTANTIATE_TEST_SUITE_P(Matches, BackoffThresholdTest,
                         ::testing::Values(BanCase{999, false}, BanCase{1000, false}, BanCase{1001, true},
                                           BanCase{1500, true}));

TEST(BackoffSchedulerTest, BansDoubleInThresholdAndLength) {
  BackoffScheduler scheduler(2, 3);
  EGraph g = leaves_under_f(3);
  g.rebuild();
  const Rewrite r = rule("r", "(f ?x)", "?x");
  LogCapture log(LogLevel::Debug);

  EXPECT_TRUE(scheduler.search_rewrite(0, g, r).empty());  // 3 > 2: banned
  const RuleStats* stats = scheduler.stats_for(sym("r"));
  ASSERT_NE(stats, nullptr);
  EXPECT_EQ(stats->banned_until, 3u);
  EXPECT_EQ(stats->times_banned, 1u);
  EXPECT_EQ(stats->match_limit, 2u);
  EXPECT_EQ(stats->ban_length, 3u);
  EXPECT_TRUE(log.contains("Banning r (0-1) for 3 iters: 2 < 3"));

  EXPECT_TRUE(scheduler.search_rewrite(2, g, r).empty());  // still banned
  EXPECT_TRUE(log.contains("Skipping r (0-1), banned until 3..."));

  EXPECT_EQ(scheduler.search_rewrite(3, g, r).size(), 3u);  // threshold 4 now
  EXPECT_EQ(stats->times_applied, 1u);

  g.add(SymbolLang(sym("f"), {g.add(SymbolLang(sym("l-extra-1"), {}))}));
  g.add(SymbolLang(sym("f"), {g.add(SymbolLang(sym("l-extra-2"), {}))}));
  g.rebuild();
  EXPECT_TRUE(scheduler.search_rewrite(4, g, r).empty());  // 5 > 4
  EXPECT_EQ(stats->banned_until, 10u);                     // 4 + (3 << 1)
  EXPECT_EQ(stats->times_banned, 2u);
  EXPECT_TRUE(log.contains("Banning r (1-2) for 6 iters: 4 < 5"));
}

TEST(BackoffSchedulerTest, CanStopFastForwardsToTheEarliestBan) {
  BackoffScheduler scheduler(0, 4);
  EGraph g = leaves_under_f(1);
  g.rebuild();
  const Rewrite early = rule("early", "(f ?x)", "?x");
  const Rewrite late = rule("late", "(f ?y)", "?y");
  const Rewrite idle = rule("idle", "(g ?x)", "?x");
  EXPECT_TRUE(scheduler.can_stop(0)) << "nothing banned yet";
  scheduler.search_rewrite(0, g, early);  // banned until 4
  scheduler.search_rewrite(2, g, late);   // banned until 6
  scheduler.search_rewrite(2, g, idle);   // no match: not banned
  LogCapture log(LogLevel::Info);
  EXPECT_FALSE(scheduler.can_stop(2));
  EXPECT_EQ(scheduler.stats_for(sym("early"))->banned_until, 2u);
  EXPECT_EQ(scheduler.stats_for(sym("late"))->banned_until, 4u);
  EXPECT_EQ(scheduler.stats_for(sym("idle"))->banned_until, 0u);
  EXPECT_TRUE(log.contains("Banned 2/3, fast-forwarded by 2 to unban early")) << log.records.at(0);
  // early is searchable again at iteration 2.
  EXPECT_TRUE(scheduler.search_rewrite(2, g, early).empty());
  EXPECT_EQ(scheduler.stats_for(sym("early"))->times_banned, 2u);
}

TEST(BackoffSchedulerTest, ShiftingBySixtyFourBitsIsFatal) {
  // A zero threshold bans on every match, a zero ban length lets the rule be
  // searched again at once: each search adds one to the shift.
  BackoffScheduler scheduler(0, 0);
  EGraph g = leaves_under_f(1);
  g.rebuild();
  const Rewrite r = rule("r", "(f ?x)", "?x");
  for (std::size_t k = 0; k < 64; ++k) ASSERT_TRUE(scheduler.search_rewrite(k, g, r).empty());
  EXPECT_EQ(scheduler.stats_for(sym("r"))->times_banned, 64u);
  EXPECT_THROW(scheduler.search_rewrite(64, g, r), FatalError);
}

TEST(BackoffSchedulerTest, BanLengthSaturatesInsteadOfWrappingAround) {
  // Every match bans; ban lengths 2^62, 2^63, then 2^64, which must stay at
  // the largest count rather than wrap to a ban of zero iterations.
  const std::size_t max = std::numeric_limits<std::size_t>::max();
  BackoffScheduler scheduler(0, std::size_t{1} << 62);
  EGraph g = leaves_under_f(1);
  g.rebuild();
  const Rewrite r = rule("r", "(f ?x)", "?x");
  std::vector<std::size_t> until;
  for (std::size_t iteration = 0; iteration < 3; ++iteration) {
    ASSERT_TRUE(scheduler.search_rewrite(iteration, g, r).empty());
    until.push_back(scheduler.stats_for(sym("r"))->banned_until);
    ASSERT_FALSE(scheduler.can_stop(iteration));  // fast-forwards the ban to now
  }
  EXPECT_EQ(until, (std::vector<std::size_t>{std::size_t{1} << 62, 1 + (std::size_t{1} << 63), max}));
}

TEST(StopReasonTest, TextsNameTheReasonAndItsValue) {
  EXPECT_EQ(StopReason::saturated().to_string(), "Saturated");
  EXPECT_EQ(StopReason::iteration_limit(12).to_string(), "IterationLimit(12)");
  EXPECT_EQ(StopReason::node_limit(5000).to_string(), "NodeLimit(5000)");
  EXPECT_EQ(StopReason::time_limit(5.5).to_string(), "TimeLimit(5.5)");
  EXPECT_EQ(StopReason::other("x").to_string(), "Other(x)");
}

}  // namespace
}  // namespace weftory::egraph

// Equality saturation: the Runner searches every rule, applies every rule to
// its matches and rebuilds the e-graph, iteration after iteration, until
// nothing changes or a limit is hit. A rule scheduler decides per rule and
// iteration whether the rule is searched; the BackoffScheduler bans rules
// that match too often.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "egraph/egraph.hpp"
#include "egraph/pattern.hpp"
#include "support/hash.hpp"
#include "support/result.hpp"

namespace weftory::egraph {

struct StopReason {
  enum class Kind : std::uint8_t { Saturated, IterationLimit, NodeLimit, TimeLimit, Other };
  Kind kind = Kind::Saturated;
  // IterationLimit: the iterations done; NodeLimit: the e-graph's total size.
  std::size_t count = 0;
  // TimeLimit: the elapsed seconds.
  double seconds = 0.0;
  // Other: the failing hook's text.
  std::string text;

  static StopReason saturated() { return {Kind::Saturated, 0, 0.0, {}}; }
  static StopReason iteration_limit(std::size_t iterations) { return {Kind::IterationLimit, iterations, 0.0, {}}; }
  static StopReason node_limit(std::size_t size) { return {Kind::NodeLimit, size, 0.0, {}}; }
  static StopReason time_limit(double seconds) { return {Kind::TimeLimit, 0, seconds, {}}; }
  static StopReason other(std::string text) { return {Kind::Other, 0, 0.0, std::move(text)}; }

  // "Saturated", "IterationLimit(12)", "NodeLimit(5000)", "TimeLimit(5.01)", "Other(text)".
  std::string to_string() const;
  friend bool operator==(const StopReason&, const StopReason&) = default;
};

struct IterationRecord {
  // Rule name -> successful applications in this iteration, in first-applied
  // order; only counts above zero appear.
  std::vector<std::pair<Symbol, std::size_t>> applied;
  std::size_t egraph_nodes = 0;    // total size at the start, before hooks
  std::size_t egraph_classes = 0;  // class count at the start, before hooks
  double hook_time = 0.0;
  double search_time = 0.0;
  double apply_time = 0.0;
  double rebuild_time = 0.0;
  double total_time = 0.0;  // from the start of the search phase to the end
  std::size_t n_rebuilds = 0;  // unions performed by the iteration's rebuild
  std::optional<StopReason> stop_reason;
};

// Decides, per rule and iteration, what is searched and applied.
class RewriteScheduler {
 public:
  virtual ~RewriteScheduler() = default;
  // Asked only after an iteration that applied nothing; may change state.
  virtual bool can_stop(std::size_t iteration);
  virtual std::vector<SearchMatches> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                                    const Rewrite& rewrite);
  // Applies the rule's right-hand side to all matches; returns the number of
  // substitutions whose application merged two classes.
  virtual std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                                    std::span<const SearchMatches> matches);
};

struct SymbolHash {
  std::size_t operator()(Symbol symbol) const { return support::IntHash{}(symbol.index()); }
};

struct RuleStats {
  std::size_t times_applied = 0;
  std::size_t banned_until = 0;
  std::size_t times_banned = 0;
  std::size_t match_limit = 0;
  std::size_t ban_length = 0;
};

// Bans a rule that finds more substitutions than its threshold in one
// iteration; threshold and ban length double with every ban of that rule.
class BackoffScheduler : public RewriteScheduler {
 public:
  static constexpr std::size_t kDefaultMatchLimit = 1000;
  static constexpr std::size_t kDefaultBanLength = 5;

  BackoffScheduler() = default;
  BackoffScheduler(std::size_t match_limit, std::size_t ban_length)
      : match_limit_(match_limit), ban_length_(ban_length) {}

  bool can_stop(std::size_t iteration) override;
  std::vector<SearchMatches> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                            const Rewrite& rewrite) override;

  std::size_t match_limit() const { return match_limit_; }
  std::size_t ban_length() const { return ban_length_; }
  // Statistics per rule name, in the order the rules were first searched.
  const std::vector<std::pair<Symbol, RuleStats>>& stats() const { return stats_; }
  const RuleStats* stats_for(Symbol name) const;

 private:
  RuleStats& rule_stats(const Rewrite& rewrite);

  std::size_t match_limit_ = kDefaultMatchLimit;
  std::size_t ban_length_ = kDefaultBanLength;
  std::vector<std::pair<Symbol, RuleStats>> stats_;
  // The rule name of each entry of stats_, for the records.
  std::vector<std::string> names_;
  boost::unordered_flat_map<Symbol, std::size_t, SymbolHash> stats_index_;
};

class Runner {
 public:
  using Clock = std::chrono::steady_clock;
  // A hook returns ok to go on, or an error text to stop the run.
  using Hook = std::function<support::Result<void, std::string>(Runner&)>;

  static constexpr std::size_t kDefaultIterationLimit = 30;
  static constexpr std::size_t kDefaultNodeLimit = 10000;
  static constexpr std::chrono::duration<double> kDefaultTimeLimit{5.0};

  Runner();

  Runner& with_egraph(EGraph egraph);
  Runner& with_iteration_limit(std::size_t limit);
  Runner& with_node_limit(std::size_t limit);
  Runner& with_time_limit(std::chrono::duration<double> limit);
  Runner& with_scheduler(std::unique_ptr<RewriteScheduler> scheduler);
  Runner& with_hook(Hook hook);

  // Runs to a stop; a runner runs once.
  Runner& run(std::span<const Rewrite> rules);

  EGraph& egraph() { return egraph_; }
  const EGraph& egraph() const { return egraph_; }
  const std::vector<IterationRecord>& iterations() const { return iterations_; }
  const std::optional<StopReason>& stop_reason() const { return stop_reason_; }
  const std::vector<Id>& roots() const { return roots_; }
  std::size_t iteration_limit() const { return iteration_limit_; }
  std::size_t node_limit() const { return node_limit_; }
  std::chrono::duration<double> time_limit() const { return time_limit_; }
  const RewriteScheduler& scheduler() const { return *scheduler_; }

 private:
  IterationRecord run_one(std::span<const Rewrite> rules);
  // Time, then nodes, then iterations; nothing when within every limit.
  std::optional<StopReason> check_limits() const;

  EGraph egraph_;
  std::vector<IterationRecord> iterations_;
  std::vector<Id> roots_;
  std::optional<StopReason> stop_reason_;
  std::vector<Hook> hooks_;
  std::size_t iteration_limit_ = kDefaultIterationLimit;
  std::size_t node_limit_ = kDefaultNodeLimit;
  std::chrono::duration<double> time_limit_ = kDefaultTimeLimit;
  std::optional<Clock::time_point> start_time_;
  std::unique_ptr<RewriteScheduler> scheduler_;
};

}  // namespace weftory::egraph

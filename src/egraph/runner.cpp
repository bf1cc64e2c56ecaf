#include "egraph/runner.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <limits>
#include <sstream>

#include "egraph/log.hpp"
#include "support/fatal.hpp"

namespace weftory::egraph {

using support::Result;
using support::fatal;

namespace {

double seconds_since(Runner::Clock::time_point start) {
  return std::chrono::duration<double>(Runner::Clock::now() - start).count();
}

// The time limit is checked after every rule's search and application, some
// two dozen times an iteration, which in a small reduction made the clock a
// tenth of all the work. The check reads the kernel's coarse monotonic clock
// (the same clock as the steady one, advanced once a tick, at a fraction of
// the cost): a run over its limit stops at most a tick later.
Runner::Clock::time_point coarse_now() {
#if defined(__linux__) && defined(CLOCK_MONOTONIC_COARSE)
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) == 0)
    return Runner::Clock::time_point(std::chrono::duration_cast<Runner::Clock::duration>(
        std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec)));
#endif
  return Runner::Clock::now();
}

std::size_t total_substs(std::span<const SearchMatches> matches) {
  std::size_t total = 0;
  for (const SearchMatches& match : matches) total += match.substs.size();
  return total;
}

std::size_t saturating_add(std::size_t a, std::size_t b) {
  const std::size_t max = std::numeric_limits<std::size_t>::max();
  return a > max - b ? max : a + b;
}

// Shifts left by `bits`; 64 bits or more is a broken scheduler invariant.
// A result too large for the type saturates instead of wrapping around, so a
// threshold or ban length never shrinks as bans accumulate.
std::size_t checked_shift(std::size_t value, std::size_t bits) {
  if (bits >= 64) fatal("attempt to shift left with overflow");
  if (value > (std::numeric_limits<std::size_t>::max() >> bits)) return std::numeric_limits<std::size_t>::max();
  return value << bits;
}

}  // namespace

std::string StopReason::to_string() const {
  switch (kind) {
    case Kind::Saturated:
      return "Saturated";
    case Kind::IterationLimit:
      return "IterationLimit(" + std::to_string(count) + ")";
    case Kind::NodeLimit:
      return "NodeLimit(" + std::to_string(count) + ")";
    case Kind::TimeLimit: {
      std::ostringstream out;
      out << "TimeLimit(" << seconds << ")";
      return out.str();
    }
    case Kind::Other:
      return "Other(" + text + ")";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// Schedulers

bool RewriteScheduler::can_stop(std::size_t) { return true; }

std::vector<SearchMatches> RewriteScheduler::search_rewrite(std::size_t, const EGraph& egraph,
                                                            const Rewrite& rewrite) {
  return search_with_limit(rewrite.searcher(), egraph, std::numeric_limits<std::size_t>::max());
}

std::size_t RewriteScheduler::apply_rewrite(std::size_t, EGraph& egraph, const Rewrite& rewrite,
                                            std::span<const SearchMatches> matches) {
  return apply_matches(rewrite.applier(), egraph, matches, rewrite.name_text()).size();
}

RuleStats& BackoffScheduler::rule_stats(const Rewrite& rewrite) {
  const Symbol name = rewrite.name();
  auto [slot, inserted] = stats_index_.try_emplace(name, stats_.size());
  if (inserted) {
    RuleStats fresh;
    fresh.match_limit = match_limit_;
    fresh.ban_length = ban_length_;
    stats_.emplace_back(name, fresh);
    names_.push_back(rewrite.name_text());
  }
  return stats_[slot->second].second;
}

const RuleStats* BackoffScheduler::stats_for(Symbol name) const {
  auto it = stats_index_.find(name);
  return it == stats_index_.end() ? nullptr : &stats_[it->second].second;
}

std::vector<SearchMatches> BackoffScheduler::search_rewrite(std::size_t iteration, const EGraph& egraph,
                                                            const Rewrite& rewrite) {
  RuleStats& stats = rule_stats(rewrite);
  if (iteration < stats.banned_until) {
    log_lazy(LogLevel::Debug, [&] {
      std::ostringstream out;
      out << "Skipping " << rewrite.name_text() << " (" << stats.times_applied << "-" << stats.times_banned
          << "), banned until " << stats.banned_until << "...";
      return out.str();
    });
    return {};
  }

  const std::size_t threshold = checked_shift(stats.match_limit, stats.times_banned);
  std::vector<SearchMatches> matches;
  std::size_t total = 0;
  // When the match count is known without searching and is over the
  // threshold, the search (which would stop one past the threshold) and its
  // matches would be thrown away: the ban follows from the count alone.
  const std::optional<std::size_t> known =
      log_enabled(LogLevel::Trace) ? std::nullopt : count_matches(rewrite.searcher(), egraph);
  if (known && *known > threshold) {
    total = saturating_add(threshold, 1);
  } else {
    matches = search_with_limit(rewrite.searcher(), egraph, saturating_add(threshold, 1));
    total = total_substs(matches);
  }
  if (total <= threshold) {
    ++stats.times_applied;
    return matches;
  }

  const std::size_t ban_length = checked_shift(stats.ban_length, stats.times_banned);
  ++stats.times_banned;
  stats.banned_until = saturating_add(iteration, ban_length);
  log_lazy(LogLevel::Info, [&] {
    std::ostringstream out;
    out << "Banning " << rewrite.name_text() << " (" << stats.times_applied << "-" << stats.times_banned << ") for "
        << ban_length << " iters: " << threshold << " < " << total;
    return out.str();
  });
  return {};
}

bool BackoffScheduler::can_stop(std::size_t iteration) {
  std::vector<std::size_t> banned;
  for (std::size_t k = 0; k < stats_.size(); ++k)
    if (stats_[k].second.banned_until > iteration) banned.push_back(k);
  if (banned.empty()) return true;

  std::size_t min_until = std::numeric_limits<std::size_t>::max();
  for (std::size_t k : banned) min_until = std::min(min_until, stats_[k].second.banned_until);
  if (min_until < iteration) fatal("assertion failed: a ban ends before the current iteration");
  const std::size_t delta = min_until - iteration;

  std::vector<std::size_t> unbanned;
  for (std::size_t k : banned) {
    RuleStats& stats = stats_[k].second;
    stats.banned_until -= delta;
    if (stats.banned_until == iteration) unbanned.push_back(k);
  }
  if (unbanned.empty()) fatal("assertion failed: fast-forwarding unbanned no rule");

  log_lazy(LogLevel::Info, [&] {
    std::ostringstream out;
    out << "Banned " << banned.size() << "/" << stats_.size() << ", fast-forwarded by " << delta << " to unban ";
    for (std::size_t k = 0; k < unbanned.size(); ++k) out << (k > 0 ? ", " : "") << names_[unbanned[k]];
    return out.str();
  });
  return false;
}

// ---------------------------------------------------------------------------
// Runner

Runner::Runner() : scheduler_(std::make_unique<BackoffScheduler>()) {}

Runner& Runner::with_egraph(EGraph egraph) {
  egraph_ = std::move(egraph);
  return *this;
}

Runner& Runner::with_iteration_limit(std::size_t limit) {
  iteration_limit_ = limit;
  return *this;
}

Runner& Runner::with_node_limit(std::size_t limit) {
  node_limit_ = limit;
  return *this;
}

Runner& Runner::with_time_limit(std::chrono::duration<double> limit) {
  time_limit_ = limit;
  return *this;
}

Runner& Runner::with_scheduler(std::unique_ptr<RewriteScheduler> scheduler) {
  if (!scheduler) fatal("a runner needs a scheduler");
  scheduler_ = std::move(scheduler);
  return *this;
}

Runner& Runner::with_hook(Hook hook) {
  hooks_.push_back(std::move(hook));
  return *this;
}

std::optional<StopReason> Runner::check_limits() const {
  const double elapsed = start_time_ ? std::chrono::duration<double>(coarse_now() - *start_time_).count() : 0.0;
  if (elapsed > time_limit_.count()) return StopReason::time_limit(elapsed);
  const std::size_t size = egraph_.total_size();
  if (size > node_limit_) return StopReason::node_limit(size);
  if (iterations_.size() >= iteration_limit_) return StopReason::iteration_limit(iterations_.size());
  return std::nullopt;
}

Runner& Runner::run(std::span<const Rewrite> rules) {
  // Rule names are statistics keys; duplicates make reports ambiguous.
  std::vector<std::pair<const Rewrite*, std::size_t>> name_counts;
  for (const Rewrite& rule : rules) {
    auto it = std::find_if(name_counts.begin(), name_counts.end(),
                           [&](const auto& entry) { return entry.first->name() == rule.name(); });
    if (it == name_counts.end()) {
      name_counts.emplace_back(&rule, 1);
    } else {
      ++it->second;
    }
  }
  bool warned = false;
  for (const auto& [rule, count] : name_counts) {
    if (count < 2) continue;
    if (!warned) {
      const char* warning = "WARNING: Duplicated rule names may affect rule reporting and scheduling.";
      std::cerr << warning << "\n";
      log_lazy(LogLevel::Warn, [&] { return std::string(warning); });
      warned = true;
    }
    const std::string line = "Rule '" + rule->name_text() + "' appears " + std::to_string(count) + " times";
    std::cerr << line << "\n";
    log_lazy(LogLevel::Warn, [&] { return line; });
  }
  if (warned) std::cerr.flush();

  egraph_.rebuild();
  while (true) {
    IterationRecord record = run_one(rules);
    std::optional<StopReason> reason = record.stop_reason;
    iterations_.push_back(std::move(record));
    if (!reason) reason = check_limits();
    if (reason) {
      log_lazy(LogLevel::Info, [&] { return "Stopping: " + reason->to_string(); });
      stop_reason_ = std::move(reason);
      break;
    }
  }
  if (iterations_.empty() || !stop_reason_) fatal("assertion failed: a run ends with an iteration and a stop reason");
  return *this;
}

IterationRecord Runner::run_one(std::span<const Rewrite> rules) {
  if (stop_reason_) fatal("assertion failed: self.stop_reason.is_none()");
  const std::size_t i = iterations_.size();
  log_lazy(LogLevel::Info, [&] { return "Iteration " + std::to_string(i); });
  if (!start_time_) start_time_ = coarse_now();

  IterationRecord record;
  std::optional<StopReason> result = check_limits();

  const auto hook_start = Clock::now();
  record.egraph_nodes = egraph_.total_size();
  record.egraph_classes = egraph_.number_of_classes();
  if (!result) {
    for (Hook& hook : hooks_) {
      if (Result<void, std::string> outcome = hook(*this); !outcome) {
        result = StopReason::other(std::move(outcome).error());
        break;
      }
    }
  }
  const std::size_t nodes_after_hooks = egraph_.total_size();
  const std::size_t classes_after_hooks = egraph_.number_of_classes();
  record.hook_time = seconds_since(hook_start);

  const auto search_start = Clock::now();
  std::vector<std::vector<SearchMatches>> matches;
  if (!result) {
    matches.reserve(rules.size());
    for (const Rewrite& rule : rules) {
      matches.push_back(scheduler_->search_rewrite(i, egraph_, rule));
      if ((result = check_limits())) break;
    }
  }
  record.search_time = seconds_since(search_start);

  const auto apply_start = Clock::now();
  if (!result) {
    for (std::size_t k = 0; k < rules.size(); ++k) {
      const Rewrite& rule = rules[k];
      const std::vector<SearchMatches>& rule_matches = matches[k];
      log_lazy(LogLevel::Debug, [&] {
        return "Applying " + rule.name_text() + " " + std::to_string(total_substs(rule_matches)) +
               " times";
      });
      const std::size_t applied = scheduler_->apply_rewrite(i, egraph_, rule, rule_matches);
      if (applied > 0) {
        auto it = std::find_if(record.applied.begin(), record.applied.end(),
                               [&](const auto& entry) { return entry.first == rule.name(); });
        if (it == record.applied.end()) {
          record.applied.emplace_back(rule.name(), applied);
        } else {
          it->second += applied;
        }
        log_lazy(LogLevel::Debug, [&] {
          return "Applied " + rule.name_text() + " " + std::to_string(applied) + " times";
        });
      }
      if ((result = check_limits())) break;
    }
  }
  record.apply_time = seconds_since(apply_start);

  const auto rebuild_start = Clock::now();
  record.n_rebuilds = egraph_.rebuild();
  record.rebuild_time = seconds_since(rebuild_start);
  log_lazy(LogLevel::Info, [&] {
    std::ostringstream out;
    out << "Search time: " << record.search_time << "\nApply time: " << record.apply_time
        << "\nRebuild time: " << record.rebuild_time << "\nSize: n=" << egraph_.total_size()
        << ", e=" << egraph_.number_of_classes();
    return out.str();
  });

  if (record.applied.empty()) {
    const bool saturated = scheduler_->can_stop(i) && nodes_after_hooks == record.egraph_nodes &&
                           classes_after_hooks == record.egraph_classes &&
                           egraph_.total_size() == record.egraph_nodes &&
                           egraph_.number_of_classes() == record.egraph_classes;
    if (saturated && !result) result = StopReason::saturated();
  }
  record.total_time = seconds_since(search_start);
  record.stop_reason = std::move(result);
  return record;
}

}  // namespace weftory::egraph

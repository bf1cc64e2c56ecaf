// Times SaturationEngine::rewrite on generated batches of terms that mix the
// shapes a reduction hands over: commuted duplicates, identity chains, wide
// sums and deep chains. Prints the cost per input term, split into phases.
//
//   engine_bench [sizes...]   (default: 10000 100000 1000000)

#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "optimizer/engine.hpp"
#include "optimizer/rules.hpp"

namespace {

using weftory::optimizer::EngineInput;
using weftory::optimizer::EngineOutput;
using weftory::optimizer::EngineRunStats;
using weftory::optimizer::EngineTerm;
using weftory::optimizer::SaturationEngine;
namespace rules = weftory::optimizer::rules;

// The rule set's own keys: identity chains and commuted pairs are built from
// exactly the operators the rules rewrite.
const std::vector<std::string> kIdentities(rules::identity_keys().begin(), rules::identity_keys().end());
const std::vector<std::string> kCommuted = [] {
  std::vector<std::string> keys;
  for (std::string_view name : rules::kCommutativeNames) keys.push_back(rules::commutative_key(name));
  return keys;
}();
const char* const kUnary[] = {"op|neg", "op|exp", "op|log", "op|abs", "op|add|scalar=f4000000000000000;side=sr"};

class MixBuilder {
 public:
  explicit MixBuilder(std::size_t target) : target_(target), rng_(20240611) { input_.terms.reserve(target + 64); }

  EngineInput build() {
    // A pool of sources to draw operands from.
    const std::size_t sources = std::max<std::size_t>(16, target_ / 50);
    for (std::size_t k = 0; k < sources; ++k) push("src|input|shard=i" + std::to_string(k), {});
    while (input_.terms.size() < target_) {
      switch (pick(4)) {
        case 0:
          commuted_duplicates();
          break;
        case 1:
          identity_chain();
          break;
        case 2:
          wide_sum();
          break;
        default:
          deep_chain();
          break;
      }
    }
    for (std::size_t k = 0; k < input_.terms.size(); k += 97) input_.roots.push_back(k);
    input_.roots.push_back(input_.terms.size() - 1);
    return std::move(input_);
  }

 private:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  // An operand: like the producers in a dataflow graph, usually a term made
  // shortly before (within the last 256), sometimes any earlier term.
  std::uint64_t any_term() {
    const std::size_t size = input_.terms.size();
    if (pick(8) == 0 || size <= 256) return pick(size);
    return size - 1 - pick(256);
  }

  std::uint64_t push(const std::string& op, const std::vector<std::uint64_t>& children) {
    return input_.add(op, children);
  }

  // a op b, and later the same with the operands swapped.
  void commuted_duplicates() {
    const std::string& op = kCommuted[pick(kCommuted.size())];
    const std::uint64_t a = any_term();
    const std::uint64_t b = any_term();
    const std::uint64_t ab = push(op, {a, b});
    push("op|sub", {ab, a});
    push(op, {b, a});
  }

  // x, then a few scalar identities stacked on it, then a use of the top.
  void identity_chain() {
    std::uint64_t x = any_term();
    const std::size_t length = 1 + pick(4);
    for (std::size_t k = 0; k < length; ++k) x = push(kIdentities[pick(kIdentities.size())], {x});
    push("op|neg", {x});
  }

  // A balanced tree of adds over 8 to 32 operands, and one wide node.
  void wide_sum() {
    std::vector<std::uint64_t> level;
    const std::size_t width = 8 + pick(25);
    for (std::size_t k = 0; k < width; ++k) level.push_back(any_term());
    push("op|concat|axis=i0", level);
    while (level.size() > 1) {
      std::vector<std::uint64_t> next;
      for (std::size_t k = 0; k + 1 < level.size(); k += 2) next.push_back(push("op|add", {level[k], level[k + 1]}));
      if (level.size() % 2 == 1) next.push_back(level.back());
      level = std::move(next);
    }
  }

  // A long chain of unary operations with an occasional identity inside.
  void deep_chain() {
    std::uint64_t x = any_term();
    const std::size_t length = 20 + pick(60);
    for (std::size_t k = 0; k < length; ++k) {
      const bool identity = pick(8) == 0;
      x = identity ? push(kIdentities[pick(kIdentities.size())], {x}) : push(kUnary[pick(std::size(kUnary))], {x});
    }
  }

  std::size_t target_;
  std::mt19937_64 rng_;
  EngineInput input_;
};

// CPU time of this thread: less disturbed than wall time on a shared machine.
double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double per_term_ns(double seconds, std::size_t n) { return seconds * 1e9 / static_cast<double>(n); }

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> sizes;
  bool per_iteration = false;
  for (int k = 1; k < argc; ++k) {
    if (std::string(argv[k]) == "--iterations") {
      per_iteration = true;
      continue;
    }
    sizes.push_back(static_cast<std::size_t>(std::strtoull(argv[k], nullptr, 10)));
  }
  if (sizes.empty()) sizes = {10000, 100000, 1000000};

  const SaturationEngine engine;
  std::printf("%10s %10s %10s %9s %9s %9s %9s %9s %9s %6s %-18s %10s %10s\n", "terms", "ns/term", "cpu ns/t", "add",
              "search", "apply", "rebuild", "readback", "release", "iters", "stop", "out terms", "e-nodes");
  for (std::size_t n : sizes) {
    const EngineInput input = MixBuilder(n).build();
    const std::size_t terms = input.terms.size();
    // Best of several runs, to keep one-off noise of a shared machine out.
    // The call is timed whole, including the release of its e-graph; the
    // previous run's output is released outside the timed region.
    EngineRunStats best;
    EngineOutput output;
    double best_wall = 0.0;
    double best_cpu = 0.0;
    const int runs = n <= 10000 ? 9 : n <= 100000 ? 5 : 3;
    for (int run = 0; run < runs; ++run) {
      EngineRunStats stats;
      const double cpu_start = thread_cpu_seconds();
      const auto wall_start = std::chrono::steady_clock::now();
      EngineOutput fresh = engine.rewrite(input, stats);
      const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
      const double cpu = thread_cpu_seconds() - cpu_start;
      if (run == 0 || wall < best_wall) {
        best = std::move(stats);
        best_wall = wall;
      }
      if (run == 0 || cpu < best_cpu) best_cpu = cpu;
      output = std::move(fresh);
    }
    std::printf("%10zu %10.1f %10.1f %9.1f %9.1f %9.1f %9.1f %9.1f %9.1f %6zu %-18s %10zu %10zu\n", terms,
                per_term_ns(best_wall, terms), per_term_ns(best_cpu, terms), per_term_ns(best.add_seconds, terms),
                per_term_ns(best.search_seconds, terms), per_term_ns(best.apply_seconds, terms),
                per_term_ns(best.rebuild_seconds, terms), per_term_ns(best.readback_seconds, terms),
                per_term_ns(best_wall - best.total_seconds, terms), best.iterations,
                best.stop_reason.to_string().c_str(), output.terms.size(), best.egraph_nodes);
    if (per_iteration) {
      for (std::size_t k = 0; k < best.iteration_records.size(); ++k) {
        const auto& record = best.iteration_records[k];
        std::size_t applied = 0;
        for (const auto& entry : record.applied) applied += entry.second;
        std::printf("    iter %2zu: nodes %9zu classes %9zu search %8.2f ms apply %8.2f ms rebuild %8.2f ms "
                    "applied %8zu unions %8zu\n",
                    k, record.egraph_nodes, record.egraph_classes, record.search_time * 1e3, record.apply_time * 1e3,
                    record.rebuild_time * 1e3, applied, record.n_rebuilds);
      }
    }
  }
  std::printf("(ns per input term. ns/term: wall time of the fastest of several calls; cpu ns/t: the least thread\n"
              " CPU time of any call; phases: wall time within the fastest call, release = freeing the e-graph)\n");
  return 0;
}

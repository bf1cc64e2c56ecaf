// The rewrite engine: decides which terms of a batch are equal modulo a fixed
// set of sound rules (commutativity of eight two-input operations and four
// scalar identities) and returns one representative term per class, always
// the earliest input term of the class, with a map from every input term to
// its representative.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "egraph/pattern.hpp"
#include "egraph/runner.hpp"

namespace weftory::optimizer {

struct EngineTerm {
  // The operator symbol: on input the node's identity key text.
  std::string op;
  // Indices into the same term vector, all smaller than this term's own.
  std::vector<std::uint64_t> children;
  // Output only: true exactly when `op` does not begin with "op|".
  bool opaque = false;
  friend bool operator==(const EngineTerm&, const EngineTerm&) = default;
};

struct EngineInput {
  std::vector<EngineTerm> terms;
  // The outputs the caller keeps, in its order; repetitions allowed.
  std::vector<std::uint64_t> roots;
};

struct EngineOutput {
  // One term per class, ordered by the index of the class's earliest term.
  std::vector<EngineTerm> terms;
  // One output index per input root.
  std::vector<std::uint64_t> roots;
  // One output index per input term.
  std::vector<std::uint64_t> node_map;
  friend bool operator==(const EngineOutput&, const EngineOutput&) = default;
};

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  virtual EngineOutput rewrite(const EngineInput& input) const = 0;
};

// What one saturation run did, for measurement and inspection.
struct EngineRunStats {
  double add_seconds = 0.0;
  double search_seconds = 0.0;
  double apply_seconds = 0.0;
  double rebuild_seconds = 0.0;
  double readback_seconds = 0.0;
  double total_seconds = 0.0;
  std::size_t iterations = 0;
  std::size_t egraph_nodes = 0;    // hash-cons size after the run
  std::size_t egraph_classes = 0;  // class count after the run
  std::size_t node_limit = 0;
  egraph::StopReason stop_reason;
  std::vector<egraph::IterationRecord> iteration_records;
};

class SaturationEngine final : public RewriteEngine {
 public:
  static constexpr std::size_t kIterationLimit = 12;
  static constexpr std::size_t kNodesPerTerm = 4;
  static constexpr std::size_t kNodeAllowance = 1024;

  // Builds the twelve rules.
  SaturationEngine();

  EngineOutput rewrite(const EngineInput& input) const override;
  // The same, also reporting what the run did.
  EngineOutput rewrite(const EngineInput& input, EngineRunStats& stats) const;

  const std::vector<egraph::Rewrite>& rules() const { return rules_; }
  // The symbols of the rules (names, operators, variables); every run's
  // symbol table starts as a copy, so the rules' symbols mean the same there.
  const egraph::SymbolTable& symbols() const { return symbols_; }
  std::size_t iteration_limit() const { return iteration_limit_; }

 private:
  egraph::SymbolTable symbols_;
  std::vector<egraph::Rewrite> rules_;
  std::size_t iteration_limit_ = kIterationLimit;
};

}  // namespace weftory::optimizer

// The rewrite engine: decides which terms of a batch are equal modulo a fixed
// set of sound rules (commutativity of eight two-input operations and four
// scalar identities) and returns one representative term per class, always
// the earliest input term of the class, with a map from every input term to
// its representative.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "egraph/pattern.hpp"
#include "egraph/runner.hpp"
#include "support/small_vec.hpp"

namespace weftory::optimizer {

// Names an operator text of a batch by its position in the batch's OpTable.
using OpIndex = std::uint32_t;

// The distinct operator texts of a batch, numbered from 0 in the order they
// were first added. Terms name their operator by number, so a key that
// thousands of nodes share is stored, hashed and compared once.
class OpTable {
 public:
  OpTable();
  // A copy indexes its own texts; a move keeps them where they are.
  OpTable(const OpTable& other);
  OpTable& operator=(const OpTable& other);
  OpTable(OpTable&&) = default;
  OpTable& operator=(OpTable&&) = default;
  ~OpTable() = default;

  // The number of `text`, added on first use.
  OpIndex intern(std::string_view text);
  std::string_view text(OpIndex op) const { return texts_[op]; }
  std::size_t size() const { return texts_.size(); }

 private:
  struct Hash {
    std::uint64_t seed;
    std::size_t operator()(std::string_view text) const;
  };
  // A deque keeps each text where it is, so the index's views stay valid.
  std::deque<std::string> texts_;
  boost::unordered_flat_map<std::string_view, OpIndex, Hash> index_;
};

// A term's children: indices into the same term vector. Most terms have one
// or two, kept inline.
using TermChildren = support::SmallVec<std::uint64_t, 2>;

struct EngineTerm {
  // The operator: on input the node's identity key, as a number of the
  // batch's OpTable; on output the same number as the input term it copies.
  OpIndex op = 0;
  // Indices into the same term vector, all smaller than this term's own.
  TermChildren children;
  // Output only: true exactly when the op text does not begin with "op|".
  bool opaque = false;
  friend bool operator==(const EngineTerm&, const EngineTerm&) = default;
};

struct EngineInput {
  OpTable ops;
  std::vector<EngineTerm> terms;
  // The outputs the caller keeps, in its order; repetitions allowed.
  std::vector<std::uint64_t> roots;

  // Appends a term with operator `op` and returns its index.
  std::uint64_t add(std::string_view op, std::span<const std::uint64_t> children = {});
};

struct EngineOutput {
  // One term per class, ordered by the index of the class's earliest term;
  // op numbers refer to the input's OpTable.
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
  // True when no term could be matched by any rule, so the classes were
  // found by hash-consing alone and the saturation run (which would have
  // searched once, applied nothing and stopped) was not built; every figure
  // above but the times is what that run reports.
  bool matched_nothing = false;
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

  const std::vector<egraph::Rewrite>& rules() const { return set_->rules; }
  // The arities (bit k for k children) with which a term whose op is `text`
  // is the root of some rule's searcher; 0 when no rule can match it.
  std::uint64_t searched_arities(std::string_view text) const;
  // The symbols of the rules (names, operators, variables); every run's
  // symbol table starts as a copy, so the rules' symbols mean the same there.
  const egraph::SymbolTable& symbols() const { return set_->symbols; }
  std::size_t iteration_limit() const { return iteration_limit_; }

 private:
  EngineOutput rewrite_unmatched(const EngineInput& input, EngineRunStats& stats) const;
  // How many terms have the op and child count of a rule searcher's root
  // (every term when a searcher is a bare variable). When none has, no rule
  // can ever match: nothing merges, the classes are those of hash-consing,
  // and the run would stop after one empty search.
  std::size_t terms_searched(const EngineInput& input) const;

  // The rules with their symbols, and what the rules' searchers look for.
  // Built once per process, on first use, and only read after that (every
  // run copies the symbols into its own table), so every engine shares it:
  // parsing and compiling the twelve patterns again for each reduction cost
  // more than reducing a small graph.
  struct RuleSet {
    RuleSet();
    egraph::SymbolTable symbols;
    std::vector<egraph::Rewrite> rules;
    // searched_arities of every rule searcher's root operator.
    struct TextHash {
      using is_transparent = void;
      std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    boost::unordered_flat_map<std::string, std::uint64_t, TextHash, std::equal_to<>> searched;
    bool any_searcher_is_variable = false;
  };
  static const RuleSet& rule_set();

  const RuleSet* set_;
  std::size_t iteration_limit_ = kIterationLimit;
};

}  // namespace weftory::optimizer

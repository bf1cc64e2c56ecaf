#include "optimizer/engine.hpp"

#include <array>
#include <chrono>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include "optimizer/rules.hpp"
#include "support/fatal.hpp"
#include "support/hash.hpp"

namespace weftory::optimizer {

using support::BigAllocator;
using support::fatal;
using support::index_out_of_bounds;

namespace {

using egraph::EGraph;
using egraph::Id;
using egraph::SymbolLang;
using Clock = std::chrono::steady_clock;
// Per-term and per-class tables of a large batch are read at random.
template <class T>
using Table = std::vector<T, BigAllocator<T>>;

constexpr std::string_view kOpPrefix = "op|";
constexpr std::uint64_t kNoEntry = std::numeric_limits<std::uint64_t>::max();

std::shared_ptr<const egraph::Pattern> pattern(const std::string& text, egraph::SymbolTable& symbols) {
  return std::make_shared<const egraph::Pattern>(egraph::parse_pattern(text, symbols).unwrap());
}

egraph::Rewrite rule(const std::string& name, const std::string& searcher, const std::string& applier,
                     egraph::SymbolTable& symbols) {
  auto made = egraph::Rewrite::make(name, pattern(searcher, symbols), pattern(applier, symbols), symbols);
  return std::move(made).unwrap();
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

}  // namespace

// Keys come from the caller's graph, so the table draws its own seed.
OpTable::OpTable() : index_(0, Hash{support::random_seed()}) {}

std::size_t OpTable::Hash::operator()(std::string_view text) const {
  support::HashBuilder h(seed);
  h.add_bytes(text);
  return static_cast<std::size_t>(h.finish());
}

OpIndex OpTable::intern(std::string_view text) {
  const auto next = static_cast<OpIndex>(texts_.size());
  auto found = index_.find(text);
  if (found != index_.end()) return found->second;
  if (texts_.size() >= std::numeric_limits<OpIndex>::max()) throw std::bad_alloc();
  const std::string& stored = texts_.emplace_back(text);
  try {
    index_.emplace(std::string_view(stored), next);
  } catch (...) {
    texts_.pop_back();
    throw;
  }
  return next;
}

std::uint64_t EngineInput::add(std::string_view op, std::span<const std::uint64_t> children) {
  EngineTerm term;
  term.op = ops.intern(op);
  term.children.append(children.begin(), children.end());
  terms.push_back(std::move(term));
  return terms.size() - 1;
}

SaturationEngine::SaturationEngine() {
  rules_.reserve(rules::kCommutativeNames.size() + rules::kScalarIdentities.size());
  for (std::string_view name : rules::kCommutativeNames) {
    const std::string op = rules::commutative_key(name);
    rules_.push_back(
        rule("commute-" + std::string(name), "(" + op + " ?a ?b)", "(" + op + " ?b ?a)", symbols_));
  }
  for (const std::string& key : rules::identity_keys())
    rules_.push_back(rule("identity-" + key, "(" + key + " ?x)", "?x", symbols_));
}

EngineOutput SaturationEngine::rewrite(const EngineInput& input) const {
  EngineRunStats stats;
  return rewrite(input, stats);
}

EngineOutput SaturationEngine::rewrite(const EngineInput& input, EngineRunStats& stats) const {
  const auto start = Clock::now();
  const std::size_t n = input.terms.size();

  // Load the terms; identical terms share a class from the start. The run's
  // symbols start as a copy of the rules' and die with the e-graph, so what a
  // run interns (one text per distinct identity key) never outlives it.
  EGraph graph(symbols_);
  egraph::SymbolTable& symbols = graph.symbols();
  graph.reserve(n);
  Table<Id> ids;
  ids.reserve(n);
  // Each distinct operator is interned once, when a term first uses it, so
  // symbols are numbered in the order the terms first name them.
  std::vector<std::optional<egraph::Symbol>> symbol_of(input.ops.size());
  std::vector<Id> children;
  for (const EngineTerm& term : input.terms) {
    children.clear();
    for (std::uint64_t child : term.children) {
      if (child >= ids.size()) index_out_of_bounds(ids.size(), child);
      children.push_back(ids[child]);
    }
    if (term.op >= symbol_of.size()) index_out_of_bounds(symbol_of.size(), term.op);
    std::optional<egraph::Symbol>& symbol = symbol_of[term.op];
    if (!symbol) symbol = symbols.intern(input.ops.text(term.op));
    const Id added = graph.add(SymbolLang(*symbol, children));
    ids.push_back(graph.find(added));
  }
  const auto added_at = Clock::now();

  egraph::Runner runner;
  runner.with_egraph(std::move(graph))
      .with_iteration_limit(iteration_limit_)
      .with_node_limit(kNodesPerTerm * n + kNodeAllowance);
  runner.run(rules_);
  const auto ran_at = Clock::now();
  const EGraph& result = runner.egraph();

  // Class of every term, and its earliest member. Class ids are dense, so
  // both maps are arrays indexed by class id.
  Table<Id> term_class(n);
  Table<std::uint64_t> first(result.number_of_ids(), kNoEntry);
  for (std::size_t i = 0; i < n; ++i) {
    const Id eclass = result.find(ids[i]);
    term_class[i] = eclass;
    if (first[eclass] == kNoEntry) first[eclass] = i;
  }

  EngineOutput output;
  Table<std::uint64_t> out(result.number_of_ids(), kNoEntry);
  auto output_index = [&](Id eclass) {
    if (out[eclass] == kNoEntry) fatal("no entry found for key");
    return out[eclass];
  };
  constexpr std::uint8_t kUnknown = 2;
  std::vector<std::uint8_t> opaque_of(input.ops.size(), kUnknown);
  for (std::size_t i = 0; i < n; ++i) {
    const Id eclass = term_class[i];
    if (first[eclass] != i) continue;
    const EngineTerm& term = input.terms[i];
    EngineTerm representative;
    representative.op = term.op;
    std::uint8_t& opaque = opaque_of[term.op];
    if (opaque == kUnknown) opaque = input.ops.text(term.op).starts_with(kOpPrefix) ? 0 : 1;
    representative.opaque = opaque != 0;
    representative.children.reserve(term.children.size());
    for (std::uint64_t child : term.children) representative.children.push_back(output_index(term_class[child]));
    out[eclass] = output.terms.size();
    output.terms.push_back(std::move(representative));
  }

  output.roots.reserve(input.roots.size());
  for (std::uint64_t root : input.roots) {
    if (root >= n) index_out_of_bounds(n, root);
    output.roots.push_back(output_index(term_class[root]));
  }
  output.node_map.reserve(n);
  for (std::size_t i = 0; i < n; ++i) output.node_map.push_back(output_index(term_class[i]));
  const auto done = Clock::now();

  stats = EngineRunStats{};
  stats.add_seconds = seconds_between(start, added_at);
  for (const egraph::IterationRecord& record : runner.iterations()) {
    stats.search_seconds += record.search_time;
    stats.apply_seconds += record.apply_time;
    stats.rebuild_seconds += record.rebuild_time;
  }
  stats.readback_seconds = seconds_between(ran_at, done);
  stats.total_seconds = seconds_between(start, done);
  stats.iterations = runner.iterations().size();
  stats.egraph_nodes = result.total_size();
  stats.egraph_classes = result.number_of_classes();
  stats.node_limit = kNodesPerTerm * n + kNodeAllowance;
  stats.stop_reason = *runner.stop_reason();
  stats.iteration_records = runner.iterations();
  return output;
}

}  // namespace weftory::optimizer

#include "optimizer/engine.hpp"

#include <array>
#include <chrono>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <variant>

#include "egraph/log.hpp"
#include "optimizer/rules.hpp"
#include "optimizer/term_index.hpp"
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

// One output term per class, a copy of the class's earliest term with its
// children renumbered, in order of that term; then the roots and the node
// map. `term_class[i]` names the class of term i by a number below `classes`.
// Term and output indices are kept as `Index` (32 bits whenever the batch
// allows): the two per-class tables are read at random, and at a million
// terms halving them saves more time than the narrowing costs.
template <class Index, class ClassId>
EngineOutput read_back_as(const EngineInput& input, const Table<ClassId>& term_class, std::size_t classes) {
  constexpr Index kNone = std::numeric_limits<Index>::max();
  const std::size_t n = input.terms.size();
  Table<Index> first(classes, kNone);
  for (std::size_t i = 0; i < n; ++i)
    if (first[term_class[i]] == kNone) first[term_class[i]] = static_cast<Index>(i);

  EngineOutput output;
  Table<Index> out(classes, kNone);
  auto output_index = [&](ClassId eclass) -> std::uint64_t {
    if (out[eclass] == kNone) fatal("no entry found for key");
    return out[eclass];
  };
  constexpr std::uint8_t kUnknown = 2;
  std::vector<std::uint8_t> opaque_of(input.ops.size(), kUnknown);
  for (std::size_t i = 0; i < n; ++i) {
    const ClassId eclass = term_class[i];
    if (first[eclass] != i) continue;
    const EngineTerm& term = input.terms[i];
    EngineTerm representative;
    representative.op = term.op;
    std::uint8_t& opaque = opaque_of[term.op];
    if (opaque == kUnknown) opaque = input.ops.text(term.op).starts_with(kOpPrefix) ? 0 : 1;
    representative.opaque = opaque != 0;
    representative.children.reserve(term.children.size());
    for (std::uint64_t child : term.children) representative.children.push_back(output_index(term_class[child]));
    out[eclass] = static_cast<Index>(output.terms.size());
    output.terms.push_back(std::move(representative));
  }

  output.roots.reserve(input.roots.size());
  for (std::uint64_t root : input.roots) {
    if (root >= n) index_out_of_bounds(n, root);
    output.roots.push_back(output_index(term_class[root]));
  }
  output.node_map.reserve(n);
  for (std::size_t i = 0; i < n; ++i) output.node_map.push_back(output_index(term_class[i]));
  return output;
}

template <class ClassId>
EngineOutput read_back(const EngineInput& input, const Table<ClassId>& term_class, std::size_t classes) {
  // Both tables hold term indices below n, and kNone must stay free.
  if (input.terms.size() < std::numeric_limits<std::uint32_t>::max())
    return read_back_as<std::uint32_t>(input, term_class, classes);
  return read_back_as<std::uint64_t>(input, term_class, classes);
}

}  // namespace

// Keys come from the caller's graph, so the table draws its own seed.
OpTable::OpTable() : index_(0, Hash{support::random_seed()}) {}

std::size_t OpTable::Hash::operator()(std::string_view text) const {
  support::HashBuilder h(seed);
  h.add_bytes(text);
  return static_cast<std::size_t>(h.finish());
}

OpTable::OpTable(const OpTable& other) : OpTable() {
  for (const std::string& text : other.texts_) intern(text);
}

OpTable& OpTable::operator=(const OpTable& other) {
  if (this != &other) {
    OpTable copy(other);
    *this = std::move(copy);
  }
  return *this;
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

SaturationEngine::RuleSet::RuleSet() {
  rules.reserve(rules::kCommutativeNames.size() + rules::kScalarIdentities.size());
  for (std::string_view name : rules::kCommutativeNames) {
    const std::string op = rules::commutative_key(name);
    rules.push_back(rule("commute-" + std::string(name), "(" + op + " ?a ?b)", "(" + op + " ?b ?a)", symbols));
  }
  for (const std::string& key : rules::identity_keys())
    rules.push_back(rule("identity-" + key, "(" + key + " ?x)", "?x", symbols));
  for (const egraph::Rewrite& r : rules) {
    const auto* root = std::get_if<SymbolLang>(&r.searcher().ast().back());
    // A searcher that is a bare variable matches every term.
    if (!root) {
      any_searcher_is_variable = true;
      continue;
    }
    const std::size_t arity = root->arity();
    searched[std::string(symbols.text(root->op))] |= arity < 64 ? std::uint64_t{1} << arity : 0;
  }
}

const SaturationEngine::RuleSet& SaturationEngine::rule_set() {
  // Never destroyed: a thread still reducing while the process exits must
  // not meet a rule set torn down under it.
  static const RuleSet* const set = new RuleSet();
  return *set;
}

SaturationEngine::SaturationEngine() : set_(&rule_set()) {}

std::uint64_t SaturationEngine::searched_arities(std::string_view text) const {
  const auto found = set_->searched.find(text);
  return found == set_->searched.end() ? 0 : found->second;
}

std::size_t SaturationEngine::terms_searched(const EngineInput& input) const {
  if (set_->any_searcher_is_variable) return input.terms.size();
  constexpr std::uint64_t kUnknown = ~std::uint64_t{0};
  std::vector<std::uint64_t> arities(input.ops.size(), kUnknown);
  std::size_t searched = 0;
  for (const EngineTerm& term : input.terms) {
    if (term.op >= arities.size()) return input.terms.size();  // the run reports the bad index
    std::uint64_t& mask = arities[term.op];
    if (mask == kUnknown) mask = searched_arities(input.ops.text(term.op));
    const std::size_t arity = term.children.size();
    if (mask != 0 && (arity >= 64 || ((mask >> arity) & 1) != 0)) ++searched;
  }
  return searched;
}

EngineOutput SaturationEngine::rewrite(const EngineInput& input) const {
  EngineRunStats stats;
  return rewrite(input, stats);
}

EngineOutput SaturationEngine::rewrite(const EngineInput& input, EngineRunStats& stats) const {
  // The run's log records (when a sink is installed) come from the run
  // itself, so it is only skipped when nobody listens.
  const std::size_t searched = terms_searched(input);
  if (!egraph::log_enabled(egraph::LogLevel::Warn) && searched == 0) {
    return rewrite_unmatched(input, stats);
  }
  const auto start = Clock::now();
  const std::size_t n = input.terms.size();

  // Load the terms; identical terms share a class from the start. The run's
  // symbols start as a copy of the rules' and die with the e-graph, so what a
  // run interns (one text per distinct identity key) never outlives it.
  EGraph graph(set_->symbols);
  egraph::SymbolTable& symbols = graph.symbols();
  // Room for the terms and one rewritten e-node per searched term (a
  // commuted operand order), spares regrowing the hash-cons in the run.
  graph.reserve(n + searched);
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
  runner.run(set_->rules);
  const auto ran_at = Clock::now();
  const EGraph& result = runner.egraph();

  // Class of every term. Class ids are dense, so the read-back indexes its
  // tables by them.
  Table<Id> term_class(n);
  for (std::size_t i = 0; i < n; ++i) term_class[i] = result.find(ids[i]);
  EngineOutput output = read_back(input, term_class, result.number_of_ids());
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

namespace {

// Terms hashed and compared by op and the classes of their children, through
// the batch itself: the table stores the index of each class's earliest term.
struct UnmatchedHash {
  const EngineInput* input;
  const Table<std::uint64_t>* class_of;
  std::size_t operator()(std::uint64_t i) const {
    const EngineTerm& t = input->terms[i];
    std::uint64_t h = support::hash_combine(t.op, t.children.size());
    for (std::uint64_t c : t.children) h = support::hash_combine(h, (*class_of)[c]);
    return static_cast<std::size_t>(h);
  }
};
struct UnmatchedEqual {
  const EngineInput* input;
  const Table<std::uint64_t>* class_of;
  bool operator()(std::uint64_t a, std::uint64_t b) const {
    const EngineTerm& x = input->terms[a];
    const EngineTerm& y = input->terms[b];
    if (x.op != y.op || x.children.size() != y.children.size()) return false;
    for (std::size_t k = 0; k < x.children.size(); ++k)
      if ((*class_of)[x.children[k]] != (*class_of)[y.children[k]]) return false;
    return true;
  }
};

}  // namespace

EngineOutput SaturationEngine::rewrite_unmatched(const EngineInput& input, EngineRunStats& stats) const {
  const auto start = Clock::now();
  const std::size_t n = input.terms.size();

  // class_of[i]: the earliest term identical to term i (same op, children in
  // the same classes), which is what the e-graph's hash-cons would merge.
  Table<std::uint64_t> class_of;
  class_of.reserve(n);
  TermIndex<UnmatchedHash, UnmatchedEqual> classes(n, UnmatchedHash{&input, &class_of},
                                                   UnmatchedEqual{&input, &class_of});
  std::size_t class_count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const TermChildren& children = input.terms[i].children;
    for (std::uint64_t child : children)
      if (child >= i) index_out_of_bounds(i, child);
    class_of.push_back(i);
    const std::uint64_t anchor = children.empty() ? TermIndex<UnmatchedHash, UnmatchedEqual>::kLeaf
                                                  : class_of[children[0]];
    class_of[i] = classes.find_or_add(i, anchor);
    if (class_of[i] == i) ++class_count;
  }
  const auto added_at = Clock::now();

  EngineOutput output = read_back(input, class_of, n);
  const auto done = Clock::now();

  // What the run would report: one iteration that found and applied nothing
  // over a hash-cons of one e-node per class.
  stats = EngineRunStats{};
  stats.add_seconds = seconds_between(start, added_at);
  stats.readback_seconds = seconds_between(added_at, done);
  stats.total_seconds = seconds_between(start, done);
  stats.iterations = 1;
  stats.egraph_nodes = class_count;
  stats.egraph_classes = class_count;
  stats.node_limit = kNodesPerTerm * n + kNodeAllowance;
  stats.stop_reason = egraph::StopReason::saturated();
  egraph::IterationRecord record;
  record.egraph_nodes = class_count;
  record.egraph_classes = class_count;
  record.stop_reason = egraph::StopReason::saturated();
  stats.iteration_records.push_back(std::move(record));
  stats.matched_nothing = true;
  return output;
}

}  // namespace weftory::optimizer

#include "egraph/pattern.hpp"

#include <algorithm>
#include <sstream>
#include <tuple>

#include "egraph/log.hpp"
#include "support/fatal.hpp"

namespace weftory::egraph {

using support::Result;
using support::fatal;

// ---------------------------------------------------------------------------
// S-expression reader

namespace {

// Walks the text code point by code point, counting lines and columns from 0.
// A byte that does not start a valid UTF-8 sequence counts as one code point.
class SexpReader {
 public:
  explicit SexpReader(std::string_view text) : text_(text) {}

  Result<Sexp, SexpError> read() {
    if (text_.empty()) return Sexp{};
    return read_element();
  }

 private:
  bool at_end() const { return pos_ >= text_.size(); }

  std::size_t sequence_length() const {
    const auto lead = static_cast<unsigned char>(text_[pos_]);
    std::size_t length = 1;
    if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
    } else if (lead >= 0xE0) {
      length = lead <= 0xEF ? 3 : 1;
    } else if (lead >= 0xC2) {
      length = 2;
    }
    if (pos_ + length > text_.size()) return 1;
    for (std::size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text_[pos_ + k]) & 0xC0) != 0x80) return 1;
    return length;
  }

  // The next code point's first byte (every character the grammar looks for
  // is ASCII, so comparing the first byte is enough).
  char peek() const { return text_[pos_]; }

  void advance() {
    if (text_[pos_] == '\n') {
      ++line_;
      column_ = 0;
    } else {
      ++column_;
    }
    pos_ += sequence_length();
  }

  SexpError error(std::string message) const { return SexpError{std::move(message), line_ + 1, column_ + 1}; }

  // Consumes a required character, or reports what was there instead.
  Result<void, SexpError> expect(char wanted) {
    if (at_end()) return error("End of file reached");
    if (peek() != wanted) {
      std::string got(text_.substr(pos_, sequence_length()));
      return error(std::string("expected ") + wanted + " got " + got);
    }
    advance();
    return {};
  }

  Result<Sexp, SexpError> read_element() {
    while (!at_end() && (peek() == ' ' || peek() == '\t')) advance();
    if (at_end()) return error("End of file reached");
    switch (peek()) {
      case '(':
        return read_list();
      case ')':
        return error("Unexpected )");
      case '"':
        return read_quoted();
      default:
        return read_plain();
    }
  }

  Result<Sexp, SexpError> read_list() {
    if (auto opened = expect('('); !opened) return std::move(opened).error();
    std::vector<Sexp> items;
    while (true) {
      while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\r' || peek() == '\n')) advance();
      if (at_end()) return error("End of file reached");
      if (peek() == ')') {
        advance();
        return Sexp::make_list(std::move(items));
      }
      auto item = read_element();
      if (!item) return item.error();
      items.push_back(std::move(item.value()));
    }
  }

  // The characters between the quotes, backslashes included, unchanged.
  Result<Sexp, SexpError> read_quoted() {
    if (auto opened = expect('"'); !opened) return std::move(opened).error();
    const std::size_t start = pos_;
    while (true) {
      if (at_end()) return error("End of file reached");
      if (peek() == '\\') {
        advance();
        if (at_end()) return error("End of file reached");
        advance();
        continue;
      }
      if (peek() == '"') {
        std::string atom(text_.substr(start, pos_ - start));
        advance();
        return Sexp::make_atom(std::move(atom));
      }
      advance();
    }
  }

  Result<Sexp, SexpError> read_plain() {
    const std::size_t start = pos_;
    while (!at_end()) {
      const char c = peek();
      if (c == ' ' || c == '\r' || c == '\n' || c == '(' || c == ')') break;
      advance();
    }
    return Sexp::make_atom(std::string(text_.substr(start, pos_ - start)));
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_ = 0;
  std::size_t column_ = 0;
};

}  // namespace

Result<Sexp, SexpError> read_sexp(std::string_view text) { return SexpReader(text).read(); }

// ---------------------------------------------------------------------------
// Errors and variables

std::string PatternError::to_string() const {
  switch (kind) {
    case Kind::BadSexp:
      return "bad s-expression: " + text + " at line " + std::to_string(line) + " column " +
             std::to_string(column);
    case Kind::EmptySexp:
      return "found empty s-expression";
    case Kind::HeadList:
      return "found a list in the head position";
    case Kind::UnexpectedVar:
      return "found a variable with children: " + text;
    case Kind::BadVar:
      return "bad variable: " + text;
  }
  return "pattern error";
}

namespace {
bool is_var_text(std::string_view text) { return text.size() >= 2 && text.front() == '?'; }
}  // namespace

Result<Var, PatternError> parse_var(std::string_view text, SymbolTable& symbols) {
  if (text.empty() || text.front() != '?')
    return PatternError{PatternError::Kind::BadVar, "missing question mark: " + std::string(text)};
  return Var{symbols.intern(text)};
}

// ---------------------------------------------------------------------------
// Term builder

namespace {

Result<std::size_t, PatternError> build_node(const Sexp& sexp, std::vector<PatternNode>& ast,
                                             SymbolTable& symbols);

Result<std::size_t, PatternError> push_node(std::string_view op, std::span<const Id> children,
                                            std::vector<PatternNode>& ast, SymbolTable& symbols) {
  if (is_var_text(op)) {
    if (!children.empty()) return PatternError{PatternError::Kind::UnexpectedVar, std::string(op)};
    ast.emplace_back(Var{symbols.intern(op)});
  } else {
    ast.emplace_back(SymbolLang(symbols.intern(op), children));
  }
  return ast.size() - 1;
}

Result<std::size_t, PatternError> build_node(const Sexp& sexp, std::vector<PatternNode>& ast,
                                             SymbolTable& symbols) {
  switch (sexp.kind) {
    case Sexp::Kind::Empty:
      return PatternError{PatternError::Kind::EmptySexp, {}};
    case Sexp::Kind::Atom:
      return push_node(sexp.atom, {}, ast, symbols);
    case Sexp::Kind::List:
      break;
  }
  if (sexp.list.empty()) return PatternError{PatternError::Kind::EmptySexp, {}};
  const Sexp& head = sexp.list.front();
  if (head.kind != Sexp::Kind::Atom) return PatternError{PatternError::Kind::HeadList, {}};
  std::vector<Id> children;
  children.reserve(sexp.list.size() - 1);
  for (std::size_t k = 1; k < sexp.list.size(); ++k) {
    auto child = build_node(sexp.list[k], ast, symbols);
    if (!child) return child.error();
    children.push_back(static_cast<Id>(child.value()));
  }
  return push_node(head.atom, children, ast, symbols);
}

void write_pattern_node(std::span<const PatternNode> ast, std::size_t index, const SymbolTable& symbols,
                        std::string& out) {
  if (const auto* var = std::get_if<Var>(&ast[index])) {
    out += symbols.text(var->sym);
    return;
  }
  const auto& node = std::get<SymbolLang>(ast[index]);
  if (node.arity() == 0) {
    out += symbols.text(node.op);
    return;
  }
  out += '(';
  out += symbols.text(node.op);
  for (Id child : node.children()) {
    out += ' ';
    write_pattern_node(ast, child, symbols, out);
  }
  out += ')';
}

}  // namespace

Result<Pattern, PatternError> pattern_from_sexp(const Sexp& sexp, SymbolTable& symbols) {
  std::vector<PatternNode> ast;
  auto root = build_node(sexp, ast, symbols);
  if (!root) return root.error();
  return Pattern(std::move(ast), symbols);
}

Result<Pattern, PatternError> parse_pattern(std::string_view text, SymbolTable& symbols) {
  auto sexp = read_sexp(text);
  if (!sexp) {
    const SexpError& e = sexp.error();
    return PatternError{PatternError::Kind::BadSexp, e.message, e.line, e.column};
  }
  return pattern_from_sexp(sexp.value(), symbols);
}

Pattern::Pattern(std::vector<PatternNode> ast, const SymbolTable& symbols) : ast_(std::move(ast)) {
  if (ast_.empty()) fatal("a pattern needs at least one node");
  for (const PatternNode& node : ast_) {
    if (const auto* var = std::get_if<Var>(&node)) {
      if (std::find(vars_.begin(), vars_.end(), *var) == vars_.end()) vars_.push_back(*var);
    }
  }
  program_ = compile(ast_);
  write_pattern_node(ast_, ast_.size() - 1, symbols, text_);
  log_lazy(LogLevel::Debug, [&] { return "Compiled " + text_ + " to " + program_.to_string(symbols); });
}

// ---------------------------------------------------------------------------
// Compilation

namespace {

class Compiler {
 public:
  explicit Compiler(std::span<const PatternNode> ast) : ast_(ast) {
    free_vars_.resize(ast.size());
    sizes_.resize(ast.size());
    for (std::size_t k = 0; k < ast.size(); ++k) {
      if (const auto* var = std::get_if<Var>(&ast[k])) {
        free_vars_[k].push_back(*var);
        sizes_[k] = 0;
        continue;
      }
      const auto& node = std::get<SymbolLang>(ast[k]);
      std::size_t size = 1;
      for (Id child : node.children()) {
        if (child >= k) fatal("pattern child " + std::to_string(child) + " is not before its parent");
        for (Var v : free_vars_[child])
          if (std::find(free_vars_[k].begin(), free_vars_[k].end(), v) == free_vars_[k].end())
            free_vars_[k].push_back(v);
        size += sizes_[child];
      }
      sizes_[k] = size;
    }
  }

  Program run() {
    add_todo(ast_.size() - 1, 0);
    while (!todo_.empty()) {
      const std::size_t pick = take_best();
      const auto [node_index, reg] = todo_[pick];
      todo_.erase(todo_.begin() + static_cast<std::ptrdiff_t>(pick));
      const auto& node = std::get<SymbolLang>(ast_[node_index]);
      if (unbound_count(node_index) == 0 && node.arity() > 0) {
        program_.instructions.emplace_back(Lookup{lookup_term(node_index), reg});
        continue;
      }
      const Reg out = next_reg_;
      next_reg_ += static_cast<Reg>(node.arity());
      program_.instructions.emplace_back(Bind{SymbolLang::with_arity(node.op, node.arity()), reg, out});
      for (std::size_t k = 0; k < node.arity(); ++k) add_todo(node.children()[k], out + static_cast<Reg>(k));
    }
    program_.subst = v2r_;
    return std::move(program_);
  }

 private:
  std::optional<Reg> reg_of(Var var) const {
    for (const auto& [v, r] : v2r_)
      if (v == var) return r;
    return std::nullopt;
  }

  std::size_t unbound_count(std::size_t node_index) const {
    std::size_t count = 0;
    for (Var v : free_vars_[node_index])
      if (!reg_of(v)) ++count;
    return count;
  }

  void add_todo(std::size_t node_index, Reg reg) {
    if (const auto* var = std::get_if<Var>(&ast_[node_index])) {
      if (auto bound = reg_of(*var)) {
        program_.instructions.emplace_back(Compare{reg, *bound});
      } else {
        v2r_.emplace_back(*var, reg);
      }
      return;
    }
    todo_.emplace_back(node_index, reg);
  }

  // The entry with the largest (grounded, unbound variables, -size); the last
  // one among equals.
  std::size_t take_best() const {
    std::size_t best = 0;
    std::tuple<bool, std::size_t, std::ptrdiff_t> best_key{};
    for (std::size_t k = 0; k < todo_.size(); ++k) {
      const std::size_t node_index = todo_[k].first;
      const std::size_t unbound = unbound_count(node_index);
      const std::tuple<bool, std::size_t, std::ptrdiff_t> key{unbound == 0, unbound,
                                                              -static_cast<std::ptrdiff_t>(sizes_[node_index])};
      if (k == 0 || key >= best_key) {
        best = k;
        best_key = key;
      }
    }
    return best;
  }

  // The grounded subterm with its variables replaced by their registers.
  std::vector<LookupEntry> lookup_term(std::size_t root) const {
    std::vector<LookupEntry> term;
    append_lookup(root, term);
    return term;
  }

  std::size_t append_lookup(std::size_t node_index, std::vector<LookupEntry>& term) const {
    if (const auto* var = std::get_if<Var>(&ast_[node_index])) {
      term.emplace_back(*reg_of(*var));
      return term.size() - 1;
    }
    const auto& node = std::get<SymbolLang>(ast_[node_index]);
    std::vector<Id> children;
    children.reserve(node.arity());
    for (Id child : node.children()) children.push_back(static_cast<Id>(append_lookup(child, term)));
    term.emplace_back(SymbolLang(node.op, children));
    return term.size() - 1;
  }

  std::span<const PatternNode> ast_;
  std::vector<std::vector<Var>> free_vars_;
  std::vector<std::size_t> sizes_;
  std::vector<std::pair<std::size_t, Reg>> todo_;
  std::vector<std::pair<Var, Reg>> v2r_;
  Reg next_reg_ = 1;
  Program program_;
};

std::string lookup_entry_text(const LookupEntry& entry, const SymbolTable& symbols) {
  if (const Reg* reg = std::get_if<Reg>(&entry)) {
    std::string text(1, '$');
    text += std::to_string(*reg);
    return text;
  }
  return std::get<SymbolLang>(entry).to_string(symbols);
}

}  // namespace

Program compile(std::span<const PatternNode> ast) {
  if (ast.empty()) fatal("a pattern needs at least one node");
  return Compiler(ast).run();
}

std::string Program::to_string(const SymbolTable& symbols) const {
  std::ostringstream out;
  out << "[";
  for (std::size_t k = 0; k < instructions.size(); ++k) {
    if (k > 0) out << ", ";
    std::visit(
        [&out, &symbols](const auto& instruction) {
          using T = std::decay_t<decltype(instruction)>;
          if constexpr (std::is_same_v<T, Bind>) {
            out << "Bind(" << symbols.text(instruction.node.op) << "/" << instruction.node.arity() << ", i=" << instruction.i
                << ", out=" << instruction.out << ")";
          } else if constexpr (std::is_same_v<T, Compare>) {
            out << "Compare(i=" << instruction.i << ", j=" << instruction.j << ")";
          } else if constexpr (std::is_same_v<T, Lookup>) {
            out << "Lookup(i=" << instruction.i << ", term=[";
            for (std::size_t e = 0; e < instruction.term.size(); ++e)
              out << (e > 0 ? " " : "") << lookup_entry_text(instruction.term[e], symbols);
            out << "])";
          } else {
            out << "Scan(out=" << instruction.out << ")";
          }
        },
        instructions[k]);
  }
  out << "] subst {";
  for (std::size_t k = 0; k < subst.size(); ++k)
    out << (k > 0 ? ", " : "") << symbols.text(subst[k].first.sym) << ": $" << subst[k].second;
  out << "}";
  return out.str();
}

// ---------------------------------------------------------------------------
// Substitutions

void Subst::insert(Var var, Id id) {
  for (auto& entry : entries_) {
    if (entry.first == var) {
      entry.second = id;
      return;
    }
  }
  entries_.emplace_back(var, id);
}

std::optional<Id> Subst::get(Var var) const {
  for (const auto& entry : entries_)
    if (entry.first == var) return entry.second;
  return std::nullopt;
}

std::string Subst::to_string(const SymbolTable& symbols) const {
  std::string out = "{";
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    if (k > 0) out += ", ";
    out += symbols.text(entries_[k].first.sym);
    out += ": ";
    out += std::to_string(entries_[k].second);
  }
  out += "}";
  return out;
}

// ---------------------------------------------------------------------------
// Matching machine

namespace {

// Classes this large are entered by a binary search for the template's
// operator instead of a scan from the first e-node.
constexpr std::size_t kBinarySearchThreshold = 50;

class Machine {
 public:
  Machine(const Program& program, const EGraph& egraph) : program_(program), egraph_(egraph) {}

  // Appends up to `limit` (at least 1) substitutions found in `eclass`.
  void run(Id eclass, std::size_t limit, Substs& out) {
    limit_ = limit;
    out_ = &out;
    registers_.clear();
    registers_.push_back(eclass);
    step(0);
  }

 private:
  // Runs the instructions from `pc`; false once the limit is used up, which
  // unwinds the whole depth-first search.
  bool step(std::size_t pc) {
    const auto& instructions = program_.instructions;
    while (pc < instructions.size()) {
      const Instruction& instruction = instructions[pc];
      if (const auto* bind = std::get_if<Bind>(&instruction)) return run_bind(*bind, pc);
      if (const auto* compare = std::get_if<Compare>(&instruction)) {
        if (egraph_.find(registers_[compare->i]) != egraph_.find(registers_[compare->j])) return true;
        ++pc;
        continue;
      }
      if (const auto* lookup = std::get_if<Lookup>(&instruction)) {
        if (!run_lookup(*lookup)) return true;
        ++pc;
        continue;
      }
      const auto& scan = std::get<Scan>(instruction);
      for (Id id = 0; id < egraph_.number_of_ids(); ++id) {
        if (egraph_.unionfind_parent(id) != id) continue;
        registers_.resize(scan.out);
        registers_.push_back(id);
        if (!step(pc + 1)) return false;
      }
      return true;
    }
    Subst subst;
    for (const auto& [var, reg] : program_.subst) subst.insert(var, registers_[reg]);
    out_->push_back(std::move(subst));
    return --limit_ > 0;
  }

  bool run_bind(const Bind& bind, std::size_t pc) {
    const EClass& eclass = egraph_.eclass(registers_[bind.i]);
    const ClassNodes& nodes = eclass.nodes;
    auto it = nodes.begin();
    if (nodes.size() >= kBinarySearchThreshold) {
      it = std::lower_bound(nodes.begin(), nodes.end(), bind.node.op,
                            [](const SymbolLang& node, Symbol op) { return node.op < op; });
    }
    for (; it != nodes.end(); ++it) {
      const SymbolLang& node = *it;
      // Nodes are sorted by operator first: past the template's operator
      // nothing can match any more.
      if (bind.node.op < node.op) break;
      if (!node.matches(bind.node)) continue;
      registers_.resize(bind.out);
      for (Id child : node.children()) registers_.push_back(child);
      if (!step(pc + 1)) return false;
    }
    return true;
  }

  bool run_lookup(const Lookup& lookup) {
    lookup_ids_.clear();
    for (const LookupEntry& entry : lookup.term) {
      if (const Reg* reg = std::get_if<Reg>(&entry)) {
        lookup_ids_.push_back(egraph_.find(registers_[*reg]));
        continue;
      }
      const auto& pattern_node = std::get<SymbolLang>(entry);
      SymbolLang node = pattern_node;
      for (Id& child : node.children()) child = lookup_ids_[child];
      const std::optional<Id> found = egraph_.lookup(node);
      if (!found) return false;
      lookup_ids_.push_back(egraph_.find(*found));
    }
    return lookup_ids_.back() == egraph_.find(registers_[lookup.i]);
  }

  const Program& program_;
  const EGraph& egraph_;
  std::size_t limit_ = 0;
  Substs* out_ = nullptr;
  std::vector<Id> registers_;
  std::vector<Id> lookup_ids_;
};

void require_clean(const EGraph& egraph) {
  if (!egraph.clean()) fatal("Tried to search a dirty e-graph!");
}

}  // namespace

namespace {

Substs run_machine(Machine& machine, const EGraph& egraph, Id eclass, std::size_t limit) {
  require_clean(egraph);
  Substs found;
  if (limit == 0) return found;
  machine.run(eclass, limit, found);
  log_lazy(LogLevel::Trace, [&] {
    std::string text = "Ran program, found [";
    for (std::size_t k = 0; k < found.size(); ++k) text += (k > 0 ? ", " : "") + found[k].to_string(egraph.symbols());
    return text + "]";
  });
  return found;
}

}  // namespace

namespace {

// The one instruction of a program that binds an operator over distinct
// variables: a Bind of the root register and nothing else (a repeated
// variable would add a Compare). Null for any other program.
const Bind* single_bind(const Program& program) {
  if (program.instructions.size() != 1) return nullptr;
  const auto* bind = std::get_if<Bind>(&program.instructions.front());
  if (bind == nullptr || bind->i != 0 || program.subst.size() != bind->node.arity()) return nullptr;
  for (const auto& [var, reg] : program.subst)
    if (reg < bind->out || reg - bind->out >= bind->node.arity()) return nullptr;
  return bind;
}

// What the matching machine finds for a single-Bind program, without the
// machine: the class's e-nodes of the template's operator and arity, in list
// order, one substitution each, at most `limit` of them.
void bind_matches(const Program& program, const Bind& bind, const EClass& eclass, std::size_t limit, Substs& out) {
  const ClassNodes& nodes = eclass.nodes;
  auto it = nodes.begin();
  if (nodes.size() >= kBinarySearchThreshold) {
    it = std::lower_bound(nodes.begin(), nodes.end(), bind.node.op,
                          [](const SymbolLang& node, Symbol op) { return node.op < op; });
  }
  for (; it != nodes.end() && limit > 0; ++it) {
    const SymbolLang& node = *it;
    if (bind.node.op < node.op) break;
    if (!node.matches(bind.node)) continue;
    Subst& subst = out.emplace_back();
    const std::span<const Id> children = node.children();
    for (const auto& [var, reg] : program.subst) subst.insert(var, children[reg - bind.out]);
    --limit;
  }
}

}  // namespace

std::optional<std::size_t> count_matches(const Pattern& pattern, const EGraph& egraph) {
  const Bind* bind = single_bind(pattern.program());
  if (bind == nullptr) return std::nullopt;
  require_clean(egraph);
  return egraph.count_by_op(bind->node.op, bind->node.arity());
}

Substs run_program(const Program& program, const EGraph& egraph, Id eclass, std::size_t limit) {
  Machine machine(program, egraph);
  return run_machine(machine, egraph, eclass, limit);
}

std::vector<SearchMatches> search_with_limit(const Pattern& pattern, const EGraph& egraph, std::size_t limit) {
  std::vector<SearchMatches> matches;
  if (limit == 0) return matches;
  require_clean(egraph);
  Machine machine(pattern.program(), egraph);
  matches.reserve(16);
  auto visit = [&](Id eclass) {
    Substs substs = run_machine(machine, egraph, eclass, limit);
    if (substs.empty()) return;
    if (substs.size() > limit) fatal("assertion failed: a class returned more matches than the limit");
    limit -= substs.size();
    matches.push_back(SearchMatches{eclass, std::move(substs), &pattern});
  };
  if (pattern.root_is_var()) {
    for (Id id = 0; id < egraph.number_of_ids() && limit > 0; ++id)
      if (egraph.unionfind_parent(id) == id) visit(id);
    return matches;
  }
  // Only classes holding an e-node of the root's operator and arity can match;
  // they are visited in ascending id order like the full class list.
  const auto& root = std::get<SymbolLang>(pattern.ast().back());
  const std::span<const Id> candidates = egraph.classes_by_op(root.op, root.arity());
  // Most candidates give one match: room for as many as the limit allows
  // spares moving every match found so far each time the vector grows.
  matches.reserve(std::min(candidates.size(), limit));
  // The candidates are scattered over the class table: fetch a few ahead.
  constexpr std::size_t kPrefetchDistance = 32;
  // A single-Bind program's matches are read straight off the class lists;
  // the machine's trace records need the machine.
  const Bind* bind = log_enabled(LogLevel::Trace) ? nullptr : single_bind(pattern.program());
  for (std::size_t k = 0; k < candidates.size() && limit > 0; ++k) {
    if (k + kPrefetchDistance < candidates.size()) egraph.prefetch_class(candidates[k + kPrefetchDistance]);
    if (bind == nullptr) {
      visit(candidates[k]);
      continue;
    }
    // Filled in place: moving a finished match moves each substitution.
    SearchMatches& match = matches.emplace_back();
    bind_matches(pattern.program(), *bind, egraph.eclass(candidates[k]), limit, match.substs);
    if (match.substs.empty()) {
      matches.pop_back();
      continue;
    }
    match.eclass = candidates[k];
    match.pattern = &pattern;
    limit -= match.substs.size();
  }
  return matches;
}

namespace {

// True when the e-node `ast` instantiates under `subst` (its last node, over
// the variables before it) is listed, with canonical children, in the class
// of `eclass`. `ids` and `children` are scratch.
bool listed_in_class(const std::vector<PatternNode>& ast, const Subst& subst, const EGraph& egraph, Id eclass,
                     std::vector<Id>& ids, std::vector<Id>& children) {
  for (std::size_t k = 0; k + 1 < ast.size(); ++k) {
    const std::optional<Id> bound = subst.get(std::get<Var>(ast[k]));
    if (!bound) return false;  // the general path reports it
    ids[k] = egraph.find(*bound);
  }
  const auto& root = std::get<SymbolLang>(ast.back());
  children.clear();
  for (Id child : root.children()) children.push_back(ids[child]);
  for (const SymbolLang& node : egraph.eclass(eclass).nodes) {
    if (node.op != root.op || node.arity() != children.size()) continue;
    // A plain loop: std::equal turns into a call to memcmp, which costs more
    // than comparing the two or so ids.
    const std::span<const Id> listed = node.children();
    std::size_t k = 0;
    while (k < listed.size() && listed[k] == children[k]) ++k;
    if (k == listed.size()) return true;
  }
  return false;
}

}  // namespace

std::vector<Id> apply_matches(const Pattern& applier, EGraph& egraph, std::span<const SearchMatches> matches,
                              std::string_view rule_name) {
  std::vector<Id> applied;
  const std::vector<PatternNode>& ast = applier.ast();
  std::vector<Id> ids(ast.size());
  std::vector<Id> children;
  // An applier that is one operator over variables (a commuted operand order)
  // often instantiates an e-node its class already lists: adding it would
  // find it in the hash-cons under an id of that class, and the union would
  // merge nothing. Such an application is recognised on the class list and
  // skipped. Every e-node listed with canonical children is a hash-cons key
  // of its class, because entries are only re-filed within a class.
  const bool over_vars = !log_enabled(LogLevel::Trace) && ast.size() >= 2 &&
                         std::holds_alternative<SymbolLang>(ast.back()) &&
                         std::all_of(ast.begin(), ast.end() - 1,
                                     [](const PatternNode& node) { return std::holds_alternative<Var>(node); });
  // Matched classes are scattered over the class table: fetch a few ahead.
  constexpr std::size_t kPrefetchDistance = 32;
  for (std::size_t m = 0; m < matches.size(); ++m) {
    if (m + kPrefetchDistance < matches.size()) egraph.prefetch_class(matches[m + kPrefetchDistance].eclass);
    const SearchMatches& match = matches[m];
    for (const Subst& subst : match.substs) {
      log_lazy(LogLevel::Trace, [&] {
        return "apply_rec " + applier.to_string() + " with " + subst.to_string(egraph.symbols()) + " for " +
               std::string(rule_name);
      });
      if (over_vars && listed_in_class(ast, subst, egraph, match.eclass, ids, children)) continue;
      for (std::size_t k = 0; k < ast.size(); ++k) {
        if (const auto* var = std::get_if<Var>(&ast[k])) {
          const std::optional<Id> bound = subst.get(*var);
          if (!bound) fatal("substitution has no binding for " + std::string(egraph.symbols().text(var->sym)));
          ids[k] = *bound;
          continue;
        }
        const auto& pattern_node = std::get<SymbolLang>(ast[k]);
        children.clear();
        for (Id child : pattern_node.children()) children.push_back(ids[child]);
        SymbolLang node(pattern_node.op, children);
        log_lazy(LogLevel::Trace, [&] { return "adding: " + node.to_string(egraph.symbols()); });
        ids[k] = egraph.find(egraph.add(std::move(node)));
      }
      const Id result = ids.back();
      if (egraph.union_(result, match.eclass)) applied.push_back(result);
    }
  }
  return applied;
}

// ---------------------------------------------------------------------------
// Rewrite

Result<Rewrite, std::string> Rewrite::make(std::string_view name, std::shared_ptr<const Pattern> searcher,
                                           std::shared_ptr<const Pattern> applier, SymbolTable& symbols) {
  const Symbol name_symbol = symbols.intern(name);
  for (Var var : applier->vars()) {
    const auto& searcher_vars = searcher->vars();
    if (std::find(searcher_vars.begin(), searcher_vars.end(), var) == searcher_vars.end())
      return "Rewrite " + std::string(name) + " refers to unbound var " + std::string(symbols.text(var.sym));
  }
  return Rewrite(name_symbol, name, std::move(searcher), std::move(applier));
}

}  // namespace weftory::egraph

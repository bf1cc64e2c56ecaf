// Patterns over SymbolLang terms: the s-expression reader, the term builder,
// compilation to a program for a backtracking matching machine, search over
// an EGraph, instantiation of a right-hand side, and the Rewrite rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "egraph/egraph.hpp"
#include "egraph/symbol.hpp"
#include "support/result.hpp"

namespace weftory::egraph {

// ---------------------------------------------------------------------------
// S-expressions

struct Sexp {
  enum class Kind : std::uint8_t { Empty, Atom, List };
  Kind kind = Kind::Empty;
  std::string atom;
  std::vector<Sexp> list;

  static Sexp make_atom(std::string text) { return Sexp{Kind::Atom, std::move(text), {}}; }
  static Sexp make_list(std::vector<Sexp> items) { return Sexp{Kind::List, {}, std::move(items)}; }
  friend bool operator==(const Sexp&, const Sexp&) = default;
};

struct SexpError {
  std::string message;
  std::size_t line = 0;    // from 1
  std::size_t column = 0;  // from 1, in code points
  friend bool operator==(const SexpError&, const SexpError&) = default;
};

// Reads the first expression of `text`; anything after it is ignored. An
// empty text reads as the empty expression.
support::Result<Sexp, SexpError> read_sexp(std::string_view text);

// ---------------------------------------------------------------------------
// Patterns

// A pattern variable: a symbol whose text is "?" followed by at least one
// more character.
struct Var {
  Symbol sym;
  friend bool operator==(Var, Var) = default;
};

struct PatternError {
  enum class Kind : std::uint8_t { BadSexp, EmptySexp, HeadList, UnexpectedVar, BadVar };
  Kind kind = Kind::EmptySexp;
  // BadSexp: the reader's message; UnexpectedVar and BadVar: the offending text.
  std::string text;
  std::size_t line = 0;    // BadSexp only
  std::size_t column = 0;  // BadSexp only
  std::string to_string() const;
  friend bool operator==(const PatternError&, const PatternError&) = default;
};

// The variable parser: rejects a text without the leading "?" (a BadVar error
// whose text names the missing question mark and the input).
support::Result<Var, PatternError> parse_var(std::string_view text, SymbolTable& symbols);

// A pattern node: an e-node whose children index earlier pattern nodes, or a
// variable.
using PatternNode = std::variant<SymbolLang, Var>;

using Reg = std::uint32_t;

// For each e-node of class reg[i] matching the template (same op and arity),
// load its children into reg[out], reg[out + 1], ... and continue.
struct Bind {
  SymbolLang node;
  Reg i = 0;
  Reg out = 0;
  friend bool operator==(const Bind&, const Bind&) = default;
};

// Continue only if reg[i] and reg[j] are in one class.
struct Compare {
  Reg i = 0;
  Reg j = 0;
  friend bool operator==(const Compare&, const Compare&) = default;
};

// An entry of a Lookup term: a register, or an e-node whose children index
// earlier entries.
using LookupEntry = std::variant<Reg, SymbolLang>;

// Build the term bottom-up by hash-cons look-ups; continue only if it exists
// and its class is reg[i]'s.
struct Lookup {
  std::vector<LookupEntry> term;
  Reg i = 0;
  friend bool operator==(const Lookup&, const Lookup&) = default;
};

// For every class of the e-graph, put its id in reg[out] and continue.
struct Scan {
  Reg out = 0;
  friend bool operator==(const Scan&, const Scan&) = default;
};

using Instruction = std::variant<Bind, Compare, Lookup, Scan>;

struct Program {
  std::vector<Instruction> instructions;
  // (variable, register) in the order the variables were first bound.
  std::vector<std::pair<Var, Reg>> subst;
  std::string to_string(const SymbolTable& symbols) const;
};

// A substitution: (variable, class) pairs in the program's order, looked up
// by linear search.
class Subst {
 public:
  void insert(Var var, Id id);
  std::optional<Id> get(Var var) const;
  std::size_t size() const { return entries_.size(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  std::string to_string(const SymbolTable& symbols) const;
  friend bool operator==(const Subst& a, const Subst& b) { return a.entries_ == b.entries_; }

 private:
  boost::container::small_vector<std::pair<Var, Id>, 3> entries_;
};

// The substitutions found in one class; usually one or two.
using Substs = boost::container::small_vector<Subst, 2>;

class Pattern {
 public:
  // Builds the pattern from nodes in post-order (children before parents,
  // root last), whose symbols are those of `symbols`, and compiles it.
  Pattern(std::vector<PatternNode> ast, const SymbolTable& symbols);

  const std::vector<PatternNode>& ast() const { return ast_; }
  const Program& program() const { return program_; }
  // The distinct variables in ast order.
  const std::vector<Var>& vars() const { return vars_; }
  bool root_is_var() const { return std::holds_alternative<Var>(ast_.back()); }
  // The pattern as an s-expression, written once when it was built.
  const std::string& to_string() const { return text_; }

 private:
  std::vector<PatternNode> ast_;
  std::string text_;
  std::vector<Var> vars_;
  Program program_;
};

// Term builder: a pattern from an expression. Errors: EmptySexp, HeadList,
// UnexpectedVar.
// Operators and variables are interned into `symbols`.
support::Result<Pattern, PatternError> pattern_from_sexp(const Sexp& sexp, SymbolTable& symbols);
// Reader, term builder and compilation in one; reader errors become BadSexp.
support::Result<Pattern, PatternError> parse_pattern(std::string_view text, SymbolTable& symbols);

// Compiles pattern nodes (post-order, root last) into a matching program.
Program compile(std::span<const PatternNode> ast);

// Runs a program on one class, stopping after `limit` substitutions.
Substs run_program(const Program& program, const EGraph& egraph, Id eclass,
                               std::size_t limit);

struct SearchMatches {
  Id eclass = 0;
  Substs substs;
  const Pattern* pattern = nullptr;
};

// The number of substitutions an unlimited search would find, when the
// pattern is one operator over distinct variables (as every rule the reducer
// runs is): then each e-node of that operator and arity in a clean e-graph is
// one match. None for any other pattern.
std::optional<std::size_t> count_matches(const Pattern& pattern, const EGraph& egraph);

// Searches every candidate class until `limit` substitutions are found.
std::vector<SearchMatches> search_with_limit(const Pattern& pattern, const EGraph& egraph,
                                             std::size_t limit);

// Instantiates `applier` for every substitution and merges it with the
// matched class; returns the instantiated ids whose merge joined two classes.
// `rule_name` only names the rule in trace records.
std::vector<Id> apply_matches(const Pattern& applier, EGraph& egraph,
                              std::span<const SearchMatches> matches, std::string_view rule_name);

class Rewrite {
 public:
  // Fails with "Rewrite <name> refers to unbound var <var>" when the applier
  // uses a variable the searcher lacks. The name is interned into `symbols`,
  // the table the patterns were parsed with.
  static support::Result<Rewrite, std::string> make(std::string_view name,
                                                    std::shared_ptr<const Pattern> searcher,
                                                    std::shared_ptr<const Pattern> applier, SymbolTable& symbols);

  Symbol name() const { return name_; }
  const std::string& name_text() const { return name_text_; }
  const Pattern& searcher() const { return *searcher_; }
  const Pattern& applier() const { return *applier_; }

 private:
  Rewrite(Symbol name, std::string_view name_text, std::shared_ptr<const Pattern> searcher,
          std::shared_ptr<const Pattern> applier)
      : name_(name), name_text_(name_text), searcher_(std::move(searcher)), applier_(std::move(applier)) {}
  Symbol name_;
  std::string name_text_;
  std::shared_ptr<const Pattern> searcher_;
  std::shared_ptr<const Pattern> applier_;
};

}  // namespace weftory::egraph

#include "egraph/pattern.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "egraph/log.hpp"
#include "log_capture.hpp"
#include "support/fatal.hpp"
#include "test_symbols.hpp"

namespace weftory::egraph {

using support::FatalError;

namespace {

Symbol sym(const std::string& text) { return test_symbols().intern(text); }
Var var(const std::string& text) { return Var{sym(text)}; }
SymbolLang tmpl(const std::string& op, std::size_t arity) { return SymbolLang::with_arity(sym(op), arity); }
SymbolLang node(const std::string& op, std::initializer_list<Id> children) { return SymbolLang(sym(op), children); }

Pattern parse(const std::string& text) {
  auto result = parse_pattern(text, test_symbols());
  if (!result) ADD_FAILURE() << "parse failed for " << text << ": " << result.error().to_string();
  return std::move(result).unwrap();
}

// ---------------------------------------------------------------------------
// Reader

Sexp atom(const std::string& text) { return Sexp::make_atom(text); }
Sexp list(std::vector<Sexp> items) { return Sexp::make_list(std::move(items)); }

struct ReadCase {
  std::string text;
  Sexp expected;
};

class ReadSexpTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadSexpTest, ReadsTheFirstExpression) {
  const auto result = read_sexp(GetParam().text);
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ(result.value(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReadSexpTest,
    ::testing::Values(ReadCase{"", Sexp{}}, ReadCase{"a", atom("a")},
                      ReadCase{"(f a b)", list({atom("f"), atom("a"), atom("b")})},
                      ReadCase{" \t(f\r\n\t a )", list({atom("f"), atom("a")})},
                      ReadCase{"op|add|scalar=f0000000000000000;side=sr",
                               atom("op|add|scalar=f0000000000000000;side=sr")},
                      ReadCase{"(f (g) ())", list({atom("f"), list({atom("g")}), list({})})},
                      ReadCase{"\"x y\"", atom("x y")},
                      ReadCase{"\"a\\\"b\"", atom("a\\\"b")},  // backslashes stay in the atom
                      ReadCase{"(f a) (g b)", list({atom("f"), atom("a")})},
                      ReadCase{"a)b", atom("a")},
                      ReadCase{"f\ta", atom("f\ta")},  // a tab does not end a plain atom
                      ReadCase{"\n(f)", atom("")},     // only spaces and tabs are skipped at the top
                      ReadCase{"(é ü)", list({atom("é"), atom("ü")})}));

struct ReadErrorCase {
  std::string text;
  SexpError expected;
};

class ReadSexpErrorTest : public ::testing::TestWithParam<ReadErrorCase> {};

TEST_P(ReadSexpErrorTest, ReportsMessageLineAndColumn) {
  const auto result = read_sexp(GetParam().text);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReadSexpErrorTest,
    ::testing::Values(ReadErrorCase{")", {"Unexpected )", 1, 1}},
                      ReadErrorCase{"  )", {"Unexpected )", 1, 3}},
                      ReadErrorCase{"(f a", {"End of file reached", 1, 5}},
                      ReadErrorCase{"   ", {"End of file reached", 1, 4}},
                      ReadErrorCase{"(f\n  a", {"End of file reached", 2, 4}},
                      ReadErrorCase{"\"abc", {"End of file reached", 1, 5}},
                      ReadErrorCase{"\"ab\\", {"End of file reached", 1, 5}},
                      ReadErrorCase{"(é", {"End of file reached", 1, 3}},  // columns count code points
                      ReadErrorCase{"(f (g", {"End of file reached", 1, 6}}));

// ---------------------------------------------------------------------------
// Term builder

struct BuildErrorCase {
  std::string text;
  PatternError expected;
};

class PatternErrorTest : public ::testing::TestWithParam<BuildErrorCase> {};

TEST_P(PatternErrorTest, FailsWithTheRightError) {
  const auto result = parse_pattern(GetParam().text, test_symbols());
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), GetParam().expected) << result.error().to_string();
}

using K = PatternError::Kind;
INSTANTIATE_TEST_SUITE_P(
    Texts, PatternErrorTest,
    ::testing::Values(BuildErrorCase{"", {K::EmptySexp, "", 0, 0}}, BuildErrorCase{"()", {K::EmptySexp, "", 0, 0}},
                      BuildErrorCase{"(f ())", {K::EmptySexp, "", 0, 0}},
                      BuildErrorCase{"((f) a)", {K::HeadList, "", 0, 0}},
                      BuildErrorCase{"(?x a)", {K::UnexpectedVar, "?x", 0, 0}},
                      BuildErrorCase{"(f (?y b))", {K::UnexpectedVar, "?y", 0, 0}},
                      BuildErrorCase{")", {K::BadSexp, "Unexpected )", 1, 1}},
                      BuildErrorCase{"(f a", {K::BadSexp, "End of file reached", 1, 5}}));

TEST(PatternTest, LoneQuestionMarkIsAnOperatorAndVariablesAreListedOnce) {
  const Pattern p = parse("(f ? ?a (g ?b ?a))");
  ASSERT_EQ(p.ast().size(), 6u);
  ASSERT_TRUE(std::holds_alternative<SymbolLang>(p.ast()[0]));
  EXPECT_EQ(std::get<SymbolLang>(p.ast()[0]), node("?", {}));
  EXPECT_EQ(p.vars(), (std::vector<Var>{var("?a"), var("?b")}));
  EXPECT_EQ(p.to_string(), "(f ? ?a (g ?b ?a))");
  // Post-order: children before parents, the root last.
  EXPECT_EQ(std::get<SymbolLang>(p.ast()[5]), node("f", {0, 1, 4}));
  EXPECT_EQ(std::get<SymbolLang>(p.ast()[4]), node("g", {2, 3}));
}

TEST(PatternTest, VariableParserRejectsTextWithoutQuestionMark) {
  const auto bad = parse_var("x", test_symbols());
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind, PatternError::Kind::BadVar);
  const auto good = parse_var("?x", test_symbols());
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value(), var("?x"));
}

// ---------------------------------------------------------------------------
// Compilation, instruction by instruction

struct CompileCase {
  std::string text;
  std::vector<Instruction> instructions;
  std::vector<std::pair<Var, Reg>> subst;
};

class CompileTest : public ::testing::TestWithParam<CompileCase> {};

TEST_P(CompileTest, CompilesToTheExpectedProgram) {
  const Pattern p = parse(GetParam().text);
  const Program& program = p.program();
  ASSERT_EQ(program.instructions.size(), GetParam().instructions.size()) << program.to_string(test_symbols());
  for (std::size_t k = 0; k < program.instructions.size(); ++k)
    EXPECT_TRUE(program.instructions[k] == GetParam().instructions[k]) << "instruction " << k << " of "
                                                                         << program.to_string(test_symbols());
  EXPECT_EQ(program.subst, GetParam().subst) << program.to_string(test_symbols());
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, CompileTest,
    ::testing::Values(
        CompileCase{"(op|add ?a ?b)", {Bind{tmpl("op|add", 2), 0, 1}}, {{var("?a"), 1}, {var("?b"), 2}}},
        CompileCase{"(f ?a ?a)", {Bind{tmpl("f", 2), 0, 1}, Compare{2, 1}}, {{var("?a"), 1}}},
        CompileCase{"?x", {}, {{var("?x"), 0}}},
        CompileCase{"(g (h))", {Lookup{{LookupEntry{node("h", {})}, LookupEntry{node("g", {0})}}, 0}}, {}},
        CompileCase{"a", {Bind{tmpl("a", 0), 0, 1}}, {}},
        CompileCase{"(f ?a (h))", {Bind{tmpl("f", 2), 0, 1}, Bind{tmpl("h", 0), 2, 3}}, {{var("?a"), 1}}},
        CompileCase{"(op|add|scalar=f0000000000000000;side=sr ?x)",
                    {Bind{tmpl("op|add|scalar=f0000000000000000;side=sr", 1), 0, 1}},
                    {{var("?x"), 1}}},
        // A subterm grounded by a variable bound elsewhere becomes a look-up.
        CompileCase{"(f (g ?a) ?a)",
                    {Bind{tmpl("f", 2), 0, 1}, Lookup{{LookupEntry{Reg{2}}, LookupEntry{node("g", {0})}}, 1}},
                    {{var("?a"), 2}}},
        // Grounded entries go first, whatever their position.
        CompileCase{"(f (k ?a) ?a (j ?b))",
                    {Bind{tmpl("f", 3), 0, 1}, Lookup{{LookupEntry{Reg{2}}, LookupEntry{node("k", {0})}}, 1},
                     Bind{tmpl("j", 1), 3, 4}},
                    {{var("?a"), 2}, {var("?b"), 4}}},
        // More unbound variables go first.
        CompileCase{"(f (h ?c) (g ?a ?b))",
                    {Bind{tmpl("f", 2), 0, 1}, Bind{tmpl("g", 2), 2, 3}, Bind{tmpl("h", 1), 1, 5}},
                    {{var("?a"), 3}, {var("?b"), 4}, {var("?c"), 5}}},
        // Equal unbound counts: the smaller subterm goes first.
        CompileCase{"(f (h ?b) (g (k ?a)))",
                    {Bind{tmpl("f", 2), 0, 1}, Bind{tmpl("h", 1), 1, 3}, Bind{tmpl("g", 1), 2, 4},
                     Bind{tmpl("k", 1), 4, 5}},
                    {{var("?b"), 3}, {var("?a"), 5}}},
        // Equal keys: the last such entry is taken.
        CompileCase{"(f (g ?a) (h ?b))",
                    {Bind{tmpl("f", 2), 0, 1}, Bind{tmpl("h", 1), 2, 3}, Bind{tmpl("g", 1), 1, 4}},
                    {{var("?b"), 3}, {var("?a"), 4}}}));

TEST(CompileTest, CompilationIsLoggedOnlyWithADebugSink) {
  {
    LogCapture info(LogLevel::Info);
    parse("(f ?a)");
    EXPECT_TRUE(info.records.empty());
  }
  LogCapture debug(LogLevel::Debug);
  parse("(f ?a)");
  ASSERT_EQ(debug.records.size(), 1u);
  EXPECT_EQ(debug.records[0].rfind("Compiled (f ?a) to ", 0), 0u) << debug.records[0];
}

// ---------------------------------------------------------------------------
// Matching

// a, b, c; f(a,b) f(a,a) f(b,c); g(a); f(a, g(a)); h; k(h)
struct Fixture {
  EGraph g{test_symbols()};
  Id a, b, c, fab, faa, fbc, ga, faga, h, kh;
  Fixture() {
    a = g.add(node("a", {}));
    b = g.add(node("b", {}));
    c = g.add(node("c", {}));
    fab = g.add(node("f", {a, b}));
    faa = g.add(node("f", {a, a}));
    fbc = g.add(node("f", {b, c}));
    ga = g.add(node("g", {a}));
    faga = g.add(node("f", {a, ga}));
    h = g.add(node("h", {}));
    kh = g.add(node("k", {h}));
    g.rebuild();
  }
};

std::vector<Id> matched_classes(const std::vector<SearchMatches>& matches) {
  std::vector<Id> ids;
  for (const auto& m : matches) ids.push_back(m.eclass);
  return ids;
}

TEST(SearchTest, RepeatedVariableMatchesOnlyEqualChildren) {
  Fixture fx;
  const Pattern p = parse("(f ?x ?x)");
  const auto matches = search_with_limit(p, fx.g, 100);
  ASSERT_EQ(matched_classes(matches), (std::vector<Id>{fx.faa}));
  ASSERT_EQ(matches[0].substs.size(), 1u);
  EXPECT_EQ(matches[0].substs[0].get(var("?x")), fx.a);
  EXPECT_EQ(matches[0].pattern, &p);
}

TEST(SearchTest, BareVariableMatchesEveryClassOnce) {
  Fixture fx;
  const auto matches = search_with_limit(parse("?x"), fx.g, 1000);
  EXPECT_EQ(matched_classes(matches), fx.g.class_ids());
  for (const auto& m : matches) {
    ASSERT_EQ(m.substs.size(), 1u);
    EXPECT_EQ(m.substs[0].get(var("?x")), m.eclass);
  }
}

TEST(SearchTest, NestedPatternBindsThroughChildren) {
  Fixture fx;
  const auto matches = search_with_limit(parse("(f ?x (g ?x))"), fx.g, 100);
  ASSERT_EQ(matched_classes(matches), (std::vector<Id>{fx.faga}));
  EXPECT_EQ(matches[0].substs[0].get(var("?x")), fx.a);
  EXPECT_TRUE(search_with_limit(parse("(f ?x (g ?y))"), fx.g, 100).size() == 1);
  EXPECT_TRUE(search_with_limit(parse("(f ?x (k ?y))"), fx.g, 100).empty());
}

TEST(SearchTest, GroundPatternIsOneLookup) {
  Fixture fx;
  EXPECT_EQ(matched_classes(search_with_limit(parse("(k h)"), fx.g, 100)), (std::vector<Id>{fx.kh}));
  EXPECT_TRUE(search_with_limit(parse("(k a)"), fx.g, 100).empty());
  EXPECT_TRUE(search_with_limit(parse("(k (nothing))"), fx.g, 100).empty());
  const auto leaf = search_with_limit(parse("h"), fx.g, 100);
  ASSERT_EQ(matched_classes(leaf), (std::vector<Id>{fx.h}));
  EXPECT_EQ(leaf[0].substs.size(), 1u);
  EXPECT_EQ(leaf[0].substs[0].size(), 0u);
}

TEST(SearchTest, LimitStopsTheSearchAcrossAndWithinClasses) {
  Fixture fx;
  // Put f(a,b) and f(b,c) in one class: it yields two substitutions.
  fx.g.union_(fx.fab, fx.fbc);
  fx.g.rebuild();
  const Pattern p = parse("(f ?x ?y)");
  std::size_t all = 0;
  for (const auto& m : search_with_limit(p, fx.g, 1000)) all += m.substs.size();
  ASSERT_EQ(all, 4u);
  for (std::size_t limit = 0; limit <= 5; ++limit) {
    std::size_t found = 0;
    for (const auto& m : search_with_limit(p, fx.g, limit)) found += m.substs.size();
    EXPECT_EQ(found, std::min(limit, all)) << "limit " << limit;
  }
  EXPECT_TRUE(run_program(p.program(), fx.g, fx.g.find(fx.fab), 0).empty());
  EXPECT_EQ(run_program(p.program(), fx.g, fx.g.find(fx.fab), 1).size(), 1u);
  EXPECT_EQ(run_program(p.program(), fx.g, fx.g.find(fx.fab), 9).size(), 2u);
}

TEST(SearchTest, SearchingADirtyEGraphIsFatal) {
  Fixture fx;
  fx.g.add(node("fresh", {}));
  try {
    search_with_limit(parse("(f ?x ?y)"), fx.g, 10);
    FAIL() << "expected a fatal error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "Tried to search a dirty e-graph!");
  }
  EXPECT_THROW(run_program(parse("?x").program(), fx.g, fx.a, 1), FatalError);
}

// A class of 60 e-nodes is entered by binary search; it must find exactly the
// e-nodes a scan finds, whatever operators sort before and after.
TEST(SearchTest, LargeClassFindsTheSameNodesAsAScan) {
  EGraph g{test_symbols()};
  std::vector<Id> leaves;
  for (int k = 0; k < 11; ++k) leaves.push_back(g.add(node("big-leaf-" + std::to_string(k), {})));
  std::vector<Id> members;
  for (int k = 0; k < 60; ++k) {
    // (k mod 7, k mod 11) differ for every k below 77: 60 distinct e-nodes.
    const std::string op = "big-op-" + std::to_string(k % 12);
    members.push_back(g.add(SymbolLang(sym(op), {leaves[k % 7], leaves[k % 11]})));
  }
  for (Id m : members) g.union_(members[0], m);
  g.rebuild();
  const Id big = g.find(members[0]);
  ASSERT_GE(g.eclass(big).nodes.size(), 50u);
  for (int k = 0; k < 12; ++k) {
    const std::string op = "big-op-" + std::to_string(k);
    std::set<std::pair<Id, Id>> expected;
    for (const SymbolLang& n : g.eclass(big).nodes)
      if (n.op == sym(op) && n.arity() == 2) expected.insert({n.children()[0], n.children()[1]});
    std::set<std::pair<Id, Id>> found;
    for (const Subst& s : run_program(parse("(" + op + " ?p ?q)").program(), g, big, 1000))
      found.insert({*s.get(var("?p")), *s.get(var("?q"))});
    EXPECT_EQ(found, expected) << op;
    EXPECT_FALSE(found.empty());
  }
  EXPECT_TRUE(run_program(parse("(big-op-0 ?p)").program(), g, big, 1000).empty());
}

TEST(SearchTest, ScanInstructionVisitsEveryClass) {
  Fixture fx;
  Program every{{Scan{1}}, {{var("?s"), 1}}};
  EXPECT_EQ(run_program(every, fx.g, fx.a, 1000).size(), fx.g.number_of_classes());
  Program itself{{Scan{1}, Compare{0, 1}}, {{var("?s"), 1}}};
  const auto found = run_program(itself, fx.g, fx.b, 1000);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].get(var("?s")), fx.b);
}

TEST(SearchTest, RunsAreLoggedOnlyWithATraceSink) {
  Fixture fx;
  const Pattern p = parse("(g ?x)");
  LogCapture trace(LogLevel::Trace);
  search_with_limit(p, fx.g, 10);
  EXPECT_TRUE(trace.contains("Ran program, found [{?x: 0}]"));
}

// ---------------------------------------------------------------------------
// Applying

TEST(ApplyTest, InstantiatesTheApplierAndMergesWithTheMatchedClass) {
  Fixture fx;
  const Pattern searcher = parse("(f ?x ?y)");
  const Pattern applier = parse("(f ?y ?x)");
  const auto matches = search_with_limit(searcher, fx.g, 100);
  const std::size_t classes_before = fx.g.number_of_classes();
  const auto merged = apply_matches(applier, fx.g, matches, "swap");
  // f(a,a) swaps to itself; the other three make new e-nodes that merge.
  EXPECT_EQ(merged.size(), 3u);
  fx.g.rebuild();
  EXPECT_EQ(fx.g.number_of_classes(), classes_before);
  EXPECT_EQ(fx.g.find(fx.g.add(node("f", {fx.b, fx.a}))), fx.g.find(fx.fab));
  // A second round finds everything merged already.
  const auto again = apply_matches(applier, fx.g, search_with_limit(searcher, fx.g, 100), "swap");
  EXPECT_TRUE(again.empty());
}

TEST(ApplyTest, BareVariableApplierMergesWithTheBoundClass) {
  Fixture fx;
  const auto matches = search_with_limit(parse("(g ?x)"), fx.g, 100);
  const auto merged = apply_matches(parse("?x"), fx.g, matches, "drop-g");
  ASSERT_EQ(merged.size(), 1u);
  EXPECT_EQ(merged[0], fx.a);
  EXPECT_EQ(fx.g.find(fx.ga), fx.g.find(fx.a));
  fx.g.rebuild();
  // f(a, g(a)) is congruent to f(a, a) now.
  EXPECT_EQ(fx.g.find(fx.faga), fx.g.find(fx.faa));
}

TEST(ApplyTest, MissingVariableInASubstitutionIsFatal) {
  Fixture fx;
  auto matches = search_with_limit(parse("(g ?x)"), fx.g, 100);
  EXPECT_THROW(apply_matches(parse("(g ?other)"), fx.g, matches, "bad"), FatalError);
}

TEST(ApplyTest, ApplicationIsTracedOnlyWithATraceSink) {
  Fixture fx;
  const auto matches = search_with_limit(parse("(g ?x)"), fx.g, 100);
  const Pattern applier = parse("(g2 ?x)");
  fx.g.symbols() = test_symbols();  // the trace reads "g2" from the e-graph's table
  LogCapture trace(LogLevel::Trace);
  apply_matches(applier, fx.g, matches, "rename");
  EXPECT_TRUE(trace.contains("apply_rec"));
  EXPECT_TRUE(trace.contains("adding: (g2 0)"));
}

// ---------------------------------------------------------------------------
// Rewrite

TEST(RewriteTest, RejectsAnApplierVariableTheSearcherLacks) {
  auto searcher = std::make_shared<const Pattern>(parse("(f ?a ?b)"));
  auto applier = std::make_shared<const Pattern>(parse("(f ?c ?a ?d)"));
  const auto bad = Rewrite::make("bad-rule", searcher, applier, test_symbols());
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "Rewrite bad-rule refers to unbound var ?c");
  const auto good = Rewrite::make("good-rule", searcher, std::make_shared<const Pattern>(parse("(f ?b ?a)")), test_symbols());
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value().name(), sym("good-rule"));
  EXPECT_EQ(&good.value().searcher(), searcher.get());
}

TEST(RewriteTest, UnwrappingAnErrorIsFatal) {
  EXPECT_THROW(parse_pattern("()", test_symbols()).unwrap(), FatalError);
}

}  // namespace
}  // namespace weftory::egraph

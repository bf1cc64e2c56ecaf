#include "egraph/symbol.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace weftory::egraph {
namespace {

TEST(SymbolTableTest, EqualTextsGiveEqualSymbolsAndTheTextComesBack) {
  SymbolTable table;
  const Symbol a = table.intern("op|add");
  const Symbol b = table.intern(std::string("op|") + "add");
  const Symbol c = table.intern("op|mul");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(table.text(a), "op|add");
  EXPECT_EQ(table.text(c), "op|mul");
}

TEST(SymbolTableTest, DefaultSymbolIsTheEmptyText) {
  SymbolTable table;
  EXPECT_EQ(Symbol(), table.intern(""));
  EXPECT_EQ(table.text(Symbol()), "");
  EXPECT_EQ(Symbol().index(), 0u);
  EXPECT_EQ(table.size(), 1u);
}

TEST(SymbolTableTest, TextsAreStoredByBytesIncludingNulAndLongTexts) {
  SymbolTable table;
  const std::string with_nul("a\0b", 3);
  const std::string long_text(100000, 'x');
  const Symbol nul = table.intern(with_nul);
  const Symbol plain = table.intern("a");
  const Symbol big = table.intern(long_text);
  const Symbol after_big = table.intern("after");
  EXPECT_NE(nul, plain);
  EXPECT_EQ(table.text(nul), with_nul);
  EXPECT_EQ(table.text(big), long_text);
  EXPECT_EQ(table.intern(long_text), big);
  EXPECT_EQ(table.text(after_big), "after");
  EXPECT_EQ(table.text(plain), "a");
}

TEST(SymbolTableTest, NumbersFollowFirstUseAndTextsSurviveGrowth) {
  SymbolTable table;
  std::vector<Symbol> symbols;
  // Short and block-sized texts mixed, so texts span many blocks.
  auto text_of = [](int k) { return "grow-" + std::to_string(k) + std::string(k % 7 == 0 ? 5000 : 0, 'y'); };
  for (int k = 0; k < 20000; ++k) symbols.push_back(table.intern(text_of(k)));
  EXPECT_EQ(table.size(), 20001u);
  for (int k = 0; k < 20000; ++k) {
    ASSERT_EQ(symbols[k].index(), static_cast<std::uint32_t>(k + 1));
    ASSERT_EQ(table.text(symbols[k]), text_of(k));
    ASSERT_EQ(table.intern(text_of(k)), symbols[k]);
  }
}

// A run's table starts as a copy of its rules' table: the copy must mean the
// same texts by the same numbers, and what the run adds must stay its own.
TEST(SymbolTableTest, CopyKeepsNumbersAndStaysIndependent) {
  SymbolTable rules;
  const Symbol name = rules.intern("commute-add");
  const Symbol op = rules.intern("op|add");
  SymbolTable run(rules);
  EXPECT_EQ(run.intern("op|add"), op);
  EXPECT_EQ(run.text(name), "commute-add");
  const Symbol fresh = run.intern("src|a");
  EXPECT_EQ(fresh.index(), 3u);
  EXPECT_EQ(rules.size(), 3u);
  EXPECT_EQ(rules.intern("src|b").index(), 3u);  // the rules' table never saw "src|a"
  EXPECT_EQ(run.text(fresh), "src|a");
  SymbolTable assigned;
  assigned.intern("unrelated");
  assigned = run;
  EXPECT_EQ(assigned.text(fresh), "src|a");
  EXPECT_EQ(assigned.intern("src|a"), fresh);
}

}  // namespace
}  // namespace weftory::egraph

#include "egraph/symbol.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace weftory::egraph {
namespace {

TEST(SymbolTest, EqualTextsGiveEqualSymbolsAndTheTextComesBack) {
  const Symbol a = Symbol::intern("op|add");
  const Symbol b = Symbol::intern(std::string("op|") + "add");
  const Symbol c = Symbol::intern("op|mul");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(a.str(), "op|add");
  EXPECT_EQ(c.str(), "op|mul");
}

TEST(SymbolTest, DefaultSymbolIsTheEmptyText) {
  EXPECT_EQ(Symbol(), Symbol::intern(""));
  EXPECT_EQ(Symbol().str(), "");
  EXPECT_EQ(Symbol().index(), 0u);
}

TEST(SymbolTest, TextsAreStoredByBytesIncludingNulAndLongTexts) {
  const std::string with_nul("a\0b", 3);
  const std::string long_text(100000, 'x');
  const Symbol nul = Symbol::intern(with_nul);
  const Symbol plain = Symbol::intern("a");
  const Symbol big = Symbol::intern(long_text);
  EXPECT_NE(nul, plain);
  EXPECT_EQ(nul.str(), with_nul);
  EXPECT_EQ(big.str(), long_text);
  EXPECT_EQ(Symbol::intern(long_text), big);
}

TEST(SymbolTest, TableNeverShrinksAndCountsDistinctTexts) {
  const std::size_t before = symbol_count();
  const Symbol fresh = Symbol::intern("symbol-test-fresh-text-1");
  EXPECT_EQ(symbol_count(), before + 1);
  EXPECT_EQ(fresh.index(), before);
  Symbol::intern("symbol-test-fresh-text-1");
  EXPECT_EQ(symbol_count(), before + 1);
}

TEST(SymbolTest, ManyTextsKeepTheirNumbersAcrossSegmentGrowth) {
  std::vector<Symbol> symbols;
  for (int k = 0; k < 20000; ++k) symbols.push_back(Symbol::intern("grow-" + std::to_string(k)));
  for (int k = 0; k < 20000; ++k) {
    EXPECT_EQ(symbols[k].str(), "grow-" + std::to_string(k));
    EXPECT_EQ(Symbol::intern("grow-" + std::to_string(k)), symbols[k]);
  }
}

// Several threads intern overlapping sets of texts at the same time: every
// thread must see one symbol per text, and the texts must read back intact.
TEST(SymbolTest, InterningFromSeveralThreadsAgrees) {
  constexpr int kThreads = 8;
  constexpr int kTexts = 2999;  // prime, so every stride below visits every text
  std::vector<std::vector<Symbol>> seen(kThreads, std::vector<Symbol>(kTexts));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      // Each thread walks the texts in its own order.
      for (int step = 0; step < kTexts; ++step) {
        const int k = (step * (2 * t + 1) + t * 7) % kTexts;
        const Symbol symbol = Symbol::intern("threaded-" + std::to_string(k));
        seen[t][k] = symbol;
        if (symbol.str() != "threaded-" + std::to_string(k)) ADD_FAILURE() << "text mismatch for " << k;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::uint32_t> distinct;
  for (int k = 0; k < kTexts; ++k) {
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][k], seen[0][k]) << "text " << k;
    distinct.insert(seen[0][k].index());
  }
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kTexts));
}

}  // namespace
}  // namespace weftory::egraph

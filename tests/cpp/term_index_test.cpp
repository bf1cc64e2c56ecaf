#include "optimizer/term_index.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>
#include <vector>

namespace weftory::optimizer {
namespace {

struct Term {
  int op;
  std::vector<std::uint64_t> children;  // representatives, all earlier
};

struct Hash {
  const std::vector<Term>* terms;
  std::size_t operator()(std::uint64_t i) const {
    std::size_t h = static_cast<std::size_t>((*terms)[i].op);
    for (std::uint64_t c : (*terms)[i].children) h = h * 1000003u + c;
    return h;
  }
};
struct Equal {
  const std::vector<Term>* terms;
  bool operator()(std::uint64_t a, std::uint64_t b) const {
    return (*terms)[a].op == (*terms)[b].op && (*terms)[a].children == (*terms)[b].children;
  }
};

// Random terms, many of them equal, with a few hubs that far more terms than
// a per-input list holds take as their first input; the index must name the
// earliest equal term exactly as a map of (op, children) does.
class TermIndexTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(TermIndexTest, FindsTheEarliestEqualTermLikeAMap) {
  std::mt19937 rng(GetParam());
  const std::size_t n = 3000;
  std::vector<Term> terms;
  terms.reserve(n);
  std::vector<std::uint64_t> rep;  // the index's answer per term
  TermIndex<Hash, Equal> index(n, Hash{&terms}, Equal{&terms});
  std::map<std::pair<int, std::vector<std::uint64_t>>, std::uint64_t> model;
  for (std::size_t i = 0; i < n; ++i) {
    Term t{static_cast<int>(rng() % 4), {}};
    const std::size_t arity = i < 3 ? 0 : rng() % 4;
    for (std::size_t k = 0; k < arity; ++k) {
      // A hub (one of the first three terms), or one of the last few.
      const std::uint64_t child = rng() % 3 == 0 ? rng() % 3 : i - 1 - rng() % std::min<std::size_t>(i, 4);
      t.children.push_back(rep[child]);
    }
    terms.push_back(t);
    const std::uint64_t anchor = t.children.empty() ? TermIndex<Hash, Equal>::kLeaf : t.children[0];
    rep.push_back(index.find_or_add(i, anchor));
    const auto [at, added] = model.try_emplace({t.op, t.children}, i);
    ASSERT_EQ(rep.back(), at->second) << "term " << i;
  }
  EXPECT_LT(model.size(), n * 9 / 10) << "the terms should repeat often";
}

INSTANTIATE_TEST_SUITE_P(Seeds, TermIndexTest, ::testing::Range(1u, 6u));

}  // namespace
}  // namespace weftory::optimizer

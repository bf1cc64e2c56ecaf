#include "egraph/egraph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "egraph/log.hpp"
#include "log_capture.hpp"
#include "support/big_alloc.hpp"
#include "support/block_pool.hpp"
#include "support/fatal.hpp"
#include "support/small_vec.hpp"
#include "test_symbols.hpp"

namespace weftory::egraph {

using support::BigAllocator;
using support::BlockPool;
using support::PooledVec;
using support::FatalError;
using support::SmallVec;
using support::kHugePageSize;

namespace {

Symbol sym(const char* text) { return test_symbols().intern(text); }
SymbolLang leaf(const char* op) { return SymbolLang(sym(op), {}); }

// ---------------------------------------------------------------------------
// SymbolLang

TEST(SymbolLangTest, OrderIsOperatorThenChildrenWithShorterPrefixFirst) {
  const Symbol low = sym("order-low");
  const Symbol high = sym("order-high");  // interned later: larger number
  ASSERT_LT(low, high);
  struct Case {
    SymbolLang smaller;
    SymbolLang larger;
  };
  const std::vector<Case> cases = {
      {SymbolLang(low, {9, 9}), SymbolLang(high, {0})},     // operator decides first
      {SymbolLang(low, {1}), SymbolLang(low, {1, 0})},      // prefix orders first
      {SymbolLang(low, {1, 5}), SymbolLang(low, {2})},      // element by element
      {SymbolLang(low, {}), SymbolLang(low, {0})},          // leaf before any child list
      {SymbolLang(low, {1, 2, 3, 4}), SymbolLang(low, {1, 2, 3, 5})},  // heap-stored children
  };
  for (const Case& c : cases) {
    EXPECT_LT(c.smaller, c.larger) << c.smaller.to_string(test_symbols()) << " vs " << c.larger.to_string(test_symbols());
    EXPECT_GT(c.larger, c.smaller);
    EXPECT_NE(c.smaller, c.larger);
  }
}

TEST(SymbolLangTest, WideNodesCopyMoveAndHashLikeEqualValues) {
  const Symbol op = sym("wide");
  const SymbolLang original(op, {1, 2, 3, 4, 5});
  SymbolLang copy = original;
  EXPECT_EQ(copy, original);
  EXPECT_EQ(copy.hash(), original.hash());
  SymbolLang moved = std::move(copy);
  EXPECT_EQ(moved, original);
  moved.children()[4] = 6;
  EXPECT_NE(moved, original);
  EXPECT_EQ(original.children()[4], 5u);  // the copy did not share storage
  SymbolLang assigned(op, {7});
  assigned = original;
  EXPECT_EQ(assigned, original);
  assigned = SymbolLang(op, {8, 9});
  EXPECT_EQ(assigned.arity(), 2u);
  EXPECT_EQ(assigned.children()[1], 9u);
}

TEST(SymbolLangTest, MatchesComparesOperatorAndArityOnly) {
  EXPECT_TRUE(SymbolLang(sym("f"), {1, 2}).matches(SymbolLang(sym("f"), {7, 8})));
  EXPECT_FALSE(SymbolLang(sym("f"), {1, 2}).matches(SymbolLang(sym("f"), {1})));
  EXPECT_FALSE(SymbolLang(sym("f"), {1, 2}).matches(SymbolLang(sym("g"), {1, 2})));
}

// ---------------------------------------------------------------------------
// SmallVec (strings make leaks and double frees visible under sanitizers)

std::vector<std::string> contents(const SmallVec<std::string, 2>& v) { return {v.begin(), v.end()}; }

TEST(SmallVecTest, GrowsFromInlineToHeapAndKeepsOrder) {
  SmallVec<std::string, 2> v;
  std::vector<std::string> expected;
  for (int k = 0; k < 7; ++k) {
    const std::string text = "a fairly long string number " + std::to_string(k);
    v.push_back(text);
    expected.push_back(text);
    ASSERT_EQ(contents(v), expected) << "after " << k + 1;
  }
  v.append(expected.begin(), expected.begin() + 3);
  EXPECT_EQ(v.size(), 10u);
  EXPECT_EQ(v[9], expected[2]);
}

TEST(SmallVecTest, CopyMoveAndSwapKeepElementsApart) {
  for (std::size_t n : {0u, 1u, 2u, 3u, 5u}) {
    SmallVec<std::string, 2> original;
    for (std::size_t k = 0; k < n; ++k) original.push_back("element-with-heap-storage-" + std::to_string(k));
    SmallVec<std::string, 2> copy = original;
    EXPECT_EQ(contents(copy), contents(original));
    SmallVec<std::string, 2> moved = std::move(copy);
    EXPECT_EQ(contents(moved), contents(original));
    EXPECT_TRUE(copy.empty());  // moving leaves the source empty
    SmallVec<std::string, 2> other;
    other.push_back("other");
    std::swap(moved, other);
    EXPECT_EQ(contents(other), contents(original));
    EXPECT_EQ(contents(moved), (std::vector<std::string>{"other"}));
    moved = other;
    EXPECT_EQ(contents(moved), contents(original));
  }
}

TEST(SmallVecTest, EraseShiftsTheTailAndShrinkReturnsToInline) {
  SmallVec<std::string, 2> v;
  for (const char* text : {"a", "b", "c", "d", "e"}) v.push_back(text);
  v.erase(v.begin() + 1, v.begin() + 3);
  EXPECT_EQ(contents(v), (std::vector<std::string>{"a", "d", "e"}));
  v.erase(v.begin() + 1, v.end());
  EXPECT_EQ(contents(v), (std::vector<std::string>{"a"}));
  v.clear();
  v.shrink_to_fit();
  EXPECT_TRUE(v.empty());
  v.push_back("again");
  EXPECT_EQ(contents(v), (std::vector<std::string>{"again"}));
}

// ---------------------------------------------------------------------------
// PooledVec over one BlockPool, against plain vectors: random pushes, appends
// between vectors, swaps, moves and releases. Blocks handed out twice, or cut
// from a slab across another block, show up as foreign elements.

TEST(PooledVecTest, ManyVectorsSharingAPoolKeepTheirElements) {
  using Vec = PooledVec<std::uint64_t, 1>;
  for (unsigned seed = 0; seed < 4; ++seed) {
    std::mt19937 rng(seed);
    BlockPool pool;
    std::vector<Vec> vecs(40);
    std::vector<std::vector<std::uint64_t>> model(vecs.size());
    std::uint64_t next_value = 0;
    for (int step = 0; step < 20000; ++step) {
      const std::size_t a = rng() % vecs.size();
      const std::size_t b = rng() % vecs.size();
      switch (rng() % 10) {
        case 0:
          if (a != b && model[a].size() + model[b].size() <= 300) {
            vecs[a].append(vecs[b].begin(), vecs[b].end(), pool);
            model[a].insert(model[a].end(), model[b].begin(), model[b].end());
          }
          break;
        case 1:
          vecs[a].swap(vecs[b]);
          std::swap(model[a], model[b]);
          break;
        case 2:
          if (rng() % 4 == 0) {
            vecs[a].release(pool);
            model[a].clear();
          }
          break;
        case 3: {
          Vec moved(std::move(vecs[a]));
          ASSERT_TRUE(vecs[a].empty());
          vecs[a].swap(moved);  // moved is empty again and owns nothing
          ASSERT_TRUE(moved.empty());
          break;
        }
        default:
          vecs[a].push_back(next_value, pool);
          model[a].push_back(next_value++);
      }
      ASSERT_EQ(std::vector<std::uint64_t>(vecs[a].begin(), vecs[a].end()), model[a]) << "seed " << seed << " step " << step;
    }
    for (std::size_t k = 0; k < vecs.size(); ++k)
      EXPECT_EQ(std::vector<std::uint64_t>(vecs[k].begin(), vecs[k].end()), model[k]) << "seed " << seed << " vector " << k;
    // Released blocks are reused: the pool stays within a small multiple of
    // what the vectors hold, whatever the churn.
    std::size_t held = 0;
    for (const auto& m : model) held += m.size();
    EXPECT_LE(pool.reserved_bytes(), std::max<std::size_t>(8 * held * sizeof(std::uint64_t), 1u << 20)) << seed;
  }
}

TEST(BigAllocatorTest, BlocksHonourTheElementAlignment) {
  BigAllocator<EClass> allocator;
  for (std::size_t n : {1u, 3u, 1000u, 40000u}) {  // 40000 records pass the 2 MiB mark
    EClass* block = allocator.allocate(n);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(EClass), 0u) << n;
    if (n * sizeof(EClass) >= kHugePageSize) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % kHugePageSize, 0u) << n;
    }
    allocator.deallocate(block, n);
  }
}

// ---------------------------------------------------------------------------
// add, find, union

TEST(EGraphTest, NewEGraphIsEmptyAndDirty) {
  EGraph g(test_symbols());
  EXPECT_EQ(g.total_size(), 0u);
  EXPECT_EQ(g.number_of_classes(), 0u);
  EXPECT_EQ(g.number_of_ids(), 0u);
  EXPECT_FALSE(g.clean());
}

TEST(EGraphTest, AddingTheSameNodeTwiceReturnsTheSameIdWithoutGrowing) {
  EGraph g(test_symbols());
  const Id a = g.add(leaf("a"));
  const Id fa = g.add(SymbolLang(sym("f"), {a}));
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(fa, 1u);
  EXPECT_EQ(g.total_size(), 2u);
  EXPECT_EQ(g.add(SymbolLang(sym("f"), {a})), fa);
  EXPECT_EQ(g.add(leaf("a")), a);
  EXPECT_EQ(g.total_size(), 2u);
  EXPECT_EQ(g.number_of_ids(), 2u);
}

TEST(EGraphTest, AddCanonicalisesChildrenBeforeLookingUp) {
  EGraph g(test_symbols());
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id fa = g.add(SymbolLang(sym("f"), {a}));
  ASSERT_TRUE(g.union_(a, b));
  // f(b) is f(a) once b is found to be a's class.
  EXPECT_EQ(g.add(SymbolLang(sym("f"), {b})), fa);
}

TEST(EGraphTest, CleanFlagFollowsAddUnionAndRebuild) {
  EGraph g(test_symbols());
  const Id a = g.add(leaf("a"));
  g.rebuild();
  EXPECT_TRUE(g.clean());
  g.add(leaf("a"));  // already present: nothing changes
  EXPECT_TRUE(g.clean());
  const Id b = g.add(leaf("b"));
  EXPECT_FALSE(g.clean());
  g.rebuild();
  EXPECT_FALSE(g.union_(a, a));  // same class: false, but the e-graph is dirty
  EXPECT_FALSE(g.clean());
  EXPECT_EQ(g.number_of_classes(), 2u);
  g.rebuild();
  EXPECT_TRUE(g.union_(a, b));
  EXPECT_FALSE(g.clean());
}

TEST(EGraphTest, CongruentNodesMergeOnRebuildAndTheUnionIsCounted) {
  EGraph g(test_symbols());
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id fa = g.add(SymbolLang(sym("f"), {a}));
  const Id fb = g.add(SymbolLang(sym("f"), {b}));
  g.rebuild();
  EXPECT_NE(g.find(fa), g.find(fb));
  ASSERT_TRUE(g.union_(a, b));
  EXPECT_EQ(g.rebuild(), 1u);
  EXPECT_EQ(g.find(fa), g.find(fb));
  EXPECT_EQ(g.number_of_classes(), 2u);
  // The stale f entry stays in the hash-cons: four entries for two classes.
  EXPECT_EQ(g.total_size(), 4u);
  EXPECT_EQ(g.eclass(fa).nodes.size(), 1u);
}

TEST(EGraphTest, CongruenceClosesThroughSeveralLevels) {
  EGraph g(test_symbols());
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id ga = g.add(SymbolLang(sym("g"), {a}));
  const Id gb = g.add(SymbolLang(sym("g"), {b}));
  const Id fga = g.add(SymbolLang(sym("f"), {ga, a}));
  const Id fgb = g.add(SymbolLang(sym("f"), {gb, b}));
  g.rebuild();
  g.union_(a, b);
  EXPECT_EQ(g.rebuild(), 2u);
  EXPECT_EQ(g.find(fga), g.find(fgb));
  EXPECT_EQ(g.find(ga), g.find(gb));
  EXPECT_EQ(g.number_of_classes(), 3u);
}

TEST(EGraphTest, UnionKeepsTheClassWithMoreParentsAndTheFirstRootOnATie) {
  EGraph g(test_symbols());
  const Id x = g.add(leaf("x"));
  const Id y = g.add(leaf("y"));
  const Id z = g.add(leaf("z"));
  g.add(SymbolLang(sym("f"), {z}));
  g.add(SymbolLang(sym("g"), {z, z}));  // z has three parent entries
  // Tie (no parents either side): the root of the first argument survives.
  ASSERT_TRUE(g.union_(y, x));
  EXPECT_EQ(g.find(x), y);
  // More parents win even as the second argument.
  ASSERT_TRUE(g.union_(x, z));
  EXPECT_EQ(g.find(y), z);
  EXPECT_EQ(g.find(x), z);
}

TEST(EGraphTest, UnionCountsDuplicateParentEntries) {
  EGraph g(test_symbols());
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  g.add(SymbolLang(sym("f"), {a, a}));    // two entries for a
  g.add(SymbolLang(sym("h"), {b}));       // one entry for b
  ASSERT_TRUE(g.union_(b, a));
  EXPECT_EQ(g.find(b), a);
  EXPECT_EQ(g.eclass(a).parents.size(), 3u);
}

// A wide e-node lists each repeated child once per occurrence among that
// class's parents, so one merge pushes it many times. The rebuild must still
// re-file each e-node once, and find the congruence all the same.
TEST(EGraphTest, RebuildReFilesAWideNodeOnceHoweverOftenItsChildrenRepeat) {
  for (const std::size_t n : {1u, 2u, 1000u}) {
    EGraph g(test_symbols());
    const Id a = g.add(leaf("a"));
    const Id x = g.add(leaf("x"));
    std::vector<Id> ax(n, a), xa(n, x);
    ax.insert(ax.end(), n, x);
    xa.insert(xa.end(), n, a);
    const Id w1 = g.add(SymbolLang(sym("wide"), ax));
    const Id w2 = g.add(SymbolLang(sym("wide"), xa));
    g.rebuild();
    const std::size_t before = g.refiled_count();
    ASSERT_TRUE(g.union_(a, x));
    EXPECT_EQ(g.rebuild(), 1u) << n;
    EXPECT_EQ(g.find(w1), g.find(w2)) << n;
    EXPECT_LE(g.refiled_count() - before, 2u) << n;
    EXPECT_EQ(g.number_of_classes(), 2u) << n;
  }
}

TEST(EGraphTest, UnionListsTheLongerNodeListFirstWhenTheSurvivorsIsShorter) {
  EGraph g(test_symbols());
  const Id p = g.add(leaf("p"));
  const Id q = g.add(leaf("q"));
  const Id r = g.add(leaf("r"));
  g.add(SymbolLang(sym("use"), {p}));  // gives p a parent so it survives below
  g.add(SymbolLang(sym("use"), {p, p}));
  ASSERT_TRUE(g.union_(q, r));         // q's class: [q, r]
  ASSERT_TRUE(g.union_(p, q));         // p survives (more parents) with one node
  const auto& nodes = g.eclass(p).nodes;
  ASSERT_EQ(nodes.size(), 3u);
  // Before a rebuild the merged list is the longer list followed by the shorter.
  EXPECT_EQ(nodes[0], leaf("q"));
  EXPECT_EQ(nodes[1], leaf("r"));
  EXPECT_EQ(nodes[2], leaf("p"));
  g.rebuild();
  EXPECT_TRUE(std::is_sorted(g.eclass(p).nodes.begin(), g.eclass(p).nodes.end()));
}

TEST(EGraphTest, FindOutOfRangeIsFatal) {
  EGraph g(test_symbols());
  g.add(leaf("a"));
  try {
    g.find(1);
    FAIL() << "expected a fatal error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 1 but the index is 1");
  }
  EGraph& mutable_graph = g;
  EXPECT_THROW(mutable_graph.find_mut(5), FatalError);
  EXPECT_THROW(mutable_graph.union_(0, 3), FatalError);
}

TEST(EGraphTest, FindMutHalvesPathsAndFindLeavesThemAlone) {
  EGraph g(test_symbols());
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id c = g.add(leaf("c"));
  g.add(SymbolLang(sym("f"), {c}));
  g.add(SymbolLang(sym("f2"), {c}));
  ASSERT_TRUE(g.union_(a, b));  // b -> a
  ASSERT_TRUE(g.union_(a, c));  // c has more parents: a -> c, so b -> a -> c
  ASSERT_EQ(g.unionfind_parent(b), a);
  ASSERT_EQ(g.unionfind_parent(a), c);
  EXPECT_EQ(g.find(b), c);
  EXPECT_EQ(g.unionfind_parent(b), a);  // read-only: no compression
  EXPECT_EQ(g.find_mut(b), c);
  EXPECT_EQ(g.unionfind_parent(b), c);  // now points at its former grandparent
}

TEST(EGraphTest, RebuildSortsAndDeduplicatesClassNodesAndReportsTheTrimmedCount) {
  EGraph g(test_symbols());
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  // Two classes whose nodes become equal once a and b are merged.
  const Id fab = g.add(SymbolLang(sym("f"), {a, b}));
  const Id fba = g.add(SymbolLang(sym("f"), {b, a}));
  const Id fbb = g.add(SymbolLang(sym("f"), {b, b}));
  const Id faa = g.add(SymbolLang(sym("f"), {a, a}));
  g.rebuild();
  g.union_(fab, fba);
  g.union_(fbb, faa);
  g.union_(fab, fbb);
  g.union_(a, b);
  LogCapture log(LogLevel::Info);
  g.rebuild();
  const auto& nodes = g.eclass(fab).nodes;
  ASSERT_EQ(nodes.size(), 1u);
  const Id root = g.find(a);
  EXPECT_EQ(nodes[0], SymbolLang(sym("f"), {root, root}));
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_TRUE(log.contains("trimmed nodes: 3")) << log.records[0];
}

TEST(EGraphTest, RebuildRecordHasTheDocumentedLines) {
  EGraph g(test_symbols());
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  g.add(SymbolLang(sym("f"), {a}));
  g.add(SymbolLang(sym("f"), {b}));
  g.rebuild();
  g.union_(a, b);
  LogCapture log(LogLevel::Info);
  g.rebuild();
  ASSERT_EQ(log.records.size(), 1u);
  const std::regex expected(
      "REBUILT! in [0-9]+\\.[0-9]{3}s\n"
      "  Old: hc size 4, eclasses: 3\n"
      "  New: hc size 4, eclasses: 2\n"
      "  unions: 1, trimmed nodes: 1");  // f(a) and f(b) are one e-node now
  EXPECT_TRUE(std::regex_match(log.records[0], expected)) << log.records[0];
}

TEST(EGraphTest, AddEmitsATraceRecordOnlyWithATraceSink) {
  EGraph g(test_symbols());
  {
    LogCapture info(LogLevel::Info);
    g.add(leaf("a"));
    EXPECT_TRUE(info.records.empty());
  }
  LogCapture trace(LogLevel::Trace);
  g.add(leaf("b"));
  ASSERT_EQ(trace.records.size(), 1u);
  EXPECT_EQ(trace.records[0], "  ...adding to 1");
}

TEST(EGraphTest, ClassesByOpListsCanonicalIdsInAscendingOrder) {
  EGraph g(test_symbols());
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id c = g.add(leaf("c"));
  const Id fa = g.add(SymbolLang(sym("f"), {a}));
  const Id fb = g.add(SymbolLang(sym("f"), {b}));
  const Id fc = g.add(SymbolLang(sym("f"), {c}));
  const Id gx = g.add(SymbolLang(sym("g"), {a}));
  g.rebuild();
  auto listed = [&](const char* op, std::size_t arity) {
    const auto span = g.classes_by_op(sym(op), arity);
    return std::vector<Id>(span.begin(), span.end());
  };
  EXPECT_EQ(listed("f", 1), (std::vector<Id>{fa, fb, fc}));
  EXPECT_TRUE(listed("f", 2).empty());
  EXPECT_TRUE(listed("never-used-op", 0).empty());
  // Merging the g class into fc's class makes that class hold a g node too.
  g.union_(fc, gx);
  g.union_(fa, fb);
  g.rebuild();
  EXPECT_EQ(listed("f", 1), (std::vector<Id>{g.find(fa), g.find(fc)}));
  EXPECT_EQ(listed("g", 1), (std::vector<Id>{g.find(fc)}));
  EXPECT_EQ(g.class_ids().size(), g.number_of_classes());
}

TEST(EGraphTest, ClassesByOpStaysAscendingWhenAMergeLandsOnALowerRoot) {
  EGraph g(test_symbols());
  const Id x = g.add(leaf("x"));
  g.add(SymbolLang(sym("g1"), {x}));
  g.add(SymbolLang(sym("g2"), {x}));  // x now has two parents and wins merges
  const Id la = g.add(leaf("la"));
  const Id lb = g.add(leaf("lb"));
  const Id fa = g.add(SymbolLang(sym("f"), {la}));
  const Id fb = g.add(SymbolLang(sym("f"), {lb}));
  g.rebuild();
  ASSERT_TRUE(g.union_(fb, x));
  ASSERT_EQ(g.find(fb), x);
  g.rebuild();
  const auto listed = g.classes_by_op(sym("f"), 1);
  EXPECT_EQ(std::vector<Id>(listed.begin(), listed.end()), (std::vector<Id>{x, fa}));
}

TEST(EGraphTest, EClassAccessFindsTheRootClass) {
  EGraph g(test_symbols());
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  g.union_(a, b);
  g.rebuild();
  EXPECT_EQ(g.eclass(b).id, g.find(b));
  EXPECT_EQ(&g.eclass(a), &g.eclass(b));
  EXPECT_EQ(g.eclass_mut(b).nodes.size(), 2u);
  EXPECT_THROW(g.eclass(2), FatalError);
}

// ---------------------------------------------------------------------------
// Random terms against a straightforward congruence closure.

// Naive closure: repeatedly merge classes of nodes with equal operator and
// pairwise-equal children until nothing changes.
std::vector<int> naive_closure(const std::vector<std::pair<int, std::vector<int>>>& terms,
                               const std::vector<std::pair<int, int>>& unions) {
  std::vector<int> cls(terms.size());
  for (std::size_t k = 0; k < terms.size(); ++k) cls[k] = static_cast<int>(k);
  auto root = [&](int x) {
    while (cls[x] != x) x = cls[x];
    return x;
  };
  auto merge = [&](int x, int y) {
    x = root(x);
    y = root(y);
    if (x == y) return false;
    cls[std::max(x, y)] = std::min(x, y);
    return true;
  };
  for (auto [x, y] : unions) merge(x, y);
  bool changed = true;
  while (changed) {
    changed = false;
    std::map<std::pair<int, std::vector<int>>, int> seen;
    for (std::size_t k = 0; k < terms.size(); ++k) {
      std::vector<int> kids;
      for (int c : terms[k].second) kids.push_back(root(c));
      auto [it, inserted] = seen.try_emplace({terms[k].first, kids}, static_cast<int>(k));
      if (!inserted && merge(it->second, static_cast<int>(k))) changed = true;
    }
  }
  std::vector<int> out(terms.size());
  for (std::size_t k = 0; k < terms.size(); ++k) out[k] = root(static_cast<int>(k));
  return out;
}

class RandomCongruenceTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomCongruenceTest, AgreesWithNaiveClosureAndKeepsInvariants) {
  std::mt19937 rng(GetParam());
  const Symbol ops[] = {sym("r0"), sym("r1"), sym("r2")};
  std::vector<std::pair<int, std::vector<int>>> terms;
  EGraph g(test_symbols());
  std::vector<Id> ids;
  // The first 120 terms come before any union; later ones are added between
  // unions, before the rebuild that repairs them.
  auto add_term = [&](int k) {
    const int op = static_cast<int>(rng() % 3);
    std::vector<int> kids;
    // Few leaves (r0 with no children), then mostly one- and three-child nodes.
    const int arity = k < 6 ? 0 : (op == 2 ? 3 : 1);
    for (int c = 0; c < arity; ++c) kids.push_back(static_cast<int>(rng() % k));
    // Keep leaves distinct by giving each its own operator.
    Symbol symbol = arity == 0 ? sym(("leaf" + std::to_string(k)).c_str()) : ops[op];
    const int op_code = arity == 0 ? 100 + k : op;
    std::vector<Id> child_ids;
    for (int c : kids) child_ids.push_back(ids[c]);
    const Id id = g.find(g.add(SymbolLang(symbol, child_ids)));
    // Duplicates map to the earlier term in the reference as well.
    ids.push_back(id);
    terms.push_back({op_code, kids});
  };
  for (int k = 0; k < 120; ++k) add_term(k);
  // After a rebuild the per-operator counts are the e-nodes the classes list.
  auto expect_counts = [&g](const char* when) {
    std::map<std::pair<Symbol, std::size_t>, std::size_t> listed;
    g.for_each_class([&](const EClass& eclass) {
      for (const SymbolLang& node : eclass.nodes) ++listed[{node.op, node.arity()}];
    });
    for (const auto& [key, count] : listed) EXPECT_EQ(g.count_by_op(key.first, key.second), count) << when;
    EXPECT_EQ(g.count_by_op(sym("r1"), 2), 0u) << when;
  };
  g.rebuild();
  expect_counts("before the unions");
  std::vector<std::pair<int, int>> unions;
  for (int u = 0; u < 8; ++u) {
    const int x = static_cast<int>(rng() % terms.size());
    const int y = static_cast<int>(rng() % terms.size());
    unions.push_back({x, y});
    g.union_(ids[x], ids[y]);
    add_term(static_cast<int>(terms.size()));
    if (u % 3 == 0) {
      g.rebuild();
      expect_counts("between the unions");
    }
  }
  g.rebuild();
  expect_counts("after the unions");
  const std::vector<int> expected = naive_closure(terms, unions);
  for (std::size_t x = 0; x < terms.size(); ++x)
    for (std::size_t y = x + 1; y < terms.size(); ++y)
      ASSERT_EQ(expected[x] == expected[y], g.find(ids[x]) == g.find(ids[y])) << x << " vs " << y;

  // Invariants after a rebuild: canonical, sorted, duplicate-free nodes, each
  // filed in the hash-cons under its own class.
  std::size_t nodes = 0;
  g.for_each_class([&](const EClass& eclass) {
    EXPECT_TRUE(std::is_sorted(eclass.nodes.begin(), eclass.nodes.end()));
    EXPECT_TRUE(std::adjacent_find(eclass.nodes.begin(), eclass.nodes.end()) == eclass.nodes.end());
    for (const SymbolLang& node : eclass.nodes) {
      for (Id child : node.children()) EXPECT_EQ(g.find(child), child);
      const auto filed = g.lookup(node);
      ASSERT_TRUE(filed.has_value());
      EXPECT_EQ(g.find(*filed), eclass.id);
      ++nodes;
    }
  });
  EXPECT_LE(nodes, g.total_size());
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomCongruenceTest, ::testing::Range(1u, 21u));

}  // namespace
}  // namespace weftory::egraph

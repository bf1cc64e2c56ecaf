// Stage fusion: groups, emission order, member and input order, landing.
#include "optimizer/fusion.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/fatal.hpp"
#include "symbolic_eval.hpp"

namespace weftory::optimizer {

using support::FatalError;
using store::Landing;
using store::MemberInput;
using store::MemberSource;
using store::NodeId;
using store::NodeKind;
using store::NodeRecord;

namespace {

// The op texts of every term these tests build; terms name them by number.
OpTable& ops() {
  static OpTable table;
  return table;
}
std::string op_text(const EngineTerm& t) { return std::string(ops().text(t.op)); }

EngineTerm term(const std::string& op, const std::vector<std::uint64_t>& children = {}) {
  EngineTerm t;
  t.op = ops().intern(op);
  t.children.append(children.begin(), children.end());
  t.opaque = !op.starts_with("op|");
  return t;
}

// Prototypes for every opaque term: a record whose identity key is the term's
// op text (sources "src|<name>", reductions "red|<name>").
struct Prototypes {
  std::vector<NodeRecord> records;
  std::vector<std::string> keys;
  PrototypeTable table;

  explicit Prototypes(const std::vector<EngineTerm>& terms) {
    records.reserve(terms.size());
    keys.reserve(terms.size());
    for (const EngineTerm& t : terms) {
      if (!t.opaque || (t.op < table.size() && table[t.op] != nullptr)) continue;
      const std::string op = op_text(t);
      const std::string name = op.substr(op.find('|') + 1);
      records.push_back(op.starts_with("src|")
                            ? NodeRecord::source(name, {})
                            : NodeRecord::reduction(name, {}, std::vector<NodeId>(t.children.begin(), t.children.end())));
      keys.push_back(identity_key(records.back()));
      EXPECT_EQ(keys.back(), op);
      if (table.size() <= t.op) table.resize(t.op + 1, nullptr);
      table[t.op] = &records.back();
    }
  }
};

// "src|a()" for a boundary, "[x:i0 y:m0](0)" for a stage (op| dropped from
// tokens), nodes joined with "; "; landing as "0 1.0 1.1".
std::string describe(const FusionResult& r) {
  std::string out;
  for (const NodeRecord& node : r.nodes) {
    if (!out.empty()) out += "; ";
    if (node.kind == NodeKind::Stage) {
      out += '[';
      for (std::size_t m = 0; m < node.members.size(); ++m) {
        if (m) out += ' ';
        out += node.members[m].token.substr(3) + ':';
        for (std::size_t k = 0; k < node.members[m].inputs.size(); ++k) {
          const MemberInput& in = node.members[m].inputs[k];
          if (k) out += ',';
          out += (in.source == MemberSource::Input ? "i" : "m") + std::to_string(in.index);
        }
      }
      out += ']';
    } else {
      out += identity_key(node);
    }
    out += '(';
    for (std::size_t k = 0; k < node.inputs.size(); ++k) out += (k ? "," : "") + std::to_string(node.inputs[k]);
    out += ')';
  }
  out += " |";
  for (const Landing& l : r.landing) {
    out += ' ' + std::to_string(l.reduced_id);
    if (l.member) out += '.' + std::to_string(*l.member);
  }
  out += " | out";
  for (NodeId o : r.outputs) out += ' ' + std::to_string(o);
  return out;
}

struct FusionCase {
  const char* name;
  std::vector<EngineTerm> terms;
  std::vector<std::uint64_t> outputs;
  const char* single_use;
  const char* maximal;
};

class FusionTest : public ::testing::TestWithParam<FusionCase> {};

TEST_P(FusionTest, EmitsTheStatedGroups) {
  const FusionCase& c = GetParam();
  Prototypes prototypes(c.terms);
  EXPECT_EQ(describe(fuse_and_emit(ops(), c.terms, c.outputs, prototypes.table, false)), c.single_use);
  EXPECT_EQ(describe(fuse_and_emit(ops(), c.terms, c.outputs, prototypes.table, true)), c.maximal);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FusionTest,
    ::testing::Values(
        FusionCase{"chain", {term("src|a"), term("op|x", {0}), term("op|y", {1})}, {2},
                   "src|a(); [x:i0 y:m0](0) | 0 1.0 1.1 | out 1", "src|a(); [x:i0 y:m0](0) | 0 1.0 1.1 | out 1"},
        FusionCase{"lone op is a one-member stage", {term("src|a"), term("op|x", {0})}, {1},
                   "src|a(); [x:i0](0) | 0 1.0 | out 1", "src|a(); [x:i0](0) | 0 1.0 | out 1"},
        FusionCase{"diamond",
                   {term("src|a"), term("op|x", {0}), term("op|y", {1}), term("op|z", {1, 2})},
                   {3},
                   "src|a(); [x:i0](0); [y:i0 z:i0,m0](1) | 0 1.0 2.0 2.1 | out 2",
                   "src|a(); [x:i0 y:m0 z:m0,m1](0) | 0 1.0 1.1 1.2 | out 1"},
        FusionCase{"used twice by one consumer",
                   {term("src|a"), term("op|x", {0}), term("op|w", {1, 1})},
                   {2},
                   "src|a(); [x:i0](0); [w:i0,i0](1) | 0 1.0 2.0 | out 2",
                   "src|a(); [x:i0 w:m0,m0](0) | 0 1.0 1.1 | out 1"},
        FusionCase{"op feeding a boundary",
                   {term("src|a"), term("op|x", {0}), term("red|sum", {1})},
                   {2},
                   "src|a(); [x:i0](0); red|sum(1) | 0 1.0 2 | out 2",
                   "src|a(); [x:i0](0); red|sum(1) | 0 1.0 2 | out 2"},
        FusionCase{"output is not fused into its consumer",
                   {term("src|a"), term("op|x", {0}), term("op|y", {1})},
                   {1, 2},
                   "src|a(); [x:i0](0); [y:i0](1) | 0 1.0 2.0 | out 1 2",
                   "src|a(); [x:i0](0); [y:i0](1) | 0 1.0 2.0 | out 1 2"},
        FusionCase{"an output absorbs its producers",
                   {term("src|a"), term("op|x", {0}), term("op|y", {1}), term("op|z", {2})},
                   {2, 3, 2},
                   "src|a(); [x:i0 y:m0](0); [z:i0](1) | 0 1.0 1.1 2.0 | out 1 2 1",
                   "src|a(); [x:i0 y:m0](0); [z:i0](1) | 0 1.0 1.1 2.0 | out 1 2 1"},
        FusionCase{"one producer read several times is one stage input",
                   {term("src|a"), term("src|b"), term("op|x", {0, 1, 0}), term("op|y", {2, 0, 1})},
                   {3},
                   "src|a(); src|b(); [x:i0,i1,i0 y:m0,i0,i1](0,1) | 0 1 2.0 2.1 | out 2",
                   "src|a(); src|b(); [x:i0,i1,i0 y:m0,i0,i1](0,1) | 0 1 2.0 2.1 | out 2"},
        FusionCase{"stage inputs in order of first reference",
                   {term("src|a"), term("src|b"), term("op|x", {1}), term("op|y", {0, 2})},
                   {3},
                   "src|a(); src|b(); [x:i0 y:i1,m0](1,0) | 0 1 2.0 2.1 | out 2",
                   "src|a(); src|b(); [x:i0 y:i1,m0](1,0) | 0 1 2.0 2.1 | out 2"},
        // p's group {p, r} has the smaller root but the larger last member,
        // so q's stage comes first.
        FusionCase{"emitted by largest member",
                   {term("src|a"), term("op|p", {0}), term("op|q", {0}), term("op|r", {1})},
                   {2, 3},
                   "src|a(); [q:i0](0); [p:i0 r:m0](0) | 0 2.0 1.0 2.1 | out 1 2",
                   "src|a(); [q:i0](0); [p:i0 r:m0](0) | 0 2.0 1.0 2.1 | out 1 2"},
        // Fan-out whose consumers end in two different stages stays apart.
        FusionCase{"fan-out into two stages",
                   {term("src|a"), term("op|x", {0}), term("op|y", {1}), term("op|z", {1})},
                   {2, 3},
                   "src|a(); [x:i0](0); [y:i0](1); [z:i0](1) | 0 1.0 2.0 3.0 | out 2 3",
                   "src|a(); [x:i0](0); [y:i0](1); [z:i0](1) | 0 1.0 2.0 3.0 | out 2 3"},
        FusionCase{"no outputs", {}, {}, " | | out", " | | out"}),
    [](const ::testing::TestParamInfo<FusionCase>& info) { return "case" + std::to_string(info.index); });

TEST(Fusion, FailsOnBrokenInput) {
  const std::vector<EngineTerm> terms = {term("src|a"), term("op|x", {0})};
  Prototypes prototypes(terms);
  EXPECT_THROW((void)fuse_and_emit(ops(), terms, std::vector<std::uint64_t>{2}, prototypes.table, false), FatalError);
  const PrototypeTable none;
  try {
    (void)fuse_and_emit(ops(), terms, std::vector<std::uint64_t>{1}, none, false);
    FAIL() << "a boundary without a prototype was emitted";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "no entry found for key");
  }
}

// ---------------------------------------------------------------- randomized
//
// Random canonical graphs of Op terms over a few sources and reductions,
// checked against an independent model: the groups follow from the fusion
// conditions alone, and every term evaluates to the same symbolic value in
// the reduced graph as in the canonical one.

std::vector<EngineTerm> random_terms(std::mt19937_64& rng, std::size_t v) {
  std::vector<EngineTerm> terms;
  for (std::size_t i = 0; i < v; ++i) {
    const std::size_t roll = rng() % 10;
    if (i < 2 || roll == 0) {
      terms.push_back(term("src|s" + std::to_string(i)));
      continue;
    }
    std::vector<std::uint64_t> children;
    const std::size_t arity = 1 + rng() % 3;
    // Mostly recent producers, so chains and diamonds are common.
    for (std::size_t k = 0; k < arity; ++k) children.push_back(i - 1 - rng() % std::min<std::size_t>(i, 4));
    terms.push_back(term(roll == 1 ? "red|r" + std::to_string(i) : "op|f" + std::to_string(rng() % 3), children));
  }
  return terms;
}

TEST(FusionRandom, GroupsAndValuesMatchAnIndependentModel) {
  std::mt19937_64 rng(20261208);
  for (int round = 0; round < 400; ++round) {
    const std::size_t v = 2 + rng() % 30;
    const std::vector<EngineTerm> terms = random_terms(rng, v);
    std::vector<std::uint64_t> outputs;
    for (std::size_t k = 0, count = 1 + rng() % 3; k < count; ++k) outputs.push_back(rng() % v);
    Prototypes prototypes(terms);
    const bool maximal = round % 2 == 1;
    SCOPED_TRACE("round " + std::to_string(round) + (maximal ? " maximal" : " single-use"));
    const FusionResult r = fuse_and_emit(ops(), terms, outputs, prototypes.table, maximal);

    std::vector<std::vector<std::uint64_t>> consumers(v);
    std::vector<bool> is_output(v, false);
    for (std::size_t u = 0; u < v; ++u) {
      for (std::uint64_t c : terms[u].children) consumers[c].push_back(u);
    }
    for (std::uint64_t o : outputs) is_output[o] = true;
    auto group = [&](std::uint64_t i) { return r.landing[i].reduced_id; };

    std::size_t stages = 0;
    for (const NodeRecord& node : r.nodes) stages += node.kind == NodeKind::Stage;
    ASSERT_EQ(r.stages, stages);
    ASSERT_EQ(r.stages + r.boundary_nodes, r.nodes.size());
    std::vector<std::uint64_t> largest(r.nodes.size(), 0);
    for (std::size_t i = 0; i < v; ++i) {
      ASSERT_LT(group(i), r.nodes.size());
      const NodeRecord& node = r.nodes[group(i)];
      // Every Op term is a stage member, every boundary a node of its own.
      ASSERT_EQ(node.kind == NodeKind::Stage, !terms[i].opaque);
      ASSERT_EQ(r.landing[i].member.has_value(), !terms[i].opaque);
      if (r.landing[i].member) {
        ASSERT_EQ(node.members.at(*r.landing[i].member).token, op_text(terms[i]));
      }
      largest[group(i)] = std::max<std::uint64_t>(largest[group(i)], i);
    }
    // Emission in ascending order of largest member.
    ASSERT_TRUE(std::is_sorted(largest.begin(), largest.end()));
    for (std::size_t i = 0; i < v; ++i) {
      if (terms[i].opaque) continue;
      const bool last = largest[group(i)] == i;
      bool inside = !consumers[i].empty();
      for (std::uint64_t u : consumers[i]) inside = inside && group(u) == group(i);
      if (!last) {
        // Only a group's last member may be an output or be used outside it.
        ASSERT_FALSE(is_output[i]) << i;
        ASSERT_TRUE(inside) << i;
      }
      if (maximal && last && !is_output[i] && !consumers[i].empty()) {
        // The maximal rule leaves a term last only when its consumers do not
        // all lie in one group of Op terms.
        bool one_group = true;
        for (std::uint64_t u : consumers[i]) {
          one_group = one_group && !terms[u].opaque && group(u) == group(consumers[i][0]);
        }
        ASSERT_FALSE(one_group) << i;
      }
    }
    if (!maximal) {
      // Single-use groups are the connected components of the fusion edges:
      // flood each component independently and compare.
      std::vector<std::vector<std::uint64_t>> edges(v);
      for (std::size_t l = 0; l < v; ++l) {
        if (terms[l].opaque || is_output[l] || consumers[l].size() != 1 || terms[consumers[l][0]].opaque) continue;
        edges[l].push_back(consumers[l][0]);
        edges[consumers[l][0]].push_back(l);
      }
      std::vector<int> component(v, -1);
      for (std::size_t s = 0; s < v; ++s) {
        if (component[s] >= 0) continue;
        std::vector<std::uint64_t> stack{s};
        component[s] = static_cast<int>(s);
        while (!stack.empty()) {
          const std::uint64_t at = stack.back();
          stack.pop_back();
          for (std::uint64_t next : edges[at]) {
            if (component[next] < 0) {
              component[next] = static_cast<int>(s);
              stack.push_back(next);
            }
          }
        }
      }
      for (std::size_t i = 0; i < v; ++i) {
        for (std::size_t k = 0; k < v; ++k) {
          ASSERT_EQ(component[i] == component[k], group(i) == group(k)) << i << " " << k;
        }
      }
    }

    // Both graphs compute the same symbolic values.
    testing::SymbolicEval eval;
    std::vector<int> original(v);
    for (std::size_t i = 0; i < v; ++i) {
      std::vector<int> args;
      for (std::uint64_t c : terms[i].children) args.push_back(original[c]);
      original[i] = eval.apply(op_text(terms[i]), args);
    }
    const testing::SymbolicEval::Values reduced = eval.run(r.nodes.to_records());
    for (std::size_t i = 0; i < v; ++i) {
      ASSERT_EQ(eval.at(reduced, r.landing[i].reduced_id, r.landing[i].member), original[i]) << i;
    }
    ASSERT_EQ(r.outputs.size(), outputs.size());
    for (std::size_t k = 0; k < outputs.size(); ++k) ASSERT_EQ(reduced.nodes[r.outputs[k]], original[outputs[k]]);
  }
}

}  // namespace
}  // namespace weftory::optimizer

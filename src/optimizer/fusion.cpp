#include "optimizer/fusion.hpp"

#include <limits>
#include <string>

#include "support/fatal.hpp"

namespace weftory::optimizer {

using support::fatal;
using store::Landing;
using store::MemberInput;
using store::MemberSource;
using store::NodeId;
using store::NodeRecord;
using store::StageMember;

namespace {

constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

[[noreturn]] void no_entry() { fatal("no entry found for key"); }

// Every term's consumers, one entry per use, ascending: a compressed table
// (offsets into one array) rather than a vector per term.
struct Consumers {
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint64_t> users;

  explicit Consumers(std::span<const EngineTerm> terms) : offsets(terms.size() + 1, 0) {
    const std::size_t v = terms.size();
    for (std::size_t u = 0; u < v; ++u) {
      for (std::uint64_t c : terms[u].children) {
        if (c >= u) {
          fatal("index out of bounds: canonical term " + std::to_string(u) + " has child " + std::to_string(c));
        }
        ++offsets[c + 1];
      }
    }
    for (std::size_t i = 0; i < v; ++i) offsets[i + 1] += offsets[i];
    users.resize(offsets[v]);
    std::vector<std::uint64_t> fill(offsets.begin(), offsets.end() - 1);
    for (std::size_t u = 0; u < v; ++u) {
      for (std::uint64_t c : terms[u].children) users[fill[c]++] = u;
    }
  }

  std::span<const std::uint64_t> of(std::size_t i) const {
    return {users.data() + offsets[i], users.data() + offsets[i + 1]};
  }
};

// Union-find with full path compression; a union makes the smaller root the
// root of the merged set.
class UnionFind {
 public:
  explicit UnionFind(std::size_t n) : parent_(n) {
    for (std::size_t i = 0; i < n; ++i) parent_[i] = i;
  }

  std::uint64_t find(std::uint64_t i) {
    std::uint64_t root = i;
    while (parent_[root] != root) root = parent_[root];
    while (parent_[i] != root) {
      const std::uint64_t next = parent_[i];
      parent_[i] = root;
      i = next;
    }
    return root;
  }

  void unite(std::uint64_t a, std::uint64_t b) {
    a = find(a);
    b = find(b);
    if (a == b) return;
    if (a < b) {
      parent_[b] = a;
    } else {
      parent_[a] = b;
    }
  }

 private:
  std::vector<std::uint64_t> parent_;
};

std::vector<std::uint64_t> single_use_labels(std::span<const EngineTerm> terms, const Consumers& consumers,
                                             const std::vector<std::uint8_t>& is_output) {
  const std::size_t v = terms.size();
  UnionFind sets(v);
  for (std::size_t l = 0; l < v; ++l) {
    if (terms[l].opaque || is_output[l]) continue;
    const auto users = consumers.of(l);
    if (users.size() != 1 || terms[users[0]].opaque) continue;
    sets.unite(l, users[0]);
  }
  std::vector<std::uint64_t> label(v);
  for (std::size_t i = 0; i < v; ++i) label[i] = terms[i].opaque ? i : sets.find(i);
  return label;
}

std::vector<std::uint64_t> maximal_labels(std::span<const EngineTerm> terms, const Consumers& consumers,
                                          const std::vector<std::uint8_t>& is_output) {
  const std::size_t v = terms.size();
  std::vector<std::uint64_t> label(v);
  for (std::size_t i = 0; i < v; ++i) label[i] = i;
  // Consumers have larger indices, so their labels are final when i is seen.
  for (std::size_t i = v; i-- > 0;) {
    if (terms[i].opaque || is_output[i]) continue;
    const auto users = consumers.of(i);
    if (users.empty()) continue;
    const std::uint64_t shared = label[users[0]];
    bool fusable = true;
    for (std::uint64_t u : users) {
      if (terms[u].opaque || label[u] != shared) {
        fusable = false;
        break;
      }
    }
    if (fusable) label[i] = shared;
  }
  return label;
}

}  // namespace

FusionResult fuse_and_emit(const OpTable& ops, std::span<const EngineTerm> canonical, std::span<const std::uint64_t> canonical_outputs,
                           const PrototypeTable& prototypes, bool maximal_fusion) {
  const std::size_t v = canonical.size();
  const Consumers consumers(canonical);
  std::vector<std::uint8_t> is_output(v, 0);
  for (std::uint64_t o : canonical_outputs) {
    if (o >= v) fatal("index out of bounds: the len is " + std::to_string(v) + " but the index is " + std::to_string(o));
    is_output[o] = 1;
  }
  const std::vector<std::uint64_t> label = maximal_fusion ? maximal_labels(canonical, consumers, is_output)
                                                          : single_use_labels(canonical, consumers, is_output);

  // Members of each group, ascending, as a compressed table indexed by label.
  std::vector<std::uint64_t> group_start(v + 1, 0);
  for (std::size_t i = 0; i < v; ++i) ++group_start[label[i] + 1];
  for (std::size_t i = 0; i < v; ++i) group_start[i + 1] += group_start[i];
  std::vector<std::uint64_t> members(v);
  {
    std::vector<std::uint64_t> fill(group_start.begin(), group_start.end() - 1);
    for (std::size_t i = 0; i < v; ++i) members[fill[label[i]]++] = i;
  }

  FusionResult result;
  result.landing.resize(v);
  std::vector<std::uint64_t> group_of(v, kNone);
  auto reduced_of = [&](std::uint64_t group) {
    if (group_of[group] == kNone) no_entry();
    return group_of[group];
  };
  // Per-stage scratch, indexed by canonical index: a member's position, and
  // the input slot of a producing group (valid while its stamp is the
  // current group).
  std::vector<std::uint64_t> position(v, 0);
  std::vector<std::uint64_t> slot(v, 0);
  std::vector<std::uint64_t> slot_stamp(v, kNone);
  std::vector<std::uint64_t> input_groups;
  std::vector<MemberInput> member_inputs;
  std::vector<NodeId> stage_inputs;
  // The stage token number of each op, given on its first use.
  constexpr std::uint32_t kNoToken = ~std::uint32_t{0};
  std::vector<std::uint32_t> token_of(ops.size(), kNoToken);

  // A group is emitted when the walk reaches its largest member, which orders
  // the groups by largest member.
  for (std::size_t i = 0; i < v; ++i) {
    const std::uint64_t r = label[i];
    const std::span<const std::uint64_t> group{members.data() + group_start[r], members.data() + group_start[r + 1]};
    if (group.empty()) no_entry();
    if (group.back() != i) continue;
    const std::uint64_t emitted = result.nodes.size();

    if (canonical[r].opaque) {
      const EngineTerm& term = canonical[r];
      if (term.op >= prototypes.size() || prototypes[term.op] == nullptr) no_entry();
      NodeRecord node = *prototypes[term.op];
      node.inputs.clear();
      node.inputs.reserve(term.children.size());
      for (std::uint64_t c : term.children) node.inputs.push_back(reduced_of(label[c]));
      result.nodes.push_record(std::move(node));
      ++result.boundary_nodes;
      result.landing[r] = Landing{emitted, std::nullopt};
    } else {
      for (std::size_t k = 0; k < group.size(); ++k) position[group[k]] = k;
      input_groups.clear();
      for (std::uint64_t m : group) {
        const OpIndex op = canonical[m].op;
        if (op >= token_of.size()) no_entry();
        if (token_of[op] == kNoToken) token_of[op] = result.nodes.add_token(ops.text(op));
        member_inputs.clear();
        for (std::uint64_t c : canonical[m].children) {
          const std::uint64_t g = label[c];
          if (g == r) {
            member_inputs.push_back(MemberInput{MemberSource::Member, position[c]});
            continue;
          }
          if (slot_stamp[g] != r) {
            slot_stamp[g] = r;
            slot[g] = input_groups.size();
            input_groups.push_back(g);
          }
          member_inputs.push_back(MemberInput{MemberSource::Input, slot[g]});
        }
        result.nodes.add_member(token_of[op], member_inputs);
      }
      stage_inputs.clear();
      for (std::uint64_t g : input_groups) stage_inputs.push_back(reduced_of(g));
      result.nodes.end_stage(stage_inputs);
      ++result.stages;
      for (std::size_t k = 0; k < group.size(); ++k) result.landing[group[k]] = Landing{emitted, k};
    }
    group_of[r] = emitted;
  }

  result.outputs.reserve(canonical_outputs.size());
  for (std::uint64_t o : canonical_outputs) result.outputs.push_back(reduced_of(label[o]));
  return result;
}

}  // namespace weftory::optimizer

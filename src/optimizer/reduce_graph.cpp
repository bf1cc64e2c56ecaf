#include "optimizer/reduce_graph.hpp"

#include <algorithm>
#include <chrono>
#include <deque>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>

#include "optimizer/fusion.hpp"
#include "optimizer/term_index.hpp"
#include "store/cone.hpp"
#include "store/node_view.hpp"
#include "support/fatal.hpp"
#include "support/hash.hpp"

namespace weftory::optimizer {

using support::HashBuilder;
using support::Result;
using support::fatal;
using support::index_out_of_bounds;
using store::BadNodeId;
using store::LiveNodes;
using store::NodeId;
using store::NodeKind;
using store::NodeRecord;
using store::NodeRef;
using store::NodesView;
using store::RecordRef;
using store::Snapshot;
using store::Store;
using store::WithInputs;
using store::build_reduced_store;
using store::find_live_nodes;
using store::append_identity_key;
using store::kDroppedNode;
using store::to_record;

namespace {

using Clock = std::chrono::steady_clock;

// Adds the time since the last lap to one phase; does nothing without a
// timings record, so the untimed path reads no clock.
class Laps {
 public:
  explicit Laps(ReductionTimings* timings) : timings_(timings) {
    if (timings_) last_ = Clock::now();
  }
  void lap(double ReductionTimings::*phase) {
    if (!timings_) return;
    const auto now = Clock::now();
    timings_->*phase += std::chrono::duration<double>(now - last_).count();
    last_ = now;
  }

 private:
  ReductionTimings* timings_;
  Clock::time_point last_;
};

// The common-subexpression index: canonical positions, hashed and compared
// by (op, children) through the canonical vector itself. A candidate is
// appended first and then looked up by its position, which records it when
// it is new.
struct CseHash {
  const std::vector<EngineTerm>* terms;
  std::size_t operator()(std::uint64_t i) const {
    const EngineTerm& t = (*terms)[i];
    HashBuilder h;
    h.add((std::uint64_t{t.op} << 32) | t.children.size());
    for (std::uint64_t c : t.children) h.add(c);
    return h.finish();
  }
};
struct CseEqual {
  const std::vector<EngineTerm>* terms;
  bool operator()(std::uint64_t a, std::uint64_t b) const {
    const EngineTerm& x = (*terms)[a];
    const EngineTerm& y = (*terms)[b];
    return a == b || (x.op == y.op && x.children == y.children);
  }
};

// The ops of identity keys already built in this reduction, by what the key
// is made of in the store it reads: kind, name id and stored parameters.
// Equal parts mean an equal key, so a node whose parts were seen before gets
// its op without its key text being built again. (Externals and stages have
// further parts and always build their key.)
class KeyCache {
 public:
  // The op of `node`'s identity key, building the key into `scratch` only
  // when its parts are new.
  OpIndex op_of(const NodeRef& node, OpTable& ops, std::string& scratch) {
    const NodeKind kind = node.kind();
    if (kind == NodeKind::External || kind == NodeKind::Stage) return build(node, ops, scratch);
    const Parts parts{kind, node.name_id(), node.stored_params()};
    auto found = ops_.find(parts);
    if (found != ops_.end()) return found->second;
    const OpIndex op = build(node, ops, scratch);
    ops_.emplace(parts, op);
    return op;
  }
  template <class Node>
  static OpIndex build(const Node& node, OpTable& ops, std::string& scratch) {
    scratch.clear();
    append_identity_key(scratch, node);
    return ops.intern(scratch);
  }

 private:
  struct Parts {
    NodeKind kind;
    std::uint32_t name;
    std::span<const std::uint32_t> params;
  };
  // Parameters come from the caller's graph, so the cache draws its own seed.
  struct PartsHash {
    std::uint64_t seed;
    std::size_t operator()(const Parts& p) const {
      HashBuilder h(seed);
      h.add((std::uint64_t{p.name} << 8) | static_cast<std::uint64_t>(p.kind));
      h.add(p.params.size());
      for (std::uint32_t w : p.params) h.add(w);
      return h.finish();
    }
  };
  struct PartsEqual {
    bool operator()(const Parts& a, const Parts& b) const {
      return a.kind == b.kind && a.name == b.name &&
             std::equal(a.params.begin(), a.params.end(), b.params.begin(), b.params.end());
    }
  };
  boost::unordered_flat_map<Parts, OpIndex, PartsHash, PartsEqual> ops_{0, PartsHash{support::random_seed()}};
};

// Records carry texts, not ids: their keys are built every time.
class RecordKeys {
 public:
  OpIndex op_of(const RecordRef& node, OpTable& ops, std::string& scratch) {
    return KeyCache::build(node, ops, scratch);
  }
};

RecordRef node_at(std::span<const NodeRecord> nodes, NodeId id) { return RecordRef(nodes[id]); }
NodeRef node_at(const NodesView& nodes, NodeId id) { return nodes[id]; }

// `Nodes` is a span of records or a view of a store's nodes; both are read
// through the same node interface, and only the prototypes are copied out.
template <class Nodes>
ReductionResult reduce(const Nodes& nodes, std::span<const NodeId> outputs, const RewriteEngine& engine,
                       bool maximal_fusion, ReductionTimings* timings) {
  Laps laps(timings);
  const std::size_t n = nodes.size();

  // 1. Dead-code elimination: the live nodes and their dense live indices.
  const LiveNodes live = find_live_nodes(nodes, outputs);
  laps.lap(&ReductionTimings::dead_code);

  // 2, 3. Engine terms, their ops the identity keys, children the live
  // inputs. The first live node of every key is its prototype; fusion
  // re-creates only boundary terms from one, so only those are copied out.
  EngineInput input;
  input.terms.reserve(live.kept.size());
  PrototypeTable prototypes;
  std::deque<NodeRecord> prototype_records;
  std::string key;
  std::conditional_t<std::is_same_v<Nodes, NodesView>, KeyCache, RecordKeys> keys;
  for (NodeId id : live.kept) {
    const auto node = node_at(nodes, id);
    EngineTerm term;
    term.op = keys.op_of(node, input.ops, key);
    const auto inputs = node.inputs();
    term.children.reserve(inputs.size());
    for (NodeId in : inputs) term.children.push_back(live.remap[in]);
    term.opaque = node.kind() != NodeKind::Op;
    if (term.op >= prototypes.size()) prototypes.resize(term.op + 1, nullptr);
    if (term.opaque && prototypes[term.op] == nullptr) {
      prototype_records.push_back(
          to_record(WithInputs(node, std::span<const NodeId>(term.children.begin(), term.children.end()))));
      prototypes[term.op] = &prototype_records.back();
    }
    input.terms.push_back(std::move(term));
  }
  input.roots = live.outputs;
  laps.lap(&ReductionTimings::terms);

  // 4. Rewriting.
  EngineOutput rewritten = engine.rewrite(input);
  laps.lap(&ReductionTimings::engine);
  const std::size_t m = rewritten.terms.size();
  if (rewritten.node_map.size() != input.terms.size() || rewritten.roots.size() != input.roots.size()) {
    fatal("rewrite engine answered " + std::to_string(rewritten.node_map.size()) + " map entries for " +
          std::to_string(input.terms.size()) + " terms");
  }

  // 5. Common-subexpression elimination over the engine's terms, in order.
  std::vector<EngineTerm> canonical;
  canonical.reserve(m);
  std::vector<std::uint64_t> canon(m);
  TermIndex<CseHash, CseEqual> cse_index(m, CseHash{&canonical}, CseEqual{&canonical});
  for (std::size_t j = 0; j < m; ++j) {
    EngineTerm& term = rewritten.terms[j];
    for (std::uint64_t& c : term.children) {
      if (c >= j) index_out_of_bounds(j, c);
      c = canon[c];
    }
    const std::uint64_t anchor =
        term.children.empty() ? TermIndex<CseHash, CseEqual>::kLeaf : term.children[0];
    canonical.push_back(std::move(term));
    const std::uint64_t position = canonical.size() - 1;
    const std::uint64_t found = cse_index.find_or_add(position, anchor);
    if (found != position) canonical.pop_back();
    canon[j] = found;
  }
  std::vector<std::uint64_t> canonical_outputs;
  canonical_outputs.reserve(rewritten.roots.size());
  for (std::uint64_t root : rewritten.roots) {
    if (root >= m) index_out_of_bounds(m, root);
    canonical_outputs.push_back(canon[root]);
  }
  laps.lap(&ReductionTimings::cse);

  // 6. Fusion and emission.
  FusionResult fused = fuse_and_emit(input.ops, canonical, canonical_outputs, prototypes, maximal_fusion);

  // 7. Node map: input node -> live term -> engine term -> canonical -> landing.
  ReductionResult result;
  result.node_map.reserve(n);
  for (std::size_t p = 0; p < n; ++p) {
    const NodeId at = live.remap[p];
    if (at == kDroppedNode) {
      result.node_map.emplace_back(std::nullopt);
      continue;
    }
    const std::uint64_t term = rewritten.node_map[at];
    if (term >= m) index_out_of_bounds(m, term);
    result.node_map.emplace_back(fused.landing[canon[term]]);
  }

  // 8. Report.
  result.report.input_nodes = n;
  result.report.reachable_nodes = live.kept.size();
  result.report.canonical_nodes = canonical.size();
  result.report.stages = fused.stages;
  result.report.boundary_nodes = fused.boundary_nodes;
  result.report.reduced_nodes = fused.nodes.size();
  result.nodes = std::move(fused.nodes);
  result.outputs = std::move(fused.outputs);
  laps.lap(&ReductionTimings::fusion);
  return result;
}

Result<StoreReduction, BadNodeId> reduce_snapshot(const Store& source, std::optional<std::span<const NodeId>> outputs,
                                                  bool maximal_fusion, ReductionTimings* timings) {
  const SaturationEngine engine;
  Laps laps(timings);
  // The only read of the source: one copy of its nodes (and marks) under its
  // mutex, then everything works on the copy.
  NodesView nodes;
  std::vector<NodeId> marks;
  if (outputs) {
    Result<NodesView, BadNodeId> view = source.snapshot_for_outputs(*outputs);
    if (!view.ok()) return view.error();
    nodes = std::move(view.value());
  } else {
    Snapshot snapshot = source.snapshot();
    nodes = std::move(snapshot.nodes);
    marks = std::move(snapshot.outputs);
  }
  const std::span<const NodeId> wanted = outputs ? *outputs : std::span<const NodeId>(marks);
  laps.lap(&ReductionTimings::snapshot);

  ReductionResult result = reduce(nodes, wanted, engine, maximal_fusion, timings);
  Laps build_laps(timings);
  StoreReduction reduced{build_reduced_store(result.nodes, result.outputs, std::move(result.node_map)),
                         result.report};
  build_laps.lap(&ReductionTimings::store_build);
  return reduced;
}

}  // namespace

ReductionResult reduce_graph(std::span<const NodeRecord> nodes, std::span<const NodeId> outputs,
                             const RewriteEngine& engine, bool maximal_fusion) {
  return reduce(nodes, outputs, engine, maximal_fusion, nullptr);
}

ReductionResult reduce_graph(std::span<const NodeRecord> nodes, std::span<const NodeId> outputs,
                             const RewriteEngine& engine, bool maximal_fusion, ReductionTimings& timings) {
  return reduce(nodes, outputs, engine, maximal_fusion, &timings);
}

ReductionResult reduce_graph(const NodesView& nodes, std::span<const NodeId> outputs, const RewriteEngine& engine,
                             bool maximal_fusion) {
  return reduce(nodes, outputs, engine, maximal_fusion, nullptr);
}

Result<StoreReduction, BadNodeId> reduce_store(const Store& source, std::optional<std::span<const NodeId>> outputs,
                                               bool maximal_fusion) {
  return reduce_snapshot(source, outputs, maximal_fusion, nullptr);
}

Result<StoreReduction, BadNodeId> reduce_store(const Store& source, std::optional<std::span<const NodeId>> outputs,
                                               bool maximal_fusion, ReductionTimings& timings) {
  return reduce_snapshot(source, outputs, maximal_fusion, &timings);
}

}  // namespace weftory::optimizer

// An index of a node table's ids, hashed and compared through the table: it
// holds 32-bit ids only, each node's hash is kept in a column beside the
// table (so growing the index never rehashes a node), and a node being looked
// up travels as a NodeProbe with its hash computed once, so a look-up reads
// no more than the stored nodes it meets.
#pragma once

#include <cstdint>
#include <memory>

#include <boost/unordered/unordered_flat_set.hpp>

#include "store/node_table.hpp"
#include "store/node_view.hpp"
#include "support/stable_vector.hpp"

namespace weftory::store {

template <class Node>
struct NodeProbe {
  const Node& node;
  std::uint64_t hash;
};

struct NodeIdHash {
  using is_transparent = void;
  using is_avalanching = void;
  const support::StableVector<std::uint64_t>* hashes = nullptr;
  std::size_t operator()(std::uint32_t id) const { return (*hashes)[id]; }
  template <class Node>
  std::size_t operator()(const NodeProbe<Node>& p) const {
    return p.hash;
  }
};

struct NodeIdEqual {
  using is_transparent = void;
  const std::shared_ptr<NodeTable>* table = nullptr;
  const support::StableVector<std::uint64_t>* hashes = nullptr;
  // Two stored ids meet only when an index is built from nodes already
  // stored, where nearly every call is a collision of the index's short
  // tags: the full hashes tell those apart with one read.
  bool operator()(std::uint32_t a, std::uint32_t b) const {
    return a == b || ((*hashes)[a] == (*hashes)[b] && same_node((*table)->node(a), (*table)->node(b)));
  }
  template <class Node>
  bool operator()(const NodeProbe<Node>& p, std::uint32_t b) const {
    return same_node(p.node, (*table)->node(b));
  }
  template <class Node>
  bool operator()(std::uint32_t a, const NodeProbe<Node>& p) const {
    return same_node(p.node, (*table)->node(a));
  }
};

using NodeIndex = boost::unordered_flat_set<std::uint32_t, NodeIdHash, NodeIdEqual>;

}  // namespace weftory::store

// The interned, append-only, mutex-guarded arena of a GraphStore.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "store/node.hpp"
#include "store/node_index.hpp"
#include "store/node_table.hpp"
#include "store/reduced_nodes.hpp"
#include "store/node_view.hpp"
#include "support/fatal.hpp"
#include "support/poison.hpp"
#include "support/result.hpp"
#include "support/short_mutex.hpp"
#include "support/stable_vector.hpp"

namespace weftory::store {

// The store's one ordinary error: an id not smaller than the node count.
struct BadNodeId {
  NodeId id;
  friend bool operator==(const BadNodeId&, const BadNodeId&) = default;
};

// Where a node of the graph a pass read landed in the pass's store.
struct Landing {
  NodeId reduced_id = 0;
  std::optional<std::uint64_t> member;
  friend bool operator==(const Landing&, const Landing&) = default;
};
// nullopt: dropped.
using NodeMapEntry = std::optional<Landing>;

// A read-only view of the nodes [first, first + size()) of a store's table,
// valid without the store's mutexes and for as long as the view lives: stored
// nodes never change or move, and the table only ever writes above the
// length any view was given. Taking a view costs one reference, not a copy.
// A view is made under the store's append mutex; copies of it may be made anywhere.
class NodesView {
 public:
  class iterator {
   public:
    using value_type = NodeRef;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const NodeTable* table, std::size_t id) : table_(table), id_(id) {}
    NodeRef operator*() const { return table_->node(id_); }
    iterator& operator++() {
      ++id_;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++id_;
      return old;
    }
    friend bool operator==(const iterator& a, const iterator& b) { return a.id_ == b.id_; }

   private:
    const NodeTable* table_ = nullptr;
    std::size_t id_ = 0;
  };
  using value_type = NodeRef;
  using const_iterator = iterator;

  NodesView() = default;
  NodesView(std::shared_ptr<const NodeTable> table, std::size_t first, std::size_t size)
      : table_(std::move(table)), first_(first), size_(size) {}

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The store id of the view's first node.
  std::size_t first_id() const { return first_; }
  iterator begin() const { return {table_.get(), first_}; }
  iterator end() const { return {table_.get(), first_ + size_}; }
  NodeRef operator[](std::size_t i) const { return table_->node(first_ + i); }
  NodeRef at(std::size_t i) const;
  const NodeTable* table() const { return table_.get(); }
  // Owning copies of the viewed nodes, for passes that change them.
  std::vector<NodeRecord> to_vector() const;

  friend bool operator==(const NodesView& a, const NodesView& b);
  friend bool operator==(const NodesView& a, const std::vector<NodeRecord>& b);

 private:
  std::shared_ptr<const NodeTable> table_;
  std::size_t first_ = 0;
  std::size_t size_ = 0;
};

struct Snapshot {
  NodesView nodes;
  std::vector<NodeId> outputs;
};

inline constexpr const char* kPoisonedMessage = "weftory-core store mutex poisoned";

// Threads: every operation but the interning insert takes the append mutex
// for one short critical section. The interning index is split into shards
// by hash, each with its own mutex, so an insert that finds its node takes
// only its shard's mutex, and one that adds a node takes its shard's and,
// inside it, the append mutex for the append alone (always in that order).
// Two threads adding equal nodes meet in the same shard: the node is stored
// once and both get its id. A fatal error under any of these mutexes
// poisons the whole store for good.
class Store {
 public:
  Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // The interning insert: the id of an equal node if present, else a new id.
  support::Result<NodeId, BadNodeId> add_node(const NodeRecord& record) { return add(RecordRef(record)); }
  // The same for any node behind the read interface (node_view.hpp).
  template <class Node>
  support::Result<NodeId, BadNodeId> add(const Node& node);
  // Makes room in the interning index for `nodes` more nodes, so that a bulk
  // load (a blob being read) never rehashes part-way.
  void reserve(std::size_t nodes);

  // The bulk load of a new store that nobody else can see yet (a blob being
  // read): load() appends a node whose inputs are ids below the count, with
  // no mutex and no look-up, and returns its id; index_loaded() then builds
  // the interning index once, shard by shard at each shard's final size,
  // which costs a fraction of one random probe per node. It returns false
  // when two loaded nodes are equal: the store then holds both and must be
  // thrown away (the caller reads again through the interning insert, which
  // collapses them). Only for a store that nothing was added to otherwise.
  template <class Node>
  NodeId load(const Node& node);
  [[nodiscard]] bool index_loaded();
  // The text pool of a store nobody else can see yet. A blob reader interns
  // each distinct text there once, as it first meets it, and hands load()
  // and add() nodes that carry their texts' ids (PooledNode).
  TextPool& texts_for_load() { return table_->texts(); }
  // Marks id as an output once; a repeated mark changes nothing.
  support::Result<void, BadNodeId> mark_output(NodeId id);
  std::uint64_t node_count() const;
  Snapshot snapshot() const;
  // A view of all nodes, then ids checked in order against the view's length.
  support::Result<NodesView, BadNodeId> snapshot_for_outputs(std::span<const NodeId> ids) const;
  // The nodes from min(watermark, count) to the end.
  NodesView nodes_since(std::uint64_t watermark) const;
  std::vector<NodeId> outputs_copy() const;
  std::vector<NodeMapEntry> node_map_copy() const;

  // Runs f(nodes, outputs) under the append mutex, reading the table in place. f must
  // not touch Python. An exception escaping f poisons the mutex.
  template <class F>
  decltype(auto) read_locked(F&& f) const {
    return locked([&]() -> decltype(auto) {
      const NodesView nodes(table_, 0, table_->size());
      return f(nodes, std::as_const(outputs_));
    });
  }

  bool poisoned() const;

 private:
  friend std::unique_ptr<Store> build_reduced_store(std::vector<NodeRecord> nodes, std::span<const NodeId> outputs,
                                                     std::vector<NodeMapEntry> node_map);
  friend void install_node_map(Store& store, std::vector<NodeMapEntry> node_map);

  // Appends `node`, whose hash is `hash`, to the table and the hash column;
  // on failure both hold what they held before. Caller: add under the
  // append mutex, or load on a store nobody else sees.
  template <class Node>
  NodeId append(const Node& node, std::uint64_t hash);

  // Runs f under `mutex`, one of the store's; see PoisonFlag for what a
  // failure inside does to the store.
  template <class F>
  decltype(auto) guarded(support::ShortMutex& mutex, F&& f) const {
    return poison_.locked(mutex, std::forward<F>(f));
  }
  // Runs f under the append mutex.
  template <class F>
  decltype(auto) locked(F&& f) const {
    return guarded(mutex_, std::forward<F>(f));
  }

  using Index = NodeIndex;
  // One part of the interning index: the ids whose hash has its bits. Each
  // shard has cache lines of its own, so threads busy in different shards
  // do not slow each other down; its lock word has a line apart from the
  // table's header, which look-ups that find their node only read, so
  // taking the lock does not take that line from another core's cache.
  struct alignas(64) Shard {
    mutable support::ShortMutex mutex;
    alignas(64) Index ids;
  };
  static constexpr std::size_t kShards = 16;
  // The bits above the index's control byte and far below those its
  // positions use, so a shard's ids still spread over its whole table.
  static std::size_t shard_of(std::uint64_t hash) { return (hash >> 8) % kShards; }

  // Read-mostly: the seed and the poisoned flag, which every operation reads.
  std::uint64_t seed_;
  support::PoisonFlag poison_{kPoisonedMessage, true};
  std::array<Shard, kShards> shards_;
  // The append mutex alone on its line, so that threads waiting on it do not
  // pull in the lines its holder writes.
  alignas(64) mutable support::ShortMutex mutex_;
  // Guarded by the append mutex.
  alignas(64) std::shared_ptr<NodeTable> table_;
  support::StableVector<std::uint64_t> hashes_;
  std::vector<NodeId> outputs_;
  boost::unordered_flat_set<NodeId> marked_;
  std::vector<NodeMapEntry> node_map_;
};

template <class Node>
support::Result<NodeId, BadNodeId> Store::add(const Node& node) {
  // Hash outside the critical section: it depends on the node alone.
  const std::uint64_t hash = hash_node(node, seed_);
  Shard& shard = shards_[shard_of(hash)];
  return guarded(shard.mutex, [&]() -> support::Result<NodeId, BadNodeId> {
    // A stored node's inputs are all older than it, so a node found needs no
    // input check: its inputs are valid whatever the count is now.
    auto hit = shard.ids.find(NodeProbe<Node>{node, hash});
    if (hit != shard.ids.end()) return NodeId{*hit};
    // Room for the new id first: once the node is appended, other threads
    // may append after it, so it could no longer be taken back.
    if (shard.ids.size() >= shard.ids.max_load()) shard.ids.reserve(2 * shard.ids.size() + 16);
    support::Result<NodeId, BadNodeId> added = locked([&]() -> support::Result<NodeId, BadNodeId> {
      const NodeId count = table_->size();
      for (NodeId input : node.inputs()) {
        if (input >= count) return BadNodeId{input};
      }
      return append(node, hash);
    });
    if (added.ok()) shard.ids.insert(static_cast<std::uint32_t>(added.value()));
    return added;
  });
}

template <class Node>
NodeId Store::load(const Node& node) {
  return append(node, hash_node(node, seed_));
}

template <class Node>
NodeId Store::append(const Node& node, std::uint64_t hash) {
  const std::uint32_t id = table_->append(node);
  // An allocation failure from here on takes the node back.
  try {
    hashes_.push_back(hash);
  } catch (...) {
    table_->pop_back();
    throw;
  }
  return NodeId{id};
}

std::unique_ptr<Store> new_store();

// The fatal error of a pass whose result the store refused: `what`, ": " and
// the refusal's debug form, e.g. "reduced output is valid: BadNodeId(7)".
[[noreturn]] void fatal_bad_node_id(std::string_view what, BadNodeId bad);

// A new store holding a pass result: `nodes` refer to earlier positions of the
// same vector; `outputs` and the reduced ids of `node_map` are positions too.
std::unique_ptr<Store> build_reduced_store(std::vector<NodeRecord> nodes, std::span<const NodeId> outputs,
                                           std::vector<NodeMapEntry> node_map);
std::unique_ptr<Store> build_reduced_store(const ReducedNodes& nodes, std::span<const NodeId> outputs,
                                           std::vector<NodeMapEntry> node_map);

// Sets the node map of a store nobody else can see yet.
void install_node_map(Store& store, std::vector<NodeMapEntry> node_map);

}  // namespace weftory::store

// The interned, append-only, mutex-guarded arena of a GraphStore.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "store/fatal.hpp"
#include "store/node.hpp"

namespace weftory {

// The store's one ordinary error: an id not smaller than the node count.
struct BadNodeId {
  NodeId id;
  friend bool operator==(const BadNodeId&, const BadNodeId&) = default;
};

// Either a value or a BadNodeId.
template <class T>
class [[nodiscard]] StoreResult {
 public:
  StoreResult(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
  StoreResult(BadNodeId error) : v_(error) {}     // NOLINT: implicit by design
  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  BadNodeId error() const { return std::get<1>(v_); }

 private:
  std::variant<T, BadNodeId> v_;
};

// Where a node of the graph a pass read landed in the pass's store.
struct Landing {
  NodeId reduced_id = 0;
  std::optional<std::uint64_t> member;
  friend bool operator==(const Landing&, const Landing&) = default;
};
// nullopt: dropped.
using NodeMapEntry = std::optional<Landing>;

// One generation of a store's arena: the records, and how many views read
// them. The count is what lets the store move records out of a generation it
// outgrows: with no view left (an acquire load that pairs with each view's
// release on destruction) nobody can still be reading them.
struct ArenaGeneration {
  std::vector<NodeRecord> records;
  mutable std::atomic<std::size_t> views{0};
};

// A read-only view of the first size() records of a store's arena, valid
// without the store's mutex and for as long as the view lives. Records never
// change once appended, and a generation is never modified below the length
// any view was given, so taking a view costs one reference, not a copy of
// the records. A view is made under the store's mutex; copies of it may be
// made anywhere, since the one copied keeps the generation counted.
class NodesView {
 public:
  using value_type = NodeRecord;
  using const_iterator = const NodeRecord*;

  NodesView() = default;
  NodesView(std::shared_ptr<const ArenaGeneration> generation, std::size_t size)
      : generation_(std::move(generation)), size_(size) {
    if (generation_) {
      generation_->views.fetch_add(1, std::memory_order_relaxed);
      data_ = generation_->records.data();
    }
  }
  NodesView(const NodesView& other) : NodesView(other.generation_, other.size_) {}
  NodesView(NodesView&& other) noexcept
      : generation_(std::move(other.generation_)),
        data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)) {}
  NodesView& operator=(NodesView other) noexcept {
    std::swap(generation_, other.generation_);
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~NodesView() {
    if (generation_) generation_->views.fetch_sub(1, std::memory_order_release);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const NodeRecord* data() const { return data_; }
  const NodeRecord* begin() const { return data_; }
  const NodeRecord* end() const { return data_ + size_; }
  const NodeRecord& operator[](std::size_t i) const { return data_[i]; }
  const NodeRecord& at(std::size_t i) const;
  std::span<const NodeRecord> span() const { return {data_, size_}; }
  operator std::span<const NodeRecord>() const { return span(); }  // NOLINT: a view is a span
  // A deep copy of the viewed records, for passes that change them.
  std::vector<NodeRecord> to_vector() const { return {begin(), end()}; }

  friend bool operator==(const NodesView& a, const NodesView& b);
  friend bool operator==(const NodesView& a, const std::vector<NodeRecord>& b);

 private:
  std::shared_ptr<const ArenaGeneration> generation_;
  const NodeRecord* data_ = nullptr;
  std::size_t size_ = 0;
};

struct Snapshot {
  NodesView nodes;
  std::vector<NodeId> outputs;
};

inline constexpr const char* kPoisonedMessage = "weftory-core store mutex poisoned";

class Store {
 public:
  Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // The interning insert: the id of an equal node if present, else a new id.
  StoreResult<NodeId> add_node(NodeRecord record);
  // Marks id as an output once; a repeated mark changes nothing.
  std::optional<BadNodeId> mark_output(NodeId id);
  std::uint64_t node_count() const;
  Snapshot snapshot() const;
  // A copy of all nodes, then ids checked in order against the copy's length.
  StoreResult<NodesView> snapshot_for_outputs(std::span<const NodeId> ids) const;
  std::vector<NodeRecord> nodes_since(std::uint64_t watermark) const;
  std::vector<NodeId> outputs_copy() const;
  std::vector<NodeMapEntry> node_map_copy() const;

  // Runs f(nodes, outputs) under the mutex, reading the arena in place. f must
  // not touch Python. An exception escaping f poisons the mutex.
  template <class F>
  decltype(auto) read_locked(F&& f) const {
    return locked([&]() -> decltype(auto) { return f(std::as_const(arena_->records), std::as_const(outputs_)); });
  }

  bool poisoned() const;

 private:
  friend std::unique_ptr<Store> build_reduced_store(std::vector<NodeRecord> nodes, std::span<const NodeId> outputs,
                                                     std::vector<NodeMapEntry> node_map);

  // Runs f under the mutex. A poisoned mutex fails at once; an exception
  // escaping f poisons it for good, except an allocation failure, after
  // which every operation leaves the state as it was.
  template <class F>
  decltype(auto) locked(F&& f) const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (poisoned_) fatal(std::string(kPoisonedMessage) + ": " + poison_reason_);
    try {
      return f();
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& e) {
      poisoned_ = true;
      poison_reason_ = std::string("a previous operation failed while holding it (") + e.what() + ")";
      throw;
    }
  }

  // Appends to the arena, moving to a larger generation when it is full:
  // records move when no view holds the old generation, and are copied when
  // one does, so views never see their records change.
  void append(NodeRecord&& record);

  // The interning index holds ids only; hashes and equality go through the
  // arena, so no record is stored twice. Each node's hash is kept beside it
  // so that growing the index never rehashes a record. Two ids are equal
  // keys when their records are equal: a new record is appended first and
  // then inserted by its id, one probe for the look-up and the insert.
  struct IndexHash {
    const Store* store;
    std::size_t operator()(NodeId id) const { return store->hashes_[id]; }
  };
  struct IndexEqual {
    const Store* store;
    bool operator()(NodeId a, NodeId b) const {
      return a == b || store->arena_->records[a] == store->arena_->records[b];
    }
  };

  mutable std::mutex mutex_;
  mutable bool poisoned_ = false;
  mutable std::string poison_reason_;
  std::uint64_t seed_;
  std::shared_ptr<ArenaGeneration> arena_;
  std::vector<std::uint64_t> hashes_;
  std::vector<NodeId> outputs_;
  boost::unordered_flat_set<NodeId> marked_;
  std::vector<NodeMapEntry> node_map_;
  boost::unordered_flat_set<NodeId, IndexHash, IndexEqual> intern_;
};

std::unique_ptr<Store> new_store();

// A new store holding a pass result: `nodes` refer to earlier positions of the
// same vector; `outputs` and the reduced ids of `node_map` are positions too.
std::unique_ptr<Store> build_reduced_store(std::vector<NodeRecord> nodes, std::span<const NodeId> outputs,
                                           std::vector<NodeMapEntry> node_map);

}  // namespace weftory

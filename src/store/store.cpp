#include "store/store.hpp"

#include <algorithm>
#include <iterator>
#include <random>
#include <stdexcept>

namespace weftory {

namespace {

std::uint64_t random_seed() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  return generator();
}

}  // namespace

const NodeRecord& NodesView::at(std::size_t i) const {
  if (i >= size_) throw std::out_of_range("NodesView::at: index " + std::to_string(i) + " out of range");
  return data()[i];
}

bool operator==(const NodesView& a, const NodesView& b) { return std::ranges::equal(a, b); }

bool operator==(const NodesView& a, const std::vector<NodeRecord>& b) { return std::ranges::equal(a, b); }

Store::Store()
    : seed_(random_seed()),
      arena_(std::make_shared<ArenaGeneration>()),
      intern_(0, IndexHash{this}, IndexEqual{this}) {}

void Store::append(NodeRecord&& record) {
  std::vector<NodeRecord>& records = arena_->records;
  if (records.size() == records.capacity()) {
    auto next = std::make_shared<ArenaGeneration>();
    next->records.reserve(std::max<std::size_t>(16, records.capacity() * 2));
    // Views are made under the mutex, which is held here, so with none left
    // nobody can be reading this generation any more.
    if (arena_->views.load(std::memory_order_acquire) == 0) {
      std::move(records.begin(), records.end(), std::back_inserter(next->records));
    } else {
      next->records.insert(next->records.end(), records.begin(), records.end());
    }
    arena_ = std::move(next);
  }
  arena_->records.push_back(std::move(record));
}

StoreResult<NodeId> Store::add_node(NodeRecord record) {
  // Hash outside the critical section: it depends on the record alone.
  const std::uint64_t hash = hash_record(record, seed_);
  return locked([&]() -> StoreResult<NodeId> {
    const NodeId count = arena_->records.size();
    for (NodeId input : record.inputs) {
      if (input >= count) return BadNodeId{input};
    }
    // Append, then insert the new id: an equal record already indexed makes
    // the insert answer its id, and the appended copy is taken back. An
    // allocation failure part-way also takes back what was appended.
    append(std::move(record));
    try {
      hashes_.push_back(hash);
      auto [position, inserted] = intern_.insert(count);
      if (inserted) return count;
      const NodeId existing = *position;
      hashes_.pop_back();
      arena_->records.pop_back();
      return existing;
    } catch (...) {
      if (hashes_.size() > count) hashes_.pop_back();
      arena_->records.pop_back();
      throw;
    }
  });
}

std::optional<BadNodeId> Store::mark_output(NodeId id) {
  return locked([&]() -> std::optional<BadNodeId> {
    if (id >= arena_->records.size()) return BadNodeId{id};
    // A set beside the list keeps marking constant-time however many
    // outputs a store has (a cone or a blob may mark thousands).
    if (!marked_.insert(id).second) return std::nullopt;
    try {
      outputs_.push_back(id);
    } catch (...) {
      marked_.erase(id);
      throw;
    }
    return std::nullopt;
  });
}

std::uint64_t Store::node_count() const {
  return locked([&] { return static_cast<std::uint64_t>(arena_->records.size()); });
}

Snapshot Store::snapshot() const {
  return locked([&] { return Snapshot{NodesView(arena_, arena_->records.size()), outputs_}; });
}

StoreResult<NodesView> Store::snapshot_for_outputs(std::span<const NodeId> ids) const {
  NodesView copy = locked([&] { return NodesView(arena_, arena_->records.size()); });
  for (NodeId id : ids) {
    if (id >= copy.size()) return BadNodeId{id};
  }
  return copy;
}

std::vector<NodeRecord> Store::nodes_since(std::uint64_t watermark) const {
  return locked([&] {
    const std::vector<NodeRecord>& arena = arena_->records;
    const std::size_t start = watermark < arena.size() ? static_cast<std::size_t>(watermark) : arena.size();
    return std::vector<NodeRecord>(arena.begin() + static_cast<std::ptrdiff_t>(start), arena.end());
  });
}

std::vector<NodeId> Store::outputs_copy() const {
  return locked([&] { return outputs_; });
}

std::vector<NodeMapEntry> Store::node_map_copy() const {
  return locked([&] { return node_map_; });
}

bool Store::poisoned() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return poisoned_;
}

std::unique_ptr<Store> new_store() { return std::make_unique<Store>(); }

std::unique_ptr<Store> build_reduced_store(std::vector<NodeRecord> nodes, std::span<const NodeId> outputs,
                                           std::vector<NodeMapEntry> node_map) {
  auto store = new_store();
  std::vector<NodeId> store_id;
  store_id.reserve(nodes.size());
  for (std::size_t position = 0; position < nodes.size(); ++position) {
    NodeRecord& record = nodes[position];
    for (NodeId& input : record.inputs) {
      if (input >= position) fatal("index out of bounds: reduced node " + std::to_string(position) +
                                   " refers to position " + std::to_string(input));
      input = store_id[input];
    }
    auto added = store->add_node(std::move(record));
    if (!added.ok()) fatal("reduced graph references only earlier nodes");
    store_id.push_back(added.value());
  }
  for (NodeId position : outputs) {
    if (position >= store_id.size() || store->mark_output(store_id[position]).has_value()) {
      fatal("reduced output is valid");
    }
  }
  for (NodeMapEntry& entry : node_map) {
    if (!entry) continue;
    if (entry->reduced_id >= store_id.size()) {
      fatal("index out of bounds: node map refers to position " + std::to_string(entry->reduced_id));
    }
    entry->reduced_id = store_id[entry->reduced_id];
  }
  store->locked([&] { store->node_map_ = std::move(node_map); });
  return store;
}

}  // namespace weftory

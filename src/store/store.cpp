#include "store/store.hpp"

#include <random>

namespace weftory {

namespace {

std::uint64_t random_seed() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  return generator();
}

}  // namespace

Store::Store() : seed_(random_seed()), intern_(0, IndexHash{this}, IndexEqual{this}) {}

StoreResult<NodeId> Store::add_node(NodeRecord record) {
  // Hash outside the critical section: it depends on the record alone.
  const std::uint64_t hash = hash_record(record, seed_);
  return locked([&]() -> StoreResult<NodeId> {
    const NodeId count = nodes_.size();
    for (NodeId input : record.inputs) {
      if (input >= count) return BadNodeId{input};
    }
    auto hit = intern_.find(HashedRecord{record, hash});
    if (hit != intern_.end()) return *hit;
    // An allocation failure part-way leaves the arena, the hashes and the
    // index in step: what was appended is taken back before it propagates.
    nodes_.push_back(std::move(record));
    try {
      hashes_.push_back(hash);
      intern_.insert(count);
    } catch (...) {
      if (hashes_.size() > count) hashes_.pop_back();
      nodes_.pop_back();
      throw;
    }
    return count;
  });
}

std::optional<BadNodeId> Store::mark_output(NodeId id) {
  return locked([&]() -> std::optional<BadNodeId> {
    if (id >= nodes_.size()) return BadNodeId{id};
    for (NodeId marked : outputs_) {
      if (marked == id) return std::nullopt;
    }
    outputs_.push_back(id);
    return std::nullopt;
  });
}

std::uint64_t Store::node_count() const {
  return locked([&] { return static_cast<std::uint64_t>(nodes_.size()); });
}

Snapshot Store::snapshot() const {
  return locked([&] { return Snapshot{nodes_, outputs_}; });
}

StoreResult<std::vector<NodeRecord>> Store::snapshot_for_outputs(std::span<const NodeId> ids) const {
  std::vector<NodeRecord> copy = locked([&] { return nodes_; });
  for (NodeId id : ids) {
    if (id >= copy.size()) return BadNodeId{id};
  }
  return copy;
}

std::vector<NodeRecord> Store::nodes_since(std::uint64_t watermark) const {
  return locked([&] {
    const std::size_t start = watermark < nodes_.size() ? static_cast<std::size_t>(watermark) : nodes_.size();
    return std::vector<NodeRecord>(nodes_.begin() + static_cast<std::ptrdiff_t>(start), nodes_.end());
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

#include "store/store.hpp"

#include <algorithm>
#include <random>
#include <stdexcept>
#include <thread>

#include "support/hash.hpp"

namespace weftory::store {

using support::Result;
using support::fatal;
using support::random_seed;

NodeRef NodesView::at(std::size_t i) const {
  if (i >= size_) throw std::out_of_range("NodesView::at: index " + std::to_string(i) + " out of range");
  return (*this)[i];
}

std::vector<NodeRecord> NodesView::to_vector() const {
  std::vector<NodeRecord> out;
  out.reserve(size_);
  for (NodeRef node : *this) out.push_back(to_record(node));
  return out;
}

bool operator==(const NodesView& a, const NodesView& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_node(a[i], b[i])) return false;
  }
  return true;
}

bool operator==(const NodesView& a, const std::vector<NodeRecord>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_node(a[i], RecordRef(b[i]))) return false;
  }
  return true;
}

Store::Store() : seed_(random_seed()), table_(std::make_shared<NodeTable>()) {
  for (Shard& shard : shards_) shard.ids = Index(0, NodeIdHash{&hashes_}, NodeIdEqual{&table_, &hashes_});
}


void Store::reserve(std::size_t nodes) {
  // Hashes spread evenly over the shards; a little slack absorbs the spread.
  const std::size_t per_shard = nodes / kShards + nodes / (4 * kShards) + 16;
  for (Shard& shard : shards_) {
    guarded(shard.mutex, [&] {
      // Grown only, and then at least doubled, so that reserving before
      // each of many bulk loads stays linear in all (and never shrinks).
      const std::size_t needed = shard.ids.size() + per_shard;
      if (needed > shard.ids.max_load()) shard.ids.reserve(std::max(needed, 2 * shard.ids.size()));
    });
  }
}

bool Store::index_loaded() {
  const std::size_t count = table_->size();
  // The ids grouped by shard, in id order within each (a counting sort), so
  // that each shard's table is filled while it alone is in the cache.
  std::array<std::size_t, kShards + 1> start{};
  for (std::size_t id = 0; id < count; ++id) ++start[shard_of(hashes_[id]) + 1];
  for (std::size_t s = 0; s < kShards; ++s) start[s + 1] += start[s];
  std::vector<std::uint32_t> by_shard(count);
  std::array<std::size_t, kShards> next{};
  std::copy_n(start.begin(), kShards, next.begin());
  for (std::size_t id = 0; id < count; ++id) by_shard[next[shard_of(hashes_[id])]++] = static_cast<std::uint32_t>(id);
  for (std::size_t s = 0; s < kShards; ++s) {
    Index& ids = shards_[s].ids;
    ids.reserve(ids.size() + (start[s + 1] - start[s]));
    for (std::size_t k = start[s]; k < start[s + 1]; ++k) {
      if (!ids.insert(by_shard[k]).second) return false;
    }
  }
  return true;
}

Result<void, BadNodeId> Store::mark_output(NodeId id) {
  return locked([&]() -> Result<void, BadNodeId> {
    if (id >= table_->size()) return BadNodeId{id};
    // A set beside the list keeps marking constant-time however many
    // outputs a store has (a cone or a blob may mark thousands).
    if (!marked_.insert(id).second) return {};
    try {
      outputs_.push_back(id);
    } catch (...) {
      marked_.erase(id);
      throw;
    }
    return {};
  });
}

std::uint64_t Store::node_count() const {
  return locked([&] { return static_cast<std::uint64_t>(table_->size()); });
}

Snapshot Store::snapshot() const {
  return locked([&] { return Snapshot{NodesView(table_, 0, table_->size()), outputs_}; });
}

Result<NodesView, BadNodeId> Store::snapshot_for_outputs(std::span<const NodeId> ids) const {
  NodesView copy = locked([&] { return NodesView(table_, 0, table_->size()); });
  for (NodeId id : ids) {
    if (id >= copy.size()) return BadNodeId{id};
  }
  return copy;
}

NodesView Store::nodes_since(std::uint64_t watermark) const {
  return locked([&] {
    const std::size_t count = table_->size();
    const std::size_t start = watermark < count ? static_cast<std::size_t>(watermark) : count;
    return NodesView(table_, start, count - start);
  });
}

std::vector<NodeId> Store::outputs_copy() const {
  return locked([&] { return outputs_; });
}

std::vector<NodeMapEntry> Store::node_map_copy() const {
  return locked([&] { return node_map_; });
}

bool Store::poisoned() const { return poison_.poisoned(); }

void fatal_bad_node_id(std::string_view what, BadNodeId bad) {
  fatal(std::string(what) + ": BadNodeId(" + std::to_string(bad.id) + ")");
}

std::unique_ptr<Store> new_store() { return std::make_unique<Store>(); }

namespace {

// Marks the outputs and installs the node map of a store built from a pass
// result; `store_id` maps result positions to store ids (empty: the same).
void finish_reduced_store(Store& store, std::size_t count, std::span<const NodeId> store_id,
                          std::span<const NodeId> outputs, std::vector<NodeMapEntry> node_map) {
  auto id_of = [&](std::uint64_t position) { return store_id.empty() ? position : store_id[position]; };
  for (NodeId position : outputs) {
    if (position >= count) fatal("reduced output is valid");
    if (auto marked = store.mark_output(id_of(position)); !marked) {
      fatal_bad_node_id("reduced output is valid", marked.error());
    }
  }
  for (NodeMapEntry& entry : node_map) {
    if (!entry) continue;
    if (entry->reduced_id >= count) {
      fatal("index out of bounds: node map refers to position " + std::to_string(entry->reduced_id));
    }
    entry->reduced_id = id_of(entry->reduced_id);
  }
  install_node_map(store, std::move(node_map));
}

[[noreturn]] void forward_reference(std::size_t position, NodeId input) {
  fatal("index out of bounds: reduced node " + std::to_string(position) + " refers to position " +
        std::to_string(input));
}

}  // namespace

std::unique_ptr<Store> build_reduced_store(std::vector<NodeRecord> nodes, std::span<const NodeId> outputs,
                                           std::vector<NodeMapEntry> node_map) {
  for (std::size_t position = 0; position < nodes.size(); ++position) {
    for (NodeId input : nodes[position].inputs)
      if (input >= position) forward_reference(position, input);
  }
  // A reduction emits no two equal nodes, so each is loaded under its
  // position with no look-up and the interning index is built once. Should
  // two be equal after all, the nodes go through the interning insert, which
  // gives the later one the earlier one's id.
  auto store = new_store();
  for (const NodeRecord& record : nodes) store->load(RecordRef(record));
  if (store->index_loaded()) {
    finish_reduced_store(*store, nodes.size(), {}, outputs, std::move(node_map));
    return store;
  }
  store = new_store();
  std::vector<NodeId> store_id;
  store_id.reserve(nodes.size());
  for (NodeRecord& record : nodes) {
    for (NodeId& input : record.inputs) input = store_id[input];
    auto added = store->add_node(record);
    if (!added.ok()) fatal_bad_node_id("reduced graph references only earlier nodes", added.error());
    store_id.push_back(added.value());
  }
  finish_reduced_store(*store, nodes.size(), store_id, outputs, std::move(node_map));
  return store;
}

std::unique_ptr<Store> build_reduced_store(const ReducedNodes& nodes, std::span<const NodeId> outputs,
                                           std::vector<NodeMapEntry> node_map) {
  for (std::size_t position = 0; position < nodes.size(); ++position) {
    for (NodeId input : nodes.inputs(position))
      if (input >= position) forward_reference(position, input);
  }
  auto store = new_store();
  for (std::size_t position = 0; position < nodes.size(); ++position)
    nodes.visit(position, [&](const auto& node) { store->load(node); });
  if (!store->index_loaded()) return build_reduced_store(nodes.to_records(), outputs, std::move(node_map));
  finish_reduced_store(*store, nodes.size(), {}, outputs, std::move(node_map));
  return store;
}

void install_node_map(Store& store, std::vector<NodeMapEntry> node_map) {
  store.locked([&] { store.node_map_ = std::move(node_map); });
}

}  // namespace weftory::store

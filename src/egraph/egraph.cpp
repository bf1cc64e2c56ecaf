#include "egraph/egraph.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <utility>

#include "egraph/log.hpp"
#include "support/fatal.hpp"

namespace weftory::egraph {

using support::fatal;
using support::index_out_of_bounds;

// ---------------------------------------------------------------------------
// SymbolLang

SymbolLang::SymbolLang(Symbol op_symbol, std::span<const Id> children)
    : op(op_symbol), size_(static_cast<std::uint32_t>(children.size())) {
  if (size_ > kInline) {
    heap_ = new Id[size_];
    std::memcpy(heap_, children.data(), children.size() * sizeof(Id));
  } else {
    // Nearly every e-node is copied this way, often several times: two
    // plain stores, not a call to memcpy of a length known only at run time.
    inline_[0] = size_ > 0 ? children[0] : 0;
    inline_[1] = size_ > 1 ? children[1] : 0;
  }
}

SymbolLang SymbolLang::with_arity(Symbol op_symbol, std::size_t arity) {
  std::vector<Id> zeros(arity, 0);
  return SymbolLang(op_symbol, zeros);
}

SymbolLang::SymbolLang(const SymbolLang& other) : SymbolLang(other.op, other.children()) {}

void SymbolLang::take_children(SymbolLang& other) noexcept {
  if (size_ > kInline) {
    heap_ = other.heap_;
    other.size_ = 0;
    other.inline_[0] = 0;
    other.inline_[1] = 0;
  } else {
    inline_[0] = other.inline_[0];
    inline_[1] = other.inline_[1];
  }
}

SymbolLang::SymbolLang(SymbolLang&& other) noexcept : op(other.op), size_(other.size_) { take_children(other); }

SymbolLang& SymbolLang::operator=(const SymbolLang& other) {
  if (this != &other) {
    SymbolLang copy(other);
    *this = std::move(copy);
  }
  return *this;
}

SymbolLang& SymbolLang::operator=(SymbolLang&& other) noexcept {
  if (this != &other) {
    release();
    op = other.op;
    size_ = other.size_;
    take_children(other);
  }
  return *this;
}

std::strong_ordering operator<=>(const SymbolLang& a, const SymbolLang& b) {
  if (auto c = a.op <=> b.op; c != 0) return c;
  const auto ac = a.children();
  const auto bc = b.children();
  return std::lexicographical_compare_three_way(ac.begin(), ac.end(), bc.begin(), bc.end());
}

std::string SymbolLang::to_string(const SymbolTable& symbols) const {
  if (size_ == 0) return std::string(symbols.text(op));
  std::string text = "(";
  text += symbols.text(op);
  for (Id child : children()) {
    text += ' ';
    text += std::to_string(child);
  }
  text += ')';
  return text;
}

// ---------------------------------------------------------------------------
// EGraph

namespace {

// Class node lists are short; insertion sort beats the general sort there.
void sort_nodes(ClassNodes& nodes) {
  if (nodes.size() <= 20) {
    for (std::size_t i = 1; i < nodes.size(); ++i) {
      if (!(nodes[i] < nodes[i - 1])) continue;
      SymbolLang moving = std::move(nodes[i]);
      std::size_t j = i;
      do {
        nodes[j] = std::move(nodes[j - 1]);
        --j;
      } while (j > 0 && moving < nodes[j - 1]);
      nodes[j] = std::move(moving);
    }
  } else {
    std::sort(nodes.begin(), nodes.end());
  }
}

// Appends `shorter` to `longer`'s storage; the result is placed in `into`.
// When `into` is the shorter one, the result lists `from`'s elements first.
template <class Vector>
void concat_keeping_longer(Vector& into, Vector& from) {
  if (into.size() < from.size()) std::swap(into, from);
  into.append(std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
  from.clear();
}

}  // namespace

EGraph::EGraph(SymbolTable symbols) : symbols_(std::move(symbols)) {}

void EGraph::reserve(std::size_t nodes) {
  // Rewrites add e-nodes after the first fill; room for twice as many costs
  // only address space until it is used.
  unionfind_.reserve(2 * nodes);
  classes_.reserve(2 * nodes);
  added_.reserve(2 * nodes);
  refiled_at_.reserve(2 * nodes);
  pending_.reserve(nodes);
  dirty_.reserve(nodes);
  memo_.reserve(nodes + nodes / 4);
}

void EGraph::out_of_bounds(Id id) const { index_out_of_bounds(unionfind_.size(), id); }

void EGraph::invalid_id(Id id) { fatal("Invalid id " + std::to_string(id)); }

Id EGraph::find_mut(Id id) {
  if (id >= unionfind_.size()) index_out_of_bounds(unionfind_.size(), id);
  while (unionfind_[id] != id) {
    const Id grandparent = unionfind_[unionfind_[id]];
    unionfind_[id] = grandparent;
    id = grandparent;
  }
  return id;
}

Id EGraph::unionfind_parent(Id id) const {
  if (id >= unionfind_.size()) index_out_of_bounds(unionfind_.size(), id);
  return unionfind_[id];
}

Id EGraph::add(SymbolLang enode) {
  for (Id& child : enode.children()) child = find(child);
  const auto new_id = static_cast<Id>(unionfind_.size());
  // One probe both looks the e-node up and inserts it, so an e-node can never
  // be entered twice under different ids.
  auto [slot, inserted] = memo_.try_emplace(enode, new_id);
  if (!inserted) return slot->second;

  unionfind_.push_back(new_id);
  const auto node_index = static_cast<std::uint32_t>(added_.size());
  // The new e-node is filed under its canonical form, and its class holds it
  // alone, so the next rebuild has nothing to do for either: should one of
  // its children be merged away before then, that merge files the e-node for
  // repair itself (it is among the merged class's parents).
  for (Id child : enode.children()) classes_[find_mut(child)].parents.push_back({node_index, new_id}, parent_blocks_);
  OpClasses& by_op = op_entries_[op_entry(enode.op, enode.arity())];
  by_op.ids.push_back(new_id);
  ++by_op.nodes;
  added_.push_back(enode);
  refiled_at_.push_back(0);
  EClass& eclass = classes_.emplace_back();
  eclass.id = new_id;
  eclass.nodes.push_back(std::move(enode));
  ++class_count_;
  clean_ = false;
  log_lazy(LogLevel::Trace, [&] { return "  ...adding to " + std::to_string(new_id); });
  return new_id;
}

EClass& EGraph::eclass_mut(Id id) {
  const Id root = find_mut(id);
  if (classes_[root].id != root) invalid_id(root);
  return classes_[root];
}

std::uint32_t EGraph::op_entry(Symbol op, std::size_t arity) {
  const std::uint32_t found = find_op_entry(op, arity);
  if (found != kNoOpEntry) return found;
  if (op.index() >= op_heads_.size()) op_heads_.resize(std::size_t{op.index()} + 1, kNoOpEntry);
  const auto at = static_cast<std::uint32_t>(op_entries_.size());
  OpClasses& entry = op_entries_.emplace_back();
  entry.arity = static_cast<std::uint32_t>(arity);
  entry.next = op_heads_[op.index()];
  op_heads_[op.index()] = at;
  return at;
}

void EGraph::mark_ops_stale(const ClassNodes& nodes) {
  for (const SymbolLang& node : nodes) {
    const std::uint32_t at = op_entry(node.op, node.arity());
    OpClasses& entry = op_entries_[at];
    if (!entry.stale) {
      entry.stale = true;
      stale_ops_.push_back(at);
    }
  }
}

bool EGraph::union_(Id a, Id b) {
  clean_ = false;
  Id r1 = find_mut(a);
  Id r2 = find_mut(b);
  if (r1 == r2) return false;
  if (classes_[r1].parents.size() < classes_[r2].parents.size()) std::swap(r1, r2);
  unionfind_[r2] = r1;

  EClass& removed = classes_[r2];
  EClass& kept = classes_[r1];
  if (kept.id != r1) fatal("assertion failed: class id " + std::to_string(kept.id) + " != root " + std::to_string(r1));
  --class_count_;
  for (const ParentEntry& entry : removed.parents) push_pending(entry);
  mark_ops_stale(removed.nodes);
  concat_keeping_longer(kept.nodes, removed.nodes);
  if (kept.parents.size() < removed.parents.size()) kept.parents.swap(removed.parents);
  kept.parents.append(removed.parents.begin(), removed.parents.end(), parent_blocks_);
  removed.parents.release(parent_blocks_);
  removed.nodes.shrink_to_fit();
  dirty_.push_back(r1);
  return true;
}

std::size_t EGraph::rebuild() {
  // The clock is read for the log record only.
  const auto start = log_enabled(LogLevel::Info) ? std::chrono::steady_clock::now()
                                                 : std::chrono::steady_clock::time_point{};
  const std::size_t old_size = total_size();
  const std::size_t old_classes = number_of_classes();

  std::size_t unions = 0;
  while (!pending_.empty()) {
    const auto [entry, pushed_at] = pending_.back();
    pending_.pop_back();
    // An e-node re-filed after this entry was pushed needs nothing more from
    // it: its children's roots can only have changed since then through a
    // merge that pushed the e-node again, and that newer entry sits above
    // this one and was handled first. Re-filing it again would find its own
    // class in the hash-cons and merge nothing. This keeps a wide e-node
    // whose repeated children merge from being re-filed once per repetition.
    if (refiled_at_[entry.node] > pushed_at) continue;
    // The hash-cons entry of an e-node only ever moves between ids of one
    // class. An e-node none of whose children was merged away since it was
    // added is therefore still filed under its own class, and re-filing it
    // would change nothing.
    const SymbolLang& stored = added_[entry.node];
    bool moved = false;
    for (Id child : stored.children()) moved |= unionfind_[child] != child;
    if (!moved) continue;
    refiled_at_[entry.node] = ++tick_;
    ++refiled_count_;
    SymbolLang node = stored;
    for (Id& child : node.children()) child = find_mut(child);
    dirty_.push_back(entry.eclass);
    auto [slot, inserted] = memo_.try_emplace(std::move(node), entry.eclass);
    if (!inserted) {
      const Id old = slot->second;
      slot->second = entry.eclass;
      if (union_(old, entry.eclass)) ++unions;
    }
  }

  const std::size_t trimmed = rebuild_classes();

  log_lazy(LogLevel::Info, [&] {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, "%03lld", static_cast<long long>(millis % 1000));
    std::ostringstream out;
    out << "REBUILT! in " << millis / 1000 << "." << fraction << "s\n"
        << "  Old: hc size " << old_size << ", eclasses: " << old_classes << "\n"
        << "  New: hc size " << total_size() << ", eclasses: " << number_of_classes() << "\n"
        << "  unions: " << unions << ", trimmed nodes: " << trimmed;
    return out.str();
  });
  clean_ = true;
  return unions;
}

// Canonicalises, sorts and deduplicates the node lists of the classes touched
// since the last rebuild, and refreshes the operator index entries that merges
// made stale. Returns the number of duplicate e-nodes removed.
std::size_t EGraph::rebuild_classes() {
  marks_.resize(unionfind_.size(), 0);
  scratch_.clear();
  for (Id id : dirty_) {
    const Id root = find_mut(id);
    if (marks_[root]) continue;
    marks_[root] = 1;
    scratch_.push_back(root);
  }
  dirty_.clear();

  std::size_t trimmed = 0;
  for (Id id : scratch_) {
    marks_[id] = 0;
    ClassNodes& nodes = classes_[id].nodes;
    for (SymbolLang& node : nodes)
      for (Id& child : node.children()) child = find_mut(child);
    sort_nodes(nodes);
    // Equal e-nodes are adjacent now; each one dropped leaves its key's count.
    std::size_t kept = 0;
    for (std::size_t k = 0; k < nodes.size(); ++k) {
      if (kept > 0 && nodes[k] == nodes[kept - 1]) {
        --op_entries_[op_entry(nodes[k].op, nodes[k].arity())].nodes;
        continue;
      }
      if (kept != k) nodes[kept] = std::move(nodes[k]);
      ++kept;
    }
    trimmed += nodes.size() - kept;
    nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(kept), nodes.end());
  }

  for (std::uint32_t at : stale_ops_) {
    OpClasses& entry = op_entries_[at];
    refresh_op_index(entry.ids);
    entry.stale = false;
  }
  stale_ops_.clear();
  return trimmed;
}

// `ids` is ascending and free of duplicates but may name merged classes.
// Keeps the roots in place, and merges in the roots of the merged ones that
// are not listed yet, so the list stays ascending without a full sort.
void EGraph::refresh_op_index(support::SmallVec<Id, 2>& ids) {
  scratch_.clear();
  std::size_t kept = 0;
  for (Id id : ids) {
    const Id root = find_mut(id);
    if (root == id) {
      ids[kept++] = id;
      marks_[id] = 1;
    } else {
      scratch_.push_back(root);
    }
  }
  ids.erase(ids.begin() + kept, ids.end());
  for (Id root : scratch_) {
    if (marks_[root]) continue;
    marks_[root] = 1;
    ids.push_back(root);
  }
  for (Id id : ids) marks_[id] = 0;
  const auto middle = ids.begin() + static_cast<std::ptrdiff_t>(kept);
  std::sort(middle, ids.end());
  std::inplace_merge(ids.begin(), middle, ids.end());
}

std::vector<Id> EGraph::class_ids() const {
  std::vector<Id> ids;
  ids.reserve(class_count_);
  for (Id id = 0; id < unionfind_.size(); ++id)
    if (unionfind_[id] == id) ids.push_back(id);
  return ids;
}

std::span<const Id> EGraph::classes_by_op(Symbol op, std::size_t arity) const {
  const std::uint32_t at = find_op_entry(op, arity);
  if (at == kNoOpEntry) return {};
  const OpClasses& entry = op_entries_[at];
  return {entry.ids.begin(), entry.ids.size()};
}

std::size_t EGraph::count_by_op(Symbol op, std::size_t arity) const {
  const std::uint32_t at = find_op_entry(op, arity);
  return at == kNoOpEntry ? 0 : op_entries_[at].nodes;
}

std::optional<Id> EGraph::lookup(const SymbolLang& canonical_node) const {
  auto it = memo_.find(canonical_node);
  if (it == memo_.end()) return std::nullopt;
  return it->second;
}

}  // namespace weftory::egraph

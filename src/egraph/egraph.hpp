// The e-graph: terms grouped into equivalence classes (e-classes) with
// hash-consing of e-nodes and congruence closure restored by a deferred
// rebuild. The term language is SymbolLang: an interned operator symbol with
// ordered children. There is no per-class analysis data and no proof
// recording.
#pragma once

#include <compare>
#include <functional>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "egraph/symbol.hpp"
#include "support/big_alloc.hpp"
#include "support/block_pool.hpp"
#include "support/hash.hpp"
#include "support/small_vec.hpp"

namespace weftory::egraph {

// Index of an e-class in the union-find; dense from 0, never reused.
using Id = std::uint32_t;

// An e-node: an operator symbol and its ordered children. Up to two children
// are stored inline, more on the heap, so the common e-node is 16 bytes.
class SymbolLang {
 public:
  Symbol op;

  SymbolLang() : inline_{0, 0} {}
  SymbolLang(Symbol op_symbol, std::span<const Id> children);
  SymbolLang(Symbol op_symbol, std::initializer_list<Id> children)
      : SymbolLang(op_symbol, std::span<const Id>(children.begin(), children.size())) {}
  // An e-node with `arity` children, all 0 (a matching template).
  static SymbolLang with_arity(Symbol op_symbol, std::size_t arity);

  SymbolLang(const SymbolLang& other);
  SymbolLang(SymbolLang&& other) noexcept;
  SymbolLang& operator=(const SymbolLang& other);
  SymbolLang& operator=(SymbolLang&& other) noexcept;
  ~SymbolLang() { release(); }

  std::size_t arity() const { return size_; }
  std::span<const Id> children() const { return {data(), size_}; }
  std::span<Id> children() { return {data(), size_}; }

  // Same operator and same number of children; the children are not compared.
  bool matches(const SymbolLang& other) const { return op == other.op && size_ == other.size_; }

  friend bool operator==(const SymbolLang& a, const SymbolLang& b) {
    if (a.op != b.op || a.size_ != b.size_) return false;
    const Id* pa = a.data();
    const Id* pb = b.data();
    for (std::uint32_t k = 0; k < a.size_; ++k)
      if (pa[k] != pb[k]) return false;
    return true;
  }
  // Operator first (by symbol number), then the children element by element,
  // a shorter list that is a prefix of a longer one ordering first.
  friend std::strong_ordering operator<=>(const SymbolLang& a, const SymbolLang& b);

  std::uint64_t hash() const {
    std::uint64_t h = support::hash_combine(op.index(), size_);
    const Id* p = data();
    std::uint32_t k = 0;
    for (; k + 1 < size_; k += 2) h = support::hash_combine(h, (std::uint64_t{p[k]} << 32) | p[k + 1]);
    if (k < size_) h = support::hash_combine(h, p[k]);
    return h;
  }
  // "op" for a leaf, "(op c1 c2 ...)" otherwise, children as numbers; the
  // operator's text comes from the table it was interned in.
  std::string to_string(const SymbolTable& symbols) const;

 private:
  static constexpr std::uint32_t kInline = 2;
  const Id* data() const { return size_ <= kInline ? inline_ : heap_; }
  Id* data() { return size_ <= kInline ? inline_ : heap_; }
  // Takes other's children (its heap block, or a copy of the inline ones)
  // and leaves it empty; size_ and op are the caller's to set.
  void take_children(SymbolLang& other) noexcept;
  void release() {
    if (size_ > kInline) delete[] heap_;
  }

  std::uint32_t size_ = 0;
  union {
    Id inline_[kInline];
    Id* heap_;
  };
};

struct SymbolLangHash {
  std::size_t operator()(const SymbolLang& node) const { return static_cast<std::size_t>(node.hash()); }
};

// A parent entry of a class: an e-node that has the class among its children
// (named by its position in the e-graph's list of added e-nodes, which keeps
// the e-node exactly as it was added) and the id of the class it was added to.
// Duplicates and stale ids are allowed; rebuild canonicalises on use.
struct ParentEntry {
  std::uint32_t node;
  Id eclass;
  friend bool operator==(const ParentEntry&, const ParentEntry&) = default;
};

// Most classes hold one or two e-nodes (two after a commuted duplicate joins)
// and have one parent; those live inside the class record, which is then
// exactly one cache line. Longer parent lists live in the e-graph's block
// pool: nearly every rewrite gives two classes a second parent.
using ClassNodes = support::SmallVec<SymbolLang, 2>;
using ClassParents = support::PooledVec<ParentEntry, 1>;

struct alignas(64) EClass {
  // The id the class was created with; it stays canonical while the class
  // exists, because a merge keeps the surviving class and drops the other.
  Id id = 0;
  // After a rebuild: canonical, sorted and free of duplicates.
  ClassNodes nodes;
  ClassParents parents;
};

static_assert(sizeof(EClass) == 64, "a class record is one cache line");

class EGraph {
 public:
  // An empty e-graph whose e-nodes use the symbols of `symbols` (and any the
  // caller interns into it later through symbols()).
  explicit EGraph(SymbolTable symbols = SymbolTable());

  // The table of the operator symbols of this e-graph's e-nodes; it lives as
  // long as the e-graph.
  SymbolTable& symbols() { return symbols_; }
  const SymbolTable& symbols() const { return symbols_; }

  // Makes room for about `nodes` e-nodes, to spare regrowth while filling.
  void reserve(std::size_t nodes);

  // Adds an e-node and returns its class. When the e-node is already present
  // the stored id is returned, which need not be canonical (call find).
  Id add(SymbolLang enode);

  // The canonical id of `id`'s class. Read-only: no path compression, so it
  // can run on a shared e-graph. An id never handed out is a fatal error.
  Id find(Id id) const {
    if (id >= unionfind_.size()) out_of_bounds(id);
    while (true) {
      const Id parent = unionfind_[id];
      if (parent == id) return id;
      id = parent;
    }
  }
  // The same with path halving.
  Id find_mut(Id id);

  // Merges two classes; true when they were different. The class with more
  // parent entries survives; on a tie the root of `a` survives.
  bool union_(Id a, Id b);

  // Restores the hash-cons and congruence invariants; returns the number of
  // unions it performed.
  std::size_t rebuild();

  // Number of hash-cons entries (stale ones included).
  std::size_t total_size() const { return memo_.size(); }
  std::size_t number_of_classes() const { return class_count_; }
  // Number of ids ever handed out (the union-find's size).
  std::size_t number_of_ids() const { return unionfind_.size(); }
  bool clean() const { return clean_; }

  // The class of `id` (found first). A missing class is fatal ("Invalid id ").
  const EClass& eclass(Id id) const {
    const Id root = find(id);
    if (classes_[root].id != root) invalid_id(root);
    return classes_[root];
  }
  EClass& eclass_mut(Id id);

  // The canonical class ids in ascending order.
  std::vector<Id> class_ids() const;

  // A hint that the class of `id` is about to be looked up: fetches its
  // union-find entry and class record early.
  void prefetch_class(Id id) const {
    if (id >= unionfind_.size()) return;
    __builtin_prefetch(unionfind_.data() + id);
    const char* record = reinterpret_cast<const char*>(classes_.data() + id);
    __builtin_prefetch(record);
    __builtin_prefetch(record + 64);
  }
  template <class F>
  void for_each_class(F&& visit) const {
    for (Id id = 0; id < unionfind_.size(); ++id)
      if (unionfind_[id] == id) visit(classes_[id]);
  }

  // The canonical ids, ascending, of the classes that hold an e-node with this
  // operator and arity. Valid after a rebuild; empty when there is none.
  std::span<const Id> classes_by_op(Symbol op, std::size_t arity) const;

  // How many e-nodes of this operator and arity the classes hold together.
  // Valid after a rebuild, when no class lists an e-node twice and no two
  // classes hold equal e-nodes.
  std::size_t count_by_op(Symbol op, std::size_t arity) const;

  // The class of an e-node whose children are already canonical, when it is
  // in the hash-cons.
  std::optional<Id> lookup(const SymbolLang& canonical_node) const;

  // An e-node as it was added (see ParentEntry).
  const SymbolLang& added_node(std::uint32_t index) const { return added_[index]; }
  // The union-find parent of an id, for inspection.
  Id unionfind_parent(Id id) const;
  std::size_t pending_size() const { return pending_.size(); }
  // How many times rebuilds have re-filed an e-node in the hash-cons, in all.
  std::size_t refiled_count() const { return refiled_count_; }

 private:
  [[noreturn]] void out_of_bounds(Id id) const;
  [[noreturn]] static void invalid_id(Id id);

  // The classes holding e-nodes of one operator and arity. Most operators
  // name one source or a handful of e-nodes, so the list starts inline.
  struct OpClasses {
    std::uint32_t arity = 0;
    // The entry of the same operator with another arity, or kNoOpEntry.
    std::uint32_t next = 0;
    support::SmallVec<Id, 2> ids;
    // E-nodes of this key in all class lists: one per add, less the
    // duplicates rebuilds remove.
    std::size_t nodes = 0;
    bool stale = false;
  };
  static constexpr std::uint32_t kNoOpEntry = ~std::uint32_t{0};
  // The entry of (op, arity), or kNoOpEntry; op_entry creates it if absent.
  // Entries are found through the operator's symbol number, not a hash.
  std::uint32_t find_op_entry(Symbol op, std::size_t arity) const {
    if (op.index() >= op_heads_.size()) return kNoOpEntry;
    std::uint32_t at = op_heads_[op.index()];
    while (at != kNoOpEntry && op_entries_[at].arity != arity) at = op_entries_[at].next;
    return at;
  }
  std::uint32_t op_entry(Symbol op, std::size_t arity);
  void mark_ops_stale(const ClassNodes& nodes);
  std::size_t rebuild_classes();
  void refresh_op_index(support::SmallVec<Id, 2>& ids);

  SymbolTable symbols_;
  std::vector<Id, support::BigAllocator<Id>> unionfind_;
  // Parent entries whose hash-cons entry the next rebuild repairs (a stack),
  // each with the tick at which it was pushed.
  struct PendingEntry {
    ParentEntry entry;
    std::uint64_t pushed_at;
  };
  void push_pending(ParentEntry entry) { pending_.push_back({entry, ++tick_}); }
  std::vector<PendingEntry, support::BigAllocator<PendingEntry>> pending_;
  // For every added e-node, the tick at which rebuild last re-filed it; with
  // `tick_`, lets rebuild skip copies of an entry that is already re-filed.
  std::vector<std::uint64_t, support::BigAllocator<std::uint64_t>> refiled_at_;
  std::uint64_t tick_ = 0;
  std::size_t refiled_count_ = 0;
  boost::unordered_flat_map<SymbolLang, Id, SymbolLangHash, std::equal_to<SymbolLang>,
                             support::BigAllocator<std::pair<const SymbolLang, Id>>>
      memo_;
  // Classes stored densely by id; the entry of an id is live exactly while the
  // id is a union-find root.
  std::vector<EClass, support::BigAllocator<EClass>> classes_;
  std::size_t class_count_ = 0;
  std::vector<SymbolLang, support::BigAllocator<SymbolLang>> added_;
  // The storage of the classes' parent lists beyond their first entry.
  support::BlockPool parent_blocks_;
  // Classes whose node lists may need canonicalising, sorting and
  // deduplication at the next rebuild; every other class already is clean.
  std::vector<Id> dirty_;
  // Scratch for rebuild: one flag per id, all clear between uses.
  std::vector<std::uint8_t> marks_;
  std::vector<Id> scratch_;
  std::vector<OpClasses> op_entries_;
  // By symbol number: the first entry of that operator, or kNoOpEntry.
  std::vector<std::uint32_t> op_heads_;
  std::vector<std::uint32_t> stale_ops_;
  bool clean_ = false;
};

}  // namespace weftory::egraph

// Finds, for terms taken in order, the earliest earlier term with the same op
// and the same children: the representative a hash-cons or a
// common-subexpression pass keeps.
//
// Two equal terms have the same first child, so a term is looked for only
// among the representatives that share its first child (its anchor), kept as
// a short list per anchor. Graphs are mostly chains and trees, where that list
// is the one just written, so the look-up stays in the cache where one table
// over all terms would miss it on every probe of a large batch. An anchor that
// gathers more than a few representatives, and every leaf, goes to one hash
// set instead, which keeps each look-up bounded however many terms share an
// input.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "support/big_alloc.hpp"

namespace weftory::optimizer {

// Hash(i) and Equal(a, b) read terms by index; Equal compares ops and
// children (and is only asked about terms with one anchor, or leaves).
template <class Hash, class Equal>
class TermIndex {
 public:
  static constexpr std::uint64_t kLeaf = std::numeric_limits<std::uint64_t>::max();

  // Room for terms and anchors below `n`.
  TermIndex(std::size_t n, Hash hash, Equal equal)
      : head_(n, 0), count_(n, 0), next_(n, 0), equal_(equal), spilled_(0, hash, equal) {}

  // The earliest term before `i` equal to it, or `i` itself, which is then
  // recorded as a representative. `anchor` is the first child (below i), or
  // kLeaf for a term without children.
  std::uint64_t find_or_add(std::uint64_t i, std::uint64_t anchor) {
    if (anchor == kLeaf) return *spilled_.insert(i).first;
    for (std::uint64_t at = head_[anchor]; at != 0; at = next_[at - 1])
      if (equal_(at - 1, i)) return at - 1;
    if (count_[anchor] < kListLimit) {
      next_[i] = head_[anchor];
      head_[anchor] = i + 1;
      ++count_[anchor];
      return i;
    }
    return *spilled_.insert(i).first;
  }

 private:
  static constexpr std::uint8_t kListLimit = 8;
  template <class T>
  using Table = std::vector<T, support::BigAllocator<T>>;

  // Per anchor: the latest representative on its list, plus one (0: none),
  // and how many the list holds; per representative: the one before it.
  Table<std::uint64_t> head_;
  Table<std::uint8_t> count_;
  Table<std::uint64_t> next_;
  Equal equal_;
  boost::unordered_flat_set<std::uint64_t, Hash, Equal> spilled_;
};

}  // namespace weftory::optimizer

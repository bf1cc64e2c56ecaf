// An append-only vector whose elements never move: it grows by adding
// segments of doubling size, so an element's address is fixed for the
// vector's life. A reader may therefore read every element below a length it
// learnt under the writer's lock without holding the lock: the writer only
// ever writes above that length, into memory no reader is given, and never
// frees or moves what it wrote. Growing costs one allocation and no copy.
//
// Elements are trivially copyable; memory past the length is uninitialised.
// Runs of elements that must be contiguous (a node's inputs and parameters)
// are placed with append_run, which starts a run on a fresh segment when the
// current one cannot hold it whole. Segments of 2 MiB and more are offered
// to the kernel as huge pages (big_alloc.hpp): a store of millions of nodes
// then takes one page fault per 2 MiB rather than per 4 KiB as it fills.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "support/big_alloc.hpp"

namespace weftory::support {

template <class T, unsigned kFirstBits = 6>
class StableVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
  static constexpr unsigned kSegments = 64 - kFirstBits;

 public:
  StableVector() { segments_.fill(nullptr); }
  StableVector(const StableVector&) = delete;
  StableVector& operator=(const StableVector&) = delete;
  ~StableVector() {
    for (unsigned s = 0; s < kSegments; ++s) {
      if (segments_[s] != nullptr) deallocate_big(segments_[s], segment_size(s) * sizeof(T), alignof(T));
    }
  }

  std::size_t size() const { return size_; }

  const T& operator[](std::size_t i) const { return *locate(i); }
  T& operator[](std::size_t i) { return *locate(i); }
  const T* data_at(std::size_t i) const { return locate(i); }

  void push_back(const T& value) {
    T* slot = ensure(size_);
    std::memcpy(static_cast<void*>(slot), &value, sizeof(T));
    ++size_;
  }

  // Makes room for `count` contiguous elements and returns the position of
  // the first one; the caller fills them through mutable_run and then calls
  // commit_run. Positions skipped to keep the run in one segment are never
  // read. Throws bad_alloc when the run would end at or beyond `limit`.
  std::size_t prepare_run(std::size_t count, std::size_t limit) {
    std::size_t start = size_;
    if (count > 0) {
      unsigned s = segment_of(start);
      while (start + count > segment_begin(s) + segment_size(s)) {
        ++s;
        if (s >= kSegments) throw std::bad_alloc();
        start = segment_begin(s);
      }
      if (start + count > limit) throw std::bad_alloc();
      ensure(start);
    } else if (start > limit) {
      throw std::bad_alloc();
    }
    pending_ = start + count;
    return start;
  }
  T* mutable_run(std::size_t start) { return locate(start); }
  void commit_run() { size_ = pending_; }

  // Takes back everything from `size` on (elements only; segments stay).
  void truncate(std::size_t size) {
    if (size < size_) size_ = size;
  }

  // Bytes of the segments allocated so far.
  std::size_t allocated_bytes() const {
    std::size_t total = 0;
    for (unsigned s = 0; s < kSegments; ++s) {
      if (segments_[s] != nullptr) total += segment_size(s) * sizeof(T);
    }
    return total;
  }

 private:
  static constexpr std::size_t segment_size(unsigned s) { return std::size_t{1} << (kFirstBits + s); }
  static constexpr std::size_t segment_begin(unsigned s) { return ((std::size_t{1} << s) - 1) << kFirstBits; }
  static unsigned segment_of(std::size_t i) {
    return static_cast<unsigned>(std::bit_width((i >> kFirstBits) + 1)) - 1;
  }

  T* locate(std::size_t i) const {
    const unsigned s = segment_of(i);
    return segments_[s] + (i - segment_begin(s));
  }

  // The slot of position i, allocating its segment when it has none yet.
  T* ensure(std::size_t i) {
    const unsigned s = segment_of(i);
    if (segments_[s] == nullptr) {
      segments_[s] = static_cast<T*>(allocate_big(segment_size(s) * sizeof(T), alignof(T)));
    }
    return segments_[s] + (i - segment_begin(s));
  }

  std::array<T*, kSegments> segments_;
  std::size_t size_ = 0;
  std::size_t pending_ = 0;
};

}  // namespace weftory::support

// Storage for many small vectors that grow by doubling and are dropped in
// bulk: blocks of 2^k bytes, cut from large slabs and recycled through one
// free list per size. A block costs a few instructions to take and to give
// back, where the C library's allocator took a hundred and more once its
// per-thread caches ran dry, and everything goes back at once when the pool
// dies. Not thread-safe: a pool belongs to one owner.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/big_alloc.hpp"
#include "support/small_vec.hpp"

namespace weftory::support {

class BlockPool {
 public:
  // Blocks are at least this large and this aligned.
  static constexpr std::size_t kMinBlock = 16;

  BlockPool() = default;
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;
  BlockPool(BlockPool&& other) noexcept { swap(other); }
  BlockPool& operator=(BlockPool&& other) noexcept {
    if (this != &other) {
      BlockPool gone(std::move(other));
      swap(gone);
    }
    return *this;
  }
  ~BlockPool() {
    for (const Slab& slab : slabs_) deallocate_big(slab.base, slab.bytes, kMinBlock);
  }

  // A block of at least `bytes` bytes; give it back with the same count.
  void* allocate(std::size_t bytes) {
    const unsigned k = size_class(bytes);
    if (FreeBlock* block = free_[k]) {
      free_[k] = block->next;
      return block;
    }
    const std::size_t size = std::size_t{1} << k;
    if (static_cast<std::size_t>(end_ - next_) < size) refill(size);
    void* block = next_;
    next_ += size;
    return block;
  }

  void deallocate(void* block, std::size_t bytes) noexcept {
    const unsigned k = size_class(bytes);
    auto* freed = static_cast<FreeBlock*>(block);
    freed->next = free_[k];
    free_[k] = freed;
  }

  // Bytes taken from the system, for inspection.
  std::size_t reserved_bytes() const {
    std::size_t total = 0;
    for (const Slab& slab : slabs_) total += slab.bytes;
    return total;
  }

 private:
  struct FreeBlock {
    FreeBlock* next;
  };
  struct Slab {
    char* base;
    std::size_t bytes;
  };
  static constexpr std::size_t kFirstSlab = std::size_t{64} << 10;
  static constexpr std::size_t kLargestSlab = std::size_t{4} << 20;

  static unsigned size_class(std::size_t bytes) {
    return static_cast<unsigned>(std::bit_width(std::max(bytes, kMinBlock) - 1));
  }

  // A new slab with room for at least one block of `size` bytes. What is
  // left of the current slab is filed as free blocks, largest first, so
  // nothing is stranded; block sizes are powers of two of at least kMinBlock,
  // so every cut stays kMinBlock-aligned.
  void refill(std::size_t size) {
    while (static_cast<std::size_t>(end_ - next_) >= kMinBlock) {
      const std::size_t piece = std::bit_floor(static_cast<std::size_t>(end_ - next_));
      deallocate(next_, piece);
      next_ += piece;
    }
    const std::size_t grown = std::min(kLargestSlab, kFirstSlab << std::min<std::size_t>(slabs_.size(), 6));
    const std::size_t bytes = std::max(size, grown);
    slabs_.reserve(slabs_.size() + 1);
    char* base = static_cast<char*>(allocate_big(bytes, kMinBlock));
    slabs_.push_back({base, bytes});
    next_ = base;
    end_ = base + bytes;
  }

  void swap(BlockPool& other) noexcept {
    std::swap(free_, other.free_);
    std::swap(next_, other.next_);
    std::swap(end_, other.end_);
    std::swap(slabs_, other.slabs_);
  }

  std::array<FreeBlock*, 64> free_{};
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::vector<Slab> slabs_;
};

// A vector of trivially copyable elements that keeps up to N of them inside
// itself and takes larger storage from a BlockPool passed to every call that
// may grow or free it. The owner of the pool must give each vector's storage
// back (release) or let the pool die with all of them; the destructor frees
// nothing.
template <class T, std::uint32_t N>
class PooledVec : public ElementAccess<PooledVec<T, N>, T> {
  static_assert(std::is_trivially_copyable_v<T> && N >= 1);

 public:
  using ElementAccess<PooledVec, T>::begin;
  using ElementAccess<PooledVec, T>::end;
  PooledVec() noexcept {}
  PooledVec(const PooledVec&) = delete;
  PooledVec& operator=(const PooledVec&) = delete;
  // The storage moves along (a heap block) or is copied (inline elements).
  PooledVec(PooledVec&& other) noexcept { std::memcpy(static_cast<void*>(this), &other, sizeof(PooledVec)); other.reset(); }
  PooledVec& operator=(PooledVec&&) = delete;

  T* data() { return on_heap() ? heap_ : inline_; }
  const T* data() const { return on_heap() ? heap_ : inline_; }
  std::size_t size() const { return size_; }

  void push_back(T value, BlockPool& pool) {
    if (size_ == capacity_) grow(std::size_t{capacity_} * 2, pool);
    data()[size_++] = value;
  }

  void append(const T* first, const T* last, BlockPool& pool) {
    const auto count = static_cast<std::size_t>(last - first);
    if (size_ + count > capacity_) grow(std::max<std::size_t>(size_ + count, std::size_t{capacity_} * 2), pool);
    std::copy(first, last, data() + size_);
    size_ += static_cast<std::uint32_t>(count);
  }

  // Gives heap storage back and empties the vector.
  void release(BlockPool& pool) noexcept {
    if (on_heap()) pool.deallocate(heap_, std::size_t{capacity_} * sizeof(T));
    reset();
  }

  // Exchanges the contents; neither vector allocates.
  void swap(PooledVec& other) noexcept {
    alignas(PooledVec) unsigned char held[sizeof(PooledVec)];
    std::memcpy(held, static_cast<void*>(this), sizeof(PooledVec));
    std::memcpy(static_cast<void*>(this), &other, sizeof(PooledVec));
    std::memcpy(static_cast<void*>(&other), held, sizeof(PooledVec));
  }

 private:
  bool on_heap() const { return capacity_ > N; }
  void reset() noexcept {
    size_ = 0;
    capacity_ = N;
  }
  void grow(std::size_t wanted, BlockPool& pool) {
    // Capacities are powers of two, so the block fits them exactly.
    const std::size_t capacity = std::bit_ceil(std::max(wanted, std::size_t{2} * N));
    T* fresh = static_cast<T*>(pool.allocate(capacity * sizeof(T)));
    std::copy(begin(), end(), fresh);
    if (on_heap()) pool.deallocate(heap_, std::size_t{capacity_} * sizeof(T));
    heap_ = fresh;
    capacity_ = static_cast<std::uint32_t>(capacity);
  }

  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = N;
  union {
    T* heap_;
    T inline_[N];
  };
};

}  // namespace weftory::support

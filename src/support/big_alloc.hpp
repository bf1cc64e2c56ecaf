// An allocator for large tables (the e-graph's, a store's segments). Blocks of 2 MiB or more are
// aligned to 2 MiB and offered to the kernel for transparent huge pages: the
// tables are read at random, and with 4 KiB pages nearly every such read also
// misses the TLB. Smaller blocks come from the ordinary heap.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace weftory::support {

inline constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

inline void* allocate_big(std::size_t bytes, std::size_t alignment) {
  if (bytes < kHugePageSize) return ::operator new(bytes, std::align_val_t{alignment});
  const std::size_t rounded = (bytes + kHugePageSize - 1) / kHugePageSize * kHugePageSize;
  void* block = std::aligned_alloc(kHugePageSize, rounded);
  if (block == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  ::madvise(block, rounded, MADV_HUGEPAGE);  // a hint: failure changes nothing
#endif
  return block;
}

inline void deallocate_big(void* block, std::size_t bytes, std::size_t alignment) {
  if (bytes < kHugePageSize) {
    ::operator delete(block, std::align_val_t{alignment});
  } else {
    std::free(block);
  }
}

template <class T>
struct BigAllocator {
  using value_type = T;
  BigAllocator() noexcept = default;
  template <class U>
  BigAllocator(const BigAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(allocate_big(n * sizeof(T), alignof(T))); }
  void deallocate(T* block, std::size_t n) noexcept { deallocate_big(block, n * sizeof(T), alignof(T)); }
  template <class U>
  friend bool operator==(const BigAllocator&, const BigAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace weftory::support

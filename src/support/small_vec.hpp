// A vector that keeps up to N elements inside itself and moves to the heap
// beyond that. Its header is two 32-bit counts, so a class record with two
// of these fits one cache line.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <utility>

namespace weftory::support {

// Iteration and indexing for a vector type that has data() and size().
template <class Derived, class T>
class ElementAccess {
 public:
  bool empty() const { return self().size() == 0; }
  T* begin() { return self().data(); }
  T* end() { return self().data() + self().size(); }
  const T* begin() const { return self().data(); }
  const T* end() const { return self().data() + self().size(); }
  T& operator[](std::size_t k) { return self().data()[k]; }
  const T& operator[](std::size_t k) const { return self().data()[k]; }
  T& back() { return self().data()[self().size() - 1]; }

 private:
  Derived& self() { return static_cast<Derived&>(*this); }
  const Derived& self() const { return static_cast<const Derived&>(*this); }
};

template <class T, std::uint32_t N>
class SmallVec : public ElementAccess<SmallVec<T, N>, T> {
  static_assert(N >= 1);

 public:
  using ElementAccess<SmallVec, T>::begin;
  using ElementAccess<SmallVec, T>::end;
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  SmallVec() noexcept {}
  SmallVec(const SmallVec& other) {
    reserve(other.size_);
    std::uninitialized_copy(other.begin(), other.end(), data());
    size_ = other.size_;
  }
  SmallVec(SmallVec&& other) noexcept { take(other); }
  SmallVec(std::initializer_list<T> items) { append(items.begin(), items.end()); }
  SmallVec& operator=(const SmallVec& other) {
    if (this != &other) {
      SmallVec copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  SmallVec& operator=(SmallVec&& other) noexcept {
    if (this != &other) {
      clear();
      release();
      take(other);
    }
    return *this;
  }
  ~SmallVec() {
    clear();
    release();
  }

  T* data() { return on_heap() ? heap_ : inline_data(); }
  const T* data() const { return on_heap() ? heap_ : inline_data(); }
  std::size_t size() const { return size_; }

  friend bool operator==(const SmallVec& a, const SmallVec& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

  void push_back(T value) {
    if (size_ == capacity_) reserve(std::size_t{capacity_} * 2);
    ::new (static_cast<void*>(data() + size_)) T(std::move(value));
    ++size_;
  }

  template <class It>
  void append(It first, It last) {
    const auto count = static_cast<std::size_t>(std::distance(first, last));
    if (size_ + count > capacity_) reserve(std::max<std::size_t>(size_ + count, std::size_t{capacity_} * 2));
    std::uninitialized_copy(first, last, data() + size_);
    size_ += static_cast<std::uint32_t>(count);
  }

  // Removes [first, last), shifting the elements after it down.
  T* erase(T* first, T* last) {
    T* end_before = end();
    T* out = std::move(last, end_before, first);
    std::destroy(out, end_before);
    size_ -= static_cast<std::uint32_t>(end_before - out);
    return first;
  }

  void clear() {
    std::destroy(begin(), end());
    size_ = 0;
  }

  // Returns heap storage once the vector is empty.
  void shrink_to_fit() {
    if (size_ == 0) release();
  }

  void reserve(std::size_t wanted) {
    if (wanted <= capacity_) return;
    T* fresh = static_cast<T*>(allocate(wanted * sizeof(T)));
    std::uninitialized_move(begin(), end(), fresh);
    std::destroy(begin(), end());
    release();
    heap_ = fresh;
    capacity_ = static_cast<std::uint32_t>(wanted);
  }

 private:
  bool on_heap() const { return capacity_ > N; }
  T* inline_data() { return std::launder(reinterpret_cast<T*>(inline_)); }
  const T* inline_data() const { return std::launder(reinterpret_cast<const T*>(inline_)); }

  // The aligned operator new goes through the C library's memalign, several
  // times the cost of a plain allocation, which already gives every element
  // type but an over-aligned one its alignment.
  static constexpr bool kOverAligned = alignof(T) > __STDCPP_DEFAULT_NEW_ALIGNMENT__;
  static void* allocate(std::size_t bytes) {
    if constexpr (kOverAligned) return ::operator new(bytes, std::align_val_t{alignof(T)});
    return ::operator new(bytes);
  }

  // Frees heap storage; the elements must already be destroyed.
  void release() {
    if (on_heap()) {
      if constexpr (kOverAligned) {
        ::operator delete(heap_, std::align_val_t{alignof(T)});
      } else {
        ::operator delete(heap_);
      }
    }
    capacity_ = N;
  }

  // Takes over `other`'s elements; this vector must be empty and inline.
  void take(SmallVec& other) {
    if (other.on_heap()) {
      heap_ = other.heap_;
      capacity_ = other.capacity_;
      size_ = other.size_;
      other.capacity_ = N;
      other.size_ = 0;
      return;
    }
    std::uninitialized_move(other.begin(), other.end(), inline_data());
    size_ = other.size_;
    other.clear();
  }

  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = N;
  union {
    T* heap_;
    alignas(T) unsigned char inline_[N * sizeof(T)];
  };
};

}  // namespace weftory::support

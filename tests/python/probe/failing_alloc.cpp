// Allocations that fail on demand, for the tests of what a failed allocation
// leaves behind. The probe is linked with --wrap for malloc, calloc, realloc,
// aligned_alloc and every form of operator new it uses, so each allocation
// made by the core's code inside this module passes through here, and none
// that the interpreter makes does. fail_allocation(k) makes the k-th of them
// from then on fail, once, the way an exhausted heap would: the C functions
// return null, the throwing operator new throws std::bad_alloc.
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void* __real_aligned_alloc(std::size_t alignment, std::size_t size);
void* __real__Znwm(std::size_t size);
void* __real__Znam(std::size_t size);
void* __real__ZnwmSt11align_val_t(std::size_t size, std::align_val_t alignment);
void* __real__ZnwmRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag) noexcept;
}

namespace {

std::atomic<std::uint64_t> g_made{0};
// How many allocations are still to succeed before the failing one, plus
// one; 0 when no failure is armed.
std::atomic<std::int64_t> g_countdown{0};

// Counts an allocation and tells whether it is the one to fail.
bool fail_this_one() {
  g_made.fetch_add(1, std::memory_order_relaxed);
  std::int64_t left = g_countdown.load(std::memory_order_relaxed);
  while (left > 0) {
    if (g_countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return left == 1;
  }
  return false;
}

}  // namespace

extern "C" {

void* __wrap_malloc(std::size_t size) { return fail_this_one() ? nullptr : __real_malloc(size); }
void* __wrap_calloc(std::size_t count, std::size_t size) {
  return fail_this_one() ? nullptr : __real_calloc(count, size);
}
void* __wrap_realloc(void* block, std::size_t size) { return fail_this_one() ? nullptr : __real_realloc(block, size); }
void* __wrap_aligned_alloc(std::size_t alignment, std::size_t size) {
  return fail_this_one() ? nullptr : __real_aligned_alloc(alignment, size);
}
void* __wrap__Znwm(std::size_t size) {
  if (fail_this_one()) throw std::bad_alloc();
  return __real__Znwm(size);
}
void* __wrap__Znam(std::size_t size) {
  if (fail_this_one()) throw std::bad_alloc();
  return __real__Znam(size);
}
void* __wrap__ZnwmSt11align_val_t(std::size_t size, std::align_val_t alignment) {
  if (fail_this_one()) throw std::bad_alloc();
  return __real__ZnwmSt11align_val_t(size, alignment);
}
void* __wrap__ZnwmRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag) noexcept {
  return fail_this_one() ? nullptr : __real__ZnwmRKSt9nothrow_t(size, tag);
}

}  // extern "C"

namespace weftory::probe {

// fail_allocation(k): the k-th allocation from now fails; 0 disarms. Returns
// how many allocations the previous arming still had to go (0: it fired or
// none was armed).
PyObject* fail_allocation(PyObject*, PyObject* arg) {
  const long long k = PyLong_AsLongLong(arg);
  if (k == -1 && PyErr_Occurred()) return nullptr;
  if (k < 0) {
    PyErr_SetString(PyExc_ValueError, "fail_allocation: k must not be negative");
    return nullptr;
  }
  return PyLong_FromLongLong(g_countdown.exchange(k, std::memory_order_relaxed));
}

// allocations(): how many allocations the module's code has made so far.
PyObject* allocations(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(g_made.load(std::memory_order_relaxed));
}

}  // namespace weftory::probe

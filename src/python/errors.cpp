#include "python/errors.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>

#if defined(__linux__) && defined(__GLIBC__)
#include <pthread.h>
#endif

namespace weftory::py {

namespace {

std::atomic<PyObject*> g_panic_type{nullptr};

constexpr const char* kPanicDoc =
    "A fatal internal error of weftory_core. Derived from BaseException so that an ordinary "
    "'except Exception' does not swallow it.";

PyRef decode_message(std::string_view message) {
  return PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

}  // namespace

void raise(PyObject* type, std::string_view message) {
  PyRef text = decode_message(message);
  if (text) PyErr_SetObject(type, text.get());
  throw PyErrorSet{};
}

PyObject* panic_exception_type() {
  PyObject* existing = g_panic_type.load(std::memory_order_acquire);
  if (existing) return existing;
  // Several threads may race here; each builds a candidate and the first one
  // published wins, so nobody waits on anybody.
  PyObject* candidate =
      PyErr_NewExceptionWithDoc("weftory_core.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  if (!candidate) return nullptr;
  PyObject* expected = nullptr;
  if (g_panic_type.compare_exchange_strong(expected, candidate, std::memory_order_acq_rel)) return candidate;
  Py_DECREF(candidate);
  return expected;
}

void set_panic(std::string_view message) {
  // Keep whatever error was pending out of the way while the class is made.
  PyErr_Clear();
  PyObject* type = panic_exception_type();
  if (!type) return;
  PyRef text = decode_message(message);
  if (text) PyErr_SetObject(type, text.get());
}

void add_note_to_current(std::string_view note) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  if (value) {
    PyRef text = decode_message(note);
    PyRef result = text ? PyRef::steal(PyObject_CallMethod(value, "add_note", "O", text.get())) : PyRef();
    if (!result) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

void add_argument_note(const char* name) { add_note_to_current(std::string("while processing '") + name + "'"); }

namespace {

// The lowest address of the calling thread's stack and its size, looked up
// once per thread; 0 when unknown.
struct StackBounds {
  std::uintptr_t low = 0;
  std::size_t size = 0;
};

StackBounds find_stack_bounds() {
  StackBounds bounds;
#if defined(__linux__) && defined(__GLIBC__)
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
      bounds.low = reinterpret_cast<std::uintptr_t>(addr);
      bounds.size = size;
    }
    pthread_attr_destroy(&attr);
  }
#endif
  return bounds;
}

// What an entry point may still use below the point where it is entered: the
// largest stack any one call needs, with room to spare, or a quarter of a
// small thread stack.
constexpr std::size_t kStackReserve = 256 * 1024;

bool stack_nearly_exhausted() {
  thread_local const StackBounds bounds = find_stack_bounds();
  if (bounds.low == 0) return false;
  // The frame address, not a local's: a sanitizer may keep locals elsewhere.
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  // Outside the thread's own stack (a stack switched to by user code): unknown.
  if (here < bounds.low || here - bounds.low >= bounds.size) return false;
  return here - bounds.low < std::min(kStackReserve, bounds.size / 4);
}

}  // namespace

bool enter_entry_point() {
  if (Py_EnterRecursiveCall(" while calling a weftory_core method")) return false;
  if (stack_nearly_exhausted()) {
    Py_LeaveRecursiveCall();
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a weftory_core method (C stack nearly used up)");
    return false;
  }
  return true;
}

std::string type_qualname(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  const char* utf8 = PyUnicode_AsUTF8(name.get());
  if (!utf8) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  return utf8;
}

void raise_type_mismatch(PyObject* obj, std::string_view expected) {
  std::string message;
  if (obj == Py_None) {
    message = "'None' is not an instance of '";
  } else {
    message += '\'';
    message += type_qualname(obj);
    message += "' object is not an instance of '";
  }
  message += expected;
  message += "'";
  raise(PyExc_TypeError, message);
}

}  // namespace weftory::py

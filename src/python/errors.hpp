// Error plumbing between the C++ core and Python: a marker exception for
// "a Python error is set", the lazily created PanicException, exception notes,
// and the wrapper every entry point runs its body through.
#pragma once

#include <new>
#include <string>
#include <string_view>

#include "python/pyref.hpp"
#include "support/fatal.hpp"

namespace weftory::py {

// Thrown after a Python exception has been set; the entry point returns NULL.
struct PyErrorSet {};

[[noreturn]] inline void throw_python_error() { throw PyErrorSet{}; }

// Sets a Python exception of the given type with a UTF-8 message and throws.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// The process-wide PanicException class (a BaseException subclass), created
// on first use. Returns a borrowed reference, or nullptr with an error set.
PyObject* panic_exception_type();

// Sets PanicException carrying the message.
void set_panic(std::string_view message);

// Attaches a note to the exception currently set (the add_note mechanism).
void add_note_to_current(std::string_view note);

// Attaches the note "while processing '<name>'" to the exception currently set.
void add_argument_note(const char* name);

// Enters one level of the interpreter's recursion for an entry point: false,
// with RecursionError set, when the interpreter's recursion limit is reached
// or the thread's C stack is nearly used up. Entry points convert arguments
// through Python code (__index__, __float__) that may call back into the
// module, so this is what ends such a recursion in an exception, not a crash.
bool enter_entry_point();
inline void leave_entry_point() { Py_LeaveRecursiveCall(); }

// The type-mismatch TypeError: "'int' object is not an instance of 'str'".
[[noreturn]] void raise_type_mismatch(PyObject* obj, std::string_view expected);

// The qualified name of obj's type, as Python shows it.
std::string type_qualname(PyObject* obj);

// Runs the body of an entry point: a set Python error returns NULL (or -1),
// a FatalError becomes PanicException, an allocation failure MemoryError.
template <class Result, class F>
Result run_entry_point(Result failure, F&& body) noexcept {
  if (!enter_entry_point()) return failure;
  struct Leave {
    ~Leave() { leave_entry_point(); }
  } leave;
  try {
    return body();
  } catch (const PyErrorSet&) {
  } catch (const support::FatalError& e) {
    set_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("unknown internal error");
  }
  return failure;
}

// The body of every method and function the module exports: what a call into
// the module returns to CPython.
template <class F>
PyObject* entry_point(F&& body) noexcept {
  return run_entry_point<PyObject*>(nullptr, std::forward<F>(body));
}

// Converts one argument; a Python error raised by the conversion gets the note
// "while processing '<name>'".
template <class F>
decltype(auto) convert_arg(const char* name, F&& convert) {
  try {
    return convert();
  } catch (const PyErrorSet&) {
    add_argument_note(name);
    throw;
  }
}

}  // namespace weftory::py

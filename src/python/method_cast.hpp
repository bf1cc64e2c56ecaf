// Method-table entries for the module's classes. CPython stores every method
// as a PyCFunction and calls it with the signature its METH_* flags name; the
// casts below accept only a function of one of those signatures, so a method
// whose signature does not match its kind fails to build instead of being
// called with the wrong arguments.
#pragma once

#include "python/pyref.hpp"

#include <cstddef>

namespace weftory::py {

// METH_FASTCALL | METH_KEYWORDS.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// METH_METHOD | METH_FASTCALL | METH_KEYWORDS: also told the defining class.
using ClassMethod = PyObject* (*)(PyObject*, PyTypeObject*, PyObject* const*, std::size_t, PyObject*);

// The cast goes through a plain function pointer type, as CPython's own
// modules do, so the compiler sees no call through a mismatched type.
template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
inline PyCFunction method_entry(FastMethod function) { return as_method(function); }
inline PyCFunction method_entry(ClassMethod function) { return as_method(function); }
// METH_NOARGS and METH_O.
inline PyCFunction method_entry(PyCFunction function) { return function; }

}  // namespace weftory::py

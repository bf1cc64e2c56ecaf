// Binds the arguments of a call to a method's parameters, with CPython's usual
// argument errors.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "python/pyref.hpp"

namespace weftory::py {

struct Param {
  const char* name;
  bool keyword_only;
  bool required;
};

struct Signature {
  const char* function;  // as shown in messages, e.g. "GraphStore.add_op"
  std::span<const Param> params;
};

// Fills out[i] with a borrowed reference for each parameter (nullptr when an
// optional one was not given). Throws PyErrorSet with a TypeError on failure.
void bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> out);
void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

}  // namespace weftory::py

#include "python/binder.hpp"

#include <string>

#include "python/errors.hpp"

namespace weftory::py {

namespace {

std::size_t positional_capacity(const Signature& sig) {
  std::size_t n = 0;
  for (const Param& p : sig.params) {
    if (!p.keyword_only) ++n;
  }
  return n;
}

[[noreturn]] void too_many_positional(const Signature& sig, std::size_t given) {
  std::size_t max = positional_capacity(sig);
  std::size_t min = 0;
  for (const Param& p : sig.params) {
    if (!p.keyword_only && p.required) ++min;
  }
  std::string message = std::string(sig.function) + "() takes ";
  if (min == max) {
    message += std::to_string(max);
  } else {
    message += "from " + std::to_string(min) + " to " + std::to_string(max);
  }
  message += max == 1 && min == max ? " positional argument" : " positional arguments";
  message += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
  raise(PyExc_TypeError, message);
}

// Places one keyword argument; kwname must be a str.
void place_keyword(const Signature& sig, PyObject* kwname, PyObject* value, std::span<PyObject*> out) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(kwname, sig.params[i].name) == 0) {
      if (out[i]) {
        raise(PyExc_TypeError,
              std::string(sig.function) + "() got multiple values for argument '" + sig.params[i].name + "'");
      }
      out[i] = value;
      return;
    }
  }
  // Formatted as a str, not through UTF-8: a keyword name may be any str,
  // lone surrogates included.
  PyRef message = PyRef::steal(
      PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", sig.function, kwname));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
  throw_python_error();
}

void place_positional(const Signature& sig, PyObject* const* args, std::size_t nargs, std::span<PyObject*> out) {
  if (nargs > positional_capacity(sig)) too_many_positional(sig, nargs);
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
}

void check_missing(const Signature& sig, std::span<PyObject*> out) {
  for (bool keyword_only : {false, true}) {
    std::string names;
    std::size_t count = 0;
    std::size_t total = 0;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
      if (sig.params[i].keyword_only == keyword_only && sig.params[i].required && !out[i]) ++total;
    }
    if (total == 0) continue;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
      const Param& p = sig.params[i];
      if (p.keyword_only != keyword_only || !p.required || out[i]) continue;
      ++count;
      if (count > 1) names += count == total ? (total > 2 ? ", and " : " and ") : ", ";
      names += std::string("'") + p.name + "'";
    }
    std::string message = std::string(sig.function) + "() missing " + std::to_string(total) + " required " +
                          (keyword_only ? "keyword" : "positional") + (total == 1 ? " argument: " : " arguments: ") +
                          names;
    raise(PyExc_TypeError, message);
  }
}

}  // namespace

void bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> out) {
  for (PyObject*& slot : out) slot = nullptr;
  place_positional(sig, args, static_cast<std::size_t>(nargs), out);
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
  }
  check_missing(sig, out);
}

void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  for (PyObject*& slot : out) slot = nullptr;
  Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  place_positional(sig, nargs ? &PyTuple_GET_ITEM(args, 0) : nullptr, static_cast<std::size_t>(nargs), out);
  if (kwargs) {
    // The keyword dict of a call belongs to that call alone.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) raise(PyExc_TypeError, std::string(sig.function) + "() keywords must be strings");
      place_keyword(sig, key, value, out);
    }
  }
  check_missing(sig, out);
}

}  // namespace weftory::py

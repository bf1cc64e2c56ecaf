#include "python/errors.hpp"

#include <atomic>

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

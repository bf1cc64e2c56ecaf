// Module definition and initialisation of weftory_core.
#include "python/errors.hpp"
#include "python/graph_store.hpp"
#include "python/payload_descriptor.hpp"

namespace weftory::py {

namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(WEFTORY_VERSION); }

PyMethodDef kFunctions[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int add_type(PyObject* module, const char* name, PyObject* type) {
  if (!type) return -1;
  int status = PyModule_AddObjectRef(module, name, type);
  Py_DECREF(type);
  return status;
}

int exec_module(PyObject* module) {
  if (add_type(module, "GraphStore", create_graph_store_type(module)) < 0) return -1;
  if (add_type(module, "PayloadDescriptor", create_payload_descriptor_type(module)) < 0) return -1;
  return PyModule_AddFunctions(module, kFunctions);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The classes live in process-wide state, so one interpreter per process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "weftory_core",
    "",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace weftory::py

extern "C" {

PyMODINIT_FUNC PyInit_weftory_core(void) { return PyModuleDef_Init(&weftory::py::kModule); }

// The slot-export entry point of newer interpreters: the same definition's slots.
__attribute__((visibility("default"))) PyModuleDef_Slot* PyModExport_weftory_core(void) {
  return weftory::py::kSlots;
}

}

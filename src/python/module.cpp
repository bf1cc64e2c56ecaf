// Module definition and initialisation of weftory_core.
#include "python/module_state.hpp"

namespace weftory::py {

namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(WEFTORY_VERSION); }

PyMethodDef kFunctions[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
#if PY_VERSION_HEX < 0x030C0000
  // Newer interpreters refuse other interpreters through the slot below.
  // The module's exception class is shared by the whole process, which only
  // one interpreter may use.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "module weftory_core does not support loading in subinterpreters");
    return -1;
  }
#endif
  if (exec_module_state(module) < 0) return -1;
  return PyModule_AddFunctions(module, kFunctions);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The exception class is process-wide, so one interpreter per process.
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
    sizeof(ModuleState),
    nullptr,
    kSlots,
    traverse_module_state,
    clear_module_state,
    free_module_state,
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

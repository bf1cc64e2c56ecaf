#include "python/module_state.hpp"

#include "python/graph_store.hpp"
#include "python/incremental_reducer.hpp"
#include "python/payload_descriptor.hpp"
#include "support/fatal.hpp"

namespace weftory::py {

using support::fatal;

namespace {

ModuleState& state_of_module(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// Keeps the new class in the state and adds it to the module under `name`.
int add_class(PyObject* module, const char* name, PyObject* type, PyTypeObject*& slot) {
  if (!type) return -1;
  slot = reinterpret_cast<PyTypeObject*>(type);  // the state owns the new reference
  return PyModule_AddObjectRef(module, name, type);
}

}  // namespace

ModuleState& state_of_class(PyTypeObject* cls) {
  void* state = cls ? PyType_GetModuleState(cls) : nullptr;
  if (!state) {
    PyErr_Clear();
    fatal("weftory_core class without module state");
  }
  return *static_cast<ModuleState*>(state);
}

int exec_module_state(PyObject* module) {
  ModuleState& state = state_of_module(module);
  if (add_class(module, "GraphStore", create_graph_store_type(module), state.graph_store_type) < 0) return -1;
  if (add_class(module, "PayloadDescriptor", create_payload_descriptor_type(module),
                state.payload_descriptor_type) < 0) {
    return -1;
  }
  return add_class(module, "IncrementalReducer", create_incremental_reducer_type(module),
                   state.incremental_reducer_type);
}

int traverse_module_state(PyObject* module, visitproc visit, void* arg) {
  ModuleState& state = state_of_module(module);
  Py_VISIT(state.graph_store_type);
  Py_VISIT(state.payload_descriptor_type);
  Py_VISIT(state.incremental_reducer_type);
  return 0;
}

int clear_module_state(PyObject* module) {
  ModuleState& state = state_of_module(module);
  Py_CLEAR(state.graph_store_type);
  Py_CLEAR(state.payload_descriptor_type);
  Py_CLEAR(state.incremental_reducer_type);
  return 0;
}

void free_module_state(void* module) { clear_module_state(static_cast<PyObject*>(module)); }

}  // namespace weftory::py

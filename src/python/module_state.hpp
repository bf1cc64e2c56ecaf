// The state of one weftory_core module object: its classes. Every module
// object (a re-import makes a second one) has its own, so the objects and
// methods of one never see the classes of another.
#pragma once

#include "python/pyref.hpp"

namespace weftory::py {

struct ModuleState {
  PyTypeObject* graph_store_type = nullptr;         // strong reference
  PyTypeObject* payload_descriptor_type = nullptr;  // strong reference
  PyTypeObject* incremental_reducer_type = nullptr;  // strong reference
};

// The state of the module that created `cls` (one of the module's classes).
ModuleState& state_of_class(PyTypeObject* cls);

// What a module definition with this state needs: the execution step that
// creates the classes into the state and adds them to the module, and the
// garbage-collector hooks of the state.
int exec_module_state(PyObject* module);
int traverse_module_state(PyObject* module, visitproc visit, void* arg);
int clear_module_state(PyObject* module);
void free_module_state(void* module);

}  // namespace weftory::py

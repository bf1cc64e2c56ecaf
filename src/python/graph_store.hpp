// The GraphStore class: the Python face of one store.
#pragma once

#include <memory>

#include "python/module_state.hpp"
#include "store/store.hpp"

namespace weftory::py {

struct GraphStoreObject {
  PyObject_HEAD
  Store* store;  // owned; never null after construction
};

// Creates the class for one module object; returns a new reference.
PyObject* create_graph_store_type(PyObject* module);

// A new GraphStore object of the module whose state is given, owning the store.
PyRef wrap_store(const ModuleState& state, std::unique_ptr<Store> store);

inline Store& store_of(PyObject* self) { return *reinterpret_cast<GraphStoreObject*>(self)->store; }

}  // namespace weftory::py

// The GraphStore class: the Python face of one store.
#pragma once

#include <memory>

#include "python/pyref.hpp"
#include "store/store.hpp"

namespace weftory::py {

struct GraphStoreObject {
  PyObject_HEAD
  Store* store;  // owned; never null after construction
};

// Creates the class (once per module execution); returns a new reference.
PyObject* create_graph_store_type(PyObject* module);

// A new GraphStore object owning the given store.
PyRef wrap_store(std::unique_ptr<Store> store);

inline Store& store_of(PyObject* self) { return *reinterpret_cast<GraphStoreObject*>(self)->store; }

}  // namespace weftory::py

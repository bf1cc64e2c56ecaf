// The GraphStore class: the Python face of one store.
#pragma once

#include <memory>

#include "optimizer/reduce_graph.hpp"
#include "optimizer/report.hpp"
#include "python/module_state.hpp"
#include "store/store.hpp"

namespace weftory::py {

struct GraphStoreObject {
  PyObject_HEAD
  store::Store* store;  // owned; never null after construction
};

// Creates the class for one module object; returns a new reference.
PyObject* create_graph_store_type(PyObject* module);

// A new GraphStore object of the module whose state is given, owning the store.
PyRef wrap_store(const ModuleState& state, std::unique_ptr<store::Store> store);

// The report dict of a reduction: its six counts under their names.
PyRef report_to_python(const optimizer::ReductionReport& report);
// The pair (new GraphStore, report dict) every reduction returns.
PyObject* reduction_pair(const ModuleState& state, optimizer::StoreReduction reduced);
// ValueError "no node with id <id>".
[[noreturn]] void raise_bad_node_id(store::BadNodeId bad);

inline store::Store& store_of(PyObject* self) { return *reinterpret_cast<GraphStoreObject*>(self)->store; }

}  // namespace weftory::py

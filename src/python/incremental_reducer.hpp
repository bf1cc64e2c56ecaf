// The IncrementalReducer class: a store canonicalised step by step while it
// is built, then reduced.
#pragma once

#include "optimizer/incremental.hpp"
#include "python/module_state.hpp"

namespace weftory::py {

struct IncrementalReducerObject {
  PyObject_HEAD
  optimizer::IncrementalReducer* reducer;  // owned; never null after construction
};

// Creates the class for one module object; returns a new reference.
PyObject* create_incremental_reducer_type(PyObject* module);

inline optimizer::IncrementalReducer& reducer_of(PyObject* self) {
  return *reinterpret_cast<IncrementalReducerObject*>(self)->reducer;
}

}  // namespace weftory::py

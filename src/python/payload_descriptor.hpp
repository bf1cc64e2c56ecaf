// The PayloadDescriptor class: an immutable holder of one descriptor value.
#pragma once

#include "python/module_state.hpp"
#include "store/node.hpp"

namespace weftory::py {

// Creates the class for one module object; returns a new reference.
PyObject* create_payload_descriptor_type(PyObject* module);

// The value held by obj if it is an instance of this module's
// PayloadDescriptor, else nullptr (another module object's instances too).
const store::PayloadDescriptor* payload_descriptor_value(const ModuleState& state, PyObject* obj);

}  // namespace weftory::py

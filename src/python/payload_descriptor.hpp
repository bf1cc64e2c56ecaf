// The PayloadDescriptor class: an immutable holder of one descriptor value.
#pragma once

#include "python/pyref.hpp"
#include "store/node.hpp"

namespace weftory::py {

// Creates the class (once per module execution). Borrowed-style: the
// returned reference is new.
PyObject* create_payload_descriptor_type(PyObject* module);

// The value held by obj if it is a PayloadDescriptor instance, else nullptr.
const PayloadDescriptor* payload_descriptor_value(PyObject* obj);

}  // namespace weftory::py

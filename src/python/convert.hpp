// Conversions of Python arguments into core values. Each throws PyErrorSet
// with the Python exception set on failure.
#pragma once

#include <string>
#include <vector>

#include "python/module_state.hpp"
#include "store/node.hpp"

namespace weftory::py {

// Any str (subclasses too) as UTF-8; the type-mismatch TypeError otherwise.
std::string to_text(PyObject* obj);
// Through the integer protocol, as an unsigned 64-bit value.
NodeId to_node_id(PyObject* obj);
// Any sequence but str, item by item.
std::vector<NodeId> to_node_ids(PyObject* obj);
// Exactly True or False, or a NumPy boolean.
bool to_bool(PyObject* obj);
// nullptr or None: the empty map.
ParamMap params_from_python(PyObject* obj);
// A PayloadDescriptor of the module whose state is given, or a dict.
PayloadDescriptor descriptor_from_python(const ModuleState& state, PyObject* obj);

// Core values back to Python; nullptr with an error set on failure.
PyRef text_to_python(std::string_view text);
PyRef param_value_to_python(const ParamValue& value);
PyRef params_to_python(const ParamMap& params);
PyRef ids_to_python(const std::vector<NodeId>& ids);

}  // namespace weftory::py

// Conversions of Python arguments into core values. Each throws PyErrorSet
// with the Python exception set on failure.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "python/module_state.hpp"
#include "store/node.hpp"
#include "store/node_draft.hpp"

namespace weftory::py {

// Any str (subclasses too) as UTF-8; the type-mismatch TypeError otherwise.
std::string to_text(PyObject* obj);
// The same as a view of the str's own UTF-8, valid while the str lives.
std::string_view to_text_view(PyObject* obj);
// Through the integer protocol, as an unsigned 64-bit value.
store::NodeId to_node_id(PyObject* obj);
// Any sequence but str, item by item.
std::vector<store::NodeId> to_node_ids(PyObject* obj);
// The same into `ids` (cleared first), reusing its capacity.
void node_ids_into(PyObject* obj, std::vector<store::NodeId>& ids);
// Exactly True or False, or a NumPy boolean.
bool to_bool(PyObject* obj);
// Adds the params (nullptr or None: none) to `draft` and sorts them; a
// repeated key is refused.
void params_into(PyObject* obj, store::NodeDraft& draft);

// A node draft borrowed for one call from a per-thread pool, reset to `kind`.
// Reusing drafts keeps building a node free of allocations; each call has
// its own, since converting an argument can call back into the module.
class DraftLease {
 public:
  explicit DraftLease(store::NodeKind kind);
  DraftLease(const DraftLease&) = delete;
  DraftLease& operator=(const DraftLease&) = delete;
  ~DraftLease();
  store::NodeDraft& operator*() const { return *draft_; }
  store::NodeDraft* operator->() const { return draft_; }

 private:
  store::NodeDraft* draft_;
};
// A PayloadDescriptor of the module whose state is given, or a dict.
store::PayloadDescriptor descriptor_from_python(const ModuleState& state, PyObject* obj);

// Core values back to Python; nullptr with an error set on failure.
PyRef text_to_python(std::string_view text);
PyRef param_value_to_python(const store::ParamValue& value);
PyRef params_to_python(const store::ParamMap& params);
PyRef ids_to_python(const std::vector<store::NodeId>& ids);

}  // namespace weftory::py

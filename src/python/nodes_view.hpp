// The read-only Python views of a store: nodes() dicts and node_map() entries.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "python/pyref.hpp"
#include "store/store.hpp"

namespace weftory::py {

// One dict per node in id order, as nodes() returns them.
PyRef nodes_to_python(const store::Snapshot& snapshot);

// None for a dropped entry, else (reduced_id, member index or None).
PyRef node_map_to_python(const std::vector<store::NodeMapEntry>& node_map);

// The text as a double-quoted literal with backslash escapes.
std::string quote_token(std::string_view token);

}  // namespace weftory::py

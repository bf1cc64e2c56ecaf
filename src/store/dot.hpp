// Graphviz DOT text of a store.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "store/node.hpp"
#include "store/store.hpp"

namespace weftory::store {

// The whole DOT text of `store`: "digraph weftory {", one node line per node
// in id order (outputs drawn as double circles), one edge line per node
// input, "}". Rendered in place under the store's mutex, so the text shows
// one moment of the store; returns owned UTF-8 for the caller to convert
// after the mutex is released. A poisoned mutex is a FatalError.
std::string render_dot(const Store& store);

// The same text for a node vector and its marks (the marks must be node ids).
std::string render_dot(std::span<const NodeRecord> nodes, std::span<const NodeId> outputs);

// A node's label before escaping, e.g. "Op add {scalar=0, side=r}".
std::string dot_label(const NodeRecord& record);

// Backslashes doubled, then double quotes preceded by a backslash.
std::string escape_dot_label(std::string_view label);

// A Float as a label shows it: the shortest decimal that reads back as the
// same double, never in exponent form, no trailing ".0"; "NaN", "inf", "-inf".
std::string dot_float_text(double value);

}  // namespace weftory::store

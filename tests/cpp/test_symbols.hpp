// One symbol table for a test binary's hand-built e-graphs, patterns and
// rules, so that symbols made anywhere in a test mean the same texts. An
// e-graph built for a test starts from a copy (EGraph g(test_symbols())).
#pragma once

#include "egraph/symbol.hpp"

namespace weftory::egraph {

inline SymbolTable& test_symbols() {
  static SymbolTable table;
  return table;
}

}  // namespace weftory::egraph

// The one type for broken internal invariants. Ordinary failures are values;
// a FatalError ends the call and reaches Python as PanicException.
#pragma once

#include <stdexcept>
#include <string>

namespace weftory {

class FatalError : public std::runtime_error {
 public:
  explicit FatalError(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] inline void fatal(const std::string& message) { throw FatalError(message); }

}  // namespace weftory

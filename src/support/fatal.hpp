// The one type for broken internal invariants. Ordinary failures are values;
// a FatalError ends the call and reaches Python as PanicException.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace weftory::support {

class FatalError : public std::runtime_error {
 public:
  explicit FatalError(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] inline void fatal(const std::string& message) { throw FatalError(message); }

// An index past the end of a sequence of `len` entries.
[[noreturn]] inline void index_out_of_bounds(std::size_t len, std::size_t index) {
  fatal("index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index));
}

}  // namespace weftory::support

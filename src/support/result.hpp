// The result type of ordinary failures: a value of T, or an error of E.
//
// A failure a caller is expected to handle (an id the store does not hold, a
// malformed blob, a pattern text that does not parse, a state a reducer
// refuses to restore) is returned as a value rather than thrown, so that it
// shows in the signature and the caller has to look at it. Exceptions are
// kept for what no caller handles: a broken invariant (FatalError, see
// fatal.hpp) and an allocation failure. The Python layer turns the error of
// a Result into the Python exception with its exact text.
//
// Both constructors are implicit, so a function returns `value` or `error`
// as it is. Result<void, E> is "ok, or an error" for operations that give no
// value; `return {};` is its ok.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "support/fatal.hpp"

namespace weftory::support {

// The fatal text of unwrapping an error.
inline constexpr const char* kUnwrapErrMessage = "called `Result::unwrap()` on an `Err` value";

template <class T, class E>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<T, E>, "a value and an error of one type cannot be told apart");

 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // The value, or the error; asking for the one that is not there throws
  // std::bad_variant_access. `std::move(result).value()` moves the value out.
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T value() && { return std::move(std::get<0>(v_)); }
  const E& error() const& { return std::get<1>(v_); }
  E error() && { return std::move(std::get<1>(v_)); }

  // The value moved out; an error here is a broken invariant of the caller.
  T unwrap() && {
    if (!ok()) fatal(kUnwrapErrMessage);
    return std::move(std::get<0>(v_));
  }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;                                // ok
  Result(E error) : error_(std::move(error)) {}     // NOLINT: implicit by design

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  // The error; asking an ok result for it throws std::bad_optional_access.
  const E& error() const& { return error_.value(); }
  E error() && { return std::move(error_).value(); }

  // Nothing; an error here is a broken invariant of the caller.
  void unwrap() const {
    if (!ok()) fatal(kUnwrapErrMessage);
  }

 private:
  std::optional<E> error_;
};

}  // namespace weftory::support

#include "support/result.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "support/fatal.hpp"

namespace weftory::support {
namespace {

Result<int, std::string> half(int n) {
  if (n % 2 != 0) return std::to_string(n) + " is odd";
  return n / 2;
}

Result<void, std::string> check_even(int n) {
  if (n % 2 != 0) return std::to_string(n) + " is odd";
  return {};
}

TEST(Result, ValueOrError) {
  struct Case {
    int input;
    bool ok;
    int value;          // when ok
    std::string error;  // when not
  };
  const Case cases[] = {{4, true, 2, ""}, {0, true, 0, ""}, {-6, true, -3, ""}, {7, false, 0, "7 is odd"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    Result<int, std::string> r = half(c.input);
    EXPECT_EQ(r.ok(), c.ok);
    EXPECT_EQ(static_cast<bool>(r), c.ok);
    if (c.ok) {
      EXPECT_EQ(r.value(), c.value);
      EXPECT_EQ(std::as_const(r).value(), c.value);
      EXPECT_EQ(std::move(r).unwrap(), c.value);
      EXPECT_THROW((void)half(c.input).error(), std::bad_variant_access);
    } else {
      EXPECT_EQ(r.error(), c.error);
      EXPECT_THROW((void)r.value(), std::bad_variant_access);
      EXPECT_EQ(std::move(r).error(), c.error);
    }
  }
}

TEST(Result, OkOrError) {
  struct Case {
    int input;
    bool ok;
    std::string error;  // when not ok
  };
  const Case cases[] = {{2, true, ""}, {3, false, "3 is odd"}, {-1, false, "-1 is odd"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const Result<void, std::string> r = check_even(c.input);
    EXPECT_EQ(r.ok(), c.ok);
    EXPECT_EQ(static_cast<bool>(r), c.ok);
    if (c.ok) {
      EXPECT_NO_THROW(r.unwrap());
      EXPECT_THROW((void)r.error(), std::bad_optional_access);
    } else {
      EXPECT_EQ(r.error(), c.error);
    }
  }
  EXPECT_TRUE((Result<void, std::string>().ok()));
}

TEST(Result, UnwrappingAnErrorIsFatalWithOneText) {
  struct Case {
    const char* name;
    void (*unwrap)();
  };
  const Case cases[] = {
      {"value", [] { (void)half(3).unwrap(); }},
      {"void", [] { check_even(3).unwrap(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.unwrap();
      ADD_FAILURE() << "no FatalError";
    } catch (const FatalError& e) {
      EXPECT_STREQ(e.what(), "called `Result::unwrap()` on an `Err` value");
    }
  }
}

TEST(Result, MoveOnlyValueIsMovedOut) {
  Result<std::unique_ptr<int>, std::string> r = std::make_unique<int>(5);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r.value(), 5);
  std::unique_ptr<int> taken = std::move(r).value();
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(*taken, 5);
  EXPECT_EQ(r.value(), nullptr);  // moved from, still holding a value
  using Owned = Result<std::unique_ptr<int>, std::string>;
  EXPECT_EQ(*Owned(std::make_unique<int>(9)).unwrap(), 9);
}

}  // namespace
}  // namespace weftory::support

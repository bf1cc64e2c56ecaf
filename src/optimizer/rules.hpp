// The facts behind the rewrite rules, written once: which two-input
// operations commute and which one-input scalar operations return their input.
// The rewrite engine builds its rules from them, the incremental
// canonicaliser tests nodes against them, and tests and benchmarks read them.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

namespace weftory::optimizer::rules {

// Two-input Op names whose operands commute (only without parameters).
inline constexpr std::array<std::string_view, 8> kCommutativeNames = {"add", "mul",     "and",    "or",
                                                                      "eq",  "ne", "maximum", "minimum"};

// A one-input Op that returns its input: `name` with the Float parameter
// `scalar` and the Str parameter `side`, and no other parameter.
struct ScalarIdentity {
  std::string_view name;
  double scalar;
  std::string_view side;
  // The scalar's bit pattern, which is how parameters compare.
  constexpr std::uint64_t scalar_bits() const { return std::bit_cast<std::uint64_t>(scalar); }
};

// Adding 0.0 and multiplying by 1.0, on either side, in rule order.
inline constexpr std::array<ScalarIdentity, 4> kScalarIdentities = {{
    {"add", 0.0, "r"},
    {"add", 0.0, "l"},
    {"mul", 1.0, "r"},
    {"mul", 1.0, "l"},
}};

// The identity key of a parameterless Op named `name` ("op|" + name).
std::string commutative_key(std::string_view name);

// The identity key of the Op node an identity describes, made by the node
// model's identity_key, e.g. "op|add|scalar=f0000000000000000;side=sr".
std::string identity_key(const ScalarIdentity& identity);

// identity_key of every kScalarIdentities entry, in rule order.
const std::array<std::string, kScalarIdentities.size()>& identity_keys();

}  // namespace weftory::optimizer::rules

// A fast multiply-rotate hash for the e-graph's private maps and sets.
// Deterministic: no per-process seed, so iteration order of the maps depends
// only on the sequence of operations that filled them.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace weftory::egraph {

inline constexpr std::uint64_t kHashMultiplier = 0x517cc1b727220a95ULL;

// Folds one word into a running hash: rotate, xor, multiply.
constexpr std::uint64_t hash_combine(std::uint64_t hash, std::uint64_t word) {
  return (std::rotl(hash, 5) ^ word) * kHashMultiplier;
}

inline std::uint64_t hash_bytes(std::string_view text) {
  std::uint64_t hash = 0;
  const char* p = text.data();
  std::size_t n = text.size();
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    hash = hash_combine(hash, word);
    p += 8;
    n -= 8;
  }
  if (n > 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, n);
    hash = hash_combine(hash, word);
  }
  return hash_combine(hash, text.size());
}

// Hasher for integer-like keys (ids, symbols). Boost.Unordered applies its own
// post-mixing to hashers that do not declare themselves avalanching, which
// spreads the low-entropy product over the bucket index bits.
struct IntHash {
  template <class T>
  std::size_t operator()(T value) const {
    return static_cast<std::size_t>(hash_combine(0, static_cast<std::uint64_t>(value)));
  }
};

struct TextHash {
  std::size_t operator()(std::string_view text) const {
    return static_cast<std::size_t>(hash_bytes(text));
  }
};

}  // namespace weftory::egraph

// The project's two hashing schemes, each for its own kind of table.
//
// HashBuilder (seeded, a 64x64->128-bit multiply folded back to 64 bits) hashes
// node structure for the store's interning index and the incremental
// reducer's hash-cons. Those tables are keyed by whatever the caller sends, so
// each table draws a random seed (random_seed) and a caller cannot line up
// collisions ahead of time; nothing observable depends on their order.
//
// hash_combine (unseeded multiply-rotate over 64-bit words) hashes the
// e-graph's ids, e-nodes and texts. It is deterministic on purpose: the
// e-graph's maps are iterated, that order decides which class is searched
// first and which root survives a tied merge, and so a run's records and
// statistics must not change from one process to the next. Its inputs are
// ids the engine hands out, not raw caller data.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string_view>

namespace weftory::support {

// ---------------------------------------------------------------------------
// Seeded structure hashing

__extension__ using Uint128 = unsigned __int128;

inline std::uint64_t mix64(std::uint64_t a, std::uint64_t b) {
  Uint128 product = static_cast<Uint128>(a ^ 0xa0761d6478bd642fULL) * (b ^ 0xe7037ed1a0b428dbULL);
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

class HashBuilder {
 public:
  explicit HashBuilder(std::uint64_t seed = 0) : h_(seed ^ 0x8ebc6af09c88c6e3ULL) {}

  void add(std::uint64_t v) { h_ = mix64(h_, v); }

  void add_bytes(std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    add(n);
    while (n >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      add(w);
      p += 8;
      n -= 8;
    }
    if (n > 0) {
      // Byte by byte: a variable-length memcpy would be a library call.
      std::uint64_t w = 0;
      for (std::size_t i = 0; i < n; ++i) w |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
      add(w);
    }
  }

  std::uint64_t finish() const { return mix64(h_, 0x589965cc75374cc3ULL); }

 private:
  std::uint64_t h_;
};

// A fresh seed for a private hash table, from a per-thread generator seeded
// by the operating system.
inline std::uint64_t random_seed() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  return generator();
}

// ---------------------------------------------------------------------------
// Deterministic hashing for the e-graph

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

}  // namespace weftory::support

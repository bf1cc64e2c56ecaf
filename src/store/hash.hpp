// A small, fast, non-cryptographic hash builder (multiply-fold mixing).
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace weftory {

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

}  // namespace weftory

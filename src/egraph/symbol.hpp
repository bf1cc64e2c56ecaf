// Process-wide interned symbols: a text maps to a small integer and back.
// Equal texts give equal symbols; entries are never removed, so a symbol and
// the text it stands for stay valid for the life of the process. Interning and
// reading are safe from any thread.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace weftory::egraph {

class Symbol {
 public:
  // The default symbol is the empty text, interned first.
  constexpr Symbol() = default;

  // Returns the symbol of `text`, adding it to the table on first use.
  static Symbol intern(std::string_view text);

  // The text this symbol stands for. The view stays valid forever.
  std::string_view str() const;

  constexpr std::uint32_t index() const { return index_; }

  friend constexpr bool operator==(Symbol, Symbol) = default;
  friend constexpr auto operator<=>(Symbol, Symbol) = default;

 private:
  constexpr explicit Symbol(std::uint32_t index) : index_(index) {}
  std::uint32_t index_ = 0;
};

// Number of distinct texts interned so far in this process (never shrinks).
std::size_t symbol_count();

}  // namespace weftory::egraph

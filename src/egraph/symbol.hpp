// Interned symbols: a table maps each distinct text to a small integer and
// back. Equal texts give equal symbols within one table. A table belongs to
// whatever does the work (an e-graph, the rule set), so what a run interns
// lives exactly as long as the run. The one table threads share is the rule
// set's, which is only read (copied into each run's) once built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "support/hash.hpp"

namespace weftory::egraph {

class Symbol {
 public:
  // The default symbol is the empty text, which every table interns first.
  constexpr Symbol() = default;

  constexpr std::uint32_t index() const { return index_; }

  friend constexpr bool operator==(Symbol, Symbol) = default;
  friend constexpr auto operator<=>(Symbol, Symbol) = default;

 private:
  friend class SymbolTable;
  constexpr explicit Symbol(std::uint32_t index) : index_(index) {}
  std::uint32_t index_ = 0;
};

// Symbols are numbered from 0 in the order their texts were first interned.
// A copy holds the same texts under the same numbers, so a table of fixed
// symbols (a rule set's) can seed the table of each run that uses them.
class SymbolTable {
 public:
  SymbolTable();
  SymbolTable(const SymbolTable& other);
  SymbolTable& operator=(const SymbolTable& other);
  SymbolTable(SymbolTable&&) noexcept = default;
  SymbolTable& operator=(SymbolTable&&) noexcept = default;
  ~SymbolTable() = default;

  // The symbol of `text`, added on first use.
  Symbol intern(std::string_view text);
  // The text of a symbol of this table; valid while the table lives.
  std::string_view text(Symbol symbol) const;
  // Number of distinct texts, the empty one included.
  std::size_t size() const { return texts_.size(); }

 private:
  std::string_view store_text(std::string_view text);

  // A text with its hash, computed once per intern: a look-up that meets
  // another text under the index's short tag, and a rehash as the index
  // grows, compare and place hashes without reading the texts (which a run
  // of many distinct keys would fetch from all over memory).
  struct Key {
    std::string_view text;
    std::uint64_t hash;
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const { return static_cast<std::size_t>(key.hash); }
  };
  struct KeyEqual {
    bool operator()(const Key& a, const Key& b) const { return a.hash == b.hash && a.text == b.text; }
  };

  std::vector<std::string_view> texts_;
  boost::unordered_flat_map<Key, std::uint32_t, KeyHash, KeyEqual> index_;
  // Texts are copied into blocks that never move, so the views stay valid.
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t block_free_ = 0;
};

}  // namespace weftory::egraph

#include "egraph/symbol.hpp"

#include <cstring>
#include <string>

#include "support/fatal.hpp"

namespace weftory::egraph {

using support::fatal;
using support::index_out_of_bounds;

namespace {
constexpr std::size_t kBlockSize = 16 * 1024;
}  // namespace

SymbolTable::SymbolTable() { intern(""); }

SymbolTable::SymbolTable(const SymbolTable& other) : SymbolTable() {
  texts_.reserve(other.texts_.size());
  index_.reserve(other.texts_.size());
  for (std::size_t k = 1; k < other.texts_.size(); ++k) intern(other.texts_[k]);
}

SymbolTable& SymbolTable::operator=(const SymbolTable& other) {
  if (this != &other) *this = SymbolTable(other);
  return *this;
}

Symbol SymbolTable::intern(std::string_view text) {
  const Key probe{text, support::hash_bytes(text)};
  if (auto it = index_.find(probe); it != index_.end()) return Symbol(it->second);
  if (texts_.size() > std::size_t{UINT32_MAX}) fatal("symbol table is full");
  const auto index = static_cast<std::uint32_t>(texts_.size());
  const std::string_view stored = store_text(text);
  texts_.push_back(stored);
  index_.emplace(Key{stored, probe.hash}, index);
  return Symbol(index);
}

std::string_view SymbolTable::text(Symbol symbol) const {
  if (symbol.index() >= texts_.size()) index_out_of_bounds(texts_.size(), symbol.index());
  return texts_[symbol.index()];
}

std::string_view SymbolTable::store_text(std::string_view text) {
  if (text.empty()) return std::string_view();
  char* dest;
  if (text.size() > kBlockSize / 4) {
    // A long text gets a block of its own and leaves the current one open.
    blocks_.push_back(std::make_unique<char[]>(text.size()));
    dest = blocks_.back().get();
    if (blocks_.size() >= 2) std::swap(blocks_[blocks_.size() - 1], blocks_[blocks_.size() - 2]);
  } else {
    if (block_free_ < text.size() || blocks_.empty()) {
      blocks_.push_back(std::make_unique<char[]>(kBlockSize));
      block_free_ = kBlockSize;
    }
    dest = blocks_.back().get() + (kBlockSize - block_free_);
    block_free_ -= text.size();
  }
  std::memcpy(dest, text.data(), text.size());
  return std::string_view(dest, text.size());
}

}  // namespace weftory::egraph

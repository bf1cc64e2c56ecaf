#include "egraph/symbol.hpp"

#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "egraph/hash.hpp"
#include "store/fatal.hpp"

namespace weftory::egraph {
namespace {

// Texts live in a segmented array of views: segment k holds 2^(k + kFirstBits)
// entries and is never moved once allocated, so a reader that holds a symbol
// can fetch its text without taking the lock.
constexpr unsigned kFirstBits = 8;
constexpr std::size_t kSegmentCount = 33 - kFirstBits;
constexpr std::size_t kTextBlockSize = 64 * 1024;

class SymbolTable {
 public:
  SymbolTable() {
    for (auto& segment : segments_) segment.store(nullptr, std::memory_order_relaxed);
    insert_locked("");
  }

  std::uint32_t intern(std::string_view text) {
    {
      std::shared_lock lock(mutex_);
      auto it = index_.find(text);
      if (it != index_.end()) return it->second;
    }
    std::unique_lock lock(mutex_);
    auto it = index_.find(text);
    if (it != index_.end()) return it->second;
    return insert_locked(text);
  }

  std::string_view text(std::uint32_t index) const {
    auto [segment, offset] = locate(index);
    const std::string_view* entries = segments_[segment].load(std::memory_order_acquire);
    return entries[offset];
  }

  std::size_t size() const { return count_.load(std::memory_order_acquire); }

 private:
  static std::pair<std::size_t, std::size_t> locate(std::uint32_t index) {
    const std::uint64_t shifted = std::uint64_t{index} + (std::uint64_t{1} << kFirstBits);
    const unsigned top = static_cast<unsigned>(std::bit_width(shifted)) - 1;
    return {top - kFirstBits, static_cast<std::size_t>(shifted - (std::uint64_t{1} << top))};
  }

  // Copies the text into the append-only text blocks and returns a stable view.
  std::string_view store_text(std::string_view text) {
    if (text.empty()) return std::string_view();
    if (text.size() > kTextBlockSize / 4) {
      blocks_.push_back(std::make_unique<char[]>(text.size()));
      std::memcpy(blocks_.back().get(), text.data(), text.size());
      return std::string_view(blocks_.back().get(), text.size());
    }
    if (block_used_ + text.size() > kTextBlockSize || current_block_ == nullptr) {
      blocks_.push_back(std::make_unique<char[]>(kTextBlockSize));
      current_block_ = blocks_.back().get();
      block_used_ = 0;
    }
    char* dest = current_block_ + block_used_;
    std::memcpy(dest, text.data(), text.size());
    block_used_ += text.size();
    return std::string_view(dest, text.size());
  }

  std::uint32_t insert_locked(std::string_view text) {
    const std::size_t count = count_.load(std::memory_order_relaxed);
    if (count > std::size_t{UINT32_MAX}) fatal("symbol table is full");
    const auto index = static_cast<std::uint32_t>(count);
    auto [segment, offset] = locate(index);
    std::string_view* entries = segments_[segment].load(std::memory_order_relaxed);
    if (entries == nullptr) {
      entries = new std::string_view[std::size_t{1} << (segment + kFirstBits)];
      segments_[segment].store(entries, std::memory_order_release);
    }
    const std::string_view stored = store_text(text);
    entries[offset] = stored;
    index_.emplace(stored, index);
    count_.store(count + 1, std::memory_order_release);
    return index;
  }

  mutable std::shared_mutex mutex_;
  boost::unordered_flat_map<std::string_view, std::uint32_t, TextHash> index_;
  std::array<std::atomic<std::string_view*>, kSegmentCount> segments_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* current_block_ = nullptr;
  std::size_t block_used_ = 0;
  std::atomic<std::size_t> count_{0};
};

// Never destroyed: symbols may be used by other static objects at exit.
SymbolTable& table() {
  static SymbolTable* instance = new SymbolTable();
  return *instance;
}

}  // namespace

namespace {

// A small per-thread cache in front of the shared table: texts live forever
// in the table, so a cached (text, index) pair never goes stale, and a hit
// needs no lock.
struct CacheEntry {
  std::string_view text;
  std::uint32_t index = 0;
  bool used = false;
};
constexpr std::size_t kCacheSize = 512;

}  // namespace

Symbol Symbol::intern(std::string_view text) {
  thread_local std::array<CacheEntry, kCacheSize> cache;
  CacheEntry& entry = cache[hash_bytes(text) & (kCacheSize - 1)];
  if (entry.used && entry.text == text) return Symbol(entry.index);
  const std::uint32_t index = table().intern(text);
  entry = CacheEntry{table().text(index), index, true};
  return Symbol(index);
}

std::string_view Symbol::str() const { return table().text(index_); }

std::size_t symbol_count() { return table().size(); }

}  // namespace weftory::egraph

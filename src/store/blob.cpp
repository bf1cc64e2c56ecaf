// The IR blob writer and reader.
#include "store/blob.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "store/node_draft.hpp"
#include "store/node_table.hpp"
#include "support/hash.hpp"
#include "support/fatal.hpp"

namespace weftory::store {

using support::Result;
using support::fatal;

namespace {

constexpr std::uint8_t kMagic[4] = {'W', 'I', 'R', '1'};

// The fewest bytes each repeated item can take; a declared count is never
// trusted beyond what the remaining bytes could hold.
constexpr std::size_t kMinRecordBytes = 9;      // tag, an empty text or params, an empty list
constexpr std::size_t kMinParamBytes = 6;       // empty name, tag, bool byte
constexpr std::size_t kNodeRefBytes = 8;        // u64
constexpr std::size_t kMemberInputBytes = 5;    // source byte, u32 index


// ---------------------------------------------------------------------------
// Writer: one pass that checks every 32-bit field against the limit as it
// writes it (refusing what does not fit) into a buffer that grows as needed.

class Writer {
 public:
  Writer(std::uint64_t field_max, std::size_t expected_bytes)
      : capacity_(std::max<std::size_t>(expected_bytes, 64)), field_max_(field_max) {
    // Grown with realloc: the bytes are overwritten as they are written, so
    // nothing is zero-filled or constructed first.
    out_ = static_cast<std::uint8_t*>(std::malloc(capacity_));
    if (out_ == nullptr) throw std::bad_alloc();
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer() { std::free(out_); }

  void u8(std::uint8_t v) {
    room(1);
    out_[pos_++] = v;
  }
  void u64(std::uint64_t v) {
    room(8);
    store_le(v);
  }
  // A 32-bit field holding `value`; false (with the reason kept) when the
  // value does not fit.
  bool field(std::uint64_t value, std::string_view what) {
    if (value > field_max_) [[unlikely]] {
      return refuse(value, what);
    }
    room(4);
    store_le(static_cast<std::uint32_t>(value));
    return true;
  }
  bool text(std::string_view s, std::string_view what) {
    if (!field(s.size(), what)) return false;
    room(s.size());
    if (!s.empty()) std::memcpy(out_ + pos_, s.data(), s.size());
    pos_ += s.size();
    return true;
  }
  void at_node(std::uint64_t position) { node_ = position; }
  void at_top() { node_.reset(); }

  BlobTooLarge take_error() { return std::move(error_); }
  std::vector<std::uint8_t> take_bytes() const { return std::vector<std::uint8_t>(out_, out_ + pos_); }

 private:
  [[gnu::noinline, gnu::cold]] bool refuse(std::uint64_t value, std::string_view what) {
    error_ = BlobTooLarge{"cannot write weftory IR blob: " + std::string(what) + where() + " is " +
                          std::to_string(value) + ", above the format's limit of " + std::to_string(field_max_)};
    return false;
  }
  void room(std::size_t n) {
    if (capacity_ - pos_ < n) [[unlikely]] {
      grow(n);
    }
  }
  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t capacity = std::max(capacity_ * 2, pos_ + n);
    void* grown = std::realloc(out_, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    out_ = static_cast<std::uint8_t*>(grown);
    capacity_ = capacity;
  }
  template <class T>
  void store_le(T v) {
    std::uint8_t* p = out_ + pos_;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(p, &v, sizeof v);
    } else {
      for (std::size_t i = 0; i < sizeof v; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    pos_ += sizeof v;
  }
  std::string where() const { return node_ ? " of node " + std::to_string(*node_) : std::string(); }

  std::uint8_t* out_ = nullptr;
  std::size_t capacity_;
  std::size_t pos_ = 0;
  std::uint64_t field_max_;
  std::optional<std::uint64_t> node_;
  BlobTooLarge error_;
};

template <class Node>
bool write_params(Writer& w, const Node& node) {
  const std::size_t count = node.param_count();
  if (!w.field(count, "parameter count")) return false;
  for (std::size_t i = 0; i < count; ++i) {
    const ParamView p = node.param(i);
    if (!w.text(p.key, "parameter name length")) return false;
    w.u8(static_cast<std::uint8_t>(p.tag));
    switch (p.tag) {
      case ParamTag::Int:
      case ParamTag::Float:
        w.u64(p.bits);
        break;
      case ParamTag::Bool:
        w.u8(p.as_bool() ? 1 : 0);
        break;
      case ParamTag::Str:
        if (!w.text(p.str, "parameter value length")) return false;
        break;
    }
  }
  return true;
}

template <class Node>
bool write_record(Writer& w, const Node& node) {
  const NodeKind kind = node.kind();
  w.u8(static_cast<std::uint8_t>(kind));
  if (kind_has_name(kind) && !w.text(node.name(), "name length")) return false;
  if (kind == NodeKind::External) {
    const DescriptorView d = node.descriptor();
    if (!w.text(d.kind, "descriptor kind length") || !w.text(d.content_hash, "descriptor content_hash length") ||
        !w.text(d.framework, "descriptor framework length") || !w.text(d.version, "descriptor version length") ||
        !w.text(d.io_schema, "descriptor io_schema length")) {
      return false;
    }
    w.u8(d.preprocessing_ref ? 1 : 0);
    if (d.preprocessing_ref && !w.text(*d.preprocessing_ref, "descriptor preprocessing_ref length")) return false;
  }
  if (kind_has_params(kind) && !write_params(w, node)) return false;
  if (kind_has_inputs(kind)) {
    const auto inputs = node.inputs();
    if (!w.field(inputs.size(), "input count")) return false;
    for (NodeId input : inputs) w.u64(input);
  }
  if (kind == NodeKind::Stage) {
    const std::size_t members = node.member_count();
    if (!w.field(members, "member count")) return false;
    for (std::size_t j = 0; j < members; ++j) {
      if (!w.text(node.member_token(j), "member token length")) return false;
      const auto ins = node.member_inputs(j);
      if (!w.field(ins.size(), "member input count")) return false;
      for (const MemberInput& in : ins) {
        w.u8(static_cast<std::uint8_t>(in.source));
        if (!w.field(in.index, "member input index")) return false;
      }
    }
  }
  return true;
}

// Encodes `count` nodes, node k being get(k), and the outputs.
template <class GetNode>
Result<std::vector<std::uint8_t>, BlobTooLarge> write_nodes(std::size_t count, GetNode get,
                                                            std::span<const NodeId> outputs, std::uint64_t field_max) {
  if (field_max > kBlobFieldMax) fatal("blob field limit above 32 bits");
  for (NodeId id : outputs) {
    if (id >= count) fatal("blob writer given an output id beyond the node count");
  }
  Writer w(field_max, 16 + 48 * count + kNodeRefBytes * outputs.size());
  for (std::uint8_t c : kMagic) w.u8(c);
  if (!w.field(count, "node count")) return w.take_error();
  for (std::size_t k = 0; k < count; ++k) {
    const auto node = get(k);
    for (NodeId input : node.inputs()) {
      if (input >= k) fatal("blob writer given a node input not below its node");
    }
    if (node.kind() == NodeKind::External && !node.has_descriptor()) {
      fatal("blob writer given an External without descriptor");
    }
    w.at_node(k);
    if (!write_record(w, node)) return w.take_error();
  }
  w.at_top();
  if (!w.field(outputs.size(), "output count")) return w.take_error();
  for (NodeId id : outputs) w.u64(id);
  return w.take_bytes();
}

// ---------------------------------------------------------------------------
// Reader

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const std::uint8_t* s, std::size_t n) {
  // Most texts are short and ASCII: one pass that only ORs the bytes.
  if (n <= 16) {
    std::uint8_t any = 0;
    for (std::size_t k = 0; k < n; ++k) any |= s[k];
    if (any < 0x80) return true;
  }
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    const std::uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : p_(data.data()), end_(data.data() + data.size()) {}

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
  const BlobError& error() const { return *error_; }

  bool fail(BlobErrorKind kind, std::uint64_t value = 0) {
    error_.emplace(kind, value);
    return false;
  }

  bool u8(std::uint8_t& out) {
    if (remaining() < 1) return fail(BlobErrorKind::Truncated);
    out = *p_++;
    return true;
  }
  bool u32(std::uint32_t& out) {
    if (remaining() < 4) return fail(BlobErrorKind::Truncated);
    out = load_le<std::uint32_t>(p_);
    p_ += 4;
    return true;
  }
  bool u64(std::uint64_t& out) {
    if (remaining() < 8) return fail(BlobErrorKind::Truncated);
    out = load_le<std::uint64_t>(p_);
    p_ += 8;
    return true;
  }
  // The bytes of a text: its length, then that many bytes, which are
  // skipped; nullptr when the blob ends first. The caller checks them.
  const std::uint8_t* text_bytes(std::uint32_t& len) {
    if (!u32(len)) return nullptr;
    if (remaining() < len) {
      fail(BlobErrorKind::Truncated);
      return nullptr;
    }
    const std::uint8_t* at = p_;
    p_ += len;
    return at;
  }
  // A stage member input: the full five bytes are required before the source
  // byte is looked at.
  bool member_input(std::uint8_t& source, std::uint32_t& index) {
    if (remaining() < kMemberInputBytes) return fail(BlobErrorKind::Truncated);
    source = p_[0];
    index = load_le<std::uint32_t>(p_ + 1);
    p_ += kMemberInputBytes;
    return true;
  }

  // How many items of at least `min_bytes` each the rest of the blob can hold;
  // the bound for any reservation made from a declared count.
  std::size_t fit(std::uint64_t declared, std::size_t min_bytes) const {
    return static_cast<std::size_t>(std::min<std::uint64_t>(declared, remaining() / min_bytes));
  }

 private:
  template <class T>
  static T load_le(const std::uint8_t* p) {
    T v = 0;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&v, p, sizeof v);
    } else {
      for (std::size_t i = sizeof v; i-- > 0;) v = static_cast<T>((v << 8) | p[i]);
    }
    return v;
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
  std::optional<BlobError> error_;
};

// A text of the blob, interned into the pool of the store being filled:
// its bytes there (which never move), its id and its text_hash.
struct PooledText {
  const char* data = "";
  std::uint32_t size = 0;
  TextId id = 0;
  std::uint64_t hash = 0;

  std::string_view view() const { return {data, size}; }
};

// The distinct texts one read has met so far, keyed by their bytes. A blob
// repeats a few texts (names, parameter keys, short values) on record after
// record: the first occurrence of each is checked as UTF-8, hashed and
// interned, and every later one costs a probe of this table, which gives its
// id, hash and bytes without touching the pool. A text is entered only once
// it has passed the check, so a text found here is one that passed it.
//
// Open addressing with linear probing, at most a quarter full: the texts are
// few, and a short probe is most of what a repeated text costs. A text of up
// to 16 bytes is compared as two words read from its ends (with its length
// they determine every byte), a longer one by its probe hash and its bytes.
// The probe hash is seeded per read, so that a blob cannot line up its texts
// on one chain. The table holds at most kMaxTexts texts, and each took at
// least four bytes of the blob, so its size is bounded by both.
class TextCache {
 public:
  explicit TextCache(TextPool& pool)
      : pool_(pool), seed_(support::random_seed()), slots_(kFirstSlots, kEmptySlot), mask_(kFirstSlots - 1) {}

  // Reads the text at r's position into `out`.
  [[gnu::always_inline]] bool read(Reader& r, PooledText& out) {
    std::uint32_t len;
    const std::uint8_t* p = r.text_bytes(len);
    if (p == nullptr) return false;
    const Key key = key_of(p, len);
    const std::uint64_t probe = probe_hash(key, p, len);
    for (std::size_t at = probe & mask_;; at = (at + 1) & mask_) {
      const Slot& slot = slots_[at];
      if (slot.text.id == kEmpty) break;
      if (slot.key.head == key.head && slot.key.tail == key.tail && slot.text.size == len &&
          (len <= 16 || (slot.probe == probe && std::memcmp(slot.text.data, p, len) == 0))) {
        out = slot.text;
        return true;
      }
    }
    return read_new(r, p, len, key, probe, out);
  }

 private:
  struct Key {
    std::uint64_t head;
    std::uint64_t tail;
  };
  struct Slot {
    std::uint64_t probe;
    Key key;
    PooledText text;
  };
  static constexpr TextId kEmpty = ~TextId{0};
  // Texts beyond this many are read without entering the table: a blob of
  // mostly distinct texts gains nothing from it.
  static constexpr std::size_t kMaxTexts = std::size_t{1} << 15;
  static constexpr std::size_t kFirstSlots = 16;
  static constexpr Slot kEmptySlot{0, {0, 0}, {"", 0, kEmpty, 0}};

  // A text the table does not hold: checked, hashed, interned and entered.
  [[gnu::noinline]] bool read_new(Reader& r, const std::uint8_t* p, std::uint32_t len, const Key& key,
                                  std::uint64_t probe, PooledText& out) {
    if (!valid_utf8(p, len)) return r.fail(BlobErrorKind::InvalidUtf8);
    const std::string_view text(reinterpret_cast<const char*>(p), len);
    const std::uint64_t hash = text_hash(text);
    const TextId id = pool_.intern(text, hash);
    out = PooledText{pool_.text(id).data(), len, id, hash};
    if (count_ < kMaxTexts) insert(Slot{probe, key, out});
    return true;
  }

  static std::uint64_t load(const std::uint8_t* p, std::size_t n) {
    std::uint64_t v = 0;
    std::memcpy(&v, p, n);
    return v;
  }
  [[gnu::always_inline]] static Key key_of(const std::uint8_t* p, std::uint32_t n) {
    if (n >= 8) return Key{load(p, 8), load(p + n - 8, 8)};
    if (n >= 4) return Key{load(p, 4), load(p + n - 4, 4)};
    if (n > 0) return Key{std::uint64_t{p[0]} | std::uint64_t{p[n / 2]} << 8 | std::uint64_t{p[n - 1]} << 16, 0};
    return Key{0, 0};
  }
  [[gnu::always_inline]] std::uint64_t probe_hash(const Key& key, const std::uint8_t* p, std::uint32_t n) const {
    if (n <= 16) [[likely]] {
      return support::mix64(key.head ^ seed_, key.tail ^ (std::uint64_t{n} << 56));
    }
    return long_hash(p, n);
  }

  [[gnu::noinline]] std::uint64_t long_hash(const std::uint8_t* p, std::uint32_t n) const {
    support::HashBuilder h(seed_);
    h.add_bytes(std::string_view(reinterpret_cast<const char*>(p), n));
    return h.finish();
  }

  void insert(const Slot& slot) {
    if (4 * (count_ + 1) > slots_.size()) grow();
    std::size_t at = slot.probe & mask_;
    while (slots_[at].text.id != kEmpty) at = (at + 1) & mask_;
    slots_[at] = slot;
    ++count_;
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    const std::size_t size = 2 * old.size();
    slots_.assign(size, kEmptySlot);
    mask_ = size - 1;
    for (const Slot& slot : old) {
      if (slot.text.id == kEmpty) continue;
      std::size_t at = slot.probe & mask_;
      while (slots_[at].text.id != kEmpty) at = (at + 1) & mask_;
      slots_[at] = slot;
    }
  }

  TextPool& pool_;
  std::uint64_t seed_;
  std::vector<Slot> slots_;  // never empty, at most a quarter full
  std::size_t mask_;
  std::size_t count_ = 0;
};

// One record as read, its texts already interned into the pool of the store
// being filled (a PooledNode of that pool), ready for Store::load or
// Store::add. Reused from record to record, so that reading allocates
// nothing once its buffers have grown.
class PooledDraft {
 public:
  explicit PooledDraft(const TextPool& pool) : pool_(&pool) {}

  void reset(NodeKind kind) {
    kind_ = kind;
    name_ = {};
    params_.clear();
    inputs_.clear();
    has_descriptor_ = false;
    members_.clear();
    sorted_ = true;
  }

  void set_name(PooledText name) { name_ = name; }
  std::vector<NodeId>& inputs() { return inputs_; }
  void reserve_params(std::size_t n) { params_.reserve(n); }
  void add_param(PooledText key, ParamTag tag, std::uint64_t bits) { push_param(Entry{key, tag, bits, {}}); }
  void add_str_param(PooledText key, PooledText value) { push_param(Entry{key, ParamTag::Str, 0, value}); }
  void set_descriptor(const PooledText (&texts)[5], std::optional<PooledText> preprocessing_ref) {
    descriptor_ = StoredDescriptor{texts[0].id, texts[1].id, texts[2].id, texts[3].id, texts[4].id,
                                   preprocessing_ref ? preprocessing_ref->id : 0, preprocessing_ref.has_value()};
    has_descriptor_ = true;
  }
  void add_member(PooledText token) { members_.add(token.id); }
  void add_member_input(MemberInput input) { members_.add_input(input); }
  // Room for n more member inputs (see MemberList::reserve_inputs).
  void reserve_member_inputs(std::size_t n) { members_.reserve_inputs(n); }

  // Sorts the parameters by key bytes (stable) unless they arrived in
  // strictly increasing order, as the writer puts them. Returns whether the
  // keys are unique: equal keys are equal texts, which the pool gave one id.
  bool sort_params() {
    if (sorted_) return true;
    sorted_ = true;
    std::stable_sort(params_.begin(), params_.end(),
                     [](const Entry& a, const Entry& b) { return a.key.view() < b.key.view(); });
    for (std::size_t i = 1; i < params_.size(); ++i) {
      if (params_[i].key.id == params_[i - 1].key.id) return false;
    }
    return true;
  }
  // Ends the node; call after everything is added and the params are sorted.
  void finish() { members_.finish(); }

  // The read interface.
  NodeKind kind() const { return kind_; }
  std::string_view name() const { return name_.view(); }
  std::size_t param_count() const { return params_.size(); }
  ParamView param(std::size_t i) const {
    const Entry& e = params_[i];
    return ParamView{e.key.view(), e.tag, e.bits, e.str.view()};
  }
  std::span<const NodeId> inputs() const { return inputs_; }
  bool has_descriptor() const { return has_descriptor_; }
  DescriptorView descriptor() const {
    const StoredDescriptor& d = descriptor_;
    DescriptorView v{text(d.kind), text(d.content_hash), text(d.framework), text(d.version), text(d.io_schema),
                     std::nullopt};
    if (d.has_preprocessing_ref) v.preprocessing_ref = text(d.preprocessing_ref);
    return v;
  }
  std::size_t member_count() const { return members_.size(); }
  std::string_view member_token(std::size_t i) const { return text(members_.token(i)); }
  std::span<const MemberInput> member_inputs(std::size_t i) const { return members_.inputs(i); }
  std::uint64_t name_hash() const { return name_.hash; }
  std::uint64_t key_hash(std::size_t i) const { return params_[i].key.hash; }
  std::uint64_t str_hash(std::size_t i) const { return params_[i].str.hash; }

  // The ids of the texts in pool() (PooledNode).
  const TextPool& pool() const { return *pool_; }
  TextId name_id() const { return name_.id; }
  TextId key_id(std::size_t i) const { return params_[i].key.id; }
  TextId str_id(std::size_t i) const { return params_[i].str.id; }
  StoredDescriptor descriptor_ids() const { return descriptor_; }
  TextId member_token_id(std::size_t i) const { return members_.token(i); }

 private:
  struct Entry {
    PooledText key;
    ParamTag tag;
    std::uint64_t bits;
    PooledText str;
  };

  void push_param(const Entry& e) {
    // Still sorted while each key is above the one before it; an equal key
    // (the same id) ends that too, and sort_params then finds it.
    if (sorted_ && !params_.empty()) sorted_ = increasing(params_.back().key, e.key);
    params_.push_back(e);
  }
  // Whether text a is below text b. The maps of a blob list the same keys in
  // the same order record after record, so pairs found in order are kept
  // (a few, by slot) and most questions end there.
  bool increasing(const PooledText& a, const PooledText& b) {
    if (a.id == b.id) return false;
    const std::uint64_t pair = std::uint64_t{a.id} << 32 | b.id;
    std::uint64_t& known = increasing_[(a.id * 31 + b.id) % kIncreasingSlots];
    if (known == pair) return true;
    if (!(a.view() < b.view())) return false;
    known = pair;
    return true;
  }
  std::string_view text(TextId id) const { return pool_->text(id); }

  const TextPool* pool_;
  NodeKind kind_ = NodeKind::Source;
  PooledText name_;
  std::vector<Entry> params_;
  std::vector<NodeId> inputs_;
  StoredDescriptor descriptor_{};
  bool has_descriptor_ = false;
  bool sorted_ = true;
  static constexpr std::size_t kIncreasingSlots = 64;
  // Pairs (a << 32 | b) of distinct key ids known to be in increasing
  // order; 0 (the pair of id 0 with itself) stands for none.
  std::array<std::uint64_t, kIncreasingSlots> increasing_{};
  MemberList<TextId> members_;
};

bool read_params(Reader& r, TextCache& texts, PooledDraft& node) {
  std::uint32_t count;
  if (!r.u32(count)) return false;
  node.reserve_params(r.fit(count, kMinParamBytes));
  for (std::uint32_t i = 0; i < count; ++i) {
    PooledText key;
    if (!texts.read(r, key)) return false;
    std::uint8_t tag;
    if (!r.u8(tag)) return false;
    switch (tag) {
      case static_cast<std::uint8_t>(ParamTag::Int):
      case static_cast<std::uint8_t>(ParamTag::Float): {
        std::uint64_t bits;
        if (!r.u64(bits)) return false;
        node.add_param(key, static_cast<ParamTag>(tag), bits);
        break;
      }
      case static_cast<std::uint8_t>(ParamTag::Bool): {
        std::uint8_t b;
        if (!r.u8(b)) return false;
        node.add_param(key, ParamTag::Bool, b != 0 ? 1 : 0);
        break;
      }
      case static_cast<std::uint8_t>(ParamTag::Str): {
        PooledText value;
        if (!texts.read(r, value)) return false;
        node.add_str_param(key, value);
        break;
      }
      default:
        return r.fail(BlobErrorKind::InvalidParamTag, tag);
    }
  }
  // Blobs may list entries in any order; the map is sorted by name, and a
  // name may appear only once (a map with repeated keys would show one value
  // in some views and both in others).
  if (!node.sort_params()) return r.fail(BlobErrorKind::DuplicateParamName);
  return true;
}

// Reads the node references of a record at `position`. A reference names a
// record position; `id_of` translates it to the id that record received,
// which differs from the position only after two equal records collapsed.
template <class IdOf>
bool read_inputs(Reader& r, std::uint64_t position, const IdOf& id_of, std::vector<NodeId>& inputs) {
  std::uint32_t count;
  if (!r.u32(count)) return false;
  // The draft's buffer is reused, so this rarely grows it; the check keeps
  // the out-of-line reserve off the common path.
  if (const std::size_t room = r.fit(count, kNodeRefBytes); room > inputs.capacity()) inputs.reserve(room);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t ref;
    if (!r.u64(ref)) return false;
    if (ref >= position) return r.fail(BlobErrorKind::OutOfRange, ref);
    inputs.push_back(id_of(ref));
  }
  return true;
}

bool read_members(Reader& r, TextCache& texts, PooledDraft& node) {
  std::uint32_t count;
  if (!r.u32(count)) return false;
  for (std::uint32_t position = 0; position < count; ++position) {
    PooledText token;
    if (!texts.read(r, token)) return false;
    node.add_member(token);
    std::uint32_t input_count;
    if (!r.u32(input_count)) return false;
    node.reserve_member_inputs(r.fit(input_count, kMemberInputBytes));
    for (std::uint32_t i = 0; i < input_count; ++i) {
      std::uint8_t source;
      std::uint32_t index;
      if (!r.member_input(source, index)) return false;
      if (source == static_cast<std::uint8_t>(MemberSource::Input)) {
        node.add_member_input({MemberSource::Input, index});
      } else if (source == static_cast<std::uint8_t>(MemberSource::Member)) {
        if (index >= position) return r.fail(BlobErrorKind::OutOfRange, index);
        node.add_member_input({MemberSource::Member, index});
      } else {
        return r.fail(BlobErrorKind::InvalidStageRefTag, source);
      }
    }
  }
  return true;
}

bool read_descriptor(Reader& r, TextCache& texts, PooledDraft& node) {
  PooledText fields[5];
  for (PooledText& t : fields) {
    if (!texts.read(r, t)) return false;
  }
  std::uint8_t present;
  if (!r.u8(present)) return false;
  std::optional<PooledText> ref;
  if (present != 0) {
    PooledText text;
    if (!texts.read(r, text)) return false;
    ref = text;
  }
  node.set_descriptor(fields, ref);
  return true;
}

// Reads the record at `position` into `node`, which is reused from record to
// record so that reading allocates nothing once its buffers have grown.
template <class IdOf>
bool read_record(Reader& r, std::uint64_t position, const IdOf& id_of, TextCache& texts, PooledDraft& node) {
  std::uint8_t tag;
  if (!r.u8(tag)) return false;
  if (tag >= kNodeKindCount) return r.fail(BlobErrorKind::InvalidNodeTag, tag);
  const NodeKind kind = static_cast<NodeKind>(tag);
  node.reset(kind);
  if (kind_has_name(kind)) {
    PooledText name;
    if (!texts.read(r, name)) return false;
    node.set_name(name);
  }
  if (kind == NodeKind::External && !read_descriptor(r, texts, node)) return false;
  if (kind_has_params(kind) && !read_params(r, texts, node)) return false;
  if (kind_has_inputs(kind) && !read_inputs(r, position, id_of, node.inputs())) return false;
  if (kind == NodeKind::Stage && !read_members(r, texts, node)) return false;
  node.finish();
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------

Result<std::vector<std::uint8_t>, BlobTooLarge> write_blob(std::span<const NodeRecord> nodes,
                                                           std::span<const NodeId> outputs) {
  return write_blob_with_limit(nodes, outputs, kBlobFieldMax);
}

Result<std::vector<std::uint8_t>, BlobTooLarge> write_blob_with_limit(std::span<const NodeRecord> nodes,
                                                                      std::span<const NodeId> outputs,
                                                                      std::uint64_t field_max) {
  return write_nodes(nodes.size(), [&](std::size_t k) { return RecordRef(nodes[k]); }, outputs, field_max);
}

Result<std::vector<std::uint8_t>, BlobTooLarge> write_blob(const NodesView& nodes, std::span<const NodeId> outputs) {
  return write_nodes(nodes.size(), [&](std::size_t k) { return nodes[k]; }, outputs, kBlobFieldMax);
}

Result<std::vector<std::uint8_t>, SerializeError> serialize_store(const Store& store,
                                                                  std::optional<std::span<const NodeId>> outputs) {
  if (!outputs) {
    // Nodes and marks from one acquisition: every mark names a copied node.
    Snapshot snap = store.snapshot();
    Result<std::vector<std::uint8_t>, BlobTooLarge> written = write_blob(snap.nodes, snap.outputs);
    if (!written.ok()) return SerializeError{std::move(written).error()};
    return std::move(written).value();
  }
  // The requested ids are checked in list order before anything is copied.
  const std::uint64_t count = store.node_count();
  for (NodeId id : *outputs) {
    if (id >= count) return SerializeError{BadNodeId{id}};
  }
  // Nodes are only appended, so the ids checked above stay valid.
  Snapshot snap = store.snapshot();
  Result<std::vector<std::uint8_t>, BlobTooLarge> written = write_blob(snap.nodes, *outputs);
  if (!written.ok()) return SerializeError{std::move(written).error()};
  return std::move(written).value();
}

std::string BlobError::message() const {
  switch (kind_) {
    case BlobErrorKind::Truncated:
      return "truncated weftory IR blob";
    case BlobErrorKind::BadMagic:
      return "not a weftory IR blob (bad magic/version)";
    case BlobErrorKind::InvalidNodeTag:
      return "invalid node tag " + std::to_string(value_);
    case BlobErrorKind::InvalidParamTag:
      return "invalid param tag " + std::to_string(value_);
    case BlobErrorKind::InvalidStageRefTag:
      return "invalid stage-ref tag " + std::to_string(value_);
    case BlobErrorKind::InvalidUtf8:
      return "invalid utf-8 in weftory IR blob";
    case BlobErrorKind::OutOfRange:
      return "node reference " + std::to_string(value_) + " out of range";
    case BlobErrorKind::DuplicateParamName:
      return "duplicate param name in weftory IR blob";
  }
  return "invalid weftory IR blob";
}

namespace {

using ReadResult = Result<std::unique_ptr<Store>, BlobError>;

// The output section, read after the records: every reference names a record
// position, and the id that record received is marked once.
template <class IdOf>
ReadResult read_outputs(Reader& r, std::uint64_t node_count, const IdOf& id_of, std::unique_ptr<Store> store) {
  std::uint32_t output_count;
  if (!r.u32(output_count)) return r.error();
  // A mark already made is skipped here rather than rescanned by the store.
  std::vector<std::uint8_t> marked(store->node_count(), 0);
  for (std::uint32_t i = 0; i < output_count; ++i) {
    std::uint64_t ref;
    if (!r.u64(ref)) return r.error();
    if (ref >= node_count) return BlobError(BlobErrorKind::OutOfRange, ref);
    const NodeId id = id_of(ref);
    if (marked[id]) continue;
    marked[id] = 1;
    if (Result<void, BadNodeId> marked = store->mark_output(id); !marked) {
      return BlobError(BlobErrorKind::OutOfRange, marked.error().id);
    }
  }
  return store;
}

// Every record through the interning insert, so that equal records collapse
// into one id and later references to either name it. `r` is positioned just
// after the record count.
ReadResult read_interning(Reader& r, std::uint32_t node_count) {
  std::unique_ptr<Store> store = new_store();
  // ids[k]: the id record k received from the interning insert.
  std::vector<NodeId> ids;
  ids.reserve(r.fit(node_count, kMinRecordBytes));
  store->reserve(ids.capacity());
  const auto id_of = [&](std::uint64_t ref) { return ids[ref]; };
  TextCache texts(store->texts_for_load());
  PooledDraft node(store->texts_for_load());
  for (std::uint64_t k = 0; k < node_count; ++k) {
    if (!read_record(r, k, id_of, texts, node)) return r.error();
    Result<NodeId, BadNodeId> added = store->add(node);
    if (!added.ok()) return BlobError(BlobErrorKind::OutOfRange, added.error().id);
    ids.push_back(added.value());
  }
  return read_outputs(r, node_count, id_of, std::move(store));
}

}  // namespace

Result<std::unique_ptr<Store>, BlobError> read_blob(std::span<const std::uint8_t> data) {
  if (data.size() < sizeof kMagic) return BlobError(BlobErrorKind::Truncated);
  if (std::memcmp(data.data(), kMagic, sizeof kMagic) != 0) return BlobError(BlobErrorKind::BadMagic);
  Reader r(data.subspan(sizeof kMagic));
  std::uint32_t node_count;
  if (!r.u32(node_count)) return r.error();
  const Reader after_count = r;

  // A blob that serialize wrote holds no two equal records, so each record
  // is loaded under the id that is its position, with no look-up, and the
  // interning index is built once at the end. Equal records only change
  // which ids later records receive, never whether or where reading fails,
  // so a fault found here is the one the interning read reports; a blob that
  // does hold equal records is read again through the interning insert.
  std::unique_ptr<Store> store = new_store();
  const auto position = [](std::uint64_t ref) { return static_cast<NodeId>(ref); };
  TextCache texts(store->texts_for_load());
  PooledDraft node(store->texts_for_load());
  for (std::uint64_t k = 0; k < node_count; ++k) {
    if (!read_record(r, k, position, texts, node)) return r.error();
    store->load(node);
  }
  if (!store->index_loaded()) {
    store.reset();
    Reader again = after_count;
    return read_interning(again, node_count);
  }
  return read_outputs(r, node_count, position, std::move(store));
}

Result<std::unique_ptr<Store>, BlobError> read_blob_with_node_map(std::span<const std::uint8_t> data,
                                                                  std::vector<NodeMapEntry> node_map) {
  Result<std::unique_ptr<Store>, BlobError> read = read_blob(data);
  if (!read.ok() || node_map.empty()) return read;
  // The map's reduced ids are ids of the blob's store, which nobody else
  // sees yet, so it is installed as it is once every entry is checked.
  Snapshot snap = read.value()->snapshot();
  for (const NodeMapEntry& entry : node_map) {
    if (!entry) continue;
    if (entry->reduced_id >= snap.nodes.size()) return BlobError(BlobErrorKind::OutOfRange, entry->reduced_id);
    if (entry->member) {
      const NodeRef landed = snap.nodes[entry->reduced_id];
      if (landed.kind() != NodeKind::Stage || *entry->member >= landed.member_count()) {
        return BlobError(BlobErrorKind::OutOfRange, *entry->member);
      }
    }
  }
  install_node_map(*read.value(), std::move(node_map));
  return read;
}

}  // namespace weftory::store

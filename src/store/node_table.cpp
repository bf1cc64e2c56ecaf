#include "store/node_table.hpp"

#include <algorithm>
#include <cstring>

namespace weftory::store {

namespace {

// Texts are copied into chunks that start small and double, up to this size;
// a longer text gets a chunk of its own.
constexpr std::size_t kFirstChunk = 256;
constexpr std::size_t kLargestChunk = std::size_t{1} << 20;

}  // namespace

// ---------------------------------------------------------------- TextPool

TextPool::TextPool() : index_(0, Hash{this}, Equal{this}) {}

std::optional<TextId> TextPool::find(std::string_view text) const {
  auto hit = index_.find(Probe{text, text_hash(text)});
  if (hit == index_.end()) return std::nullopt;
  return *hit;
}

const char* TextPool::store_bytes(std::string_view text) {
  if (text.empty()) return "";
  if (static_cast<std::size_t>(chunk_end_ - cursor_) < text.size()) {
    const std::size_t want = std::max(text.size(), std::min(kLargestChunk, std::max(kFirstChunk, chunk_bytes_ * 2)));
    // The chunk list grows geometrically: a table of many long texts (each
    // in a chunk of its own) must not copy the whole list for every chunk.
    if (chunks_.size() == chunks_.capacity()) chunks_.reserve(std::max<std::size_t>(8, 2 * chunks_.capacity()));
    chunks_.push_back(std::make_unique_for_overwrite<char[]>(want));
    chunk_bytes_ = want;
    chunk_total_ += want;
    cursor_ = chunks_.back().get();
    chunk_end_ = cursor_ + want;
  }
  char* at = cursor_;
  std::memcpy(at, text.data(), text.size());
  cursor_ += text.size();
  return at;
}

TextId TextPool::intern(std::string_view text, std::uint64_t hash) {
  Recent& recent = recent_[hash % kRecentSlots];
  if (recent.hash == hash && recent.id != ~TextId{0} && std::string_view(recent.data, recent.size) == text) {
    return recent.id;
  }
  auto hit = index_.find(Probe{text, hash});
  if (hit != index_.end()) {
    const std::string_view found = this->text(*hit);
    recent = Recent{hash, found.data(), static_cast<std::uint32_t>(found.size()), *hit};
    return *hit;
  }
  // Only a new text is copied and indexed; its hash is kept so that growing
  // the index never rereads the bytes.
  const std::size_t id = entries_.size();
  if (id >= kTextLimit || text.size() >= kTableLimit) throw std::bad_alloc();
  const char* bytes = store_bytes(text);
  entries_.push_back(Entry{bytes, static_cast<std::uint32_t>(text.size())});
  try {
    hashes_.push_back(hash);
    index_.insert(static_cast<TextId>(id));
  } catch (...) {
    entries_.truncate(id);
    hashes_.truncate(id);
    if (!text.empty()) cursor_ = const_cast<char*>(bytes);  // the last bytes stored
    throw;
  }
  recent = Recent{hash, bytes, static_cast<std::uint32_t>(text.size()), static_cast<TextId>(id)};
  return static_cast<TextId>(id);
}

std::size_t TextPool::allocated_bytes() const {
  return entries_.allocated_bytes() + hashes_.allocated_bytes() + chunk_total_ +
         index_.bucket_count() * (sizeof(TextId) + 1);
}

// ---------------------------------------------------------------- NodeRef

DescriptorView NodeRef::descriptor() const {
  const StoredDescriptor& d = table_->descriptors_[node_.text];
  const TextPool& t = table_->texts_;
  DescriptorView v{t.text(d.kind), t.text(d.content_hash), t.text(d.framework), t.text(d.version),
                   t.text(d.io_schema), std::nullopt};
  if (d.has_preprocessing_ref) v.preprocessing_ref = t.text(d.preprocessing_ref);
  return v;
}

std::size_t NodeRef::member_count() const {
  return kind() == NodeKind::Stage ? table_->stages_[node_.text]->member_count() : 0;
}

std::string_view NodeRef::member_token(std::size_t i) const {
  return table_->texts_.text(table_->stages_[node_.text]->tokens()[i]);
}

std::span<const MemberInput> NodeRef::member_inputs(std::size_t i) const {
  const StoredStage& s = *table_->stages_[node_.text];
  const std::span<const std::uint32_t> starts = s.starts();
  return s.inputs().subspan(starts[i], starts[i + 1] - starts[i]);
}

bool operator==(const NodeRef& a, const NodeRef& b) { return same_node(a, b); }
bool operator==(const NodeRef& a, const NodeRecord& b) { return same_node(a, RecordRef(b)); }

// ---------------------------------------------------------------- StoredStage

StoredStage* StoredStage::make(std::size_t members, std::size_t inputs) {
  const std::size_t bytes = inputs_offset(members) + sizeof(MemberInput) * inputs;
  void* block = ::operator new(bytes);
  std::memset(block, 0, inputs_offset(members));
  auto* stage = ::new (block) StoredStage(static_cast<std::uint32_t>(members), static_cast<std::uint32_t>(inputs));
  std::uninitialized_default_construct_n(stage->inputs().data(), inputs);
  return stage;
}

void StoredStage::destroy(StoredStage* stage) noexcept {
  if (stage == nullptr) return;
  stage->~StoredStage();
  ::operator delete(static_cast<void*>(stage));
}

// ---------------------------------------------------------------- NodeTable

NodeTable::~NodeTable() {
  for (std::size_t i = 0; i < stages_.size(); ++i) StoredStage::destroy(stages_[i]);
}

std::uint32_t NodeTable::add_descriptor(const DescriptorView& d) {
  StoredDescriptor stored{texts_.intern(d.kind), texts_.intern(d.content_hash), texts_.intern(d.framework),
                          texts_.intern(d.version), texts_.intern(d.io_schema),
                          d.preprocessing_ref ? texts_.intern(*d.preprocessing_ref) : 0,
                          d.preprocessing_ref.has_value()};
  return push_descriptor(stored);
}

std::uint32_t NodeTable::push_descriptor(const StoredDescriptor& d) {
  const std::size_t index = descriptors_.size();
  if (index >= kTableLimit) throw std::bad_alloc();
  descriptors_.push_back(d);
  return static_cast<std::uint32_t>(index);
}

void NodeTable::pop_back() {
  const std::size_t last = nodes_.size() - 1;
  words_.truncate(nodes_[last].run);
  nodes_.truncate(last);
}

std::size_t NodeTable::allocated_bytes() const {
  return nodes_.allocated_bytes() + words_.allocated_bytes() + descriptors_.allocated_bytes() +
         stages_.allocated_bytes() + texts_.allocated_bytes();
}

}  // namespace weftory::store

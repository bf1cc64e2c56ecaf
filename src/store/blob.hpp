// The IR blob: the canonical, versioned byte form of a store's nodes and
// output marks, and its writer and reader.
//
// Layout (all integers little-endian, no padding): "WIR1", u32 node count,
// the node records in id order, u32 output count, u64 output ids. A text is a
// u32 byte length and UTF-8 bytes; a node reference is a u64; a stage member
// input is a source byte and a u32 index.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "store/node.hpp"
#include "store/store.hpp"
#include "support/result.hpp"

namespace weftory::store {

// The largest count, length or member input index a blob field can carry.
inline constexpr std::uint64_t kBlobFieldMax = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------
// Writing

// The store holds something the format cannot express (a count, length or
// member input index beyond 32 bits). `message` says what and where.
struct BlobTooLarge {
  std::string message;
  friend bool operator==(const BlobTooLarge&, const BlobTooLarge&) = default;
};

// Encodes `nodes` (a store's arena in id order: every input smaller than its
// node's position) followed by `outputs` exactly as given, repetitions and
// order kept. Every output must be smaller than nodes.size(); a node or output
// breaking that is a fatal internal error, since the caller checks both.
support::Result<std::vector<std::uint8_t>, BlobTooLarge> write_blob(std::span<const NodeRecord> nodes,
                                                                    std::span<const NodeId> outputs);

// The same for a view of a store's nodes.
support::Result<std::vector<std::uint8_t>, BlobTooLarge> write_blob(const NodesView& nodes,
                                                                    std::span<const NodeId> outputs);

// The same with a lower field limit, so that the refusal paths can be
// exercised without building four-gigabyte stores. `field_max` must not
// exceed kBlobFieldMax.
support::Result<std::vector<std::uint8_t>, BlobTooLarge> write_blob_with_limit(std::span<const NodeRecord> nodes,
                                                                               std::span<const NodeId> outputs,
                                                                               std::uint64_t field_max);

// What `serialize` does on a live store: with `outputs` absent the store's own
// marks are written; otherwise the given ids are checked in order against the
// node count (the first one not below it is returned as BadNodeId) and written
// as given. The store's mutex is held only while it is copied. The error says
// which of the two refusals it is: an output id, or a store too large.
using SerializeError = std::variant<BadNodeId, BlobTooLarge>;
support::Result<std::vector<std::uint8_t>, SerializeError> serialize_store(
    const Store& store, std::optional<std::span<const NodeId>> outputs);

// ---------------------------------------------------------------------------
// Reading

enum class BlobErrorKind : std::uint8_t {
  Truncated,           // "truncated weftory IR blob"
  BadMagic,            // "not a weftory IR blob (bad magic/version)"
  InvalidNodeTag,      // "invalid node tag <value>"
  InvalidParamTag,     // "invalid param tag <value>"
  InvalidStageRefTag,  // "invalid stage-ref tag <value>"
  InvalidUtf8,         // "invalid utf-8 in weftory IR blob"
  OutOfRange,          // "node reference <value> out of range"
  DuplicateParamName,  // "duplicate param name in weftory IR blob"
};

class BlobError {
 public:
  explicit BlobError(BlobErrorKind kind, std::uint64_t value = 0) : kind_(kind), value_(value) {}
  BlobErrorKind kind() const { return kind_; }
  // The tag byte or the reference the message names; 0 for the other kinds.
  std::uint64_t value() const { return value_; }
  // The exact text the caller reports (Python: ValueError).
  std::string message() const;
  friend bool operator==(const BlobError&, const BlobError&) = default;

 private:
  BlobErrorKind kind_;
  std::uint64_t value_;
};

// Rebuilds a fresh store from a blob: every record goes through the interning
// insert, every output through mark_output. The first fault in reading order
// is reported; bytes after the output section are ignored. The blob is read in
// place and never beyond its end; memory is reserved only for what the
// remaining bytes can hold.
support::Result<std::unique_ptr<Store>, BlobError> read_blob(std::span<const std::uint8_t> data);

// Reads a blob and installs `node_map` beside it: the restoring half of
// pickling, where the node map travels next to the blob. An empty node map
// gives exactly read_blob's store. A reduced id in the map that is not below
// the node count fails with OutOfRange carrying that id.
support::Result<std::unique_ptr<Store>, BlobError> read_blob_with_node_map(std::span<const std::uint8_t> data,
                                                                           std::vector<NodeMapEntry> node_map);

}  // namespace weftory::store

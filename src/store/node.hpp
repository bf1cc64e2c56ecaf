// The node model of the IR graph: kinds, parameters, payload descriptors,
// stage members, structural equality and hash, identity keys and member tokens.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace weftory::store {

using NodeId = std::uint64_t;

enum class NodeKind : std::uint8_t {
  Source = 0,
  Op = 1,
  Reduction = 2,
  External = 3,
  Stage = 4,
  Exchange = 5,
  Join = 6,
};
inline constexpr int kNodeKindCount = 7;

// The Python-facing kind word: "source", "op", ...
std::string_view kind_name(NodeKind kind);

enum class ParamTag : std::uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };

class ParamValue {
 public:
  ParamValue() = default;
  static ParamValue from_int(std::int64_t v);
  static ParamValue from_float(double v);
  static ParamValue from_bool(bool v);
  static ParamValue from_str(std::string v);

  ParamTag tag() const { return tag_; }
  std::int64_t as_int() const { return int_; }
  double as_float() const;
  bool as_bool() const { return int_ != 0; }
  const std::string& as_str() const { return str_; }
  // The IEEE-754 pattern of a Float with every NaN folded to 7ff8000000000000.
  std::uint64_t canonical_bits() const;

  friend bool operator==(const ParamValue& a, const ParamValue& b);

 private:
  ParamTag tag_ = ParamTag::Int;
  std::int64_t int_ = 0;  // Int value, Bool as 0/1, Float bit pattern
  std::string str_;
};

struct ParamEntry {
  std::string key;
  ParamValue value;
  friend bool operator==(const ParamEntry&, const ParamEntry&) = default;
};

// Sorted ascending by key bytes; keys unique (the builders establish this).
using ParamMap = std::vector<ParamEntry>;

// Stable sort of entries by key bytes; the order every consumer walks.
void sort_params(ParamMap& params);

struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;
  friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;
};

enum class MemberSource : std::uint8_t { Input = 0, Member = 1 };

struct MemberInput {
  MemberSource source = MemberSource::Input;
  std::uint64_t index = 0;
  friend bool operator==(const MemberInput&, const MemberInput&) = default;
};

struct StageMember {
  std::string token;
  std::vector<MemberInput> inputs;
  friend bool operator==(const StageMember&, const StageMember&) = default;
};

// One node. Fields not carried by a kind stay empty: `name` only for Source,
// Op and Reduction; `descriptor` only for External; `members` only for Stage;
// `params` for every kind but Stage; `inputs` for every kind but Source.
struct NodeRecord {
  NodeKind kind = NodeKind::Source;
  std::string name;
  ParamMap params;
  std::vector<NodeId> inputs;
  std::unique_ptr<PayloadDescriptor> descriptor;
  std::vector<StageMember> members;

  NodeRecord() = default;
  NodeRecord(const NodeRecord& other);
  NodeRecord& operator=(const NodeRecord& other);
  NodeRecord(NodeRecord&&) noexcept = default;
  NodeRecord& operator=(NodeRecord&&) noexcept = default;
  ~NodeRecord() = default;

  static NodeRecord source(std::string name, ParamMap params);
  static NodeRecord op(std::string name, ParamMap params, std::vector<NodeId> inputs);
  static NodeRecord reduction(std::string name, ParamMap params, std::vector<NodeId> inputs);
  static NodeRecord external(PayloadDescriptor descriptor, ParamMap params, std::vector<NodeId> inputs);
  static NodeRecord stage(std::vector<NodeId> inputs, std::vector<StageMember> members);
  static NodeRecord exchange(ParamMap params, std::vector<NodeId> inputs);
  static NodeRecord join(ParamMap params, std::vector<NodeId> inputs);

  friend bool operator==(const NodeRecord& a, const NodeRecord& b);
};

// Hash consistent with the structural equality above.
std::uint64_t hash_record(const NodeRecord& record, std::uint64_t seed = 0);

std::string escape_key_text(std::string_view text);
std::string unescape_key_text(std::string_view text);

// The canonical one-line text of everything about a node but its inputs.
std::string identity_key(const NodeRecord& record);

struct ParsedMemberToken {
  std::string kind;  // "op" or "red", as written in the token
  std::string name;
  ParamMap params;
};

// The inverse of identity_key for the Op and Reduction forms; nullopt when the
// token is unparseable.
std::optional<ParsedMemberToken> parse_member_token(std::string_view token);

}  // namespace weftory::store

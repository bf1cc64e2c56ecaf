#include "store/node.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>

#include "store/node_view.hpp"
#include "support/hash.hpp"

namespace weftory::store {

namespace {


void append_escaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '%': out += "%25"; break;
      case ';': out += "%3B"; break;
      case '=': out += "%3D"; break;
      case '|': out += "%7C"; break;
      default: out += c;
    }
  }
}

void replace_all(std::string& text, std::string_view from, std::string_view to) {
  std::string out;
  std::size_t pos = 0;
  bool changed = false;
  while (true) {
    std::size_t hit = text.find(from, pos);
    if (hit == std::string::npos) break;
    changed = true;
    out.append(text, pos, hit - pos);
    out += to;
    pos = hit + from.size();
  }
  if (!changed) return;
  out.append(text, pos, std::string::npos);
  text = std::move(out);
}

// Reads a signed decimal 64-bit integer: optional sign, at least one digit.
std::optional<std::int64_t> parse_i64(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  std::uint64_t magnitude = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (magnitude > (UINT64_MAX - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  constexpr std::uint64_t kMaxPositive = static_cast<std::uint64_t>(INT64_MAX);
  if (negative) {
    if (magnitude > kMaxPositive + 1) return std::nullopt;
    return static_cast<std::int64_t>(0 - magnitude);
  }
  if (magnitude > kMaxPositive) return std::nullopt;
  return static_cast<std::int64_t>(magnitude);
}

// Reads an unsigned hexadecimal number of at most 64 bits: optional "+",
// at least one digit, either letter case.
std::optional<std::uint64_t> parse_hex_u64(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : s) {
    std::uint64_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint64_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint64_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint64_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (value > (UINT64_MAX >> 4)) return std::nullopt;
    value = (value << 4) | digit;
  }
  return value;
}

}  // namespace

std::string_view kind_name(NodeKind kind) {
  static constexpr std::array<std::string_view, kNodeKindCount> kNames = {
      "source", "op", "reduction", "external", "stage", "exchange", "join"};
  return kNames[static_cast<std::size_t>(kind)];
}

// ---------------------------------------------------------------- ParamValue

ParamValue ParamValue::from_int(std::int64_t v) {
  ParamValue p;
  p.tag_ = ParamTag::Int;
  p.int_ = v;
  return p;
}

ParamValue ParamValue::from_float(double v) {
  ParamValue p;
  p.tag_ = ParamTag::Float;
  p.int_ = std::bit_cast<std::int64_t>(v);
  return p;
}

ParamValue ParamValue::from_bool(bool v) {
  ParamValue p;
  p.tag_ = ParamTag::Bool;
  p.int_ = v ? 1 : 0;
  return p;
}

ParamValue ParamValue::from_str(std::string v) {
  ParamValue p;
  p.tag_ = ParamTag::Str;
  p.str_ = std::move(v);
  return p;
}

double ParamValue::as_float() const { return std::bit_cast<double>(int_); }

std::uint64_t ParamValue::canonical_bits() const {
  double d = as_float();
  if (d != d) return kCanonicalNanBits;
  return static_cast<std::uint64_t>(int_);
}

bool operator==(const ParamValue& a, const ParamValue& b) {
  if (a.tag_ != b.tag_) return false;
  switch (a.tag_) {
    case ParamTag::Str: return a.str_ == b.str_;
    case ParamTag::Float: return a.canonical_bits() == b.canonical_bits();
    default: return a.int_ == b.int_;
  }
}

void sort_params(ParamMap& params) {
  auto less = [](const ParamEntry& a, const ParamEntry& b) { return a.key < b.key; };
  if (params.size() > 16) {
    std::stable_sort(params.begin(), params.end(), less);
    return;
  }
  // Parameter maps are short: a stable insertion sort without a buffer.
  for (std::size_t i = 1; i < params.size(); ++i) {
    if (!less(params[i], params[i - 1])) continue;
    ParamEntry moving = std::move(params[i]);
    std::size_t j = i;
    do {
      params[j] = std::move(params[j - 1]);
      --j;
    } while (j > 0 && less(moving, params[j - 1]));
    params[j] = std::move(moving);
  }
}

// ---------------------------------------------------------------- NodeRecord

NodeRecord::NodeRecord(const NodeRecord& other)
    : kind(other.kind),
      name(other.name),
      params(other.params),
      inputs(other.inputs),
      descriptor(other.descriptor ? std::make_unique<PayloadDescriptor>(*other.descriptor) : nullptr),
      members(other.members) {}

NodeRecord& NodeRecord::operator=(const NodeRecord& other) {
  if (this != &other) {
    NodeRecord copy(other);
    *this = std::move(copy);
  }
  return *this;
}

NodeRecord NodeRecord::source(std::string name, ParamMap params) {
  NodeRecord r;
  r.kind = NodeKind::Source;
  r.name = std::move(name);
  r.params = std::move(params);
  return r;
}

NodeRecord NodeRecord::op(std::string name, ParamMap params, std::vector<NodeId> inputs) {
  NodeRecord r;
  r.kind = NodeKind::Op;
  r.name = std::move(name);
  r.params = std::move(params);
  r.inputs = std::move(inputs);
  return r;
}

NodeRecord NodeRecord::reduction(std::string name, ParamMap params, std::vector<NodeId> inputs) {
  NodeRecord r = op(std::move(name), std::move(params), std::move(inputs));
  r.kind = NodeKind::Reduction;
  return r;
}

NodeRecord NodeRecord::external(PayloadDescriptor descriptor, ParamMap params, std::vector<NodeId> inputs) {
  NodeRecord r;
  r.kind = NodeKind::External;
  r.descriptor = std::make_unique<PayloadDescriptor>(std::move(descriptor));
  r.params = std::move(params);
  r.inputs = std::move(inputs);
  return r;
}

NodeRecord NodeRecord::stage(std::vector<NodeId> inputs, std::vector<StageMember> members) {
  NodeRecord r;
  r.kind = NodeKind::Stage;
  r.inputs = std::move(inputs);
  r.members = std::move(members);
  return r;
}

NodeRecord NodeRecord::exchange(ParamMap params, std::vector<NodeId> inputs) {
  NodeRecord r;
  r.kind = NodeKind::Exchange;
  r.params = std::move(params);
  r.inputs = std::move(inputs);
  return r;
}

NodeRecord NodeRecord::join(ParamMap params, std::vector<NodeId> inputs) {
  NodeRecord r = exchange(std::move(params), std::move(inputs));
  r.kind = NodeKind::Join;
  return r;
}

bool operator==(const NodeRecord& a, const NodeRecord& b) { return same_node(RecordRef(a), RecordRef(b)); }

std::uint64_t hash_record(const NodeRecord& r, std::uint64_t seed) { return hash_node(RecordRef(r), seed); }

ParamValue ParamView::to_value() const {
  switch (tag) {
    case ParamTag::Int: return ParamValue::from_int(as_int());
    case ParamTag::Float: return ParamValue::from_float(as_float());
    case ParamTag::Bool: return ParamValue::from_bool(as_bool());
    case ParamTag::Str: break;
  }
  return ParamValue::from_str(std::string(str));
}

PayloadDescriptor DescriptorView::to_descriptor() const {
  PayloadDescriptor d{std::string(kind), std::string(content_hash), std::string(framework), std::string(version),
                      std::string(io_schema), std::nullopt};
  if (preprocessing_ref) d.preprocessing_ref = std::string(*preprocessing_ref);
  return d;
}

// ---------------------------------------------------------------- key texts

std::string escape_key_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

std::string unescape_key_text(std::string_view text) {
  std::string out(text);
  replace_all(out, "%7C", "|");
  replace_all(out, "%3D", "=");
  replace_all(out, "%3B", ";");
  replace_all(out, "%25", "%");
  return out;
}

void append_escaped_key_text(std::string& out, std::string_view text) { append_escaped(out, text); }

void append_param_text(std::string& out, const ParamView& p) {
  static constexpr char kHex[] = "0123456789abcdef";
  append_escaped(out, p.key);
  out += '=';
  switch (p.tag) {
    case ParamTag::Int: {
      char buf[24];
      auto res = std::to_chars(buf, buf + sizeof buf, p.as_int());
      out += 'i';
      out.append(buf, res.ptr);
      break;
    }
    case ParamTag::Float: {
      const std::uint64_t bits = p.canonical_bits();
      out += 'f';
      for (int shift = 60; shift >= 0; shift -= 4) out += kHex[(bits >> shift) & 0xf];
      break;
    }
    case ParamTag::Bool: out += p.as_bool() ? "btrue" : "bfalse"; break;
    case ParamTag::Str:
      out += 's';
      append_escaped(out, p.str);
      break;
  }
}

void append_external_base(std::string& out, const DescriptorView& d) {
  // Escaped descriptor texts keep the six fields apart; an absent
  // preprocessing_ref is "-", a present one "s" and its escaped text.
  out += "ext|";
  for (std::string_view t : {d.kind, d.content_hash, d.framework, d.version, d.io_schema}) {
    append_escaped(out, t);
    out += '|';
  }
  if (d.preprocessing_ref) {
    out += 's';
    append_escaped(out, *d.preprocessing_ref);
  } else {
    out += '-';
  }
}

void append_member_text(std::string& out, std::string_view token, std::span<const MemberInput> inputs) {
  append_escaped(out, token);
  out += '=';
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    if (k > 0) out += ',';
    out += inputs[k].source == MemberSource::Input ? 'i' : 'm';
    out += std::to_string(inputs[k].index);
  }
}

std::string identity_key(const NodeRecord& r) { return identity_key_of(RecordRef(r)); }

std::optional<ParsedMemberToken> parse_member_token(std::string_view token) {
  std::size_t first_bar = token.find('|');
  if (first_bar == std::string_view::npos) return std::nullopt;
  std::string_view head = token.substr(0, first_bar);
  if (head != "op" && head != "red") return std::nullopt;
  std::string_view rest = token.substr(first_bar + 1);
  std::size_t second_bar = rest.find('|');
  std::string_view name_piece = rest.substr(0, second_bar);
  std::string_view param_piece = second_bar == std::string_view::npos ? std::string_view() : rest.substr(second_bar + 1);

  ParsedMemberToken parsed{std::string(head), unescape_key_text(name_piece), {}};
  if (param_piece.empty()) return parsed;

  std::size_t start = 0;
  while (true) {
    std::size_t end = param_piece.find(';', start);
    std::string_view entry = param_piece.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    std::size_t eq = entry.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::string_view value_text = entry.substr(eq + 1);
    if (value_text.empty()) return std::nullopt;
    char letter = value_text[0];
    std::string_view body = value_text.substr(1);
    ParamValue value;
    switch (letter) {
      case 'b':
        if (body == "true") {
          value = ParamValue::from_bool(true);
        } else if (body == "false") {
          value = ParamValue::from_bool(false);
        } else {
          return std::nullopt;
        }
        break;
      case 'i': {
        auto v = parse_i64(body);
        if (!v) return std::nullopt;
        value = ParamValue::from_int(*v);
        break;
      }
      case 'f': {
        auto bits = parse_hex_u64(body);
        if (!bits) return std::nullopt;
        value = ParamValue::from_float(std::bit_cast<double>(*bits));
        break;
      }
      case 's': value = ParamValue::from_str(unescape_key_text(body)); break;
      default: return std::nullopt;
    }
    parsed.params.push_back(ParamEntry{unescape_key_text(entry.substr(0, eq)), std::move(value)});
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  sort_params(parsed.params);
  return parsed;
}

}  // namespace weftory::store

// The DOT renderer.
#include "store/dot.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "support/fatal.hpp"

namespace weftory::store {

using support::fatal;

namespace {

template <class Node>
void append_params(std::string& out, const Node& node) {
  out += '{';
  for (std::size_t i = 0; i < node.param_count(); ++i) {
    if (i > 0) out += ", ";
    const ParamView p = node.param(i);
    out += p.key;
    out += '=';
    switch (p.tag) {
      case ParamTag::Int:
        out += std::to_string(p.as_int());
        break;
      case ParamTag::Float:
        out += dot_float_text(p.as_float());
        break;
      case ParamTag::Bool:
        out += p.as_bool() ? "true" : "false";
        break;
      case ParamTag::Str:
        out += p.str;
        break;
    }
  }
  out += '}';
}

template <class Node>
std::string label_of(const Node& node) {
  std::string label;
  switch (node.kind()) {
    case NodeKind::Source:
      label = "Source ";
      label += node.name();
      break;
    case NodeKind::Op:
      label = "Op ";
      label += node.name();
      break;
    case NodeKind::Reduction:
      label = "Reduction ";
      label += node.name();
      break;
    case NodeKind::External: {
      const DescriptorView d = node.descriptor();
      label = "External ";
      for (std::string_view piece : {d.kind, std::string_view(":"), d.content_hash, std::string_view(" ["),
                                     d.framework, std::string_view(" "), d.version, std::string_view("]")}) {
        label += piece;
      }
      break;
    }
    case NodeKind::Stage:
      // A Stage carries no parameters.
      return "Stage[" + std::to_string(node.member_count()) + " members]";
    case NodeKind::Exchange:
      label = "Exchange";
      break;
    case NodeKind::Join:
      label = "Join";
      break;
  }
  if (node.param_count() != 0) {
    label += ' ';
    append_params(label, node);
  }
  return label;
}

template <class Node>
void append_node_line(std::string& out, std::size_t id, const Node& node, bool is_output) {
  out += "  n";
  out += std::to_string(id);
  out += " [label=\"";
  out += escape_dot_label(label_of(node));
  out += '"';
  if (is_output) out += ", shape=doublecircle";
  out += "];\n";
}

}  // namespace

std::string dot_float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

  // Shortest round-trip digits in scientific form, "-d.ddde-XX", expanded to
  // positional notation.
  char buf[64];
  const std::to_chars_result res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  if (res.ec != std::errc()) fatal("float formatting failed");
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));

  std::string out;
  std::size_t pos = 0;
  if (sci[0] == '-') {
    out += '-';
    pos = 1;
  }
  const std::size_t e = sci.find('e');
  std::string digits;
  for (std::size_t i = pos; i < e; ++i) {
    if (sci[i] != '.') digits += sci[i];
  }
  int exponent = 0;
  const char* exp_begin = sci.data() + e + 1;
  if (*exp_begin == '+') ++exp_begin;
  std::from_chars(exp_begin, sci.data() + sci.size(), exponent);

  // value = 0.d1d2d3... × 10^(exponent + 1); the integer part has
  // exponent + 1 digits.
  const long int_digits = static_cast<long>(exponent) + 1;
  if (int_digits <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-int_digits), '0');
    out += digits;
  } else if (static_cast<std::size_t>(int_digits) >= digits.size()) {
    out += digits;
    out.append(static_cast<std::size_t>(int_digits) - digits.size(), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(int_digits));
    out += '.';
    out.append(digits, static_cast<std::size_t>(int_digits));
  }
  return out;
}

std::string escape_dot_label(std::string_view label) {
  std::string out;
  out.reserve(label.size());
  for (char c : label) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

std::string dot_label(const NodeRecord& record) { return label_of(RecordRef(record)); }

namespace {

template <class GetNode>
std::string render_nodes(std::size_t count, GetNode get, std::span<const NodeId> outputs) {
  // One flag per node instead of a scan of the marks for each node.
  std::vector<bool> is_output(count, false);
  for (NodeId id : outputs) {
    if (id >= count) fatal("index out of bounds: output mark " + std::to_string(id));
    is_output[id] = true;
  }
  std::string out = "digraph weftory {\n";
  for (std::size_t i = 0; i < count; ++i) append_node_line(out, i, get(i), is_output[i]);
  for (std::size_t i = 0; i < count; ++i) {
    for (NodeId input : get(i).inputs()) {
      out += "  n";
      out += std::to_string(input);
      out += " -> n";
      out += std::to_string(i);
      out += ";\n";
    }
  }
  out += "}\n";
  return out;
}

}  // namespace

std::string render_dot(std::span<const NodeRecord> nodes, std::span<const NodeId> outputs) {
  return render_nodes(nodes.size(), [&](std::size_t i) { return RecordRef(nodes[i]); }, outputs);
}

std::string render_dot(const Store& store) {
  return store.read_locked([](const NodesView& nodes, const std::vector<NodeId>& outputs) {
    return render_nodes(nodes.size(), [&](std::size_t i) { return nodes[i]; }, outputs);
  });
}

}  // namespace weftory::store

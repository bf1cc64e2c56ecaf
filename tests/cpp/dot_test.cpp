// The DOT renderer.
#include "store/dot.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/fatal.hpp"

namespace weftory::store {

using support::FatalError;
using support::Result;

namespace {

NodeId add(Store& store, NodeRecord record) {
  Result<NodeId, BadNodeId> added = store.add_node(std::move(record));
  EXPECT_TRUE(added.ok());
  return added.value();
}

ParamMap params(std::initializer_list<ParamEntry> entries) {
  ParamMap map(entries);
  sort_params(map);
  return map;
}
ParamEntry p(std::string key, ParamValue value) { return ParamEntry{std::move(key), std::move(value)}; }

// ---------------------------------------------------------------------------
// Float texts

TEST(DotFloat, ExactTexts) {
  struct Case {
    double value;
    std::string text;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {0.0, "0"},
      {-0.0, "-0"},
      {1.0, "1"},
      {-1.0, "-1"},
      {0.5, "0.5"},
      {-1.5, "-1.5"},
      {0.1, "0.1"},
      {123.456, "123.456"},
      {100.0, "100"},
      {1e20, "100000000000000000000"},
      {1e21, "1000000000000000000000"},
      {1e23, "100000000000000000000000"},
      {1.5e300, "15" + std::string(299, '0')},
      {0.001, "0.001"},
      {1e-7, "0.0000001"},
      {1.25e-10, "0.000000000125"},
      {9007199254740993.0, "9007199254740992"},
      {1.0 / 3.0, "0.3333333333333333"},
      {std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
      {std::numeric_limits<double>::denorm_min(), "0." + std::string(323, '0') + "5"},
      {std::numeric_limits<double>::min(), "0." + std::string(307, '0') + "22250738585072014"},
      {nan, "NaN"},
      {-nan, "NaN"},
      {std::bit_cast<double>(std::uint64_t{0x7ff4000000000123}), "NaN"},
      {inf, "inf"},
      {-inf, "-inf"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dot_float_text(c.value), c.text) << std::bit_cast<std::uint64_t>(c.value);
  }
}

TEST(DotFloat, RandomDoublesReadBackWithoutExponent) {
  std::mt19937_64 rng(99);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::bit_cast<double>(rng());
    if (!std::isfinite(value)) continue;
    const std::string text = dot_float_text(value);
    ASSERT_EQ(text.find_first_not_of("-0123456789."), std::string::npos) << text;
    ASSERT_FALSE(text.ends_with(".0")) << text;
    ASSERT_FALSE(text.ends_with(".")) << text;
    double back = 0;
    const std::from_chars_result res = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(res.ec, std::errc()) << text;
    ASSERT_EQ(res.ptr, text.data() + text.size()) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << text;
    // Shortest: the significant digits are exactly those of the shortest
    // scientific form.
    char sci[64];
    const auto end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    std::string sci_digits;
    for (const char* c = sci; c < end && *c != 'e'; ++c) {
      if (*c >= '0' && *c <= '9') sci_digits += *c;
    }
    std::string digits;
    for (char c : text) {
      if (c >= '0' && c <= '9') digits += c;
    }
    const std::size_t first = digits.find_first_not_of('0');
    digits = first == std::string::npos ? "0" : digits.substr(first);
    while (digits.size() > sci_digits.size() && digits.back() == '0') digits.pop_back();
    ASSERT_EQ(digits, sci_digits) << text;
  }
}

// ---------------------------------------------------------------------------
// Labels and escaping

TEST(DotLabel, EveryKindWithAndWithoutParams) {
  const ParamMap add_params = params({p("scalar", ParamValue::from_float(0.0)), p("side", ParamValue::from_str("r"))});
  const ParamMap mixed = params({p("i", ParamValue::from_int(-7)), p("b", ParamValue::from_bool(true)),
                                 p("c", ParamValue::from_bool(false)), p("f", ParamValue::from_float(1e20)),
                                 p("s", ParamValue::from_str("a b=c, d"))});
  const PayloadDescriptor desc{"k", "h", "f", "v", "io-not-shown", std::string("pre-not-shown")};
  const PayloadDescriptor bare{"onnx", "sha:1", "torch", "2.3", "", std::nullopt};
  struct Case {
    const char* name;
    NodeRecord record;
    std::string label;
  };
  const Case cases[] = {
      {"source", NodeRecord::source("x", {}), "Source x"},
      {"source with params", NodeRecord::source("x", mixed), "Source x {b=true, c=false, f=100000000000000000000, i=-7, s=a b=c, d}"},
      {"op", NodeRecord::op("neg", {}, {0}), "Op neg"},
      {"op with params", NodeRecord::op("add", add_params, {0, 1}), "Op add {scalar=0, side=r}"},
      {"op with empty name", NodeRecord::op("", {}, {}), "Op "},
      {"reduction", NodeRecord::reduction("sum", {}, {0}), "Reduction sum"},
      {"reduction with params", NodeRecord::reduction("sum", params({p("axis", ParamValue::from_int(0))}), {0}),
       "Reduction sum {axis=0}"},
      {"external", NodeRecord::external(desc, {}, {}), "External k:h [f v]"},
      {"external, other descriptor", NodeRecord::external(bare, {}, {0}), "External onnx:sha:1 [torch 2.3]"},
      {"external with params", NodeRecord::external(desc, params({p("q", ParamValue::from_float(-0.0))}), {}),
       "External k:h [f v] {q=-0}"},
      {"stage of three", NodeRecord::stage({0}, std::vector<StageMember>(3, StageMember{"op|neg", {}})), "Stage[3 members]"},
      {"stage of one", NodeRecord::stage({0}, {StageMember{"op|neg", {}}}), "Stage[1 members]"},
      {"stage of none", NodeRecord::stage({}, {}), "Stage[0 members]"},
      {"exchange", NodeRecord::exchange({}, {0}), "Exchange"},
      {"exchange with params", NodeRecord::exchange(params({p("scheme", ParamValue::from_str("hash"))}), {0}),
       "Exchange {scheme=hash}"},
      {"join", NodeRecord::join({}, {0, 1}), "Join"},
      {"join with params", NodeRecord::join(params({p("how", ParamValue::from_str("inner")), p("k", ParamValue::from_int(2))}), {0, 1}),
       "Join {how=inner, k=2}"},
      {"keys and str values are not escaped", NodeRecord::source("a|b", params({p("k;=|%", ParamValue::from_str("v\"\\"))})),
       "Source a|b {k;=|%=v\"\\}"},
      {"nan and infinities", NodeRecord::source("f", params({p("a", ParamValue::from_float(std::nan(""))),
                                                             p("b", ParamValue::from_float(-INFINITY))})),
       "Source f {a=NaN, b=-inf}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dot_label(c.record), c.label) << c.name;
  }
}

TEST(DotLabel, Escaping) {
  struct Case {
    std::string raw;
    std::string escaped;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"a\"b", "a\\\"b"},
      {"a\\b", "a\\\\b"},
      {"\\\"", "\\\\\\\""},  // backslash-quote becomes three backslashes and a quote
      {"\"\"", "\\\"\\\""},
      {"end\\", "end\\\\"},
      {"line\nfeed\ttab", "line\nfeed\ttab"},
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(escape_dot_label(c.raw), c.escaped) << c.raw;
}

// ---------------------------------------------------------------------------
// Whole texts

TEST(DotRender, ExactTexts) {
  auto empty = new_store();
  EXPECT_EQ(render_dot(*empty), "digraph weftory {\n}\n");

  auto neg = new_store();
  add(*neg, NodeRecord::source("x", {}));
  add(*neg, NodeRecord::op("neg", {}, {0}));
  ASSERT_TRUE(neg->mark_output(0).ok());
  EXPECT_EQ(render_dot(*neg),
            "digraph weftory {\n"
            "  n0 [label=\"Source x\", shape=doublecircle];\n"
            "  n1 [label=\"Op neg\"];\n"
            "  n0 -> n1;\n"
            "}\n");

  auto repeated = new_store();
  add(*repeated, NodeRecord::source("a", {}));
  add(*repeated, NodeRecord::source("b\"q\\", {}));
  add(*repeated, NodeRecord::op("add", {}, {0, 0}));
  add(*repeated, NodeRecord::stage({2, 1, 2}, {StageMember{"op|neg", {{MemberSource::Input, 0}}}}));
  ASSERT_TRUE(repeated->mark_output(3).ok());
  ASSERT_TRUE(repeated->mark_output(1).ok());
  EXPECT_EQ(render_dot(*repeated),
            "digraph weftory {\n"
            "  n0 [label=\"Source a\"];\n"
            "  n1 [label=\"Source b\\\"q\\\\\", shape=doublecircle];\n"
            "  n2 [label=\"Op add\"];\n"
            "  n3 [label=\"Stage[1 members]\", shape=doublecircle];\n"
            "  n0 -> n2;\n"
            "  n0 -> n2;\n"
            "  n2 -> n3;\n"
            "  n1 -> n3;\n"
            "  n2 -> n3;\n"
            "}\n");
}

TEST(DotRender, MarkOrderDoesNotMatter) {
  std::string texts[2];
  const std::vector<NodeId> orders[2] = {{2, 0, 1}, {1, 2, 0}};
  for (int k = 0; k < 2; ++k) {
    auto store = new_store();
    add(*store, NodeRecord::source("a", {}));
    add(*store, NodeRecord::source("b", {}));
    add(*store, NodeRecord::join({}, {0, 1}));
    for (NodeId id : orders[k]) ASSERT_TRUE(store->mark_output(id).ok());
    texts[k] = render_dot(*store);
  }
  EXPECT_EQ(texts[0], texts[1]);
  std::size_t marked = 0;
  for (std::size_t pos = 0; (pos = texts[0].find(", shape=doublecircle", pos)) != std::string::npos; ++pos) ++marked;
  EXPECT_EQ(marked, 3u);
}

TEST(DotRender, PoisonedStoreIsFatal) {
  auto store = new_store();
  add(*store, NodeRecord::source("a", {}));
  EXPECT_THROW(store->read_locked([](const auto&, const auto&) -> int { throw FatalError("broken"); }), FatalError);
  try {
    (void)render_dot(*store);
    FAIL() << "rendering a poisoned store succeeded";
  } catch (const FatalError& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("weftory-core store mutex poisoned: ")) << e.what();
  }
}

TEST(DotRender, ConcurrentAddsSeeOneConsistentState) {
  // Every text rendered while another thread adds nodes holds a prefix of the
  // arena: node lines 0..k-1 and only edges between them.
  auto store = new_store();
  add(*store, NodeRecord::source("x", {}));
  std::thread adder([&] {
    for (NodeId i = 1; i < 3000; ++i) {
      (void)store->add_node(NodeRecord::op("neg", {}, {i - 1}));
      if (i % 100 == 0) (void)store->mark_output(i);
    }
  });
  for (int round = 0; round < 50; ++round) {
    const std::string text = render_dot(*store);
    std::istringstream lines(text);
    std::string line;
    std::size_t node_lines = 0, edge_lines = 0;
    while (std::getline(lines, line)) {
      if (line.find("[label=") != std::string::npos) {
        ASSERT_EQ(edge_lines, 0u) << "node line after an edge line";
        ASSERT_TRUE(line.starts_with("  n" + std::to_string(node_lines) + " ")) << line;
        ++node_lines;
      } else if (line.find(" -> ") != std::string::npos) {
        ASSERT_EQ(line, "  n" + std::to_string(edge_lines) + " -> n" + std::to_string(edge_lines + 1) + ";");
        ++edge_lines;
      }
    }
    ASSERT_EQ(edge_lines + 1, node_lines);
  }
  adder.join();
}

// ---------------------------------------------------------------------------
// Graphviz reads what is rendered

bool have_dot() { return access("/usr/bin/dot", X_OK) == 0 || std::system("command -v dot >/dev/null 2>&1") == 0; }

struct DotRun {
  int status = -1;
  std::string output;  // stdout and stderr together
};

DotRun run_dot(const std::string& text) {
  const auto dir = std::filesystem::temp_directory_path();
  const std::string stem = (dir / ("weftory_dot_test_" + std::to_string(getpid()))).string();
  {
    std::ofstream file(stem + ".dot", std::ios::binary);
    file << text;
  }
  const std::string command = "dot -Tplain '" + stem + ".dot' > '" + stem + ".out' 2>&1";
  DotRun run;
  run.status = std::system(command.c_str());
  std::ifstream out(stem + ".out", std::ios::binary);
  run.output.assign(std::istreambuf_iterator<char>(out), std::istreambuf_iterator<char>());
  std::filesystem::remove(stem + ".dot");
  std::filesystem::remove(stem + ".out");
  return run;
}

TEST(DotGraphviz, AcceptsEveryKindAndOddNames) {
  if (!have_dot()) GTEST_SKIP() << "Graphviz dot is not installed";
  const std::string odd_names[] = {
      "plain",
      "quote\"inside",
      "back\\slash",
      "trailing backslash\\",
      "\\\"",
      "\\\\\\",
      "\"",
      "line\nfeed",
      "cr\r\nlf",
      "tab\there",
      "\\n \\l \\N \\G escapes",
      "unicode \xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E \xE4\xB8\xAD\xE6\x96\x87",
      "braces {a=b} [c] <d> ; , = -> --",
      "",
      " leading and trailing ",
      std::string(400, 'w'),
  };
  auto store = new_store();
  std::size_t edges = 0;
  NodeId previous = add(*store, NodeRecord::source("root", {}));
  for (const std::string& name : odd_names) {
    const ParamMap odd_params = params({p(name + "k", ParamValue::from_str(name)), p("f", ParamValue::from_float(-1e-300)),
                                        p("n", ParamValue::from_float(std::nan(""))), p("i", ParamValue::from_int(-1))});
    const PayloadDescriptor desc{name, name + "#", name, name, name, name};
    const NodeId s = add(*store, NodeRecord::source(name, odd_params));
    const NodeId o = add(*store, NodeRecord::op(name, odd_params, {s, previous, s}));
    const NodeId r = add(*store, NodeRecord::reduction(name, {}, {o}));
    const NodeId e = add(*store, NodeRecord::external(desc, odd_params, {r, s}));
    const NodeId st = add(*store, NodeRecord::stage({e, o}, {StageMember{"op|" + name, {{MemberSource::Input, 1}}}}));
    const NodeId ex = add(*store, NodeRecord::exchange(odd_params, {st}));
    previous = add(*store, NodeRecord::join(odd_params, {ex, e}));
    edges += 3 + 1 + 2 + 2 + 1 + 2;
    ASSERT_TRUE(store->mark_output(ex).ok());
  }
  add(*store, NodeRecord::exchange({}, {}));
  add(*store, NodeRecord::join({}, {}));
  const std::string text = render_dot(*store);
  const DotRun run = run_dot(text);
  ASSERT_EQ(run.status, 0) << run.output;
  // Graphviz saw every node and every edge: "node nK ..." and "edge nA nB ..." lines.
  std::size_t node_lines = 0, edge_lines = 0;
  std::istringstream lines(run.output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.starts_with("node n")) ++node_lines;
    if (line.starts_with("edge n")) ++edge_lines;
    EXPECT_FALSE(line.starts_with("Warning") || line.starts_with("Error")) << line;
  }
  EXPECT_EQ(node_lines, store->node_count());
  EXPECT_EQ(edge_lines, edges);
}

TEST(DotGraphviz, AcceptsAnEmptyStore) {
  if (!have_dot()) GTEST_SKIP() << "Graphviz dot is not installed";
  auto store = new_store();
  const DotRun run = run_dot(render_dot(*store));
  EXPECT_EQ(run.status, 0) << run.output;
}

}  // namespace
}  // namespace weftory::store

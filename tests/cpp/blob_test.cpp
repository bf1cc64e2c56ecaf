// The IR blob writer and reader.
#include "store/blob.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace weftory::store {

using support::FatalError;
using support::Result;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Hand-assembles blobs field by field, little-endian.
class BlobBuilder {
 public:
  BlobBuilder& raw(std::string_view s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  BlobBuilder& u8(std::uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  BlobBuilder& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  BlobBuilder& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  BlobBuilder& text(std::string_view s) { return u32(static_cast<std::uint32_t>(s.size())).raw(s); }
  BlobBuilder& header(std::uint32_t node_count) { return raw("WIR1").u32(node_count); }
  // A Source record without parameters.
  BlobBuilder& source(std::string_view name) { return u8(0).text(name).u32(0); }
  // An Op record without parameters on the given references.
  BlobBuilder& op(std::string_view name, std::initializer_list<std::uint64_t> inputs) {
    u8(1).text(name).u32(0).u32(static_cast<std::uint32_t>(inputs.size()));
    for (std::uint64_t in : inputs) u64(in);
    return *this;
  }
  BlobBuilder& op(std::string_view name, std::span<const std::uint64_t> inputs) {
    u8(1).text(name).u32(0).u32(static_cast<std::uint32_t>(inputs.size()));
    for (std::uint64_t in : inputs) u64(in);
    return *this;
  }
  BlobBuilder& outputs(std::span<const std::uint64_t> ids) {
    u32(static_cast<std::uint32_t>(ids.size()));
    for (std::uint64_t id : ids) u64(id);
    return *this;
  }
  BlobBuilder& outputs(std::initializer_list<std::uint64_t> ids) {
    return outputs(std::span<const std::uint64_t>(ids.begin(), ids.size()));
  }
  Bytes bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

ParamMap params(std::initializer_list<ParamEntry> entries) {
  ParamMap map(entries);
  sort_params(map);
  return map;
}
ParamEntry p(std::string key, ParamValue value) { return ParamEntry{std::move(key), std::move(value)}; }

PayloadDescriptor descriptor(std::optional<std::string> preprocessing_ref) {
  return PayloadDescriptor{"onnx", "sha256:ab", "torch", "2.3", "f32[N,3]", std::move(preprocessing_ref)};
}

// A store holding every kind and every parameter type, with marks.
std::unique_ptr<Store> rich_store() {
  auto store = new_store();
  auto add = [&](NodeRecord r) {
    auto added = store->add_node(std::move(r));
    EXPECT_TRUE(added.ok());
    return added.value();
  };
  const double nan_with_payload = std::bit_cast<double>(std::uint64_t{0x7ff4000000000123});
  NodeId a = add(NodeRecord::source("a", params({p("path", ParamValue::from_str("s3://x;y=z|w")),
                                                  p("rows", ParamValue::from_int(std::numeric_limits<std::int64_t>::min()))})));
  NodeId b = add(NodeRecord::source("", {}));
  NodeId c = add(NodeRecord::op("add", params({p("scalar", ParamValue::from_float(-0.0)), p("side", ParamValue::from_str("r"))}),
                                {a, b, a}));
  NodeId d = add(NodeRecord::reduction("sum", params({p("axis", ParamValue::from_int(-1)),
                                                      p("keep", ParamValue::from_bool(true)),
                                                      p("nan", ParamValue::from_float(nan_with_payload))}),
                                       {c}));
  NodeId e = add(NodeRecord::external(descriptor(std::nullopt), params({p("k", ParamValue::from_bool(false))}), {d}));
  NodeId f = add(NodeRecord::external(descriptor(std::string("")), {}, {}));
  NodeId g = add(NodeRecord::stage({e, f, e},
                                   {StageMember{"op|neg", {{MemberSource::Input, 2}}},
                                    StageMember{"op|mul|scalar=f3ff0000000000000;side=sl",
                                                {{MemberSource::Member, 0}, {MemberSource::Input, 0xFFFFFFFFu}}}}));
  NodeId h = add(NodeRecord::exchange(params({p("scheme", ParamValue::from_str("hash \xE2\x82\xAC"))}), {g}));
  NodeId i = add(NodeRecord::join({}, {h, a, g}));
  add(NodeRecord::exchange({}, {}));
  EXPECT_TRUE(store->mark_output(i).ok());
  EXPECT_TRUE(store->mark_output(b).ok());
  EXPECT_TRUE(store->mark_output(h).ok());
  return store;
}

Bytes serialize(const Store& store) {
  Result<Bytes, SerializeError> out = serialize_store(store, std::nullopt);
  EXPECT_TRUE(out.ok());
  return std::move(out).value();
}

std::string read_error(const Bytes& blob) {
  Result<std::unique_ptr<Store>, BlobError> read = read_blob(blob);
  if (read.ok()) return "<read ok>";
  return read.error().message();
}

// ---------------------------------------------------------------------------
// Exact bytes

TEST(BlobWrite, EmptyStoreIsTwelveBytes) {
  auto store = new_store();
  const Bytes blob = serialize(*store);
  EXPECT_EQ(blob, (Bytes{'W', 'I', 'R', '1', 0, 0, 0, 0, 0, 0, 0, 0}));
  Result<std::unique_ptr<Store>, BlobError> read = read_blob(blob);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value()->node_count(), 0u);
  EXPECT_TRUE(read.value()->outputs_copy().empty());
}

TEST(BlobWrite, SourceAndNegIsFiftyFourBytes) {
  auto store = new_store();
  ASSERT_EQ(store->add_node(NodeRecord::source("x", {})).value(), 0u);
  ASSERT_EQ(store->add_node(NodeRecord::op("neg", {}, {0})).value(), 1u);
  ASSERT_TRUE(store->mark_output(1).ok());
  const Bytes expected = {
      'W', 'I', 'R', '1', 2, 0, 0, 0,                                             // magic, N
      0,   1,   0,   0,   0, 'x', 0, 0, 0, 0,                                      // Source "x", no params
      1,   3,   0,   0,   0, 'n', 'e', 'g', 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // Op "neg" on 0
      1,   0,   0,   0,   1, 0,   0, 0, 0, 0, 0, 0,                               // M = 1, output 1
  };
  ASSERT_EQ(expected.size(), 54u);
  EXPECT_EQ(serialize(*store), expected);
}

TEST(BlobWrite, FieldLayoutOfEveryValueAndKind) {
  // One record per layout rule, compared with the bytes assembled by hand.
  auto store = new_store();
  ASSERT_TRUE(store->add_node(NodeRecord::source("s", params({p("b", ParamValue::from_bool(true)),
                                                              p("f", ParamValue::from_float(1.0)),
                                                              p("i", ParamValue::from_int(-2)),
                                                              p("t", ParamValue::from_str("v"))})))
                  .ok());
  ASSERT_TRUE(store->add_node(NodeRecord::external(descriptor(std::string("pp")), {}, {0})).ok());
  ASSERT_TRUE(store->add_node(NodeRecord::stage({1, 0}, {StageMember{"op|neg", {{MemberSource::Input, 1}}},
                                                         StageMember{"op|abs", {{MemberSource::Member, 0}}}}))
                  .ok());
  ASSERT_TRUE(store->add_node(NodeRecord::join(params({p("how", ParamValue::from_str("inner"))}), {2, 1})).ok());
  BlobBuilder want;
  want.header(4);
  want.u8(0).text("s").u32(4);
  want.text("b").u8(2).u8(1);
  want.text("f").u8(1).u64(0x3ff0000000000000);
  want.text("i").u8(0).u64(static_cast<std::uint64_t>(std::int64_t{-2}));
  want.text("t").u8(3).text("v");
  want.u8(3).text("onnx").text("sha256:ab").text("torch").text("2.3").text("f32[N,3]").u8(1).text("pp");
  want.u32(0).u32(1).u64(0);
  want.u8(4).u32(2).u64(1).u64(0).u32(2);
  want.text("op|neg").u32(1).u8(0).u32(1);
  want.text("op|abs").u32(1).u8(1).u32(0);
  want.u8(6).u32(1).text("how").u8(3).text("inner").u32(2).u64(2).u64(1);
  want.outputs({});
  EXPECT_EQ(serialize(*store), want.bytes());
}

// ---------------------------------------------------------------------------
// Round trips

TEST(BlobRoundTrip, EveryKindRoundTripsByteForByte) {
  auto store = rich_store();
  const Bytes blob = serialize(*store);
  Result<std::unique_ptr<Store>, BlobError> read = read_blob(blob);
  ASSERT_TRUE(read.ok()) << read.error().message();
  Snapshot before = store->snapshot();
  Snapshot after = read.value()->snapshot();
  EXPECT_EQ(after.nodes, before.nodes);
  EXPECT_EQ(after.outputs, before.outputs);
  EXPECT_TRUE(read.value()->node_map_copy().empty());
  EXPECT_EQ(serialize(*read.value()), blob);
}

TEST(BlobRoundTrip, FloatBitPatternsSurvive) {
  // Equality folds NaNs together, so compare the stored bits themselves.
  const std::uint64_t patterns[] = {0x0000000000000000, 0x8000000000000000, 0x7ff0000000000000, 0xfff0000000000000,
                                    0x7ff8000000000000, 0xfff8000000000000, 0x7ff0000000000001, 0x7ff4000000000123,
                                    0x0000000000000001, 0x7fefffffffffffff};
  for (std::uint64_t bits : patterns) {
    SCOPED_TRACE(bits);
    auto store = new_store();
    ASSERT_TRUE(store->add_node(NodeRecord::source("f", params({p("v", ParamValue::from_float(std::bit_cast<double>(bits)))}))).ok());
    Result<std::unique_ptr<Store>, BlobError> read = read_blob(serialize(*store));
    ASSERT_TRUE(read.ok());
    const Snapshot snap = read.value()->snapshot();
    const ParamValue v = to_record(snap.nodes.at(0)).params.at(0).value;
    ASSERT_EQ(v.tag(), ParamTag::Float);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(v.as_float()), bits);
  }
}

TEST(BlobRoundTrip, RandomStoresRoundTrip) {
  std::mt19937_64 rng(20240611);
  const std::string names[] = {"", "a", "add", "x|y", "\xC3\xA9t\xC3\xA9", "k=v;w", "\xF0\x9D\x84\x9E"};
  auto pick_name = [&] { return names[rng() % std::size(names)]; };
  auto random_params = [&] {
    ParamMap map;
    const int count = static_cast<int>(rng() % 4);
    for (int i = 0; i < count; ++i) {
      std::string key = pick_name() + std::to_string(i);
      switch (rng() % 4) {
        case 0: map.push_back(p(key, ParamValue::from_int(static_cast<std::int64_t>(rng())))); break;
        case 1: map.push_back(p(key, ParamValue::from_float(std::bit_cast<double>(rng())))); break;
        case 2: map.push_back(p(key, ParamValue::from_bool(rng() % 2 == 0))); break;
        default: map.push_back(p(key, ParamValue::from_str(pick_name()))); break;
      }
    }
    sort_params(map);
    return map;
  };
  for (int round = 0; round < 200; ++round) {
    auto store = new_store();
    const int target = static_cast<int>(rng() % 30);
    for (int k = 0; k < target; ++k) {
      const std::uint64_t count = store->node_count();
      std::vector<NodeId> inputs;
      if (count > 0) {
        for (int j = static_cast<int>(rng() % 4); j > 0; --j) inputs.push_back(rng() % count);
      }
      NodeRecord r;
      switch (count == 0 ? 0 : rng() % 7) {
        case 0: r = NodeRecord::source(pick_name(), random_params()); break;
        case 1: r = NodeRecord::op(pick_name(), random_params(), inputs); break;
        case 2: r = NodeRecord::reduction(pick_name(), random_params(), inputs); break;
        case 3: {
          PayloadDescriptor d{pick_name(), pick_name(), pick_name(), pick_name(), pick_name(), std::nullopt};
          if (rng() % 2) d.preprocessing_ref = pick_name();
          r = NodeRecord::external(std::move(d), random_params(), inputs);
          break;
        }
        case 4: {
          std::vector<StageMember> members;
          for (int m = static_cast<int>(rng() % 4); m >= 0; --m) {
            StageMember member{"op|" + pick_name(), {}};
            for (int j = static_cast<int>(rng() % 3); j > 0; --j) {
              if (!members.empty() && rng() % 2) {
                member.inputs.push_back({MemberSource::Member, rng() % members.size()});
              } else {
                member.inputs.push_back({MemberSource::Input, rng() % 0x100000000ull});
              }
            }
            members.push_back(std::move(member));
          }
          r = NodeRecord::stage(inputs, std::move(members));
          break;
        }
        case 5: r = NodeRecord::exchange(random_params(), inputs); break;
        default: r = NodeRecord::join(random_params(), inputs); break;
      }
      ASSERT_TRUE(store->add_node(std::move(r)).ok());
    }
    for (int m = static_cast<int>(rng() % 4); m > 0 && store->node_count() > 0; --m) {
      ASSERT_TRUE(store->mark_output(rng() % store->node_count()).ok());
    }
    const Bytes blob = serialize(*store);
    Result<std::unique_ptr<Store>, BlobError> read = read_blob(blob);
    ASSERT_TRUE(read.ok()) << read.error().message();
    EXPECT_EQ(read.value()->snapshot().nodes, store->snapshot().nodes);
    EXPECT_EQ(read.value()->outputs_copy(), store->outputs_copy());
    EXPECT_EQ(serialize(*read.value()), blob);
  }
}

// ---------------------------------------------------------------------------
// serialize with and without an explicit output list

TEST(BlobSerialize, OutputListIsWrittenAsGiven) {
  auto store = new_store();
  ASSERT_TRUE(store->add_node(NodeRecord::source("x", {})).ok());
  ASSERT_TRUE(store->add_node(NodeRecord::op("neg", {}, {0})).ok());
  ASSERT_TRUE(store->add_node(NodeRecord::op("abs", {}, {0})).ok());
  ASSERT_TRUE(store->mark_output(2).ok());
  ASSERT_TRUE(store->mark_output(0).ok());

  struct Case {
    const char* name;
    std::optional<std::vector<NodeId>> outputs;
    std::vector<NodeId> written;  // the output section of the blob
    std::vector<NodeId> marks;    // the marks after reading it back
  };
  const Case cases[] = {
      {"store marks", std::nullopt, {2, 0}, {2, 0}},
      {"empty list ignores marks", std::vector<NodeId>{}, {}, {}},
      {"repetitions written, read once", std::vector<NodeId>{1, 1}, {1, 1}, {1}},
      {"order kept", std::vector<NodeId>{1, 2, 0, 2}, {1, 2, 0, 2}, {1, 2, 0}},
  };
  const std::size_t nodes_end = serialize(*store).size() - 4 - 16;  // the store's own two marks
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::span<const NodeId>> outputs;
    if (c.outputs) outputs = std::span<const NodeId>(*c.outputs);
    Result<Bytes, SerializeError> out = serialize_store(*store, outputs);
    ASSERT_TRUE(out.ok());
    const Bytes& blob = out.value();
    BlobBuilder tail;
    tail.u32(static_cast<std::uint32_t>(c.written.size()));
    for (NodeId id : c.written) tail.u64(id);
    ASSERT_EQ(blob.size(), nodes_end + tail.bytes().size());
    EXPECT_EQ(Bytes(blob.begin() + static_cast<std::ptrdiff_t>(nodes_end), blob.end()), tail.bytes());
    Result<std::unique_ptr<Store>, BlobError> read = read_blob(blob);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.value()->outputs_copy(), c.marks);
  }
}

TEST(BlobSerialize, FirstBadOutputIdInListOrderIsReported) {
  auto store = new_store();
  for (const char* name : {"a", "b", "c"}) ASSERT_TRUE(store->add_node(NodeRecord::source(name, {})).ok());
  struct Case {
    std::vector<NodeId> outputs;
    NodeId bad;
  };
  const Case cases[] = {{{5}, 5}, {{3}, 3}, {{0, 7, 9}, 7}, {{2, 1, 9, 4}, 9}, {{~NodeId{0}}, ~NodeId{0}}};
  for (const Case& c : cases) {
    Result<Bytes, SerializeError> out = serialize_store(*store, std::span<const NodeId>(c.outputs));
    ASSERT_FALSE(out.ok());
    ASSERT_TRUE(std::holds_alternative<BadNodeId>(out.error()));
    EXPECT_EQ(std::get<BadNodeId>(out.error()).id, c.bad);
  }
}

// ---------------------------------------------------------------------------
// Reader errors

struct ErrorCase {
  const char* name;
  Bytes blob;
  std::string message;
};

Bytes str_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(BlobRead, EveryErrorHasItsExactMessage) {
  const std::string truncated = "truncated weftory IR blob";
  const std::string bad_magic = "not a weftory IR blob (bad magic/version)";
  const std::string bad_utf8 = "invalid utf-8 in weftory IR blob";
  const std::string duplicate = "duplicate param name in weftory IR blob";
  const ErrorCase cases[] = {
      // magic and counts
      {"empty", {}, truncated},
      {"one byte", str_bytes("W"), truncated},
      {"three bytes", str_bytes("WIR"), truncated},
      {"three wrong bytes", str_bytes("XYZ"), truncated},
      {"magic alone", str_bytes("WIR1"), truncated},
      {"magic and 3 count bytes", str_bytes(std::string("WIR1\0\0\0", 7)), truncated},
      {"no output count", BlobBuilder().header(0).bytes(), truncated},
      {"short output count", BlobBuilder().header(0).u8(0).u8(0).u8(0).bytes(), truncated},
      {"version 2", str_bytes(std::string("WIR2\0\0\0\0\0\0\0\0", 12)), bad_magic},
      {"version 0", str_bytes("WIR0"), bad_magic},
      {"lower case", str_bytes(std::string("wir1\0\0\0\0\0\0\0\0", 12)), bad_magic},
      {"first byte", str_bytes("XIR1"), bad_magic},
      {"second byte", str_bytes("WXR1"), bad_magic},
      {"third byte", str_bytes("WIX1"), bad_magic},
      {"four bytes wrong, long", Bytes(100, 0), bad_magic},
      // tags
      {"node tag 7", BlobBuilder().header(1).u8(7).bytes(), "invalid node tag 7"},
      {"node tag 255", BlobBuilder().header(1).u8(255).bytes(), "invalid node tag 255"},
      {"node tag after a good record", BlobBuilder().header(2).source("a").u8(9).bytes(), "invalid node tag 9"},
      {"missing node tag", BlobBuilder().header(1).bytes(), truncated},
      {"param tag 4", BlobBuilder().header(1).u8(0).text("s").u32(1).text("k").u8(4).bytes(), "invalid param tag 4"},
      {"param tag 9", BlobBuilder().header(1).u8(0).text("s").u32(1).text("k").u8(9).u64(0).bytes(), "invalid param tag 9"},
      {"missing param tag", BlobBuilder().header(1).u8(0).text("s").u32(1).text("k").bytes(), truncated},
      {"stage-ref tag 2",
       BlobBuilder().header(1).u8(4).u32(0).u32(1).text("op|x").u32(1).u8(2).u32(0).bytes(), "invalid stage-ref tag 2"},
      {"stage-ref tag 200",
       BlobBuilder().header(1).u8(4).u32(0).u32(1).text("op|x").u32(1).u8(200).u32(0).outputs({}).bytes(),
       "invalid stage-ref tag 200"},
      // truncation of a member input is checked before its source byte
      {"member input of 4 bytes with bad tag",
       BlobBuilder().header(1).u8(4).u32(0).u32(1).text("op|x").u32(1).u8(2).u8(0).u8(0).u8(0).bytes(), truncated},
      {"member input of 4 bytes with member source",
       BlobBuilder().header(1).u8(4).u32(0).u32(1).text("op|x").u32(1).u8(1).u8(5).u8(0).u8(0).bytes(), truncated},
      // values cut short
      {"int value short", BlobBuilder().header(1).u8(0).text("s").u32(1).text("k").u8(0).u32(0).bytes(), truncated},
      {"bool value missing", BlobBuilder().header(1).u8(0).text("s").u32(1).text("k").u8(2).bytes(), truncated},
      {"text shorter than its length", BlobBuilder().header(1).u8(0).u32(5).raw("abc").bytes(), truncated},
      {"presence byte missing",
       BlobBuilder().header(1).u8(3).text("k").text("h").text("f").text("v").text("io").bytes(), truncated},
      // UTF-8
      {"lone continuation", BlobBuilder().header(1).u8(0).text("\x80").u32(0).outputs({}).bytes(), bad_utf8},
      {"overlong slash", BlobBuilder().header(1).u8(0).text("\xC0\xAF").u32(0).outputs({}).bytes(), bad_utf8},
      {"overlong C1", BlobBuilder().header(1).u8(0).text("\xC1\xBF").u32(0).outputs({}).bytes(), bad_utf8},
      {"overlong three bytes", BlobBuilder().header(1).u8(0).text("\xE0\x80\x80").u32(0).outputs({}).bytes(), bad_utf8},
      {"overlong four bytes", BlobBuilder().header(1).u8(0).text("\xF0\x8F\xBF\xBF").u32(0).outputs({}).bytes(), bad_utf8},
      {"surrogate D800", BlobBuilder().header(1).u8(0).text("\xED\xA0\x80").u32(0).outputs({}).bytes(), bad_utf8},
      {"surrogate DFFF", BlobBuilder().header(1).u8(0).text("\xED\xBF\xBF").u32(0).outputs({}).bytes(), bad_utf8},
      {"above U+10FFFF", BlobBuilder().header(1).u8(0).text("\xF4\x90\x80\x80").u32(0).outputs({}).bytes(), bad_utf8},
      {"lead byte F5", BlobBuilder().header(1).u8(0).text("\xF5\x80\x80\x80").u32(0).outputs({}).bytes(), bad_utf8},
      {"lead byte FF", BlobBuilder().header(1).u8(0).text("\xFF").u32(0).outputs({}).bytes(), bad_utf8},
      {"sequence cut by the text end", BlobBuilder().header(1).u8(0).text("ok\xE2\x82").u32(0).outputs({}).bytes(), bad_utf8},
      {"bad continuation", BlobBuilder().header(1).u8(0).text("\xE2\x28\xA1").u32(0).outputs({}).bytes(), bad_utf8},
      {"after eight ASCII bytes", BlobBuilder().header(1).u8(0).text("abcdefgh\x80").u32(0).outputs({}).bytes(), bad_utf8},
      {"in a param name", BlobBuilder().header(1).u8(0).text("s").u32(1).text("\xFF").bytes(), bad_utf8},
      {"in a str value", BlobBuilder().header(1).u8(0).text("s").u32(1).text("k").u8(3).text("\xC0").bytes(), bad_utf8},
      {"in a descriptor", BlobBuilder().header(1).u8(3).text("k").text("\xFE").bytes(), bad_utf8},
      {"in a preprocessing ref",
       BlobBuilder().header(1).u8(3).text("k").text("h").text("f").text("v").text("io").u8(1).text("\x80").bytes(), bad_utf8},
      {"in a member token", BlobBuilder().header(1).u8(4).u32(0).u32(1).text("op|\xED\xA0\x80").bytes(), bad_utf8},
      // references
      {"self reference", BlobBuilder().header(3).source("a").source("b").op("x", {2}).outputs({}).bytes(),
       "node reference 2 out of range"},
      {"forward reference", BlobBuilder().header(3).source("a").op("x", {0, 5}).bytes(), "node reference 5 out of range"},
      {"first reference of a record", BlobBuilder().header(1).op("x", {0}).bytes(), "node reference 0 out of range"},
      {"huge reference", BlobBuilder().header(2).source("a").op("x", {~std::uint64_t{0}}).bytes(),
       "node reference 18446744073709551615 out of range"},
      {"stage input", BlobBuilder().header(1).u8(4).u32(1).u64(0).bytes(), "node reference 0 out of range"},
      {"output 10 of 3", BlobBuilder().header(3).source("a").source("b").source("c").outputs({0, 10}).bytes(),
       "node reference 10 out of range"},
      {"output equal to N", BlobBuilder().header(1).source("a").outputs({1}).bytes(), "node reference 1 out of range"},
      {"member index equal to its position",
       BlobBuilder().header(1).u8(4).u32(0).u32(2).text("op|a").u32(0).text("op|b").u32(1).u8(1).u32(1).bytes(),
       "node reference 1 out of range"},
      {"first member refers to a member",
       BlobBuilder().header(1).u8(4).u32(0).u32(1).text("op|a").u32(1).u8(1).u32(0).bytes(), "node reference 0 out of range"},
      {"missing output reference", BlobBuilder().header(1).source("a").u32(2).u64(0).bytes(), truncated},
      {"short output reference", BlobBuilder().header(1).source("a").u32(1).u32(0).bytes(), truncated},
      // declared counts beyond the data: reported as truncation, nothing reserved from them
      {"huge node count", BlobBuilder().header(0xFFFFFFFF).source("a").bytes(), truncated},
      {"huge param count", BlobBuilder().header(1).u8(0).text("s").u32(0xFFFFFFFF).bytes(), truncated},
      {"huge input count", BlobBuilder().header(2).source("a").u8(1).text("x").u32(0).u32(0xFFFFFFFF).u64(0).bytes(), truncated},
      {"huge member count", BlobBuilder().header(1).u8(4).u32(0).u32(0xFFFFFFFF).bytes(), truncated},
      {"huge member input count",
       BlobBuilder().header(1).u8(4).u32(0).u32(1).text("op|a").u32(0xFFFFFFFF).u8(0).u32(0).bytes(), truncated},
      {"huge text length", BlobBuilder().header(1).u8(0).u32(0xFFFFFFFF).raw("abc").bytes(), truncated},
      {"huge output count", BlobBuilder().header(1).source("a").u32(0xFFFFFFFF).u64(0).bytes(), truncated},
      // duplicate parameter names
      {"duplicate name", BlobBuilder().header(1).u8(0).text("s").u32(2).text("k").u8(0).u64(1).text("k").u8(0).u64(1).u32(0).outputs({}).bytes(),
       duplicate},
      {"duplicate name, other values",
       BlobBuilder().header(1).u8(0).text("s").u32(3).text("k").u8(0).u64(1).text("j").u8(2).u8(0).text("k").u8(3).text("v").bytes(),
       duplicate},
  };
  for (const ErrorCase& c : cases) {
    EXPECT_EQ(read_error(c.blob), c.message) << c.name;
  }
}

TEST(BlobRead, FirstErrorInReadingOrderWins) {
  const ErrorCase cases[] = {
      {"bad utf-8 name before an out-of-range input",
       BlobBuilder().header(1).u8(1).text("\xFF").u32(0).u32(1).u64(3).bytes(), "invalid utf-8 in weftory IR blob"},
      {"out-of-range input before a bad node tag",
       BlobBuilder().header(2).op("x", {1}).u8(9).bytes(), "node reference 1 out of range"},
      {"duplicate name is checked at the end of its params, before the inputs",
       BlobBuilder().header(1).u8(1).text("x").u32(2).text("k").u8(2).u8(0).text("k").u8(2).u8(1).u32(1).u64(7).bytes(),
       "duplicate param name in weftory IR blob"},
      {"duplicate name before truncated inputs",
       BlobBuilder().header(1).u8(1).text("x").u32(2).text("k").u8(2).u8(0).text("k").u8(2).u8(1).bytes(),
       "duplicate param name in weftory IR blob"},
      {"a bad tag later in the same params beats the duplicate",
       BlobBuilder().header(1).u8(0).text("x").u32(3).text("k").u8(2).u8(0).text("k").u8(2).u8(1).text("z").u8(5).bytes(),
       "invalid param tag 5"},
      {"truncation inside the params beats the duplicate",
       BlobBuilder().header(1).u8(0).text("x").u32(3).text("k").u8(2).u8(0).text("k").u8(2).u8(1).bytes(),
       "truncated weftory IR blob"},
      {"member out of range before a bad stage-ref tag",
       BlobBuilder().header(1).u8(4).u32(0).u32(1).text("op|a").u32(2).u8(1).u32(0).u8(7).u32(0).bytes(),
       "node reference 0 out of range"},
      {"bad output reference before truncated output list",
       BlobBuilder().header(1).source("a").u32(3).u64(4).bytes(), "node reference 4 out of range"},
      {"bad magic before truncation", str_bytes("WIRX"), "not a weftory IR blob (bad magic/version)"},
  };
  for (const ErrorCase& c : cases) {
    EXPECT_EQ(read_error(c.blob), c.message) << c.name;
  }
}

TEST(BlobRead, EveryCutOfAValidBlobIsTruncated) {
  auto store = rich_store();
  const Bytes blob = serialize(*store);
  for (std::size_t len = 0; len < blob.size(); ++len) {
    const Bytes prefix(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(len));
    ASSERT_EQ(read_error(prefix), "truncated weftory IR blob") << "prefix of " << len << " bytes";
  }
}

TEST(BlobRead, ValidUtf8IsAccepted) {
  const std::string texts[] = {"", "plain ascii, longer than eight bytes",
                               "\xC2\x80",                 // U+0080
                               "\xDF\xBF",                 // U+07FF
                               "\xE0\xA0\x80",             // U+0800
                               "\xED\x9F\xBF",             // U+D7FF
                               "\xEE\x80\x80",             // U+E000
                               "\xEF\xBF\xBF",             // U+FFFF
                               "\xF0\x90\x80\x80",         // U+10000
                               "\xF4\x8F\xBF\xBF",         // U+10FFFF
                               std::string("nul\0inside", 10),
                               "mixed \xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E end"};
  for (const std::string& text : texts) {
    Result<std::unique_ptr<Store>, BlobError> read =
        read_blob(BlobBuilder().header(1).u8(0).text(text).u32(0).outputs({}).bytes());
    ASSERT_TRUE(read.ok()) << read.error().message();
    EXPECT_EQ(read.value()->snapshot().nodes.at(0).name(), text);
  }
}

// ---------------------------------------------------------------------------
// What the reader accepts and how it reads it

TEST(BlobRead, BoolAndPresenceBytesAboveOneReadAsTrue) {
  auto blob_with = [](std::uint8_t presence, std::uint8_t flag) {
    return BlobBuilder()
        .header(1)
        .u8(3).text("k").text("h").text("f").text("v").text("io").u8(presence).text("pre")
        .u32(1).text("flag").u8(2).u8(flag)
        .u32(0)
        .outputs({})
        .bytes();
  };
  for (std::uint8_t byte : {std::uint8_t{2}, std::uint8_t{0x80}, std::uint8_t{0xFF}}) {
    SCOPED_TRACE(int(byte));
    Result<std::unique_ptr<Store>, BlobError> read = read_blob(blob_with(byte, byte));
    ASSERT_TRUE(read.ok()) << read.error().message();
    const Snapshot snap = read.value()->snapshot();
    const NodeRecord node = to_record(snap.nodes.at(0));
    ASSERT_TRUE(node.descriptor);
    EXPECT_EQ(node.descriptor->preprocessing_ref, std::optional<std::string>("pre"));
    EXPECT_EQ(node.params.at(0).value, ParamValue::from_bool(true));
    // Written back canonically: both bytes become 1, nothing else changes.
    EXPECT_EQ(serialize(*read.value()), blob_with(1, 1));
  }
}

TEST(BlobRead, ZeroBoolAndPresenceBytesReadAsFalseAndAbsent) {
  const Bytes blob = BlobBuilder()
                         .header(1)
                         .u8(3).text("k").text("h").text("f").text("v").text("io").u8(0)
                         .u32(1).text("flag").u8(2).u8(0)
                         .u32(0)
                         .outputs({})
                         .bytes();
  Result<std::unique_ptr<Store>, BlobError> read = read_blob(blob);
  ASSERT_TRUE(read.ok());
  const Snapshot snap = read.value()->snapshot();
  const NodeRecord node = to_record(snap.nodes.at(0));
  EXPECT_FALSE(node.descriptor->preprocessing_ref.has_value());
  EXPECT_EQ(node.params.at(0).value, ParamValue::from_bool(false));
  EXPECT_EQ(serialize(*read.value()), blob);
}

TEST(BlobRead, ParamsAreReadIntoNameOrder) {
  const Bytes unordered = BlobBuilder()
                              .header(1)
                              .u8(0).text("s").u32(4)
                              .text("zeta").u8(0).u64(1)
                              .text("b").u8(0).u64(2)
                              .text("ab").u8(0).u64(3)
                              .text("a").u8(0).u64(4)
                              .outputs({})
                              .bytes();
  Result<std::unique_ptr<Store>, BlobError> read = read_blob(unordered);
  ASSERT_TRUE(read.ok());
  const Snapshot snap = read.value()->snapshot();
  const ParamMap got = to_record(snap.nodes.at(0)).params;
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].key, "a");
  EXPECT_EQ(got[1].key, "ab");
  EXPECT_EQ(got[2].key, "b");
  EXPECT_EQ(got[3].key, "zeta");
  EXPECT_EQ(got[0].value, ParamValue::from_int(4));
  const Bytes sorted = BlobBuilder()
                           .header(1)
                           .u8(0).text("s").u32(4)
                           .text("a").u8(0).u64(4)
                           .text("ab").u8(0).u64(3)
                           .text("b").u8(0).u64(2)
                           .text("zeta").u8(0).u64(1)
                           .outputs({})
                           .bytes();
  EXPECT_EQ(serialize(*read.value()), sorted);
}

TEST(BlobRead, BytesAfterTheOutputsAreIgnored) {
  const Bytes base = BlobBuilder().header(2).source("x").op("neg", {0}).outputs({1}).bytes();
  for (const Bytes& extra : {Bytes{0}, Bytes{'W', 'I', 'R', '1'}, Bytes(1000, 0xFF)}) {
    Bytes blob = base;
    blob.insert(blob.end(), extra.begin(), extra.end());
    Result<std::unique_ptr<Store>, BlobError> read = read_blob(blob);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(serialize(*read.value()), base);
  }
}

TEST(BlobRead, MemberInputsFollowTheirSourceRules) {
  // Input indices are not checked against the stage's inputs; Member indices
  // must name an earlier member.
  const Bytes blob = BlobBuilder()
                         .header(2)
                         .source("a")
                         .u8(4).u32(1).u64(0).u32(3)
                         .text("op|a").u32(1).u8(0).u32(0xFFFFFFFF)
                         .text("op|b").u32(1).u8(1).u32(0)
                         .text("op|c").u32(2).u8(1).u32(1).u8(1).u32(0)
                         .outputs({1})
                         .bytes();
  Result<std::unique_ptr<Store>, BlobError> read = read_blob(blob);
  ASSERT_TRUE(read.ok()) << read.error().message();
  const Snapshot snap = read.value()->snapshot();
  const NodeRecord stage = to_record(snap.nodes.at(1));
  ASSERT_EQ(stage.members.size(), 3u);
  EXPECT_EQ(stage.members[0].inputs, (std::vector<MemberInput>{{MemberSource::Input, 0xFFFFFFFF}}));
  EXPECT_EQ(stage.members[2].inputs,
            (std::vector<MemberInput>{{MemberSource::Member, 1}, {MemberSource::Member, 0}}));
  EXPECT_EQ(serialize(*read.value()), blob);
}

TEST(BlobRead, EqualRecordsCollapseAndLaterReferencesFollowThem) {
  // Records: 0 Source x, 1 Source x (collapses onto id 0), 2 Source y (id 1),
  // 3 Op neg on record 1, 4 Op add on records 2 and 1, 5 Op neg on record 0
  // (equal to record 3: collapses onto id 2).
  const Bytes blob = BlobBuilder()
                         .header(6)
                         .source("x")
                         .source("x")
                         .source("y")
                         .op("neg", {1})
                         .op("add", {2, 1})
                         .op("neg", {0})
                         .outputs({5, 4, 1, 3})
                         .bytes();
  Result<std::unique_ptr<Store>, BlobError> read = read_blob(blob);
  ASSERT_TRUE(read.ok()) << read.error().message();
  Snapshot snap = read.value()->snapshot();
  const std::vector<NodeRecord> expected = {NodeRecord::source("x", {}), NodeRecord::source("y", {}),
                                            NodeRecord::op("neg", {}, {0}), NodeRecord::op("add", {}, {1, 0})};
  EXPECT_EQ(snap.nodes, expected);
  // Outputs 5 and 3 both name node 2; 1 names node 0.
  EXPECT_EQ(snap.outputs, (std::vector<NodeId>{2, 3, 0}));
}

// Texts for random records: a few that repeat on most records, and texts
// of `len` bytes that share their first and last bytes and differ only
// inside (the reader compares texts of up to 4, 8 and 16 bytes and longer
// ones each in its own way).
std::vector<std::string> random_record_texts(std::size_t len) {
  std::vector<std::string> out = {"", "l", "r", "add", "mul", "scalar", "side"};
  const std::string base(len, 'x');
  out.push_back(base);
  for (std::size_t at : {std::size_t{0}, len / 3, len / 2, len - 1}) {
    std::string other = base;
    other[at] = 'y';
    out.push_back(other);
  }
  return out;
}
const std::string kInvalidTexts[] = {"\xFF", "ab\xC0", "abcdefgh\x80", "\xED\xA0\x80", "xxxxxxxxxxxxxxxxx\xF5"};

// Random blobs of records drawn from a handful of names and parameters, so
// that equal records and repeated texts are common in some and absent from
// others: reading one must give exactly what inserting its records one by
// one through the interning insert gives (nodes, ids and marks), and the
// blob cut anywhere must be refused. Some rounds put in invalid UTF-8 texts
// or repeated parameter names, and the first of those in reading order must
// be the error, however often the same texts were read before.
TEST(BlobRead, RandomBlobsReadAsTheirRecordsInsertedOneByOne) {
  std::mt19937_64 rng(20261208);
  int with_equal_records = 0;
  int without = 0;
  int faulty = 0;
  for (int round = 0; round < 600; ++round) {
    const std::size_t count = 1 + rng() % 40;
    // Half the rounds draw from so few names that records repeat.
    const std::size_t names = round % 2 == 0 ? 2 : 1000;
    const bool with_faults = round % 3 == 0;
    const std::size_t lengths[] = {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 24, 40};
    const std::vector<std::string> texts = random_record_texts(lengths[rng() % std::size(lengths)]);
    std::optional<BlobErrorKind> fault;
    BlobBuilder blob;
    blob.header(static_cast<std::uint32_t>(count));
    // A random text, sometimes (in rounds with faults) an invalid one,
    // which the first time becomes the blob's error.
    auto text = [&](std::string_view fallback) {
      std::string t(fallback);
      if (rng() % (names == 2 ? 8 : 2) == 0) t = texts[rng() % texts.size()];
      if (with_faults && rng() % 150 == 0) {
        t = kInvalidTexts[rng() % std::size(kInvalidTexts)];
        if (!fault) fault = BlobErrorKind::InvalidUtf8;
      }
      blob.text(t);
      return t;
    };
    auto model = new_store();
    std::vector<NodeId> ids;
    for (std::size_t k = 0; k < count && !fault; ++k) {
      const bool source = k == 0 || rng() % 3 == 0;
      blob.u8(source ? 0 : 1);
      const std::string name = text(std::to_string(rng() % names));
      ParamMap params(rng() % (names == 2 ? 2 : 4));
      blob.u32(static_cast<std::uint32_t>(params.size()));
      for (ParamEntry& e : params) {
        e.key = text(texts[rng() % 4]);
        if (rng() % 2 == 0) {
          const std::int64_t v = static_cast<std::int64_t>(rng() % 2);
          blob.u8(0).u64(static_cast<std::uint64_t>(v));
          e.value = ParamValue::from_int(v);
        } else {
          blob.u8(3);
          e.value = ParamValue::from_str(text("v"));
        }
      }
      sort_params(params);
      for (std::size_t i = 1; i < params.size() && !fault; ++i) {
        if (params[i].key == params[i - 1].key) fault = BlobErrorKind::DuplicateParamName;
      }
      std::vector<std::uint64_t> refs;
      std::vector<NodeId> inputs;
      if (!source) {
        refs.resize(1 + rng() % 2);
        blob.u32(static_cast<std::uint32_t>(refs.size()));
        for (std::uint64_t& ref : refs) {
          ref = rng() % k;
          blob.u64(ref);
          if (!fault) inputs.push_back(ids[ref]);
        }
      }
      if (fault) break;
      Result<NodeId, BadNodeId> added = model->add_node(source ? NodeRecord::source(name, params)
                                                              : NodeRecord::op(name, params, inputs));
      ASSERT_TRUE(added.ok());
      ids.push_back(added.value());
    }
    if (fault) {
      ++faulty;
      Result<std::unique_ptr<Store>, BlobError> read = read_blob(blob.bytes());
      ASSERT_FALSE(read.ok()) << "round " << round;
      EXPECT_EQ(read.error().kind(), *fault) << "round " << round;
      continue;
    }
    std::vector<std::uint64_t> outputs(rng() % 4);
    for (std::uint64_t& ref : outputs) {
      ref = rng() % count;
      ASSERT_TRUE(model->mark_output(ids[ref]).ok());
    }
    const Bytes bytes = blob.outputs(outputs).bytes();
    (model->node_count() < count ? with_equal_records : without) += 1;

    Result<std::unique_ptr<Store>, BlobError> read = read_blob(bytes);
    ASSERT_TRUE(read.ok()) << read.error().message();
    const Snapshot got = read.value()->snapshot();
    const Snapshot want = model->snapshot();
    EXPECT_EQ(got.nodes, want.nodes) << "round " << round;
    EXPECT_EQ(got.outputs, want.outputs) << "round " << round;
    // The read store interns like the model: every node is found again.
    for (NodeId id = 0; id < want.nodes.size(); ++id) {
      Result<NodeId, BadNodeId> again = read.value()->add(want.nodes[id]);
      ASSERT_TRUE(again.ok());
      EXPECT_EQ(again.value(), id) << "round " << round;
    }
    EXPECT_EQ(read.value()->node_count(), want.nodes.size());
    const std::size_t cut = 8 + rng() % (bytes.size() - 8);
    Result<std::unique_ptr<Store>, BlobError> short_read = read_blob(std::span(bytes).first(cut));
    ASSERT_FALSE(short_read.ok()) << "round " << round << " cut at " << cut;
    EXPECT_EQ(short_read.error().kind(), BlobErrorKind::Truncated);
  }
  EXPECT_GT(with_equal_records, 100);
  EXPECT_GT(without, 100);
  EXPECT_GT(faulty, 50);
}

TEST(BlobRead, ReferencesAreCheckedAgainstRecordPositionsAfterACollapse) {
  struct Case {
    const char* name;
    Bytes blob;
    std::string outcome;  // an error message, or "ok"
  };
  const Case cases[] = {
      // Three records, two nodes: a reference to record 2 is valid (it is node 1).
      {"reference to the last record", BlobBuilder().header(4).source("x").source("x").source("y").op("n", {2}).outputs({3}).bytes(), "ok"},
      {"reference equal to the own position", BlobBuilder().header(4).source("x").source("x").source("y").op("n", {3}).bytes(),
       "node reference 3 out of range"},
      {"output naming the last record", BlobBuilder().header(3).source("x").source("x").source("y").outputs({2}).bytes(), "ok"},
      {"output equal to the record count", BlobBuilder().header(3).source("x").source("x").source("y").outputs({3}).bytes(),
       "node reference 3 out of range"},
  };
  for (const Case& c : cases) {
    Result<std::unique_ptr<Store>, BlobError> read = read_blob(c.blob);
    EXPECT_EQ(read.ok() ? "ok" : read.error().message(), c.outcome) << c.name;
  }
  Result<std::unique_ptr<Store>, BlobError> read = read_blob(cases[0].blob);
  ASSERT_TRUE(read.ok());
  const Snapshot snap = read.value()->snapshot();
  EXPECT_EQ(snap.nodes.at(2), NodeRecord::op("n", {}, {1}));
  EXPECT_EQ(snap.outputs, (std::vector<NodeId>{2}));
}

TEST(BlobRead, DuplicateParamNamesFailEvenWithEqualValues) {
  const Bytes with_dup = BlobBuilder()
                             .header(1)
                             .u8(5).u32(2)
                             .text("scheme").u8(3).text("hash")
                             .text("scheme").u8(3).text("hash")
                             .u32(0)
                             .outputs({})
                             .bytes();
  EXPECT_EQ(read_error(with_dup), "duplicate param name in weftory IR blob");
  // Names that differ only by a prefix are not duplicates.
  const Bytes prefixes = BlobBuilder()
                             .header(1)
                             .u8(5).u32(2)
                             .text("scheme").u8(3).text("hash")
                             .text("schem").u8(3).text("hash")
                             .u32(0)
                             .outputs({})
                             .bytes();
  EXPECT_EQ(read_error(prefixes), "<read ok>");
}

// ---------------------------------------------------------------------------
// What the format cannot express is refused, not written wrongly

TEST(BlobWrite, MemberIndexBeyondThirtyTwoBitsIsRefused) {
  struct Case {
    std::uint64_t index;
    bool ok;
  };
  for (const Case c : {Case{0xFFFFFFFFull, true}, Case{0x100000000ull, false}, Case{~std::uint64_t{0}, false}}) {
    std::vector<NodeRecord> nodes;
    nodes.push_back(NodeRecord::source("a", {}));
    nodes.push_back(NodeRecord::stage({0}, {StageMember{"op|neg", {{MemberSource::Input, c.index}}}}));
    Result<Bytes, BlobTooLarge> written = write_blob(nodes, std::vector<NodeId>{});
    ASSERT_EQ(written.ok(), c.ok) << c.index;
    if (!c.ok) {
      EXPECT_EQ(written.error().message, "cannot write weftory IR blob: member input index of node 1 is " +
                                             std::to_string(c.index) + ", above the format's limit of 4294967295");
    }
  }
}

TEST(BlobWrite, EveryCountAndLengthIsCheckedAgainstTheLimit) {
  // With the limit lowered to 3, each case holds exactly one field of 4.
  auto src = [](std::string name) { return NodeRecord::source(std::move(name), {}); };
  ParamMap four_params = params({p("a", ParamValue::from_int(0)), p("b", ParamValue::from_int(0)),
                                 p("c", ParamValue::from_int(0)), p("d", ParamValue::from_int(0))});
  struct Case {
    const char* name;
    std::vector<NodeRecord> nodes;
    std::vector<NodeId> outputs;
    std::string message;
  };
  std::vector<Case> cases;
  cases.push_back({"node count", {src("a"), src("b"), src("c"), src("d")}, {}, "node count is 4"});
  cases.push_back({"output count", {src("a")}, {0, 0, 0, 0}, "output count is 4"});
  cases.push_back({"name length", {src("abcd")}, {}, "name length of node 0 is 4"});
  cases.push_back({"parameter count", {NodeRecord::source("a", four_params)}, {}, "parameter count of node 0 is 4"});
  cases.push_back({"parameter name", {NodeRecord::exchange(params({p("abcd", ParamValue::from_int(0))}), {})}, {},
                   "parameter name length of node 0 is 4"});
  cases.push_back({"parameter value", {NodeRecord::join(params({p("k", ParamValue::from_str("abcd"))}), {})}, {},
                   "parameter value length of node 0 is 4"});
  cases.push_back({"input count", {src("a"), NodeRecord::op("x", {}, {0, 0, 0, 0})}, {}, "input count of node 1 is 4"});
  PayloadDescriptor long_schema{"k", "h", "f", "v", "abcd", std::nullopt};
  cases.push_back({"descriptor text", {NodeRecord::external(long_schema, {}, {})}, {},
                   "descriptor io_schema length of node 0 is 4"});
  PayloadDescriptor long_ref{"k", "h", "f", "v", "io", std::string("abcd")};
  cases.push_back({"preprocessing ref", {NodeRecord::external(long_ref, {}, {})}, {},
                   "descriptor preprocessing_ref length of node 0 is 4"});
  std::vector<StageMember> four_members(4, StageMember{"op", {}});
  cases.push_back({"member count", {NodeRecord::stage({}, four_members)}, {}, "member count of node 0 is 4"});
  cases.push_back({"member token", {NodeRecord::stage({}, {StageMember{"op|a", {}}})}, {},
                   "member token length of node 0 is 4"});
  cases.push_back({"member input count",
                   {NodeRecord::stage({}, {StageMember{"op", std::vector<MemberInput>(4)}})},
                   {},
                   "member input count of node 0 is 4"});
  cases.push_back({"member input index",
                   {NodeRecord::stage({}, {StageMember{"op", {{MemberSource::Input, 4}}}})},
                   {},
                   "member input index of node 0 is 4"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<Bytes, BlobTooLarge> refused = write_blob_with_limit(c.nodes, c.outputs, 3);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message,
              "cannot write weftory IR blob: " + c.message + ", above the format's limit of 3");
    // The same store is written under the real limit.
    EXPECT_TRUE(write_blob(c.nodes, c.outputs).ok());
  }
  // A field of exactly the limit is accepted.
  const std::vector<NodeRecord> at_limit = {src("abc"), src("b"), NodeRecord::op("x", {}, {0, 1, 0})};
  EXPECT_TRUE(write_blob_with_limit(at_limit, std::vector<NodeId>{2, 2, 2}, 3).ok());
}

TEST(BlobWrite, InconsistentInputIsAFatalError) {
  std::vector<NodeRecord> nodes;
  nodes.push_back(NodeRecord::source("a", {}));
  EXPECT_THROW((void)write_blob(nodes, std::vector<NodeId>{1}), FatalError);
  nodes.push_back(NodeRecord::op("x", {}, {1}));
  EXPECT_THROW((void)write_blob(nodes, std::vector<NodeId>{}), FatalError);
}

// ---------------------------------------------------------------------------
// The node map carried beside a blob

TEST(BlobNodeMap, NodeMapIsRestoredBesideTheBlob) {
  auto store = rich_store();
  const Bytes blob = serialize(*store);
  const std::uint64_t n = store->node_count();
  std::vector<NodeMapEntry> map = {Landing{0, std::nullopt}, std::nullopt, Landing{6, 1}, Landing{n - 1, std::nullopt}};
  Result<std::unique_ptr<Store>, BlobError> read = read_blob_with_node_map(blob, map);
  ASSERT_TRUE(read.ok()) << read.error().message();
  EXPECT_EQ(read.value()->node_map_copy(), map);
  EXPECT_EQ(read.value()->snapshot().nodes, store->snapshot().nodes);
  EXPECT_EQ(read.value()->outputs_copy(), store->outputs_copy());
  EXPECT_EQ(serialize(*read.value()), blob);

  struct Case {
    const char* name;
    NodeMapEntry entry;
    std::string message;
  };
  const Case bad[] = {
      {"reduced id beyond the store", Landing{n, std::nullopt}, "node reference " + std::to_string(n) + " out of range"},
      {"member of a non-stage", Landing{0, 0}, "node reference 0 out of range"},
      {"member beyond the stage", Landing{6, 2}, "node reference 2 out of range"},
  };
  for (const Case& c : bad) {
    Result<std::unique_ptr<Store>, BlobError> refused = read_blob_with_node_map(blob, {c.entry});
    ASSERT_FALSE(refused.ok()) << c.name;
    EXPECT_EQ(refused.error().message(), c.message) << c.name;
  }
  // A bad blob reports its own error before the map is looked at.
  Result<std::unique_ptr<Store>, BlobError> bad_blob =
      read_blob_with_node_map(str_bytes("WIR1"), {Landing{99, std::nullopt}});
  ASSERT_FALSE(bad_blob.ok());
  EXPECT_EQ(bad_blob.error().message(), "truncated weftory IR blob");
}

}  // namespace
}  // namespace weftory::store

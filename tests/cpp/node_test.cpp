#include "store/node.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

namespace weftory::store {
namespace {

ParamMap params(std::initializer_list<std::pair<const char*, ParamValue>> entries) {
  ParamMap p;
  for (const auto& [k, v] : entries) p.push_back(ParamEntry{k, v});
  sort_params(p);
  return p;
}

ParamValue I(std::int64_t v) { return ParamValue::from_int(v); }
ParamValue F(double v) { return ParamValue::from_float(v); }
ParamValue B(bool v) { return ParamValue::from_bool(v); }
ParamValue S(const char* v) { return ParamValue::from_str(v); }

PayloadDescriptor descriptor(std::optional<std::string> pre = std::nullopt) {
  return PayloadDescriptor{"k", "h", "f", "1", "s", std::move(pre)};
}

TEST(ParamOrder, SortsByKeyBytesWithShorterPrefixFirst) {
  ParamMap p = params({{"b", I(1)}, {"ab", I(2)}, {"a", I(3)}, {"B", I(4)}});
  std::vector<std::string> keys;
  for (const auto& e : p) keys.push_back(e.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "ab", "b"}));
}

TEST(Equality, ParamOrderDoesNotMatterButValueTypesDo) {
  EXPECT_EQ(NodeRecord::source("n", params({{"b", I(1)}, {"a", I(2)}})),
            NodeRecord::source("n", params({{"a", I(2)}, {"b", I(1)}})));
  NodeRecord as_int = NodeRecord::source("n", params({{"v", I(1)}}));
  NodeRecord as_float = NodeRecord::source("n", params({{"v", F(1.0)}}));
  NodeRecord as_bool = NodeRecord::source("n", params({{"v", B(true)}}));
  EXPECT_NE(as_int, as_float);
  EXPECT_NE(as_int, as_bool);
  EXPECT_NE(as_float, as_bool);
}

TEST(Equality, AllNansAreEqualAndZeroesDiffer) {
  double quiet = std::numeric_limits<double>::quiet_NaN();
  double payload = std::bit_cast<double>(0x7ff0000000000123ULL);
  double negative = std::bit_cast<double>(0xfff8000000000000ULL);
  NodeRecord a = NodeRecord::source("n", params({{"v", F(quiet)}}));
  for (double nan : {payload, negative}) {
    NodeRecord b = NodeRecord::source("n", params({{"v", F(nan)}}));
    EXPECT_EQ(a, b);
    EXPECT_EQ(hash_record(a, 7), hash_record(b, 7));
  }
  EXPECT_NE(NodeRecord::source("n", params({{"v", F(0.0)}})), NodeRecord::source("n", params({{"v", F(-0.0)}})));
}

TEST(Equality, InputsCompareInOrderAndKindsNeverMix) {
  EXPECT_NE(NodeRecord::op("add", {}, {1, 2}), NodeRecord::op("add", {}, {2, 1}));
  EXPECT_EQ(NodeRecord::op("add", {}, {0, 0}), NodeRecord::op("add", {}, {0, 0}));
  EXPECT_NE(NodeRecord::op("f", {}, {0}), NodeRecord::reduction("f", {}, {0}));
  EXPECT_NE(NodeRecord::exchange({}, {0}), NodeRecord::join({}, {0}));
}

TEST(Equality, ExternalComparesEveryDescriptorField) {
  auto ext = [](PayloadDescriptor d) { return NodeRecord::external(std::move(d), {}, {0}); };
  EXPECT_EQ(ext(descriptor()), ext(descriptor()));
  EXPECT_NE(ext(descriptor()), ext(descriptor("")));  // absent differs from empty
  EXPECT_NE(ext(descriptor("p")), ext(descriptor("q")));
  PayloadDescriptor other = descriptor();
  other.io_schema = "t";
  EXPECT_NE(ext(descriptor()), ext(other));
}

TEST(Equality, StageComparesMembersAndTheirInputs) {
  StageMember m{"op|neg", {{MemberSource::Input, 0}}};
  StageMember same_index_other_source{"op|neg", {{MemberSource::Member, 0}}};
  EXPECT_EQ(NodeRecord::stage({0}, {m}), NodeRecord::stage({0}, {m}));
  EXPECT_NE(NodeRecord::stage({0}, {m}), NodeRecord::stage({0}, {same_index_other_source}));
  EXPECT_NE(NodeRecord::stage({0}, {m}), NodeRecord::stage({0}, {m, m}));
}

TEST(Record, CopyIsDeep) {
  NodeRecord original = NodeRecord::external(descriptor("p"), params({{"a", S("x")}}), {3});
  NodeRecord copy = original;
  ASSERT_NE(copy.descriptor.get(), original.descriptor.get());
  copy.descriptor->kind = "changed";
  EXPECT_EQ(original.descriptor->kind, "k");
}

struct KeyCase {
  NodeRecord record;
  const char* key;
};

class IdentityKeyTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(IdentityKeyTest, WritesCanonicalText) { EXPECT_EQ(identity_key(GetParam().record), GetParam().key); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, IdentityKeyTest,
    ::testing::Values(
        KeyCase{NodeRecord::op("add", params({{"scalar", F(0.0)}, {"side", S("r")}}), {0}),
                "op|add|scalar=f0000000000000000;side=sr"},
        KeyCase{NodeRecord::op("mul", params({{"side", S("l")}, {"scalar", F(1.0)}}), {0}),
                "op|mul|scalar=f3ff0000000000000;side=sl"},
        KeyCase{NodeRecord::op("add", {}, {0, 1}), "op|add"},
        KeyCase{NodeRecord::exchange(params({{"scheme", S("hash")}}), {0}), "exch|scheme=shash"},
        KeyCase{NodeRecord::source("a|b", {}), "src|a%7Cb"},
        KeyCase{NodeRecord::source("n", params({{"b", I(1)}, {"a", I(2)}})), "src|n|a=i2;b=i1"},
        KeyCase{NodeRecord::reduction("sum", params({{"axis", I(-3)}, {"keep", B(false)}}), {0}),
                "red|sum|axis=i-3;keep=bfalse"},
        KeyCase{NodeRecord::source("z", params({{"v", F(-0.0)}})), "src|z|v=f8000000000000000"},
        KeyCase{NodeRecord::source("z", params({{"v", F(std::bit_cast<double>(0xfff0000000000001ULL))}})),
                "src|z|v=f7ff8000000000000"},
        KeyCase{NodeRecord::source("%;=|", params({{"k=;", S("v|%")}})), "src|%25%3B%3D%7C|k%3D%3B=sv%7C%25"},
        KeyCase{NodeRecord::external(descriptor(), {}, {0}), "ext|k|h|f|1|s|-"},
        KeyCase{NodeRecord::external(PayloadDescriptor{"a|b", "h", "f", "1", "s", "p=q"}, params({{"x", B(true)}}), {}),
                "ext|a%7Cb|h|f|1|s|sp%3Dq|x=btrue"},
        KeyCase{NodeRecord::external(PayloadDescriptor{"k", "h", "f", "1", "s", "-"}, {}, {0}), "ext|k|h|f|1|s|s-"},
        KeyCase{NodeRecord::external(PayloadDescriptor{"k", "h", "f", "1", "s", ""}, {}, {0}), "ext|k|h|f|1|s|s"},
        KeyCase{NodeRecord::stage({0}, {StageMember{"op|a", {}}, StageMember{"op|b", {}}, StageMember{"op|c", {}}}),
                "stage|3|op%7Ca=;op%7Cb=;op%7Cc="},
        KeyCase{NodeRecord::stage({0, 1}, {StageMember{"op|add|k=i1", {{MemberSource::Input, 1}, {MemberSource::Input, 0}}},
                                           StageMember{"op|neg", {{MemberSource::Member, 0}}}}),
                "stage|2|op%7Cadd%7Ck%3Di1=i1,i0;op%7Cneg=m0"},
        KeyCase{NodeRecord::stage({}, {}), "stage|0"},
        KeyCase{NodeRecord::join(params({{"how", S("inner")}}), {0, 1}), "join|how=sinner"},
        KeyCase{NodeRecord::join({}, {0, 1, 2}), "join"}));

TEST(Escaping, RoundTripsAndUsesUpperCaseHex) {
  for (std::string text : {"", "plain", "%", "%%25", "a;b=c|d", "%7C", "|%3D|", "100%;"}) {
    std::string escaped = escape_key_text(text);
    EXPECT_EQ(escaped.find_first_of(";=|"), std::string::npos) << escaped;
    EXPECT_EQ(unescape_key_text(escaped), text);
  }
  EXPECT_EQ(escape_key_text("%;=|"), "%25%3B%3D%7C");
  // Lower-case hex is not an escape.
  EXPECT_EQ(unescape_key_text("%7c"), "%7c");
}

TEST(MemberToken, InvertsOpAndReductionKeys) {
  std::vector<NodeRecord> records = {
      NodeRecord::op("a|b%c", params({{"k;=", S("v=|;%")}, {"n", I(std::numeric_limits<std::int64_t>::min())},
                                     {"f", F(-1.5)}, {"t", B(true)}}),
                     {0}),
      NodeRecord::reduction("", params({{"x", F(std::numeric_limits<double>::infinity())}}), {}),
      NodeRecord::op("plain", {}, {})};
  for (const NodeRecord& r : records) {
    auto parsed = parse_member_token(identity_key(r));
    ASSERT_TRUE(parsed.has_value()) << identity_key(r);
    EXPECT_EQ(parsed->kind, r.kind == NodeKind::Op ? "op" : "red");
    EXPECT_EQ(parsed->name, r.name);
    EXPECT_EQ(parsed->params, r.params);
  }
}

TEST(MemberToken, ReadsLenientNumberForms) {
  auto parsed = parse_member_token("op|x|b=i+7;a=fFF;c=f+3ff0000000000000;d=i-0");
  ASSERT_TRUE(parsed.has_value());
  ASSERT_EQ(parsed->params.size(), 4u);
  EXPECT_EQ(parsed->params[0].key, "a");
  EXPECT_EQ(std::bit_cast<std::uint64_t>(parsed->params[0].value.as_float()), 0xffu);
  EXPECT_EQ(parsed->params[1].value, ParamValue::from_int(7));
  EXPECT_EQ(parsed->params[2].value, ParamValue::from_float(1.0));
  EXPECT_EQ(parsed->params[3].value, ParamValue::from_int(0));
  auto empty = parse_member_token("op|x|");
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->name, "x");
  EXPECT_TRUE(empty->params.empty());
  auto no_params = parse_member_token("red|y");
  ASSERT_TRUE(no_params.has_value());
  EXPECT_EQ(no_params->kind, "red");
}

class UnparseableTokenTest : public ::testing::TestWithParam<const char*> {};

TEST_P(UnparseableTokenTest, IsRejected) { EXPECT_FALSE(parse_member_token(GetParam()).has_value()) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(
    Forms, UnparseableTokenTest,
    ::testing::Values("op", "src|x", "stage|3", "OP|x", "op|x|k", "op|x|k=q1", "op|x|k=", "op|x|k=b1",
                      "op|x|k=bTrue", "op|x|k=i", "op|x|k=i-", "op|x|k=i9223372036854775808",
                      "op|x|k=i-9223372036854775809", "op|x|k=i1.5", "op|x|k=f", "op|x|k=f+",
                      "op|x|k=f10000000000000000", "op|x|k=fg", "op|x|k=f-1", "op|x|a=i1;", "op|x|;a=i1", ""));

TEST(MemberToken, AcceptsIntegerLimits) {
  auto parsed = parse_member_token("op|x|a=i9223372036854775807;b=i-9223372036854775808;c=fffffffffffffffff");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->params[0].value.as_int(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(parsed->params[1].value.as_int(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(std::bit_cast<std::uint64_t>(parsed->params[2].value.as_float()), ~0ULL);
}

TEST(KindName, MatchesPythonWords) {
  const char* words[] = {"source", "op", "reduction", "external", "stage", "exchange", "join"};
  for (int k = 0; k < kNodeKindCount; ++k) EXPECT_EQ(kind_name(static_cast<NodeKind>(k)), words[k]);
}

}  // namespace
}  // namespace weftory::store

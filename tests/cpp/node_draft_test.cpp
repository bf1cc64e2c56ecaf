// The node draft: parameter sorting at every size, and the growth of a
// stage's member inputs.
#include "store/node_draft.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace weftory::store {
namespace {

enum class KeyOrder { Ascending, Descending, Shuffled, ShuffledWithRepeats };

// `count` keys in the given order; a repeated key appears twice, apart.
std::vector<std::string> keys_in_order(std::size_t count, KeyOrder order) {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < count; ++i) keys.push_back("k" + std::to_string(i));
  std::mt19937 rng(static_cast<unsigned>(count));
  switch (order) {
    case KeyOrder::Ascending: std::sort(keys.begin(), keys.end()); break;
    case KeyOrder::Descending: std::sort(keys.rbegin(), keys.rend()); break;
    case KeyOrder::Shuffled: std::shuffle(keys.begin(), keys.end(), rng); break;
    case KeyOrder::ShuffledWithRepeats:
      if (count >= 2) keys[count - 1] = keys[count / 3];
      if (count >= 6) keys[count / 2] = keys[1];
      std::shuffle(keys.begin(), keys.end(), rng);
      break;
  }
  return keys;
}

class DraftParamSort : public testing::TestWithParam<std::tuple<std::size_t, KeyOrder>> {};

TEST_P(DraftParamSort, SortsByKeyBytesStablyAndFindsTheFirstRepeat) {
  const auto [count, order] = GetParam();
  const std::vector<std::string> keys = keys_in_order(count, order);
  NodeDraft draft;
  draft.reset(NodeKind::Source);
  draft.set_name("s");
  // Each value is the key's arrival position, so the order of equal keys shows.
  for (std::size_t i = 0; i < keys.size(); ++i) draft.add_param(keys[i], ParamTag::Int, i);
  const std::size_t repeated = draft.finish();

  // The expected order: by key bytes, ties by arrival.
  std::vector<std::pair<std::string, std::size_t>> expected;
  for (std::size_t i = 0; i < keys.size(); ++i) expected.emplace_back(keys[i], i);
  std::sort(expected.begin(), expected.end());
  std::size_t expected_repeat = expected.size();
  for (std::size_t i = 1; i < expected.size(); ++i) {
    if (expected[i].first == expected[i - 1].first) {
      expected_repeat = i;
      break;
    }
  }

  ASSERT_EQ(draft.param_count(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(draft.param(i).key, expected[i].first) << "position " << i;
    ASSERT_EQ(draft.param(i).bits, expected[i].second) << "position " << i;
    ASSERT_EQ(draft.key_hash(i), text_hash(expected[i].first)) << "position " << i;
  }
  EXPECT_EQ(repeated, expected_repeat);
  EXPECT_EQ(draft.sort_params(), expected_repeat);
}

INSTANTIATE_TEST_SUITE_P(
    SizesAroundTheInsertionSortLimit, DraftParamSort,
    testing::Combine(testing::Values(0, 1, 2, 5, 16, 17, 18, 64, 1000, 5000),
                     testing::Values(KeyOrder::Ascending, KeyOrder::Descending, KeyOrder::Shuffled,
                                     KeyOrder::ShuffledWithRepeats)));

// A stage read member by member, as the blob reader does: each member's
// inputs reserved, then added. Every member reads back its own inputs, and
// the buffers grow geometrically: the draft's allocation changes a number of
// times logarithmic in the stage's size, not once per member.
class DraftStageGrowth : public testing::TestWithParam<std::size_t> {};

TEST_P(DraftStageGrowth, MembersReadBackAndBuffersGrowGeometrically) {
  const std::size_t members = GetParam();
  NodeDraft draft;
  draft.reset(NodeKind::Stage);
  draft.inputs().push_back(0);
  std::size_t changes = 0;
  std::size_t retained = draft.retained_bytes();
  auto input_count = [](std::size_t m) { return m % 3; };  // 0, 1 or 2 inputs
  for (std::size_t m = 0; m < members; ++m) {
    draft.add_member(m % 2 ? "op|neg" : "op|exp");
    draft.reserve_member_inputs(input_count(m));
    for (std::size_t k = 0; k < input_count(m); ++k) {
      draft.add_member_input(m == 0 || k == 0 ? MemberInput{MemberSource::Input, 0}
                                              : MemberInput{MemberSource::Member, m - 1});
    }
    if (draft.retained_bytes() != retained) {
      ++changes;
      retained = draft.retained_bytes();
    }
  }
  draft.finish();

  ASSERT_EQ(draft.member_count(), members);
  for (std::size_t m = 0; m < members; ++m) {
    ASSERT_EQ(draft.member_token(m), m % 2 ? "op|neg" : "op|exp");
    const auto ins = draft.member_inputs(m);
    ASSERT_EQ(ins.size(), input_count(m)) << "member " << m;
    for (std::size_t k = 0; k < ins.size(); ++k) {
      const MemberInput want = m == 0 || k == 0 ? MemberInput{MemberSource::Input, 0}
                                                : MemberInput{MemberSource::Member, m - 1};
      ASSERT_EQ(ins[k], want) << "member " << m << " input " << k;
    }
  }
  // Four buffers grow with the members (bytes, tokens, starts, inputs); each
  // doubles at least, so each changes at most about log2(members) times.
  const double bound = 4 * (std::log2(static_cast<double>(members) + 1) + 4);
  EXPECT_LE(static_cast<double>(changes), bound) << "allocation changed " << changes << " times for " << members
                                                 << " members";
}

INSTANTIATE_TEST_SUITE_P(StageSizes, DraftStageGrowth, testing::Values(10, 1000, 20000));

}  // namespace
}  // namespace weftory::store

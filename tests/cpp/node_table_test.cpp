#include "store/node_table.hpp"

#include <gtest/gtest.h>

#include <malloc.h>

#include <random>
#include <set>

#include "store/store.hpp"

namespace weftory::store {

using support::StableVector;

namespace {

TEST(StableVector, ElementsKeepTheirAddressesAndRunsStayContiguous) {
  StableVector<std::uint32_t, 2> v;  // segments of 4, 8, 16, ... elements
  std::vector<const std::uint32_t*> addresses;
  std::vector<std::pair<std::size_t, std::size_t>> runs;  // start, length
  std::mt19937 rng(5);
  std::uint32_t next = 0;
  for (int step = 0; step < 400; ++step) {
    const std::size_t length = rng() % 11;
    const std::size_t start = v.prepare_run(length, 1u << 30);
    std::uint32_t* run = v.mutable_run(start);
    for (std::size_t k = 0; k < length; ++k) run[k] = next + static_cast<std::uint32_t>(k);
    v.commit_run();
    runs.emplace_back(start, length);
    for (std::size_t k = 0; k < length; ++k) addresses.push_back(run + k);
    next += static_cast<std::uint32_t>(length);
  }
  std::uint32_t expected = 0;
  std::size_t address = 0;
  for (auto [start, length] : runs) {
    for (std::size_t k = 0; k < length; ++k) {
      // Reached both by position and through the run's first element.
      ASSERT_EQ(v[start + k], expected);
      ASSERT_EQ(v.data_at(start) + k, &v[start + k]);
      ASSERT_EQ(addresses[address++], &v[start + k]);
      ++expected;
    }
  }
  EXPECT_THROW(v.prepare_run(8, v.size() + 4), std::bad_alloc);
}

TEST(TextPool, EqualTextsShareOneCopyAndDistinctBytesStayApart) {
  TextPool pool;
  const std::vector<std::string> texts = {"", "a", "ab", std::string("a\0b", 3), std::string("a\0c", 3),
                                          std::string(5000, 'x'), "é", "a"};
  std::vector<TextId> ids;
  for (const std::string& t : texts) ids.push_back(pool.intern(t));
  EXPECT_EQ(ids[1], ids[7]);
  EXPECT_EQ(pool.text(ids[1]).data(), pool.text(ids[7]).data());
  EXPECT_EQ(std::set<TextId>(ids.begin(), ids.end()).size(), texts.size() - 1);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(pool.text(ids[i]), texts[i]);
    EXPECT_EQ(pool.hash(ids[i]), text_hash(texts[i]));
    EXPECT_EQ(pool.find(texts[i]), ids[i]);
  }
  EXPECT_FALSE(pool.find("absent").has_value());
  EXPECT_EQ(pool.size(), texts.size() - 1);
}

// Random nodes of every kind, as owning records: the model the table is
// checked against.
std::vector<NodeRecord> random_graph(std::mt19937_64& rng, std::size_t n) {
  auto pick = [&](std::size_t k) { return static_cast<std::size_t>(rng() % k); };
  const std::vector<std::string> words = {"", "a", "add", "k|=;%", std::string("n\0ul", 4), "é", "longer text"};
  auto params = [&] {
    ParamMap p;
    const std::size_t count = pick(4);
    for (std::size_t i = 0; i < count; ++i) {
      std::string key = words[pick(words.size())] + std::to_string(i);
      switch (pick(4)) {
        case 0: p.push_back({key, ParamValue::from_int(static_cast<std::int64_t>(rng()))}); break;
        case 1: p.push_back({key, ParamValue::from_float(pick(5) == 0 ? -0.0 : std::bit_cast<double>(rng()))}); break;
        case 2: p.push_back({key, ParamValue::from_bool(pick(2) == 0)}); break;
        default: p.push_back({key, ParamValue::from_str(words[pick(words.size())])});
      }
    }
    sort_params(p);
    return p;
  };
  std::vector<NodeRecord> out;
  for (std::size_t id = 0; id < n; ++id) {
    std::vector<NodeId> inputs;
    if (id > 0) {
      for (std::size_t k = pick(4); k > 0; --k) inputs.push_back(pick(id));
    }
    const std::string& name = words[pick(words.size())];
    switch (id == 0 ? 0 : pick(kNodeKindCount)) {
      case 0: out.push_back(NodeRecord::source(name, params())); break;
      case 1: out.push_back(NodeRecord::op(name, params(), inputs)); break;
      case 2: out.push_back(NodeRecord::reduction(name, params(), inputs)); break;
      case 3: {
        PayloadDescriptor d{words[pick(words.size())], "h", "f", "1", "s", std::nullopt};
        if (pick(2) == 0) d.preprocessing_ref = words[pick(words.size())];
        out.push_back(NodeRecord::external(d, params(), inputs));
        break;
      }
      case 4: {
        std::vector<StageMember> members;
        for (std::size_t m = 0, count = 1 + pick(3); m < count; ++m) {
          StageMember member{"op|" + words[pick(words.size())], {}};
          for (std::size_t k = pick(3); k > 0; --k) member.inputs.push_back({MemberSource::Input, rng() % 1000});
          members.push_back(member);
        }
        out.push_back(NodeRecord::stage(inputs, members));
        break;
      }
      case 5: out.push_back(NodeRecord::exchange(params(), inputs)); break;
      default: out.push_back(NodeRecord::join(params(), inputs)); break;
    }
  }
  return out;
}

TEST(NodeTable, StoredNodesReadBackAsTheRecordsTheyCameFrom) {
  std::mt19937_64 rng(11);
  const std::vector<NodeRecord> records = random_graph(rng, 3000);
  NodeTable table;
  for (const NodeRecord& r : records) table.append(RecordRef(r));
  ASSERT_EQ(table.size(), records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    const NodeRef node = table.node(i);
    ASSERT_EQ(to_record(node), records[i]) << i;
    ASSERT_TRUE(node == records[i]);
    // Hash and key agree whether read from the table or from the record.
    ASSERT_EQ(hash_node(node, 9), hash_record(records[i], 9)) << i;
    ASSERT_EQ(identity_key_of(node), identity_key(records[i])) << i;
  }
  // Every distinct text is stored once.
  std::set<std::string> distinct;
  for (std::size_t t = 0; t < table.texts().size(); ++t) distinct.insert(std::string(table.texts().text(t)));
  EXPECT_EQ(distinct.size(), table.texts().size());
}

TEST(NodeTable, TakingBackTheLastNodeLeavesTheOthersIntact) {
  std::mt19937_64 rng(12);
  const std::vector<NodeRecord> records = random_graph(rng, 50);
  NodeTable table;
  for (std::size_t i = 0; i < records.size(); ++i) {
    table.append(RecordRef(records[i]));
    if (i % 3 == 0) {
      table.pop_back();
      table.append(RecordRef(records[i]));
    }
  }
  ASSERT_EQ(table.size(), records.size());
  for (std::size_t i = 0; i < records.size(); ++i) EXPECT_EQ(to_record(table.node(i)), records[i]);
}

TEST(StorePools, ViewsTakenEarlierReadTheSameNodesWhileTheStoreGrows) {
  std::mt19937_64 rng(13);
  const std::vector<NodeRecord> records = random_graph(rng, 20000);
  Store store;
  std::vector<NodesView> views;
  std::vector<NodeId> ids;
  std::vector<NodeRecord> added_records;  // inputs as store ids
  for (std::size_t i = 0; i < records.size(); ++i) {
    added_records.push_back(records[i]);
    for (NodeId& input : added_records.back().inputs) input = ids[input];
    auto added = store.add_node(added_records.back());
    ASSERT_TRUE(added.ok());
    ids.push_back(added.value());
    if ((i & (i - 1)) == 0) views.push_back(store.snapshot().nodes);  // at every power of two
  }
  for (const NodesView& view : views) {
    for (std::size_t k = 0; k < view.size(); ++k) {
      // Equal records intern to one id; the first of them is what the view holds.
      ASSERT_EQ(to_record(view[k]), to_record(store.snapshot().nodes[k]));
    }
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(to_record(store.snapshot().nodes[ids[i]]), added_records[i]);
  }
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(StorePools, DroppingAStoreReturnsItsMemory) {
  std::mt19937_64 rng(14);
  const std::vector<NodeRecord> records = random_graph(rng, 5000);
  malloc_trim(0);
  const std::size_t before = mallinfo2().uordblks;
  for (int round = 0; round < 40; ++round) {
    auto store = new_store();
    for (const NodeRecord& r : records) (void)store->add_node(r);
    NodesView held = store->snapshot().nodes;  // a view keeps the pools until it goes
    store.reset();
    ASSERT_EQ(to_record(held[held.size() - 1]), to_record(held.table()->node(held.size() - 1)));
    ASSERT_EQ(to_record(held[0]), records[0]);
  }
  const std::size_t after = mallinfo2().uordblks;
  EXPECT_LT(after, before + 64 * 1024) << "before " << before << " after " << after;
}
#endif

}  // namespace
}  // namespace weftory::store

// libFuzzer target for the IR blob reader.
//
// Every input must end in a store or one of the reader's errors, never in a
// crash, hang or leak. A store that reads successfully must satisfy the store
// invariants, re-serialize, and read back from those bytes to an equal store
// whose bytes are the same again. The DOT renderer and the cone of the marks
// are run on it too, since both accept any well-formed store.
//
//   blob_reader_fuzz --write-seeds DIR   writes the seed corpus and exits
//   blob_reader_fuzz [libFuzzer flags] CORPUS...
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "store/blob.hpp"
#include "store/cone.hpp"
#include "store/dot.hpp"

namespace {

using weftory::store::BlobError;
using weftory::store::BlobTooLarge;
using weftory::store::MemberInput;
using weftory::store::MemberSource;
using weftory::store::NodeId;
using weftory::store::NodeKind;
using weftory::store::NodeRecord;
using weftory::store::ParamEntry;
using weftory::store::ParamMap;
using weftory::store::ParamValue;
using weftory::store::PayloadDescriptor;
using weftory::store::Snapshot;
using weftory::store::StageMember;
using weftory::store::Store;
using weftory::support::Result;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "blob_reader_fuzz: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) finding(what);
}

void check_error(const BlobError& error) {
  using weftory::store::BlobErrorKind;
  const std::string message = error.message();
  switch (error.kind()) {
    case BlobErrorKind::Truncated:
      check(message == "truncated weftory IR blob", "wrong truncation message");
      break;
    case BlobErrorKind::BadMagic:
      check(message == "not a weftory IR blob (bad magic/version)", "wrong magic message");
      break;
    case BlobErrorKind::InvalidNodeTag:
      check(error.value() > 6 && error.value() <= 255, "node tag error for a valid tag");
      check(message == "invalid node tag " + std::to_string(error.value()), "wrong node tag message");
      break;
    case BlobErrorKind::InvalidParamTag:
      check(error.value() > 3 && error.value() <= 255, "param tag error for a valid tag");
      check(message == "invalid param tag " + std::to_string(error.value()), "wrong param tag message");
      break;
    case BlobErrorKind::InvalidStageRefTag:
      check(error.value() > 1 && error.value() <= 255, "stage-ref tag error for a valid tag");
      check(message == "invalid stage-ref tag " + std::to_string(error.value()), "wrong stage-ref tag message");
      break;
    case BlobErrorKind::InvalidUtf8:
      check(message == "invalid utf-8 in weftory IR blob", "wrong utf-8 message");
      break;
    case BlobErrorKind::OutOfRange:
      check(message == "node reference " + std::to_string(error.value()) + " out of range", "wrong range message");
      break;
    case BlobErrorKind::DuplicateParamName:
      check(message == "duplicate param name in weftory IR blob", "wrong duplicate message");
      break;
    default:
      finding("unknown blob error kind");
  }
}

void check_invariants(const Snapshot& snap) {
  for (std::size_t i = 0; i < snap.nodes.size(); ++i) {
    const auto node = snap.nodes[i];
    for (NodeId input : node.inputs()) check(input < i, "node input not below its node");
    check((node.kind() == NodeKind::External) == node.has_descriptor(), "descriptor on the wrong kind");
    for (std::size_t k = 1; k < node.param_count(); ++k) {
      check(node.param(k - 1).key < node.param(k).key, "params not strictly sorted");
    }
    for (std::size_t j = 0; j < node.member_count(); ++j) {
      for (const MemberInput& in : node.member_inputs(j)) {
        check(in.index <= 0xFFFFFFFFu, "member input index beyond 32 bits");
        if (in.source == MemberSource::Member) check(in.index < j, "member refers to a later member");
      }
    }
  }
  for (std::size_t k = 0; k < snap.outputs.size(); ++k) {
    check(snap.outputs[k] < snap.nodes.size(), "mark beyond the node count");
    for (std::size_t j = 0; j < k; ++j) check(snap.outputs[j] != snap.outputs[k], "repeated mark");
  }
}

void check_store(const Store& store) {
  const Snapshot snap = store.snapshot();
  check(snap.nodes.size() == store.node_count(), "snapshot and node count disagree");
  check_invariants(snap);
  check(store.node_map_copy().empty(), "a read store carries a node map");

  Result<std::vector<std::uint8_t>, BlobTooLarge> first = weftory::store::write_blob(snap.nodes, snap.outputs);
  check(first.ok(), "a read store does not serialize");
  Result<std::unique_ptr<Store>, BlobError> again = weftory::store::read_blob(first.value());
  check(again.ok(), "a re-serialized blob does not read");
  const Snapshot snap_again = again.value()->snapshot();
  check(snap_again.nodes == snap.nodes, "round trip changed the nodes");
  check(snap_again.outputs == snap.outputs, "round trip changed the marks");
  Result<std::vector<std::uint8_t>, BlobTooLarge> second =
      weftory::store::write_blob(snap_again.nodes, snap_again.outputs);
  check(second.ok() && second.value() == first.value(), "second serialization differs");

  const std::string dot = weftory::store::render_dot(store);
  check(dot.starts_with("digraph weftory {\n") && dot.ends_with("}\n"), "malformed DOT text");

  auto cone = weftory::store::cone(store, snap.outputs);
  check(cone.ok(), "cone of the marks refused");
  check(cone.value()->node_count() <= snap.nodes.size(), "cone larger than its source");
  check(cone.value()->outputs_copy().size() == snap.outputs.size(), "cone lost a mark");
}

// ---------------------------------------------------------------------------
// Seeds: blobs the writer produces, from stores of every kind and from node
// vectors a store would never hold (equal records, unsorted and repeated
// parameter names), so that every reader path starts covered.

ParamMap sorted(ParamMap map) {
  weftory::store::sort_params(map);
  return map;
}

std::vector<std::vector<std::uint8_t>> seed_blobs() {
  std::vector<std::vector<std::uint8_t>> seeds;
  auto emit = [&](const std::vector<NodeRecord>& nodes, const std::vector<NodeId>& outputs) {
    Result<std::vector<std::uint8_t>, BlobTooLarge> written = weftory::store::write_blob(nodes, outputs);
    if (written.ok()) seeds.push_back(std::move(written).value());
  };
  const PayloadDescriptor desc{"onnx", "sha256:ab", "torch", "2.3", "f32[N]", std::string("norm")};
  const PayloadDescriptor bare{"k", "h", "f", "v", "io", std::nullopt};
  const ParamMap all_types = sorted({ParamEntry{"i", ParamValue::from_int(-5)}, ParamEntry{"f", ParamValue::from_float(0.5)},
                                     ParamEntry{"b", ParamValue::from_bool(true)},
                                     ParamEntry{"s", ParamValue::from_str("h\xC3\xA9")}});

  emit({}, {});
  emit({NodeRecord::source("x", {}), NodeRecord::op("neg", {}, {0})}, {1});
  emit({NodeRecord::source("a", all_types), NodeRecord::source("b", {}), NodeRecord::op("add", all_types, {0, 1, 0}),
        NodeRecord::reduction("sum", {ParamEntry{"axis", ParamValue::from_int(0)}}, {2}),
        NodeRecord::external(desc, all_types, {3}), NodeRecord::external(bare, {}, {}),
        NodeRecord::stage({4, 5}, {StageMember{"op|neg", {{MemberSource::Input, 1}}},
                                   StageMember{"op|add", {{MemberSource::Member, 0}, {MemberSource::Input, 0}}}}),
        NodeRecord::exchange({ParamEntry{"scheme", ParamValue::from_str("hash")}}, {6}),
        NodeRecord::join({}, {7, 1})},
       {8, 1, 8});
  // Equal records, references to the later copy, outputs naming both.
  emit({NodeRecord::source("x", {}), NodeRecord::source("x", {}), NodeRecord::op("neg", {}, {1}),
        NodeRecord::op("neg", {}, {0})},
       {3, 2, 1});
  // Parameters out of order, and a repeated name.
  emit({NodeRecord::source("s", {ParamEntry{"z", ParamValue::from_int(1)}, ParamEntry{"a", ParamValue::from_int(2)}})}, {0});
  emit({NodeRecord::source("s", {ParamEntry{"k", ParamValue::from_int(1)}, ParamEntry{"k", ParamValue::from_bool(false)}})}, {});

  std::mt19937_64 rng(1);
  const char* names[] = {"", "a", "op", "x|y", "\xE2\x82\xAC"};
  for (int round = 0; round < 24; ++round) {
    std::vector<NodeRecord> nodes;
    const std::size_t n = 1 + rng() % 12;
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<NodeId> inputs;
      if (i > 0) {
        for (int k = static_cast<int>(rng() % 3); k > 0; --k) inputs.push_back(rng() % i);
      }
      ParamMap params;
      for (int k = static_cast<int>(rng() % 3); k > 0; --k) {
        params.push_back(ParamEntry{std::string(names[rng() % 5]) + std::to_string(k),
                                    rng() % 2 ? ParamValue::from_int(static_cast<std::int64_t>(rng() % 100))
                                              : ParamValue::from_str(names[rng() % 5])});
      }
      params = sorted(std::move(params));
      switch (i == 0 ? 0 : rng() % 7) {
        case 0: nodes.push_back(NodeRecord::source(names[rng() % 5] + std::to_string(i), params)); break;
        case 1: nodes.push_back(NodeRecord::op(names[rng() % 5], params, inputs)); break;
        case 2: nodes.push_back(NodeRecord::reduction(names[rng() % 5], params, inputs)); break;
        case 3: nodes.push_back(NodeRecord::external(rng() % 2 ? desc : bare, params, inputs)); break;
        case 4:
          nodes.push_back(NodeRecord::stage(
              inputs, {StageMember{"op|m", {{MemberSource::Input, rng() % 4}}},
                       StageMember{"red|r", {{MemberSource::Member, 0}}}}));
          break;
        case 5: nodes.push_back(NodeRecord::exchange(params, inputs)); break;
        default: nodes.push_back(NodeRecord::join(params, inputs)); break;
      }
    }
    std::vector<NodeId> outputs;
    for (int k = static_cast<int>(rng() % 3); k > 0; --k) outputs.push_back(rng() % n);
    emit(nodes, outputs);
  }
  return seeds;
}

int write_seeds(const char* dir) {
  std::filesystem::create_directories(dir);
  const auto seeds = seed_blobs();
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    const std::filesystem::path path = std::filesystem::path(dir) / ("seed-" + std::to_string(i) + ".wir");
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size()));
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  std::printf("wrote %zu seeds to %s\n", seeds.size(), dir);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i + 1 < *argc; ++i) {
    if (std::strcmp((*argv)[i], "--write-seeds") == 0) std::exit(write_seeds((*argv)[i + 1]));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Result<std::unique_ptr<Store>, BlobError> read =
      weftory::store::read_blob(std::span<const std::uint8_t>(data, size));
  if (!read.ok()) {
    check_error(read.error());
    return 0;
  }
  check_store(*read.value());
  return 0;
}

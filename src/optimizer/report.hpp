// The six counts a reduction reports: how many nodes each pass left over.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>

namespace weftory::optimizer {

struct ReductionReport {
  // Nodes handed to the pipeline, live or dead.
  std::uint64_t input_nodes = 0;
  // Nodes the outputs depend on (the outputs included).
  std::uint64_t reachable_nodes = 0;
  // Distinct nodes after rewriting and common-subexpression elimination.
  std::uint64_t canonical_nodes = 0;
  // Stage nodes emitted by fusion, one per group of Op nodes.
  std::uint64_t stages = 0;
  // Nodes of the reduced graph.
  std::uint64_t reduced_nodes = 0;
  // Non-Op nodes re-emitted as themselves.
  std::uint64_t boundary_nodes = 0;

  friend bool operator==(const ReductionReport&, const ReductionReport&) = default;
};

using ReportEntry = std::pair<std::string_view, std::uint64_t>;

// The counts under their report names ("input_nodes", ...), in the order of
// the pipeline's passes.
std::array<ReportEntry, 6> report_entries(const ReductionReport& report);

// Whether the counts are ordered as every reduction leaves them:
// input >= reachable >= canonical >= reduced == stages + boundary.
bool report_is_consistent(const ReductionReport& report);

}  // namespace weftory::optimizer

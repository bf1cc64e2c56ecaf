#include "optimizer/report.hpp"

namespace weftory::optimizer {

std::array<ReportEntry, 6> report_entries(const ReductionReport& report) {
  return {{
      {"input_nodes", report.input_nodes},
      {"reachable_nodes", report.reachable_nodes},
      {"canonical_nodes", report.canonical_nodes},
      {"stages", report.stages},
      {"reduced_nodes", report.reduced_nodes},
      {"boundary_nodes", report.boundary_nodes},
  }};
}

bool report_is_consistent(const ReductionReport& report) {
  return report.input_nodes >= report.reachable_nodes && report.reachable_nodes >= report.canonical_nodes &&
         report.canonical_nodes >= report.reduced_nodes &&
         report.reduced_nodes == report.stages + report.boundary_nodes;
}

}  // namespace weftory::optimizer

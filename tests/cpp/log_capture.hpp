// A log sink for tests: collects every record of the given level while alive.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/log.hpp"

namespace weftory::egraph {

class LogCapture {
 public:
  explicit LogCapture(LogLevel level)
      : scope_([this](LogLevel, std::string_view record) { records.emplace_back(record); }, level) {}
  bool contains(const std::string& fragment) const {
    return std::any_of(records.begin(), records.end(),
                       [&](const std::string& r) { return r.find(fragment) != std::string::npos; });
  }
  std::vector<std::string> records;

 private:
  ScopedLogSink scope_;
};

}  // namespace weftory::egraph

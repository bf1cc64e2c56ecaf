// Diagnostic records of the e-graph, the matcher and the runner.
//
// Records are only built when a sink is installed for their level; by default
// no sink exists, so the formatting code behind log_lazy never runs and nothing
// is printed. The one message that always reaches standard error (the runner's
// duplicate-rule warning) is written by the runner itself, not through here.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace weftory::egraph {

// Ordered by verbosity: a sink installed for Debug also receives Info and Warn.
enum class LogLevel : int { Warn = 1, Info = 2, Debug = 3, Trace = 4 };

std::string_view log_level_name(LogLevel level);

using LogSink = std::function<void(LogLevel, std::string_view)>;

namespace detail {
// The most verbose level a sink accepts, or 0 when none is installed.
extern std::atomic<int> log_max_level;
}  // namespace detail

// Installs `sink` for records up to and including `max_level`, replacing any
// previous sink. An empty function removes the sink.
void set_log_sink(LogSink sink, LogLevel max_level);
void clear_log_sink();

inline bool log_enabled(LogLevel level) {
  return static_cast<int>(level) <= detail::log_max_level.load(std::memory_order_relaxed);
}

// Hands a finished record to the sink (dropped when no sink wants the level).
void log_write(LogLevel level, std::string_view record);

// Builds the record with `make` only when a sink wants this level.
template <class MakeRecord>
void log_lazy(LogLevel level, MakeRecord&& make) {
  if (log_enabled(level)) log_write(level, std::forward<MakeRecord>(make)());
}

// Installs a sink for its lifetime and restores "no sink" afterwards.
class ScopedLogSink {
 public:
  ScopedLogSink(LogSink sink, LogLevel max_level) { set_log_sink(std::move(sink), max_level); }
  ~ScopedLogSink() { clear_log_sink(); }
  ScopedLogSink(const ScopedLogSink&) = delete;
  ScopedLogSink& operator=(const ScopedLogSink&) = delete;
};

}  // namespace weftory::egraph

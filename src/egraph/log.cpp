#include "egraph/log.hpp"

#include <memory>
#include <mutex>

namespace weftory::egraph {
namespace detail {
std::atomic<int> log_max_level{0};
}  // namespace detail

namespace {

std::mutex& sink_mutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

std::shared_ptr<const LogSink>& sink_slot() {
  static auto* slot = new std::shared_ptr<const LogSink>();
  return *slot;
}

}  // namespace

std::string_view log_level_name(LogLevel level) {
  switch (level) {
    case LogLevel::Warn:
      return "WARN";
    case LogLevel::Info:
      return "INFO";
    case LogLevel::Debug:
      return "DEBUG";
    case LogLevel::Trace:
      return "TRACE";
  }
  return "?";
}

void set_log_sink(LogSink sink, LogLevel max_level) {
  std::lock_guard lock(sink_mutex());
  if (!sink) {
    sink_slot().reset();
    detail::log_max_level.store(0, std::memory_order_relaxed);
    return;
  }
  sink_slot() = std::make_shared<const LogSink>(std::move(sink));
  detail::log_max_level.store(static_cast<int>(max_level), std::memory_order_relaxed);
}

void clear_log_sink() { set_log_sink(LogSink(), LogLevel::Warn); }

void log_write(LogLevel level, std::string_view record) {
  std::shared_ptr<const LogSink> sink;
  {
    std::lock_guard lock(sink_mutex());
    if (!log_enabled(level)) return;
    sink = sink_slot();
  }
  if (sink) (*sink)(level, record);
}

}  // namespace weftory::egraph

// Rate-limited failure reports to the log and the sink.
#include "common/failure_log.hpp"

#include <array>
#include <mutex>
#include <string>

#include "common/log.hpp"
#include "common/rate_limit.hpp"

namespace orvanta {

namespace {

// Guards the sink pointer; held only to copy it, never while reporting.
std::mutex sink_mutex;
std::shared_ptr<FailureSink> current_sink;

std::shared_ptr<FailureSink> sink() {
  const std::lock_guard lock(sink_mutex);
  return current_sink;
}

RateLimit& limit_for(Failure kind) {
  static std::array<RateLimit, failure_kinds> limits;
  return limits[static_cast<std::size_t>(kind)];
}

}  // namespace

void set_failure_sink(std::shared_ptr<FailureSink> sink) {
  const std::lock_guard lock(sink_mutex);
  current_sink = std::move(sink);
}

void report_failure(Failure kind, std::string_view description, std::string_view detail) {
  const auto count = limit_for(kind).occurred(RateLimit::Clock::now());
  if (!count) {
    return;
  }
  const std::string text = with_count(detail, *count);
  log_line(description, text);
  if (const auto receiver = sink()) {
    receiver->report(kind, text);
  }
}

}  // namespace orvanta

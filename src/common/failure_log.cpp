// Rate-limited failure reports to the log and the sink.
#include "common/failure_log.hpp"

#include <array>
#include <mutex>
#include <string>

#include "common/log.hpp"
#include "common/rate_limit.hpp"

namespace orvanta {

namespace {

// Guards the sink and limits pointers; held only to copy them, never while reporting.
std::mutex sink_mutex;
std::shared_ptr<FailureSink> current_sink;

std::shared_ptr<FailureSink> sink() {
  const std::lock_guard lock(sink_mutex);
  return current_sink;
}

// One limit for each kind; replaced whole, under sink_mutex, when a new sink is set.
std::shared_ptr<std::array<RateLimit, failure_kinds>> current_limits =
    std::make_shared<std::array<RateLimit, failure_kinds>>();

std::shared_ptr<std::array<RateLimit, failure_kinds>> limits() {
  const std::lock_guard lock(sink_mutex);
  return current_limits;
}

}  // namespace

void set_failure_sink(std::shared_ptr<FailureSink> sink) {
  auto fresh = std::make_shared<std::array<RateLimit, failure_kinds>>();
  const std::lock_guard lock(sink_mutex);
  current_sink = std::move(sink);
  current_limits = std::move(fresh);
}

void report_failure(Failure kind, std::string_view description, std::string_view detail) {
  const auto count = (*limits())[static_cast<std::size_t>(kind)].occurred(RateLimit::Clock::now());
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

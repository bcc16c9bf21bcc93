// Holding back reports of a failure that repeats.
#include "common/rate_limit.hpp"

namespace orvanta {

std::optional<std::uint64_t> RateLimit::occurred(Clock::time_point now) {
  const std::lock_guard lock(mutex_);
  ++held_back_;
  if (last_report_ && now - *last_report_ < interval_) {
    return std::nullopt;
  }
  last_report_ = now;
  const std::uint64_t count = held_back_;
  held_back_ = 0;
  return count;
}

std::string with_count(std::string_view detail, std::uint64_t count) {
  std::string text(detail);
  if (count > 1) {
    text += " (" + std::to_string(count) + " times since the last report)";
  }
  return text;
}

}  // namespace orvanta

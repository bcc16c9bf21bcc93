// At most one report a second of one kind of failure, however often it happens, so that no client
// can flood a log by making the service fail on purpose.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace orvanta {

class RateLimit {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RateLimit(Clock::duration interval = std::chrono::seconds(1)) : interval_(interval) {}
  RateLimit(const RateLimit&) = delete;
  RateLimit& operator=(const RateLimit&) = delete;

  // Counts one occurrence at `now`. When a report is due: how many occurrences it stands for, this one
  // and those held back since the last report. Nothing while reports are held back. (Occurrences held
  // back after the last report are told by the next one.)
  [[nodiscard]] std::optional<std::uint64_t> occurred(Clock::time_point now);

 private:
  const Clock::duration interval_;
  std::mutex mutex_;  // guards last_report_ and held_back_; no other lock is taken inside it
  std::optional<Clock::time_point> last_report_;
  std::uint64_t held_back_ = 0;
};

// The detail of a report that stands for `count` occurrences: "text" for one, and for more
// "text (12 times since the last report)".
[[nodiscard]] std::string with_count(std::string_view detail, std::uint64_t count);

}  // namespace orvanta

// A stand-in for the Event Log: every failure report that gets past the rate limit, as it came.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/failure_log.hpp"

namespace orvanta::test {

class RecordingFailures final : public FailureSink {
 public:
  void report(Failure kind, std::string_view detail) override {
    const std::lock_guard lock(mutex_);
    reports_.emplace_back(kind, std::string(detail));
  }
  [[nodiscard]] std::vector<std::pair<Failure, std::string>> reports() const {
    const std::lock_guard lock(mutex_);
    return reports_;
  }

 private:
  mutable std::mutex mutex_;  // guards reports_; no other lock is taken inside it
  std::vector<std::pair<Failure, std::string>> reports_;
};

// Installs a recording sink for the scope.
class ScopedFailureSink {
 public:
  ScopedFailureSink() { set_failure_sink(sink_); }
  ScopedFailureSink(const ScopedFailureSink&) = delete;
  ScopedFailureSink& operator=(const ScopedFailureSink&) = delete;
  ~ScopedFailureSink() { set_failure_sink(nullptr); }
  [[nodiscard]] const RecordingFailures& sink() const { return *sink_; }

 private:
  std::shared_ptr<RecordingFailures> sink_ = std::make_shared<RecordingFailures>();
};

}  // namespace orvanta::test

// A stand-in for the operations behind the request server: it records which ran, and answers as a
// service would that has no OpenVPN to run. Safe to call from many workers at once.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/operations.hpp"

namespace orvanta::test {

// The replies are this file's own literals, not the product's builders, so that a changed wording in
// the product fails a test instead of changing both sides.
class RecordingOperations final : public Operations {
 public:
  static constexpr std::uint32_t started_pid = 4242;

  HelperResponse connect(const Connect& request) override {
    record("connect", request);
    std::unique_lock lock(mutex_);
    released_.wait(lock, [this] { return !holding_; });
    return {true, "OpenVPN started", started_pid};
  }
  HelperResponse disconnect() override {
    record("disconnect");
    return {true, "OpenVPN stopped", std::nullopt};
  }
  HelperResponse status() override {
    record("status");
    return {true, "stopped", std::nullopt};
  }
  HelperResponse state() override {
    record("state");
    return {true, "stopped", std::nullopt,
            StateReport{"stopped", "2026-12-11T00:00:00Z", std::nullopt, std::nullopt}};
  }

  // A stand-in for a long operation: from now on every connect is recorded, then waits until the
  // release, holding its worker.
  void hold_connects() {
    const std::lock_guard lock(mutex_);
    holding_ = true;
  }
  void release_connects() {
    {
      const std::lock_guard lock(mutex_);
      holding_ = false;
    }
    released_.notify_all();
  }

  [[nodiscard]] std::vector<std::string> calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
  }
  [[nodiscard]] std::optional<Connect> last_connect() const {
    const std::lock_guard lock(mutex_);
    return last_connect_;
  }

 private:
  void record(const char* call, std::optional<Connect> request = std::nullopt) {
    const std::lock_guard lock(mutex_);
    calls_.emplace_back(call);
    if (request) {
      last_connect_ = std::move(request);
    }
  }

  mutable std::mutex mutex_;  // guards calls_, last_connect_ and holding_; no other lock is taken inside it
  std::vector<std::string> calls_;
  std::optional<Connect> last_connect_;
  bool holding_ = false;
  std::condition_variable released_;
};

}  // namespace orvanta::test

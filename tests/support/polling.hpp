// Waiting for what a test can see but not wait on: a file that appears, a state that changes.
#pragma once

#include <chrono>
#include <thread>

namespace orvanta::test {

// Whether `condition` came to hold within the limit; it is looked at every 10 ms.
template <class Condition>
[[nodiscard]] bool eventually(Condition condition,
                              std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace orvanta::test

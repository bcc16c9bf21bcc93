// The one signal by which a stop reaches the accept loop: an atomic flag and an event that wakes it.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "common/handle.hpp"

namespace orvanta {

class ShutdownFlag {
 public:
  // A manual-reset event, so that every waiter that looks after the stop sees it signalled.
  ShutdownFlag() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

  [[nodiscard]] bool is_set() const { return set_.load(std::memory_order_seq_cst); }

  // Sets the flag (once; later calls change nothing) and wakes whoever waits on the event.
  // Returns whether this call was the one that set it.
  bool set() {
    const bool was_set = set_.exchange(true, std::memory_order_seq_cst);
    if (event_) {
      SetEvent(event_.get());
    }
    return !was_set;
  }

  // Signalled once the flag is set; null only if the event could not be created, in which case a
  // waiter must fall back to looking at the flag at short intervals.
  [[nodiscard]] HANDLE wake_event() const { return event_.get(); }

 private:
  std::atomic<bool> set_{false};
  UniqueHandle event_;
};

}  // namespace orvanta

// status: the one operation that only reads the record, and never waits for a start or a stop.
#include <variant>

#include "protocol/replies.hpp"
#include "vpn/helper_state.hpp"

namespace orvanta {

HelperResponse HelperState::query_status() {
  const std::lock_guard record(record_mutex_);
  if (!child_) {
    return replies::stopped();
  }
  const Result<WaitState> waited = child_->try_wait();
  if (!waited) {
    // The query failed, not the process: keep the record, so that a later status asks again and a
    // later stop still ends it.
    return replies::stopped();
  }
  if (std::holds_alternative<StillRunning>(*waited)) {
    return replies::running(*pid_);
  }
  // OpenVPN has ended. Its job stays recorded: what OpenVPN started may still run, and the next stop
  // ends it.
  child_.reset();
  pid_.reset();
  return replies::stopped();
}

}  // namespace orvanta

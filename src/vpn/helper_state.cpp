// Creating the helper state, and the two operations that only read it or stop: status and disconnect.
#include <variant>

#include "vpn/helper_state_impl.hpp"

namespace orvanta {

std::shared_ptr<HelperState> make_helper_state() { return std::make_shared<HelperState>(); }

HelperResponse query_status(const std::shared_ptr<HelperState>& state) {
  const HelperResponse stopped{true, "stopped", std::nullopt};
  const std::lock_guard record(state->record_mutex);
  if (!state->child) {
    return stopped;
  }
  const Result<WaitState> waited = state->child->try_wait();
  if (!waited) {
    // The query failed, not the process: keep the record, so that a later status asks again and a
    // later stop still ends it.
    return stopped;
  }
  if (std::holds_alternative<StillRunning>(*waited)) {
    return {true, "running", state->pid};
  }
  // OpenVPN has ended. Its job stays recorded: what OpenVPN started may still run, and the next stop
  // ends it.
  state->child.reset();
  state->pid.reset();
  return stopped;
}

HelperResponse disconnect_openvpn(const std::shared_ptr<HelperState>& state) {
  stop_openvpn(state);
  return {true, "OpenVPN stopped", std::nullopt};
}

}  // namespace orvanta

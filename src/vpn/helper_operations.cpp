// Each request kind mapped onto the OpenVPN record.
#include "vpn/helper_operations.hpp"

#include "protocol/replies.hpp"

namespace orvanta {

std::optional<HelperResponse> HelperOperations::refusal(const ClientRequest& request,
                                                        const pipe::PipeCaller* caller) {
  return policy_ ? policy_->refusal(request, caller) : std::nullopt;
}

bool HelperOperations::asks_who_is_calling(const ClientRequest& request) {
  return policy_ && policy_->asks_who_is_calling(request);
}

HelperResponse HelperOperations::connect(const Connect& request) { return launch(request, {}); }

HelperResponse HelperOperations::launch(const Connect& request, const ConnectTurns::Superseded& superseded) {
  if (state_->stopping()) {
    return replies::service_stopping();
  }
  if (superseded && superseded()) {
    return replies::superseded();
  }
  if (!policy_) {
    return state_->start_openvpn(request.openvpn, request.config, request.auth, request.log, nullptr,
                                 superseded);
  }
  // Held until the launch is done: the checked program stays open, so that it cannot be swapped.
  auto allowed = policy_->check_connect(request);
  if (!allowed) {
    return std::move(allowed.error());
  }
  return state_->start_openvpn(request.openvpn, request.config, request.auth, request.log,
                               allowed->application.empty() ? nullptr : &allowed->application, superseded);
}

HelperResponse HelperOperations::disconnect() {
  state_->stop_openvpn(HelperState::disconnect_grace);
  return replies::openvpn_stopped();
}

std::optional<HelperResponse> HelperOperations::connect_in_turn(const Connect& request,
                                                                const RequestTurn& turn) {
  if (!turn.later) {
    return connect(request);  // nowhere to send a later reply: carried out at once, in no order
  }
  return turns_.connect(request, turn);
}

HelperResponse HelperOperations::disconnect_in_turn(const RequestTurn& turn) {
  if (turns_.disconnect(turn.order)) {
    state_->stop_openvpn(HelperState::disconnect_grace);
  }
  return replies::openvpn_stopped();
}

HelperResponse HelperOperations::status() { return state_->query_status(); }

HelperResponse HelperOperations::state() { return state_->query_state(); }

}  // namespace orvanta

// Each request kind mapped onto the OpenVPN record.
#include "vpn/helper_operations.hpp"

#include "protocol/replies.hpp"

namespace orvanta {

std::optional<HelperResponse> HelperOperations::refusal(const ClientRequest& request,
                                                        const pipe::PipeCaller* caller) {
  return policy_ ? policy_->refusal(request, caller) : std::nullopt;
}

HelperResponse HelperOperations::connect(const Connect& request) {
  if (!policy_) {
    return state_->start_openvpn(request.openvpn, request.config, request.auth, request.log);
  }
  // Held until the launch is done: the checked program stays open, so that it cannot be swapped.
  auto allowed = policy_->check_connect(request);
  if (!allowed) {
    return std::move(allowed.error());
  }
  return state_->start_openvpn(request.openvpn, request.config, request.auth, request.log,
                               allowed->application.empty() ? nullptr : &allowed->application);
}

HelperResponse HelperOperations::disconnect() {
  state_->stop_openvpn(HelperState::disconnect_grace);
  return replies::openvpn_stopped();
}

HelperResponse HelperOperations::status() { return state_->query_status(); }

HelperResponse HelperOperations::state() { return state_->query_state(); }

}  // namespace orvanta

// Each request kind mapped onto the OpenVPN record.
#include "vpn/helper_operations.hpp"

#include "protocol/replies.hpp"

namespace orvanta {

HelperResponse HelperOperations::connect(const Connect& request) {
  return state_->start_openvpn(request.openvpn, request.config, request.auth, request.log);
}

HelperResponse HelperOperations::disconnect() {
  state_->stop_openvpn();
  return replies::openvpn_stopped();
}

HelperResponse HelperOperations::status() { return state_->query_status(); }

}  // namespace orvanta

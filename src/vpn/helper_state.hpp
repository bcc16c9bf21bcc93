// The one record of the OpenVPN process the service runs, and the operations on it.
#pragma once

#include <memory>
#include <string>

#include "protocol/response.hpp"

namespace orvanta {

class HelperState;  // defined in vpn/helper_state_impl.hpp; shared, reference-counted

[[nodiscard]] std::shared_ptr<HelperState> make_helper_state();

// connect: stop any recorded OpenVPN, launch a new one and record it.
[[nodiscard]] HelperResponse start_openvpn(const std::shared_ptr<HelperState>& state,
                                           const std::string& openvpn, const std::string& config,
                                           const std::string& auth, const std::string& log);
// disconnect: stop the recorded OpenVPN (if any); always "OpenVPN stopped".
[[nodiscard]] HelperResponse disconnect_openvpn(const std::shared_ptr<HelperState>& state);
// status: "running" with the recorded id, or "stopped".
[[nodiscard]] HelperResponse query_status(const std::shared_ptr<HelperState>& state);
// Ends the recorded OpenVPN and its whole process tree; returns nothing, swallows every failure.
void stop_openvpn(const std::shared_ptr<HelperState>& state);

}  // namespace orvanta

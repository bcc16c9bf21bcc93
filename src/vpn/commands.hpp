// The two launches of OpenVPN supervision: OpenVPN with its fixed options, and taskkill for its tree.
#pragma once

#include <cstdint>
#include <string>

#include "process/command.hpp"

namespace orvanta {

// The client's program with the fourteen fixed arguments, in this order:
//   --config <config> --auth-user-pass <auth> --auth-nocache --redirect-gateway def1 --verb 3 --log <log>
//   --service <exit event> 0
// The texts go in unchanged (the launch quotes them). OpenVPN exits through its own SIGTERM path once
// the named event is set, deleting its routes and undoing its DNS changes, so a stop need not kill it.
// Standard input is the null device; output and error share one pipe, so that what OpenVPN says
// before its log opens (an options error) is not lost.
[[nodiscard]] Command openvpn_command(const std::string& openvpn, const std::string& config,
                                      const std::string& auth, const std::string& log,
                                      const std::string& exit_event);

// taskkill /PID <pid in decimal> /T /F, its output and errors on the null device. Standard input is left
// unset, so the launch inherits the service's own. It is taken from the system folder alone: a
// taskkill.exe planted beside the service, or anywhere on PATH, would otherwise run as the service's
// account at every stop.
[[nodiscard]] Command taskkill_command(std::uint32_t pid);

}  // namespace orvanta

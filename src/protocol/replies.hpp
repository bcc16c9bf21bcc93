// Every reply the service gives, by name: the one place where a reply's wording lives.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/error.hpp"
#include "protocol/request.hpp"
#include "protocol/response.hpp"

namespace orvanta::replies {

// {"ok":true,"message":"stopped","pid":null}
[[nodiscard]] HelperResponse stopped();
// {"ok":true,"message":"running","pid":<pid>}
[[nodiscard]] HelperResponse running(std::uint32_t pid);
// {"ok":true,"message":"OpenVPN started","pid":<pid>}
[[nodiscard]] HelperResponse openvpn_started(std::uint32_t pid);
// {"ok":true,"message":"OpenVPN stopped","pid":null}
[[nodiscard]] HelperResponse openvpn_stopped();
// {"ok":true,"message":<phase>,"pid":<pid or null>,"phase":<phase>,...}: the message repeats the phase.
[[nodiscard]] HelperResponse state(std::optional<std::uint32_t> pid, StateReport report);

// Failures: ok false, pid null, and a fixed prefix before the error text.
[[nodiscard]] HelperResponse start_failed(const Error& error);            // "Failed to start OpenVPN: "
[[nodiscard]] HelperResponse clone_failed(const Error& error);            // "Failed to clone stream: "
[[nodiscard]] HelperResponse read_failed(const Error& error);             // "Failed to read request: "
[[nodiscard]] HelperResponse invalid_request(const RequestError& error);  // "Invalid request JSON: "
[[nodiscard]] HelperResponse worker_failed(const Error& error);  // "Failed to start connection worker: "
// Refused by the administrator's policy: "Not allowed: " and the reason, which names the field and
// the rule.
[[nodiscard]] HelperResponse not_allowed(std::string_view reason);
// "Failed to start OpenVPN: the service is stopping"
[[nodiscard]] HelperResponse service_stopping();
// A connect that a later connect or disconnect overtook before it launched or recorded anything:
// "Failed to start OpenVPN: superseded by a later request".
[[nodiscard]] HelperResponse superseded();

}  // namespace orvanta::replies

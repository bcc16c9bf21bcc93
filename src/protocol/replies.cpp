// The words of every reply.
#include "protocol/replies.hpp"

#include <optional>
#include <string>
#include <utility>

namespace orvanta::replies {
namespace {

HelperResponse failure(std::string message) { return {false, std::move(message), std::nullopt}; }

}  // namespace

HelperResponse stopped() { return {true, "stopped", std::nullopt}; }
HelperResponse running(std::uint32_t pid) { return {true, "running", pid}; }
HelperResponse openvpn_started(std::uint32_t pid) { return {true, "OpenVPN started", pid}; }
HelperResponse openvpn_stopped() { return {true, "OpenVPN stopped", std::nullopt}; }
HelperResponse state(std::optional<std::uint32_t> pid, StateReport report) {
  std::string message = report.phase;
  return {true, std::move(message), pid, std::move(report)};
}

HelperResponse start_failed(const Error& error) {
  return failure("Failed to start OpenVPN: " + error_text(error));
}
HelperResponse clone_failed(const Error& error) {
  return failure("Failed to clone stream: " + error_text(error));
}
HelperResponse read_failed(const Error& error) {
  return failure("Failed to read request: " + error_text(error));
}
HelperResponse invalid_request(const RequestError& error) {
  // Made in one piece: the description can quote a long request several times over.
  constexpr std::string_view prefix = "Invalid request JSON: ";
  const std::string position =
      error.line == 0 ? std::string()
                      : " at line " + std::to_string(error.line) + " column " + std::to_string(error.column);
  std::string message;
  message.reserve(prefix.size() + error.description.size() + position.size());
  message.append(prefix).append(error.description).append(position);
  return failure(std::move(message));
}
HelperResponse not_allowed(std::string_view reason) { return failure("Not allowed: " + std::string(reason)); }
HelperResponse service_stopping() { return start_failed(Error::fixed("the service is stopping")); }
HelperResponse superseded() { return start_failed(Error::fixed("superseded by a later request")); }

HelperResponse worker_failed(const Error& error) {
  return failure("Failed to start connection worker: " + error_text(error));
}

}  // namespace orvanta::replies

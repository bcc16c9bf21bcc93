// The platform-free middle of a connection: everything between the first receive and the reply.
#include "server/request_answer.hpp"

#include <expected>
#include <new>
#include <optional>
#include <type_traits>
#include <variant>

#include "common/failure_log.hpp"
#include "protocol/replies.hpp"
#include "server/white_space.hpp"

namespace orvanta {

HelperResponse dispatch_request(const HelperRequest& request, Operations& operations) {
  return std::visit(
      [&](const auto& kind) -> HelperResponse {
        using Kind = std::decay_t<decltype(kind)>;
        if constexpr (std::is_same_v<Kind, Connect>) {
          return operations.connect(kind);
        } else if constexpr (std::is_same_v<Kind, Disconnect>) {
          return operations.disconnect();
        } else if constexpr (std::is_same_v<Kind, Status>) {
          return operations.status();
        } else {
          return operations.state();
        }
      },
      request);
}

namespace {

// The line goes as soon as it is parsed: an operation can take long (a connect stops the old OpenVPN
// first), and up to a megabyte per worker need not wait for it.
std::expected<ClientRequest, HelperResponse> parse_line(std::string line) {
  const std::string taken = std::move(line);
  auto parsed = read_client_request(trim_white_space(taken));
  if (!parsed) {
    return std::unexpected(replies::invalid_request(parsed.error()));
  }
  return std::move(*parsed);
}

}  // namespace

HelperResponse answer_line(std::string line, Operations& operations, const pipe::PipeCaller* caller) {
  try {
    auto request = parse_line(std::move(line));
    if (!request) {
      return std::move(request.error());
    }
    if (auto refused = operations.refusal(*request, caller)) {
      return std::move(*refused);
    }
    return dispatch_request(request->command, operations);
  } catch (const std::bad_alloc&) {
    // Whatever the request had taken is released by now; what it changed stays changed (an operation
    // never leaves a launched OpenVPN unrecorded).
    return replies::read_failed(Error::fixed("out of memory"));
  }
}

std::optional<HelperResponse> answer_line_in_turn(std::string line, Operations& operations,
                                                  const CallerQuery& caller, const RequestTurn& turn) {
  try {
    auto request = parse_line(std::move(line));
    if (!request) {
      return std::move(request.error());
    }
    std::optional<pipe::PipeCaller> known;
    if (caller && operations.asks_who_is_calling(*request)) {
      auto asked = caller();
      if (!asked) {
        return unknown_caller(asked.error());
      }
      known = std::move(*asked);
    }
    if (auto refused = operations.refusal(*request, known ? &*known : nullptr)) {
      return std::move(*refused);
    }
    if (const auto* connect = std::get_if<Connect>(&request->command)) {
      return operations.connect_in_turn(*connect, turn);
    }
    if (std::holds_alternative<Disconnect>(request->command)) {
      return operations.disconnect_in_turn(turn);
    }
    return dispatch_request(request->command, operations);
  } catch (const std::bad_alloc&) {
    return replies::read_failed(Error::fixed("out of memory"));
  }
}

HelperResponse unknown_caller(const Error& error) {
  const std::string reason = "who is calling could not be told: " + error_text(error);
  report_failure(Failure::PolicyRefusal, "refused a request", reason);
  return replies::not_allowed(reason);
}

HelperResponse answer_request(const Receive& receive, Operations& operations, std::size_t max_line_bytes,
                              BudgetCharge* charge) {
  try {
    Result<std::string> line = read_request_line(receive, max_line_bytes, charge);
    if (!line) {
      return replies::read_failed(line.error());
    }
    return answer_line(std::move(*line), operations);
  } catch (const std::bad_alloc&) {
    return replies::read_failed(Error::fixed("out of memory"));
  }
}

}  // namespace orvanta

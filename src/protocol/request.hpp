// The request document: what a client asks for, and why a request text could not be read.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace orvanta {

struct Connect {
  std::string openvpn;
  std::string config;
  std::string auth;
  std::string log;
  friend bool operator==(const Connect&, const Connect&) = default;
};
struct Disconnect {
  friend bool operator==(const Disconnect&, const Disconnect&) = default;
};
struct Status {
  friend bool operator==(const Status&, const Status&) = default;
};
struct State {
  friend bool operator==(const State&, const State&) = default;
};

using HelperRequest = std::variant<Connect, Disconnect, Status, State>;

struct RequestError {
  std::string description;
  std::uint64_t line = 0;  // 1-based; 0 when the error has no position
  std::uint64_t column = 0;

  // "description" or "description at line L column C".
  [[nodiscard]] std::string text() const;
  friend bool operator==(const RequestError&, const RequestError&) = default;
};

// Reads one request text (valid UTF-8, already trimmed) into a request or the first fault met.
[[nodiscard]] std::expected<HelperRequest, RequestError> parse_request(std::string_view text);

// A request as read, with what an administrator's policy looks at besides the command.
struct ClientRequest {
  HelperRequest command;
  bool array_form = false;  // the array form has no members, and so no token
  // The object form's "token" member, when it is given once and as a string; nothing otherwise.
  std::optional<std::string> token;
};

// The same reading as parse_request, with the same errors; the token is read along with the other
// members and plays no part in which error a request gets.
[[nodiscard]] std::expected<ClientRequest, RequestError> read_client_request(std::string_view text);

}  // namespace orvanta

// The IPv4 address and port the request server listens on, and how they appear in log lines.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace orvanta {

struct Endpoint {
  std::array<std::uint8_t, 4> address{};
  std::uint16_t port = 0;
  friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// The one endpoint the service offers: the loopback literal, never a name to resolve.
[[nodiscard]] constexpr Endpoint service_endpoint() { return Endpoint{{127, 0, 0, 1}, 49877}; }

// "127.0.0.1:49877"
[[nodiscard]] std::string endpoint_text(const Endpoint& endpoint);

}  // namespace orvanta

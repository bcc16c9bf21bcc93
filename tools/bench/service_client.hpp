// What the bench's Windows tools ask of the installed service: one request over its port, and its
// state as the Service Control Manager reports it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "common/handle.hpp"

namespace orvanta::bench {

constexpr std::uint16_t service_port = 49877;

// One request line to the service and its whole reply, however short; nothing when no connection
// could be made or the line could not be sent. `sent` is set once the line is on its way.
inline std::optional<std::string> exchange(const std::string& line, std::atomic<bool>* sent = nullptr) {
  const UniqueSocket connection(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!connection) {
    return std::nullopt;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(service_port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const DWORD patience_ms = 90'000;
  setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&patience_ms),
             sizeof patience_ms);
  if (connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      send(connection.get(), line.data(), static_cast<int>(line.size()), 0) !=
          static_cast<int>(line.size())) {
    return std::nullopt;
  }
  if (sent != nullptr) {
    *sent = true;
  }
  std::string reply;
  char buffer[512];
  for (int received = 0; (received = recv(connection.get(), buffer, sizeof buffer, 0)) > 0;) {
    reply.append(buffer, static_cast<std::size_t>(received));
  }
  return reply;
}

inline DWORD state_of(SC_HANDLE service) {
  SERVICE_STATUS status{};
  return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

}  // namespace orvanta::bench

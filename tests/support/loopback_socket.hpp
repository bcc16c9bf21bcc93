// Plain sockets on the loopback address: a client that sends a request and reads the whole reply, and
// a listener that only holds a port. Winsock is started for the whole test program.
#pragma once

#include <winsock2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/handle.hpp"

namespace orvanta::test {

// Client sockets may be made before anything else starts Winsock.
class WinsockEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
};
inline ::testing::Environment* const winsock_environment =
    ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

inline sockaddr_in loopback_address(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A blocking client connection, or an empty socket when none could be made. Its receives give up
// after `receive_timeout`, so that a server that never answers fails the test instead of hanging it.
inline UniqueSocket try_connect(std::uint16_t port,
                                std::chrono::milliseconds receive_timeout = std::chrono::seconds(60)) {
  UniqueSocket client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  const DWORD timeout = static_cast<DWORD>(receive_timeout.count());
  const sockaddr_in address = loopback_address(port);
  if (!client ||
      setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                 sizeof(timeout)) == SOCKET_ERROR ||
      connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR) {
    client.reset();
  }
  return client;
}

// The same, and a connection that cannot be made fails the test.
inline UniqueSocket connect_client(std::uint16_t port,
                                   std::chrono::milliseconds receive_timeout = std::chrono::seconds(60)) {
  UniqueSocket client = try_connect(port, receive_timeout);
  if (!client) {
    ADD_FAILURE() << "cannot connect to port " << port << ": " << WSAGetLastError();
  }
  return client;
}

inline void send_all(SOCKET socket, std::string_view bytes) {
  while (!bytes.empty()) {
    const int sent = send(socket, bytes.data(), static_cast<int>(bytes.size()), 0);
    if (sent <= 0) {
      ADD_FAILURE() << "send failed: " << WSAGetLastError();
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

// Everything until the server closes the connection (or a receive fails).
inline std::string receive_all(SOCKET socket) {
  std::string received;
  char buffer[4096];
  for (int n; (n = recv(socket, buffer, sizeof(buffer), 0)) > 0;) {
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return received;
}

enum class AfterSending { KeepOpen, EndSendingSide };

// Connects, sends the bytes, optionally ends the sending side, and gives all that came back; nothing
// when no connection could be made.
inline std::optional<std::string> round_trip(std::uint16_t port, std::string_view request,
                                             AfterSending after = AfterSending::KeepOpen) {
  const UniqueSocket client = try_connect(port);
  if (!client) {
    return std::nullopt;
  }
  send_all(client.get(), request);
  if (after == AfterSending::EndSendingSide) {
    shutdown(client.get(), SD_SEND);
  }
  return receive_all(client.get());
}

// A socket bound to 127.0.0.1:`port` (0: one the system picks) and listening, that never accepts.
inline UniqueSocket listening_socket(std::uint16_t port) {
  UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  const sockaddr_in address = loopback_address(port);
  if (!listener || bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener.get(), 1) != 0) {
    ADD_FAILURE() << "cannot listen on port " << port << ": " << WSAGetLastError();
    listener.reset();
  }
  return listener;
}

inline std::uint16_t local_port(SOCKET socket) {
  sockaddr_in address{};
  int length = sizeof(address);
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == SOCKET_ERROR) {
    ADD_FAILURE() << "getsockname failed: " << WSAGetLastError();
    return 0;
  }
  return ntohs(address.sin_port);
}

}  // namespace orvanta::test

// Test server and client over real loopback sockets.
#include "loopback.hpp"

#include <gtest/gtest.h>

#include "server/accept_loop.hpp"
#include "server/listener.hpp"
#include "server/winsock.hpp"

namespace orvanta::server_testing {

namespace {

// Client sockets are made before any listener, so Winsock is started for the whole test program.
class WinsockEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(ensure_winsock().has_value()); }
};
[[maybe_unused]] ::testing::Environment* const winsock_environment =
    ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

}  // namespace

std::uint16_t local_port(SOCKET socket) {
  sockaddr_in address{};
  int length = sizeof(address);
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == SOCKET_ERROR) {
    ADD_FAILURE() << "getsockname failed: " << WSAGetLastError();
    return 0;
  }
  return ntohs(address.sin_port);
}

LoopbackServer::LoopbackServer(ConnectionLimits limits) {
  auto listener = open_listener(any_loopback_port);
  if (!listener) {
    ADD_FAILURE() << "open_listener failed: " << error_text(listener.error());
    return;
  }
  listener_ = std::move(*listener);
  port_ = local_port(listener_.get());
  loop_ = std::thread([this, limits] { run_accept_loop(listener_.get(), shutdown_, operations_, limits); });
}

LoopbackServer::~LoopbackServer() {
  shutdown_.set();
  if (loop_.joinable()) {
    loop_.join();
  }
}

UniqueSocket connect_client(std::uint16_t port, std::chrono::milliseconds receive_timeout) {
  UniqueSocket client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!client) {
    ADD_FAILURE() << "socket failed: " << WSAGetLastError();
    return client;
  }
  const DWORD timeout = static_cast<DWORD>(receive_timeout.count());
  setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR) {
    ADD_FAILURE() << "connect failed: " << WSAGetLastError();
    client.reset();
  }
  return client;
}

void send_all(SOCKET socket, std::string_view bytes) {
  while (!bytes.empty()) {
    const int sent = send(socket, bytes.data(), static_cast<int>(bytes.size()), 0);
    if (sent <= 0) {
      ADD_FAILURE() << "send failed: " << WSAGetLastError();
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

std::string receive_all(SOCKET socket) {
  std::string received;
  char buffer[4096];
  for (;;) {
    const int n = recv(socket, buffer, sizeof(buffer), 0);
    if (n <= 0) {
      return received;
    }
    received.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string round_trip(std::uint16_t port, std::string_view request, AfterSending after) {
  const UniqueSocket client = connect_client(port);
  if (!client) {
    return {};
  }
  send_all(client.get(), request);
  if (after == AfterSending::EndSendingSide) {
    shutdown(client.get(), SD_SEND);
  }
  return receive_all(client.get());
}

}  // namespace orvanta::server_testing

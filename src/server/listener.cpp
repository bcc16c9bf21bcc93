// Opening the listener.
#include "server/listener.hpp"

#include <winsock2.h>

#include <cstring>

#include "common/log.hpp"
#include "server/winsock.hpp"

namespace orvanta {

namespace {

constexpr int listen_backlog = 128;

sockaddr_in socket_address(const Endpoint& endpoint) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(endpoint.port);
  static_assert(sizeof(address.sin_addr) == sizeof(endpoint.address));
  std::memcpy(&address.sin_addr, endpoint.address.data(), endpoint.address.size());
  return address;
}

Result<UniqueSocket> bound_socket(const Endpoint& endpoint) {
  auto socket = create_uninheritable_socket(AF_INET, SOCK_STREAM, 0, nullptr);
  if (!socket) {
    return socket;
  }
  const sockaddr_in address = socket_address(endpoint);
  if (bind(socket->get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR ||
      listen(socket->get(), listen_backlog) == SOCKET_ERROR) {
    return std::unexpected(last_socket_error());
  }
  return socket;
}

}  // namespace

Result<UniqueSocket> open_listener(const Endpoint& endpoint) {
  if (auto started = ensure_winsock(); !started) {
    log_line("failed to initialize winsock", error_text(started.error()));
    return std::unexpected(started.error());
  }
  auto socket = bound_socket(endpoint);
  if (!socket) {
    log_line("failed to bind " + endpoint_text(endpoint), error_text(socket.error()));
    return socket;
  }
  u_long non_blocking = 1;
  if (ioctlsocket(socket->get(), FIONBIO, &non_blocking) == SOCKET_ERROR) {
    const Error error = last_socket_error();
    socket->reset();
    log_line("failed to set listener nonblocking", error_text(error));
    return std::unexpected(error);
  }
  return socket;
}

}  // namespace orvanta

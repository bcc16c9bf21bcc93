// Opening the listener.
#include "server/listener.hpp"

#include <winsock2.h>

#include <cstring>

#include "common/failure_log.hpp"
#include "server/winsock.hpp"

namespace orvanta {

namespace {

// As long a queue as the system allows (Linux, under Wine, caps it at net.core.somaxconn): a burst of
// clients that outruns the accept loop must wait in it, not overflow it. A client whose connection the
// system dropped from a full queue after completing its own side of the handshake has sent its line
// into nothing, and gets a reset or a late time-out instead of a reply.
constexpr int listen_backlog = SOMAXCONN;
constexpr auto taken_port_retry_pause = std::chrono::milliseconds(100);

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
  // Without it, any local process could bind the same address with SO_REUSEADDR, take over the port
  // and hand our clients replies of its own.
  const BOOL exclusive = TRUE;
  if (setsockopt(socket->get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                 sizeof exclusive) == SOCKET_ERROR) {
    return std::unexpected(last_socket_error());
  }
  const sockaddr_in address = socket_address(endpoint);
  if (bind(socket->get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR ||
      listen(socket->get(), listen_backlog) == SOCKET_ERROR) {
    return std::unexpected(last_socket_error());
  }
  return socket;
}

}  // namespace

Result<UniqueSocket> open_listener(const Endpoint& endpoint, std::chrono::milliseconds taken_port_patience) {
  if (auto started = ensure_winsock(); !started) {
    report_failure(Failure::Winsock, "failed to initialize winsock", error_text(started.error()));
    return std::unexpected(started.error());
  }
  // An exclusive port can stay taken for a moment after the process that held it has closed it, which
  // is just when a restarted or upgraded service binds it again.
  const auto give_up = std::chrono::steady_clock::now() + taken_port_patience;
  auto socket = bound_socket(endpoint);
  while (!socket && socket.error() == Error::os(WSAEADDRINUSE) &&
         std::chrono::steady_clock::now() < give_up) {
    Sleep(static_cast<DWORD>(taken_port_retry_pause.count()));
    socket = bound_socket(endpoint);
  }
  if (!socket) {
    report_failure(Failure::Bind, "failed to bind " + endpoint_text(endpoint), error_text(socket.error()));
    return socket;
  }
  u_long non_blocking = 1;
  if (ioctlsocket(socket->get(), FIONBIO, &non_blocking) == SOCKET_ERROR) {
    const Error error = last_socket_error();
    socket->reset();
    report_failure(Failure::ListenerMode, "failed to set listener nonblocking", error_text(error));
    return std::unexpected(error);
  }
  return socket;
}

}  // namespace orvanta

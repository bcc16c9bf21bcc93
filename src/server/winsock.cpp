// Process-wide Winsock start and non-inheritable socket creation.
#include "server/winsock.hpp"

#include <mutex>

namespace orvanta {

Result<void> ensure_winsock() {
  // Guards `started`; no other lock is taken while it is held.
  static std::mutex winsock_start_mutex;
  static bool started = false;
  const std::scoped_lock lock(winsock_start_mutex);
  if (started) {
    return {};
  }
  WSADATA data{};
  // WSAStartup returns its error instead of setting the last error.
  const int code = WSAStartup(MAKEWORD(2, 2), &data);
  if (code != 0) {
    return std::unexpected(Error::os(static_cast<std::uint32_t>(code)));
  }
  // Winsock stays up until the process ends: workers still serving a request after the loop has
  // returned need it, and the process has nothing to gain from a cleanup at exit.
  started = true;
  return {};
}

Error last_socket_error() { return Error::os(static_cast<std::uint32_t>(WSAGetLastError())); }

Result<void> make_uninheritable(SOCKET socket) {
  if (!SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0)) {
    return std::unexpected(Error::os(GetLastError()));
  }
  return {};
}

Result<UniqueSocket> create_uninheritable_socket(int family, int type, int protocol,
                                                 WSAPROTOCOL_INFOW* info) {
  SOCKET created =
      WSASocketW(family, type, protocol, info, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (created != INVALID_SOCKET) {
    return UniqueSocket(created);
  }
  const Error error = last_socket_error();
  if (error != Error::os(WSAEPROTOTYPE) && error != Error::os(WSAEINVAL)) {
    return std::unexpected(error);
  }
  created = WSASocketW(family, type, protocol, info, 0, WSA_FLAG_OVERLAPPED);
  if (created == INVALID_SOCKET) {
    return std::unexpected(last_socket_error());
  }
  UniqueSocket socket(created);
  if (auto cleared = make_uninheritable(socket.get()); !cleared) {
    return std::unexpected(cleared.error());
  }
  return socket;
}

}  // namespace orvanta

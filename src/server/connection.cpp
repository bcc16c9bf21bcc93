// serve_connection: read handle, blocking reads with a deadline, the answer, the reply, the close.
#include "server/connection.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "protocol/replies.hpp"
#include "server/request_answer.hpp"
#include "server/send_response.hpp"
#include "server/winsock.hpp"
#include "server/winsock_codes.hpp"

namespace orvanta {

namespace {

using Clock = std::chrono::steady_clock;

// An accepted socket carries the listener's event selection, and with it non-blocking mode, which
// cannot be left until the selection is cancelled. The reads below wait for the client instead.
Result<void> make_blocking(SOCKET connection) {
  if (WSAEventSelect(connection, nullptr, 0) == SOCKET_ERROR) {
    return std::unexpected(last_socket_error());
  }
  u_long non_blocking = 0;
  if (ioctlsocket(connection, FIONBIO, &non_blocking) == SOCKET_ERROR) {
    return std::unexpected(last_socket_error());
  }
  return {};
}

// Receives that all end by one deadline: each waits at most the time left, so a client that sends
// nothing, or one byte now and then, is cut off once the deadline has passed ("Failed to read
// request: " and the text of WSAETIMEDOUT).
Receive receive_until(SOCKET read_handle, Clock::time_point deadline) {
  return [read_handle, deadline](std::span<char> buffer) -> Result<std::size_t> {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return std::unexpected(Error::os(wsa_timed_out));
    }
    const DWORD timeout = static_cast<DWORD>(std::min<long long>(left, INT_MAX));
    if (setsockopt(read_handle, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof(timeout)) == SOCKET_ERROR) {
      return std::unexpected(last_socket_error());
    }
    const int received = recv(read_handle, buffer.data(), static_cast<int>(buffer.size()), 0);
    if (received == SOCKET_ERROR) {
      return std::unexpected(last_socket_error());
    }
    return static_cast<std::size_t>(received);
  };
}

// Closing a socket while bytes the client sent are still unread resets the connection, and a reset
// can destroy the reply before the client has read it: a client still sending an over-long line
// would never learn why it was cut off. So when bytes are still waiting after the reply, our side is
// ended first and what the client still sends is read and dropped, within bounds, before the close.
// A connection with nothing left unread (every ordinary request) is closed as it is.
void drain_before_close(SOCKET connection) {
  u_long pending = 0;
  if (ioctlsocket(connection, FIONREAD, &pending) == SOCKET_ERROR || pending == 0) {
    return;
  }
  shutdown(connection, SD_SEND);
  constexpr auto drain_time = std::chrono::seconds(2);
  constexpr std::size_t drain_bytes = 64 * 1024 * 1024;
  const Clock::time_point deadline = Clock::now() + drain_time;
  const Receive receive = receive_until(connection, deadline);
  char scratch[8192];
  for (std::size_t dropped = 0; dropped < drain_bytes;) {
    const Result<std::size_t> received = receive(scratch);
    if (!received || *received == 0) {
      return;
    }
    dropped += *received;
  }
}

}  // namespace

Result<UniqueSocket> make_read_handle(SOCKET connection) {
  WSAPROTOCOL_INFOW info{};
  if (WSADuplicateSocketW(connection, GetCurrentProcessId(), &info) == SOCKET_ERROR) {
    return std::unexpected(last_socket_error());
  }
  return create_uninheritable_socket(info.iAddressFamily, info.iSocketType, info.iProtocol, &info);
}

void serve_connection(UniqueSocket connection, std::shared_ptr<Operations> operations,
                      const ConnectionLimits& limits) {
  const Clock::time_point deadline = Clock::now() + limits.read_timeout;
  {
    HelperResponse response;
    const Result<UniqueSocket> read_handle = make_read_handle(connection.get());
    if (!read_handle) {
      response = replies::clone_failed(read_handle.error());
    } else if (const auto blocking = make_blocking(connection.get()); !blocking) {
      response = replies::read_failed(blocking.error());
    } else {
      response =
          answer_request(receive_until(read_handle->get(), deadline), *operations, limits.max_line_bytes);
    }
    // A reply that cannot be written is neither retried nor logged; what the request changed stays.
    (void)send_response(connection.get(), response);
    drain_before_close(connection.get());
  }  // the read handle closes here
  operations.reset();
  // No shutdown before the close: the close alone ends the stream, after the reply.
  connection.reset();
}

}  // namespace orvanta

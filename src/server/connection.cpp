// serve_connection: read handle, blocking reads with a deadline, the answer, the reply, the close.
#include "server/connection.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "protocol/replies.hpp"
#include "server/orderly_close.hpp"
#include "server/request_answer.hpp"
#include "server/send_response.hpp"
#include "server/winsock.hpp"
#include "server/winsock_codes.hpp"

namespace orvanta {

namespace {

using Clock = std::chrono::steady_clock;

// How long the worker reads and drops what a client still sends after its reply.
constexpr std::chrono::milliseconds drain_patience{2000};

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

// A client that never reads its reply would otherwise hold its worker for as long as the send waits.
Result<void> set_send_deadline(SOCKET connection, std::chrono::milliseconds timeout) {
  const DWORD milliseconds = static_cast<DWORD>(std::min<long long>(timeout.count(), INT_MAX));
  if (setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&milliseconds),
                 sizeof milliseconds) == SOCKET_ERROR) {
    return std::unexpected(last_socket_error());
  }
  return {};
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
                      const ConnectionLimits& limits, RequestBudget* budget) {
  const Clock::time_point deadline = Clock::now() + limits.read_timeout;
  try {
    BudgetCharge charge(budget, limits.free_line_bytes);
    const Result<UniqueSocket> read_handle = make_read_handle(connection.get());
    HelperResponse response;
    if (!read_handle) {
      response = replies::clone_failed(read_handle.error());
    } else if (const auto blocking = make_blocking(connection.get()); !blocking) {
      response = replies::read_failed(blocking.error());
    } else {
      response = answer_request(receive_until(read_handle->get(), deadline), *operations,
                                limits.max_line_bytes, &charge);
    }
    // A reply that cannot be written in time is neither retried nor logged; what the request changed
    // stays. Should the deadline not take (nothing a client can cause), the reply is still sent.
    (void)set_send_deadline(connection.get(), limits.send_timeout);
    (void)send_response(connection.get(), response);
    drain_before_close(connection.get(), drain_patience);
  } catch (const std::bad_alloc&) {
    // Not even a reply could be made; the connection is closed below without one.
  }
  // The read handle and the charge are gone by here.
  operations.reset();
  // No shutdown before the close: the close alone ends the stream, after the reply.
  connection.reset();
}

}  // namespace orvanta

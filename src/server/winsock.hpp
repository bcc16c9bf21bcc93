// Winsock for the whole process, and sockets that no child process inherits.
#pragma once

#include <winsock2.h>

#include "common/error.hpp"
#include "common/handle.hpp"

namespace orvanta {

// Starts Winsock 2.2 the first time it is called; later calls only report how that went. A start
// that failed is tried again on the next call, since nothing has been set up that it could disturb.
[[nodiscard]] Result<void> ensure_winsock();

// The error of the Winsock call that just failed (WSAGetLastError).
[[nodiscard]] Error last_socket_error();

// Clears the inherit flag of a socket handle.
[[nodiscard]] Result<void> make_uninheritable(SOCKET socket);

// WSASocketW with WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT. A system that does not know the
// second flag rejects it with WSAEPROTOTYPE or WSAEINVAL; the socket is then made with the first flag
// alone and its inherit flag cleared, and a failure of that clearing is the failure.
[[nodiscard]] Result<UniqueSocket> create_uninheritable_socket(int family, int type, int protocol,
                                                               WSAPROTOCOL_INFOW* info);

}  // namespace orvanta

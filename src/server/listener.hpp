// The service's only listening socket.
#pragma once

#include "common/error.hpp"
#include "common/handle.hpp"
#include "server/endpoint.hpp"

namespace orvanta {

// A non-inheritable IPv4 stream socket bound to the endpoint, listening with a backlog of 128, in
// non-blocking mode, with no socket option set. On failure the matching line has been logged
// ("failed to bind 127.0.0.1:49877: ...", "failed to set listener nonblocking: ...",
// "failed to initialize winsock: ...") and no socket is left open.
[[nodiscard]] Result<UniqueSocket> open_listener(const Endpoint& endpoint);

}  // namespace orvanta

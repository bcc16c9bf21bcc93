// The service's only listening socket.
#pragma once

#include <chrono>

#include "common/error.hpp"
#include "common/handle.hpp"
#include "server/endpoint.hpp"

namespace orvanta {

// A non-inheritable IPv4 stream socket bound to the endpoint for its exclusive use
// (SO_EXCLUSIVEADDRUSE), listening with a backlog of 128, in non-blocking mode. A port that is taken
// is tried again for `taken_port_patience`. On failure the matching line has been logged
// ("failed to bind 127.0.0.1:49877: ...", "failed to set listener nonblocking: ...",
// "failed to initialize winsock: ...") and no socket is left open.
[[nodiscard]] Result<UniqueSocket> open_listener(
    const Endpoint& endpoint, std::chrono::milliseconds taken_port_patience = std::chrono::seconds(3));

}  // namespace orvanta

// The worker's side of one accepted connection.
#pragma once

#include <winsock2.h>

#include <memory>

#include "common/error.hpp"
#include "common/handle.hpp"
#include "protocol/operations.hpp"
#include "server/connection_limits.hpp"
#include "server/request_budget.hpp"

namespace orvanta {

// Serves one connection from hand-over to close: one request line in, one reply line out, the request
// carried out by `operations`. The line's bytes are charged to `budget` (when given) until the reply
// has been sent. Every outcome reaches the client only as the reply; nothing is logged and nothing is
// returned. Closes, in this order, the read handle, the operations reference and the connection.
void serve_connection(UniqueSocket connection, std::shared_ptr<Operations> operations,
                      const ConnectionLimits& limits = {}, RequestBudget* budget = nullptr);

// A second handle to the same connection, not inheritable by child processes, through which all
// reading goes (WSADuplicateSocketW into this process, then WSASocketW from its protocol record).
[[nodiscard]] Result<UniqueSocket> make_read_handle(SOCKET connection);

}  // namespace orvanta

// The overlapped side of the request server: every connection waits on one completion port, and a
// thread is taken only while an operation runs.
#pragma once

#include <memory>
#include <optional>

#include "common/error.hpp"
#include "protocol/operations.hpp"
#include "protocol/response.hpp"
#include "server/connection_limits.hpp"
#include "server/stream.hpp"

namespace orvanta {

// What happens to a connection it adopts:
//   1. It waits in its endpoint's pool (at most `max_waiting`) while its line comes in, read by
//      overlapped receives that complete to the port; one thread serves the port while there are
//      connections, none waits on a connection. The bytes are charged to the request budget as they
//      arrive.
//   2. A whole line (or the end of the client's sending side) goes to a worker thread, at most
//      `max_workers` at once; the worker answers it through the operations and hands the reply back.
//      A line that finds every worker busy waits for one within its read deadline.
//   3. The reply is sent by the overlapped side, all of it within `send_timeout` from the first send;
//      then unread bytes are drained for a while and the connection is closed. A stream that awaits
//      its client's close (a pipe) leaves its pool once the reply is out and waits for that close, up
//      to the same deadline, among the closing connections (capped alike).
//   4. Replies that need no operation never take a worker: a failed read, a time-out, a turned-away
//      connection.
// A full pool takes in a new connection by turning away the one that has waited longest
// ("Failed to start connection worker: too many connections"). To the worker a connection is only a
// line and a reply; whatever carries it is the stream's business.
class ConnectionServer {
 public:
  virtual ~ConnectionServer() = default;

  // Where a connection came in. Each endpoint has pools of its own, so that a crowd on one never
  // turns away those waiting on the other.
  enum class Endpoint { Port, Pipe };

  // Takes a new connection. With an answer, it is not read at all: it only gets that reply.
  virtual void adopt(std::unique_ptr<Stream> stream, std::optional<HelperResponse> answer = std::nullopt,
                     Endpoint endpoint = Endpoint::Port) = 0;
  // Nothing more will be adopted: the threads end once the last connection has been closed.
  virtual void close_when_idle() = 0;
};

// The port, with no thread yet: the first connection starts one. The system's error when the port
// cannot be made.
[[nodiscard]] Result<std::shared_ptr<ConnectionServer>> start_connection_server(
    std::shared_ptr<Operations> operations, const ConnectionLimits& limits);

}  // namespace orvanta

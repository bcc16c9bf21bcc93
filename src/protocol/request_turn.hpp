// Where a request stands among the others: when its line was read, and where a reply made after its
// worker has moved on is sent.
#pragma once

#include <cstdint>
#include <memory>

#include "protocol/response.hpp"

namespace orvanta {

// The connection of a request whose reply is made later, by another thread: a connect that waits for
// its turn holds no worker, only this.
class LaterReply {
 public:
  virtual ~LaterReply() = default;
  // Hands the reply to the connection, at most once. Nothing reaches a client that has gone.
  virtual void send(HelperResponse reply) = 0;
  // Whether the client has gone (a reset, a broken pipe) while its request waited: it is then dropped.
  [[nodiscard]] virtual bool client_gone() const = 0;
};

struct RequestTurn {
  // Counts the lines the service has read, on every endpoint; a larger order was read later.
  std::uint64_t order = 0;
  std::shared_ptr<LaterReply> later;
};

}  // namespace orvanta

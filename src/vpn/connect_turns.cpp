// The order of connects and disconnects, and the one connect that may wait for its turn.
#include "vpn/connect_turns.hpp"

#include <utility>

#include "protocol/replies.hpp"

namespace orvanta {

std::optional<HelperResponse> ConnectTurns::connect(const Connect& request, const RequestTurn& turn) {
  std::optional<Waiting> overtaken;
  bool waits = false;
  {
    const std::lock_guard turns(turns_mutex_);
    if (turn.order < latest_.load()) {
      return replies::superseded();
    }
    latest_.store(turn.order);
    overtaken = std::exchange(waiting_, std::nullopt);
    if (launching_) {
      waiting_ = Waiting{request, turn.order, turn.later};
      waits = true;
    } else {
      launching_ = true;
    }
  }
  if (overtaken) {
    overtaken->later->send(replies::superseded());
  }
  if (waits) {
    return std::nullopt;
  }
  return take_turns(request, turn.order, turn.later);
}

bool ConnectTurns::disconnect(std::uint64_t order) {
  std::optional<Waiting> overtaken;
  {
    const std::lock_guard turns(turns_mutex_);
    if (order < latest_.load()) {
      return false;
    }
    latest_.store(order);
    overtaken = std::exchange(waiting_, std::nullopt);
  }
  if (overtaken) {
    overtaken->later->send(replies::superseded());
  }
  return true;
}

std::optional<HelperResponse> ConnectTurns::take_turns(Connect request, std::uint64_t order,
                                                       std::shared_ptr<LaterReply> later) {
  const bool first_later = later != nullptr;
  std::optional<HelperResponse> own;  // the caller's reply, while it has not gone to its connection
  for (bool first = true;; first = false) {
    std::optional<HelperResponse> reply;
    try {
      reply = launch_(request, [this, order] { return latest_.load() > order; });
    } catch (...) {
      // No memory to carry it out: nobody must be left waiting for a turn that never comes. A waiting
      // connect let go of here has its connection closed unanswered by its LaterReply.
      std::optional<Waiting> dropped;
      {
        const std::lock_guard turns(turns_mutex_);
        dropped = std::exchange(waiting_, std::nullopt);
        launching_ = false;
      }
      throw;
    }
    std::optional<Waiting> next;
    {
      const std::lock_guard turns(turns_mutex_);
      next = std::exchange(waiting_, std::nullopt);
      if (next && next->later->client_gone()) {
        next.reset();  // its client has gone: its connect is dropped
      }
      launching_ = next.has_value();
    }
    if (first && (!next || !first_later)) {
      own = std::move(reply);
    } else {
      later->send(std::move(*reply));
    }
    if (!next) {
      return own;
    }
    request = std::move(next->request);
    order = next->order;
    later = std::move(next->later);
  }
}

}  // namespace orvanta

// The things a request can ask for, as an interface: whoever serves requests needs to know
// no more than this about what carries them out.
#pragma once

#include <optional>

#include "pipe/pipe_admission.hpp"
#include "protocol/request.hpp"
#include "protocol/request_turn.hpp"
#include "protocol/response.hpp"

namespace orvanta {

// Implementations are called from many connection workers at once and do their own locking.
class Operations {
 public:
  virtual ~Operations() = default;
  // Asked about every request that was read, before it is carried out: the reply that refuses it, or
  // nothing to let it through. `caller` is who the pipe's system vouches for, and null on the port,
  // which knows no one. Nothing is refused unless an implementation says otherwise.
  [[nodiscard]] virtual std::optional<HelperResponse> refusal(const ClientRequest& /*request*/,
                                                              const pipe::PipeCaller* /*caller*/) {
    return std::nullopt;
  }
  [[nodiscard]] virtual HelperResponse connect(const Connect& request) = 0;
  [[nodiscard]] virtual HelperResponse disconnect() = 0;
  [[nodiscard]] virtual HelperResponse status() = 0;
  // What OpenVPN is doing and how the last one ended: a reply that carries a StateReport.
  [[nodiscard]] virtual HelperResponse state() = 0;

  // A connect or a disconnect as the service reads them, in the order of their lines, where the last
  // one wins. A connect's reply may come later, through `turn.later` (then nothing is returned): a
  // connect that waits for its turn holds no thread. Carried out at once by default.
  [[nodiscard]] virtual std::optional<HelperResponse> connect_in_turn(const Connect& request,
                                                                      const RequestTurn& /*turn*/) {
    return connect(request);
  }
  [[nodiscard]] virtual HelperResponse disconnect_in_turn(const RequestTurn& /*turn*/) {
    return disconnect();
  }
  // Whether refusal() must know who is calling on the pipe to decide on this request; the pipe asks
  // the system only then. Nobody by default.
  [[nodiscard]] virtual bool asks_who_is_calling(const ClientRequest& /*request*/) { return false; }
};

}  // namespace orvanta

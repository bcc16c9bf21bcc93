// The things a request can ask for, as an interface: whoever serves requests needs to know
// no more than this about what carries them out.
#pragma once

#include <optional>

#include "pipe/pipe_admission.hpp"
#include "protocol/request.hpp"
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
};

}  // namespace orvanta

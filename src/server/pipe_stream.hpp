// A connected instance of the service's pipe as a Stream.
#pragma once

#include <memory>
#include <vector>

#include "pipe/pipe_instance.hpp"
#include "policy/client_token.hpp"
#include "server/stream.hpp"

namespace orvanta {

// Who is calling is asked of the system, with `client_groups` (shared with the policy) as the groups
// whose members stand apart. Closing lets the client go (DisconnectNamedPipe) and closes the instance;
// the listener keeps another one waiting, so the name stays the service's.
[[nodiscard]] std::unique_ptr<Stream> make_pipe_stream(
    pipe::PipeInstance instance, std::shared_ptr<const std::vector<policy::Sid>> client_groups);

}  // namespace orvanta

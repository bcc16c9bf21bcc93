// An accepted TCP connection as a Stream.
#pragma once

#include <memory>

#include "common/handle.hpp"
#include "server/stream.hpp"

namespace orvanta {

// Takes the accepted connection, which must already be out of reach of child processes.
[[nodiscard]] std::unique_ptr<Stream> make_socket_stream(UniqueSocket connection);

}  // namespace orvanta

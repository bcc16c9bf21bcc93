// The accept loop: every connection handed to the overlapped side until the shutdown flag is set.
#pragma once

#include <winsock2.h>

#include <memory>

#include "protocol/operations.hpp"
#include "server/connection_limits.hpp"
#include "server/pipe_acceptor.hpp"
#include "service/shutdown_flag.hpp"

namespace orvanta {

// Accepts on the non-blocking listener (borrowed, never closed here) and hands every connection to a
// ConnectionServer of its own, which reads it, has it answered through `operations` and closes it.
// Returns once it finds the flag set, which it reads before every accept; connections accepted by
// then are still served, and the server's threads end after the last of them.
//
// It never sleeps blind: while no connection is pending it waits, with no time-out, for one to
// arrive or for the flag's wake event, so an idle service does not wake at all and a stop ends the
// wait at once. After an accept failure other than would-block it pauses 500 ms (a stop cuts the
// pause short) and goes on; such failures are not logged and never end the loop.
//
// With `pipe` (borrowed), the pipe's clients are served by the same server, in pools of their own,
// and the same wait also wakes for them and for the pipe's next try while its name cannot be had.
// Without a listener (INVALID_SOCKET: the port is off), only the pipe is served.
void run_accept_loop(SOCKET listener, ShutdownFlag& shutdown, const std::shared_ptr<Operations>& operations,
                     const ConnectionLimits& limits = {}, PipeAcceptor* pipe = nullptr);

}  // namespace orvanta

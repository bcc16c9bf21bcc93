// What connections may cost the service at most: how many may wait and how many may be carried out at
// once, how long a line may be, how many request bytes they may hold together, how long a client may
// take to send or to read.
#pragma once

#include <chrono>
#include <cstddef>

namespace orvanta {

struct ConnectionLimits {
  // Connections that wait, without a thread, for their line or for their reply to be taken in. A full
  // pool turns away the one that has waited longest, so that a client who sends its line at once is
  // served unless others open this many connections in the meantime.
  std::size_t max_waiting = 4096;
  // The same for the pipe, in pools of its own, so that a crowd on the port cannot turn pipe clients
  // away nor the other way round; its replied connections waiting for their client's close are capped
  // alike.
  std::size_t max_pipe_waiting = 4096;
  // Requests carried out at once, each on a worker thread for as long as its operation runs. Well
  // above what any client makes; a line that finds them all busy waits within its read deadline.
  std::size_t max_workers = 1000;
  // Four long Windows paths, fully escaped, stay far below this; anything longer is not a request.
  std::size_t max_line_bytes = 1024 * 1024;
  // Request bytes held by all connections together; the first `free_line_bytes` of every line are
  // not counted, so that an ordinary request is never refused.
  std::size_t request_budget_bytes = 64 * 1024 * 1024;
  std::size_t free_line_bytes = 8 * 1024;
  // How long a client may take to deliver its whole request line. Local clients send it at once;
  // the bound is there so that a silent or trickling client cannot hold its place for ever.
  std::chrono::milliseconds read_timeout{10'000};
  // How long a client may take to take in its whole reply, from the first send to the last, for the
  // same reason; past it the connection is closed at once.
  std::chrono::milliseconds send_timeout{10'000};
};

}  // namespace orvanta

// What connections may cost the service at most: how many at once, how long a line may be, how many
// request bytes they may hold together, how long a client may take to send or to read.
#pragma once

#include <chrono>
#include <cstddef>

namespace orvanta {

struct ConnectionLimits {
  // Connections served at once, each on a thread of its own. Well above what any client makes, and
  // enough that hundreds of silent connections cannot keep an ordinary request from being served.
  std::size_t max_connections = 1000;
  // Four long Windows paths, fully escaped, stay far below this; anything longer is not a request.
  std::size_t max_line_bytes = 1024 * 1024;
  // Request bytes held by all connections together; the first `free_line_bytes` of every line are
  // not counted, so that an ordinary request is never refused.
  std::size_t request_budget_bytes = 64 * 1024 * 1024;
  std::size_t free_line_bytes = 8 * 1024;
  // How long a client may take to deliver its whole request line. Local clients send it at once;
  // the bound is there so that a silent or trickling client cannot hold its worker for ever.
  std::chrono::milliseconds read_timeout{10'000};
  // How long a client may take to take in its reply, for the same reason.
  std::chrono::milliseconds send_timeout{10'000};
};

}  // namespace orvanta

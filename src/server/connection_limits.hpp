// What one connection may cost the service at most: how long its line may be, how long it may wait.
#pragma once

#include <chrono>
#include <cstddef>

namespace orvanta {

struct ConnectionLimits {
  // Four long Windows paths, fully escaped, stay far below this; anything longer is not a request.
  std::size_t max_line_bytes = 1024 * 1024;
  // How long a client may take to deliver its whole request line. Local clients send it at once;
  // the bound is there so that a silent or trickling client cannot hold its worker for ever.
  std::chrono::milliseconds read_timeout{10'000};
};

}  // namespace orvanta

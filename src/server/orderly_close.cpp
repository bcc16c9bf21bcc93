// Reading and dropping what a client still sends, within bounds, before the close.
#include "server/orderly_close.hpp"

#include <cstddef>

namespace orvanta {

void drain_before_close(SOCKET connection, std::chrono::milliseconds patience) {
  using Clock = std::chrono::steady_clock;
  constexpr std::size_t drain_bytes = 64 * 1024 * 1024;
  u_long pending = 0;
  if (ioctlsocket(connection, FIONREAD, &pending) == SOCKET_ERROR || pending == 0) {
    return;
  }
  shutdown(connection, SD_SEND);
  const Clock::time_point deadline = Clock::now() + patience;
  char scratch[8192];
  for (std::size_t dropped = 0; dropped < drain_bytes;) {
    // Waiting here rather than in recv keeps the bound whatever mode the socket is in.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    WSAPOLLFD readable{connection, POLLRDNORM, 0};
    if (left <= 0 || WSAPoll(&readable, 1, static_cast<INT>(left)) <= 0) {
      return;
    }
    const int received = recv(connection, scratch, sizeof scratch, 0);
    if (received <= 0) {
      return;  // the client's end, or a failure: nothing more to wait for
    }
    dropped += static_cast<std::size_t>(received);
  }
}

}  // namespace orvanta

// Writing a reply to a connection.
#include "server/send_response.hpp"

#include <algorithm>
#include <climits>
#include <optional>

#include "server/whole_write.hpp"
#include "server/winsock.hpp"

namespace orvanta {

namespace {

// Replies are encoded and sent piece by piece: an error text that quotes a long request can be
// megabytes, and its encoded form need not be held beside it.
constexpr std::size_t reply_piece_bytes = 64 * 1024;

}  // namespace

Result<void> send_response(SOCKET connection, const HelperResponse& response) {
  const Send send = [connection](std::string_view rest) -> Result<std::size_t> {
    const int length = static_cast<int>(std::min<std::size_t>(rest.size(), INT_MAX));
    const int sent = ::send(connection, rest.data(), length, 0);
    if (sent == SOCKET_ERROR) {
      return std::unexpected(last_socket_error());
    }
    return static_cast<std::size_t>(sent);
  };
  std::optional<Error> failure;
  (void)write_response(response, reply_piece_bytes, [&](std::string_view piece) {
    if (auto written = write_whole_buffer(send, piece); !written) {
      failure = written.error();
      return false;
    }
    return true;
  });
  if (failure) {
    return std::unexpected(std::move(*failure));
  }
  return {};
}

}  // namespace orvanta

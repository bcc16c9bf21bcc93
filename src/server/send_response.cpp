// Writing a reply to a connection.
#include "server/send_response.hpp"

#include <algorithm>
#include <climits>

#include "protocol/response.hpp"
#include "server/whole_write.hpp"

namespace orvanta {

Result<void> send_response(SOCKET connection, bool ok, std::string message,
                           std::optional<std::uint32_t> pid) {
  const std::string bytes = encode_response(HelperResponse{ok, std::move(message), pid});
  return write_whole_buffer(
      [connection](std::string_view rest) -> Result<std::size_t> {
        const int length = static_cast<int>(std::min<std::size_t>(rest.size(), INT_MAX));
        const int sent = send(connection, rest.data(), length, 0);
        if (sent == SOCKET_ERROR) {
          return std::unexpected(Error::os(static_cast<std::uint32_t>(WSAGetLastError())));
        }
        return static_cast<std::size_t>(sent);
      },
      bytes);
}

}  // namespace orvanta

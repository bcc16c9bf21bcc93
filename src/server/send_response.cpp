// Writing a reply to a connection.
#include "server/send_response.hpp"

#include <algorithm>
#include <climits>

#include "server/whole_write.hpp"
#include "server/winsock.hpp"

namespace orvanta {

Result<void> send_response(SOCKET connection, const HelperResponse& response) {
  const std::string bytes = encode_response(response);
  return write_whole_buffer(
      [connection](std::string_view rest) -> Result<std::size_t> {
        const int length = static_cast<int>(std::min<std::size_t>(rest.size(), INT_MAX));
        const int sent = send(connection, rest.data(), length, 0);
        if (sent == SOCKET_ERROR) {
          return std::unexpected(last_socket_error());
        }
        return static_cast<std::size_t>(sent);
      },
      bytes);
}

}  // namespace orvanta

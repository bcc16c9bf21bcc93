// The write loop under every reply.
#include "server/whole_write.hpp"

#include "server/winsock_codes.hpp"

namespace orvanta {

Result<void> write_whole_buffer(const Send& send, std::string_view bytes) {
  while (!bytes.empty()) {
    const Result<std::size_t> written = send(bytes);
    if (!written) {
      if (written.error().is_os() && written.error().os_code() == wsa_interrupted) {
        continue;
      }
      return std::unexpected(written.error());
    }
    if (*written == 0) {
      return std::unexpected(Error::fixed("failed to write whole buffer"));
    }
    bytes.remove_prefix(*written);
  }
  return {};
}

}  // namespace orvanta

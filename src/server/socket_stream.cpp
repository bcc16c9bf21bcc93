// Overlapped receives and sends on an accepted connection.
#include "server/socket_stream.hpp"

#include <winsock2.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "server/winsock.hpp"

namespace orvanta {

namespace {

class SocketStream final : public Stream {
 public:
  explicit SocketStream(UniqueSocket socket) : socket_(std::move(socket)) {}

  Result<void> bind_to(HANDLE port, ULONG_PTR key) override {
    if (CreateIoCompletionPort(reinterpret_cast<HANDLE>(socket_.get()), port, key, 0) == nullptr) {
      return std::unexpected(Error::os(GetLastError()));
    }
    return {};
  }

  Result<void> start_read(std::span<char> buffer, OVERLAPPED& overlapped) override {
    WSABUF piece{static_cast<ULONG>(std::min<std::size_t>(buffer.size(), ULONG_MAX)), buffer.data()};
    DWORD flags = 0;
    overlapped = OVERLAPPED{};
    return started(WSARecv(socket_.get(), &piece, 1, nullptr, &flags, &overlapped, nullptr));
  }

  Result<void> start_send(std::string_view bytes, OVERLAPPED& overlapped) override {
    WSABUF piece{static_cast<ULONG>(std::min<std::size_t>(bytes.size(), INT_MAX)),
                 const_cast<char*>(bytes.data())};
    overlapped = OVERLAPPED{};
    return started(WSASend(socket_.get(), &piece, 1, nullptr, 0, &overlapped, nullptr));
  }

  Result<std::size_t> outcome(OVERLAPPED& overlapped) override {
    DWORD bytes = 0;
    DWORD flags = 0;
    if (!WSAGetOverlappedResult(socket_.get(), &overlapped, &bytes, FALSE, &flags)) {
      return std::unexpected(last_socket_error());
    }
    return static_cast<std::size_t>(bytes);
  }

  bool has_unread_bytes() override {
    u_long pending = 0;
    return ioctlsocket(socket_.get(), FIONREAD, &pending) == 0 && pending > 0;
  }

  void end_sending() override { ::shutdown(socket_.get(), SD_SEND); }

  void cancel() override { CancelIoEx(reinterpret_cast<HANDLE>(socket_.get()), nullptr); }

  void close() override { socket_.reset(); }

  void close_at_once() override {
    // A zero linger makes the close a reset: the unsent rest of the reply goes at once, and with it
    // the buffers the system kept for it.
    const linger at_once{1, 0};
    (void)setsockopt(socket_.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&at_once),
                     sizeof at_once);
    socket_.reset();
  }

 private:
  static Result<void> started(int result) {
    if (result == SOCKET_ERROR && WSAGetLastError() != WSA_IO_PENDING) {
      return std::unexpected(last_socket_error());
    }
    return {};
  }

  UniqueSocket socket_;
};

}  // namespace

std::unique_ptr<Stream> make_socket_stream(UniqueSocket connection) {
  return std::make_unique<SocketStream>(std::move(connection));
}

}  // namespace orvanta

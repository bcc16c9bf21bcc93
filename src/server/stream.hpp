// A client's connection as the overlapped side drives it: a byte stream, whatever carries it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "common/error.hpp"
#include "pipe/pipe_admission.hpp"

namespace orvanta {

// One operation at a time is started on a stream. A start that succeeds completes to the port the
// stream was bound to, with the stream's OVERLAPPED, whether it finished at once or later; a start
// that fails has queued nothing.
class Stream {
 public:
  virtual ~Stream() = default;

  // Completions of this stream go to `port`, with `key`.
  [[nodiscard]] virtual Result<void> bind_to(HANDLE port, ULONG_PTR key) = 0;
  [[nodiscard]] virtual Result<void> start_read(std::span<char> buffer, OVERLAPPED& overlapped) = 0;
  [[nodiscard]] virtual Result<void> start_send(std::string_view bytes, OVERLAPPED& overlapped) = 0;
  // What a completed operation did: the bytes it moved (0 at the end of the stream), or its error.
  [[nodiscard]] virtual Result<std::size_t> outcome(OVERLAPPED& overlapped) = 0;

  // Who is calling, as the transport vouches for it; asked once the line has been read, by the worker,
  // while nothing else uses the stream. Nothing for a transport that knows no one (the port); an
  // error when it should know and cannot tell, which refuses the request.
  [[nodiscard]] virtual Result<std::optional<pipe::PipeCaller>> caller() { return std::nullopt; }
  // Pipes have no half-close: after the reply the client's close is awaited (a read that ends), and
  // only then is the connection closed, since closing first could throw the reply away. Otherwise our
  // side is ended and what the client still sends is drained.
  [[nodiscard]] virtual bool awaits_client_close() const { return false; }

  // Whether the client has sent bytes that have not been read: closing then could reset the stream
  // and destroy the reply before the client has read it.
  [[nodiscard]] virtual bool has_unread_bytes() = 0;
  // Ends our side, so that the client sees the end of the reply; its side stays readable.
  virtual void end_sending() = 0;
  // Makes the operation under way complete at once, as aborted.
  virtual void cancel() = 0;
  // After the reply: what was sent still reaches the client.
  virtual void close() = 0;
  // At a deadline: what is not yet sent is thrown away, and the system holds nothing for it.
  virtual void close_at_once() = 0;
};

}  // namespace orvanta

// Reading the one request line of a connection over any source of bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "server/request_budget.hpp"

namespace orvanta {

// One receive from the connection into the buffer: the number of bytes received (0 at the end of the
// stream) or the receive's error.
using Receive = std::function<Result<std::size_t>(std::span<char> buffer)>;

inline constexpr std::size_t receive_buffer_bytes = 8192;

// Reads the first line of the stream, its line feed included, through one 8192-byte buffer:
//   1. Receive up to 8192 bytes; an interrupted receive is repeated, WSAESHUTDOWN counts as the end
//      of the stream, any other failure ends the read with that error.
//   2. Append the bytes up to and including the first line feed; stop there or at the end of the
//      stream. Bytes after the line feed stay in the buffer and are never looked at.
//   3. A line that would grow past max_line_bytes ends the read with an error of its own, so that a
//      client cannot make the service hold more than that (plus the buffer) for it.
//   4. A line the charge cannot cover ends the read with "too many request bytes in flight": the
//      bytes are charged as they arrive, before they are kept.
//   5. The line must be UTF-8; an I/O error met in the same read is reported instead.
// "{\"cmd\":\"status\"}\n{..." -> "{\"cmd\":\"status\"}\n";  nothing at all -> "".
// Steps 2 to 5 are RequestLineReader's, which whoever receives hands the bytes as they come.
[[nodiscard]] Result<std::string> read_request_line(const Receive& receive, std::size_t max_line_bytes,
                                                    BudgetCharge* charge = nullptr);

// The line as its bytes arrive, receive by receive, for a reader that does not wait for them itself.
class RequestLineReader {
 public:
  RequestLineReader(std::size_t max_line_bytes, BudgetCharge* charge)
      : max_line_bytes_(max_line_bytes), charge_(charge) {}

  // Takes what one receive brought (never empty); bytes after the line feed are dropped.
  void take(std::string_view received);
  // The end of the stream, or the receive error that ended it (WSAESHUTDOWN counts as the end).
  void end(std::optional<Error> failure = std::nullopt);
  // Once the line is whole, has failed or the stream has ended, nothing more is taken.
  [[nodiscard]] bool done() const { return done_; }
  // The line once done: checked for UTF-8 and handed over, or why there is none.
  [[nodiscard]] Result<std::string> result() &&;

 private:
  std::size_t max_line_bytes_;
  BudgetCharge* charge_;
  std::string line_;
  std::optional<Error> failure_;
  bool done_ = false;
};

}  // namespace orvanta

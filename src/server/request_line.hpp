// Reading the one request line of a connection over any source of bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>

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
[[nodiscard]] Result<std::string> read_request_line(const Receive& receive, std::size_t max_line_bytes,
                                                    BudgetCharge* charge = nullptr);

}  // namespace orvanta

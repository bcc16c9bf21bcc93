// The buffered read of one request line.
#include "server/request_line.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "common/utf16.hpp"
#include "server/winsock_codes.hpp"

namespace orvanta {

namespace {

// Makes room for `needed` bytes, growing by a quarter at the least and never past the bound: the
// string's own growth doubles, and a line near the bound would then hold twice its size.
void make_room(std::string& line, std::size_t needed, std::size_t max_line_bytes) {
  if (needed <= line.capacity()) {
    return;
  }
  const std::size_t grown = std::max(needed, std::min(line.capacity() + line.capacity() / 4, max_line_bytes));
  std::string larger;
  larger.reserve(grown);  // from an empty string the capacity is what is asked for
  larger.append(line);
  line.swap(larger);
}

}  // namespace

Result<std::string> read_request_line(const Receive& receive, std::size_t max_line_bytes,
                                      BudgetCharge* charge) {
  std::array<char, receive_buffer_bytes> buffer;
  std::string line;
  std::optional<Error> failure;
  for (;;) {
    const Result<std::size_t> received = receive(buffer);
    if (!received) {
      const Error& error = received.error();
      if (error.is_os() && error.os_code() == wsa_interrupted) {
        continue;
      }
      if (!(error.is_os() && error.os_code() == wsa_shutdown)) {
        failure = error;
      }
      break;
    }
    if (*received == 0) {
      break;
    }
    const std::string_view chunk(buffer.data(), *received);
    const std::size_t line_feed = chunk.find('\n');
    const std::string_view taken =
        line_feed == std::string_view::npos ? chunk : chunk.substr(0, line_feed + 1);
    if (taken.size() > max_line_bytes - line.size()) {
      failure = Error::fixed("request line longer than " + std::to_string(max_line_bytes) + " bytes");
      break;
    }
    if (charge != nullptr && !charge->cover(line.size() + taken.size())) {
      failure = Error::fixed("too many request bytes in flight");
      break;
    }
    make_room(line, line.size() + taken.size(), max_line_bytes);
    line.append(taken);
    if (line_feed != std::string_view::npos) {
      break;
    }
  }
  if (failure) {
    return std::unexpected(std::move(*failure));
  }
  if (!is_valid_utf8(line)) {
    return std::unexpected(Error::fixed("stream did not contain valid UTF-8"));
  }
  return line;
}

}  // namespace orvanta

// The buffered read of one request line.
#include "server/request_line.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

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

void RequestLineReader::take(std::string_view received) {
  if (done_) {
    return;
  }
  const std::size_t line_feed = received.find('\n');
  const std::string_view taken =
      line_feed == std::string_view::npos ? received : received.substr(0, line_feed + 1);
  done_ = line_feed != std::string_view::npos;
  if (taken.size() > max_line_bytes_ - line_.size()) {
    failure_ = Error::fixed("request line longer than " + std::to_string(max_line_bytes_) + " bytes");
    done_ = true;
    return;
  }
  if (charge_ != nullptr && !charge_->cover(line_.size() + taken.size())) {
    failure_ = Error::fixed("too many request bytes in flight");
    done_ = true;
    return;
  }
  make_room(line_, line_.size() + taken.size(), max_line_bytes_);
  line_.append(taken);
}

void RequestLineReader::end(std::optional<Error> failure) {
  if (done_) {
    return;
  }
  if (failure && !(failure->is_os() && failure->os_code() == wsa_shutdown)) {
    failure_ = std::move(failure);
  }
  done_ = true;
}

Result<std::string> RequestLineReader::result() && {
  if (failure_) {
    return std::unexpected(std::move(*failure_));
  }
  if (!is_valid_utf8(line_)) {
    return std::unexpected(Error::fixed("stream did not contain valid UTF-8"));
  }
  return std::move(line_);
}

Result<std::string> read_request_line(const Receive& receive, std::size_t max_line_bytes,
                                      BudgetCharge* charge) {
  std::array<char, receive_buffer_bytes> buffer;
  RequestLineReader reader(max_line_bytes, charge);
  while (!reader.done()) {
    const Result<std::size_t> received = receive(buffer);
    if (!received) {
      if (received.error().is_os() && received.error().os_code() == wsa_interrupted) {
        continue;
      }
      reader.end(received.error());
    } else if (*received == 0) {
      reader.end();
    } else {
      reader.take(std::string_view(buffer.data(), *received));
    }
  }
  return std::move(reader).result();
}

}  // namespace orvanta

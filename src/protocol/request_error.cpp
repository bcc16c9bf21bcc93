// Where a request error points, and the text it is shown by.
#include <algorithm>

#include "protocol/error_position.hpp"

namespace orvanta {

std::string RequestError::text() const {
  if (line == 0) {
    return description;
  }
  return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

namespace protocol {

// line: 1 plus the line feeds before the point; column: the bytes between the last of them (or the
// start) and the point. "{}" with point 2 -> line 1 column 2; "{\n x" with point 4 -> line 2 column 2.
RequestError error_at(std::string description, std::string_view text, std::size_t point) {
  const std::string_view before = text.substr(0, std::min(point, text.size()));
  const std::size_t last_line_feed = before.rfind('\n');
  const auto line_feeds = static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t column =
      last_line_feed == std::string_view::npos ? before.size() : before.size() - last_line_feed - 1;
  return RequestError{std::move(description), line_feeds + 1, column};
}

}  // namespace protocol
}  // namespace orvanta

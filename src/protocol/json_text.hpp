// The white space a JSON reader skips between tokens.
#pragma once

namespace orvanta::protocol {

// Exactly space, tab, line feed and carriage return: no byte-order mark, no other Unicode space.
[[nodiscard]] constexpr bool is_json_white_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace orvanta::protocol

// The Unicode white space that is trimmed from both ends of a request line.
#pragma once

#include <string_view>

namespace orvanta {

// Whether the character has the Unicode White_Space property.
[[nodiscard]] constexpr bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Removes every leading and trailing White_Space character from valid UTF-8 text:
//   " \t{\"cmd\":\"status\"}\r\n" -> "{\"cmd\":\"status\"}";  "\u3000{}\u00A0" -> "{}".
// White space inside the text stays.
[[nodiscard]] std::string_view trim_white_space(std::string_view text);

}  // namespace orvanta

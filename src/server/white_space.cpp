// Trimming by the Unicode White_Space property over UTF-8 text.
#include "server/white_space.hpp"

#include <cstddef>
#include <cstdint>

namespace orvanta {

namespace {

bool is_continuation(char byte) { return (static_cast<std::uint8_t>(byte) & 0xC0u) == 0x80u; }

// The character whose encoding is exactly `bytes` (the text is known to be valid UTF-8).
char32_t decode(std::string_view bytes) {
  const auto lead = static_cast<std::uint8_t>(bytes[0]);
  if (bytes.size() == 1) {
    return lead;
  }
  char32_t value = lead & (0x7Fu >> bytes.size());
  for (std::size_t i = 1; i < bytes.size(); ++i) {
    value = (value << 6) | (static_cast<std::uint8_t>(bytes[i]) & 0x3Fu);
  }
  return value;
}

std::size_t first_character_length(std::string_view text) {
  std::size_t length = 1;
  while (length < text.size() && is_continuation(text[length])) {
    ++length;
  }
  return length;
}

std::size_t last_character_length(std::string_view text) {
  std::size_t length = 1;
  while (length < text.size() && is_continuation(text[text.size() - length])) {
    ++length;
  }
  return length;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = first_character_length(text);
    if (!is_unicode_white_space(decode(text.substr(0, length)))) {
      break;
    }
    text.remove_prefix(length);
  }
  while (!text.empty()) {
    const std::size_t length = last_character_length(text);
    if (!is_unicode_white_space(decode(text.substr(text.size() - length)))) {
      break;
    }
    text.remove_suffix(length);
  }
  return text;
}

}  // namespace orvanta

// Conversions between the system's UTF-8 texts and the UTF-16 that Windows calls take.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvanta {

// UTF-8 to UTF-16; a character above U+FFFF becomes a surrogate pair. Bytes that are not UTF-8
// (never the case for texts the system has accepted) become U+FFFD.
[[nodiscard]] std::u16string utf8_to_utf16(std::string_view utf8);

// UTF-16 to UTF-8, or nothing when the input holds an unpaired surrogate.
[[nodiscard]] std::optional<std::string> utf16_to_utf8(std::u16string_view utf16);

// Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

#ifdef _WIN32
// On Windows wchar_t is a UTF-16 unit: the same text as the platform's wide string.
[[nodiscard]] inline std::wstring to_wide(std::u16string_view utf16) {
  return std::wstring(utf16.begin(), utf16.end());
}
[[nodiscard]] inline std::wstring to_wide(std::string_view utf8) { return to_wide(utf8_to_utf16(utf8)); }
[[nodiscard]] inline std::u16string from_wide(std::wstring_view wide) {
  return std::u16string(wide.begin(), wide.end());
}
#endif

}  // namespace orvanta

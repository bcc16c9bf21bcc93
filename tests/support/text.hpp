// Texts as the tests pass them around: UTF-8 from the system's UTF-16, the build's paths as Wine shows
// them, and JSON string contents.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/utf16.hpp"

namespace orvanta::test {

// A path, or any UTF-16 text, as UTF-8; empty when it holds an unpaired surrogate.
inline std::string utf8(const std::filesystem::path& text) {
  return utf16_to_utf8(from_wide(text.native())).value_or(std::string());
}

// A path the build gave us, as the Windows programs see it. A cross build gives a Linux path, and Wine
// shows the Linux root as drive Z:
//   "/work/build/standin.exe" -> "Z:\work\build\standin.exe"
inline std::wstring windows_path(std::string_view build_path) {
  std::wstring path = (build_path.starts_with('/') ? L"Z:" : L"") + to_wide(build_path);
  std::ranges::replace(path, L'/', L'\\');
  return path;
}

// The text with its backslashes and quotes escaped, to stand between the quotes of a JSON string.
inline std::string json_escaped(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      escaped.push_back('\\');
    }
    escaped.push_back(c);
  }
  return escaped;
}

}  // namespace orvanta::test

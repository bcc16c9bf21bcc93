// Kernel32 calls behind program search, each retried with a larger buffer when the text did not fit.
#include "process/windows_system_queries.hpp"

#include <windows.h>

#include "common/utf16.hpp"

namespace orvanta {

namespace {

// For the calls that return the length written (NUL excluded), or the size needed (NUL included)
// when the buffer is too small, or 0 on failure.
template <class Call>
Result<std::u16string> query_text(Call call) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      return std::unexpected(Error::os(GetLastError()));
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      return from_wide(buffer);
    }
    buffer.resize(length);
  }
}

}  // namespace

Result<std::u16string> WindowsSystemQueries::own_executable() {
  // GetModuleFileNameW truncates instead of telling the size it needs: grow until the text fits.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      return std::unexpected(Error::os(GetLastError()));
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      return from_wide(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

Result<std::u16string> WindowsSystemQueries::system_directory() {
  return query_text([](wchar_t* buffer, DWORD size) { return GetSystemDirectoryW(buffer, size); });
}

Result<std::u16string> WindowsSystemQueries::windows_directory() {
  return query_text([](wchar_t* buffer, DWORD size) { return GetWindowsDirectoryW(buffer, size); });
}

std::optional<std::u16string> WindowsSystemQueries::path_variable() {
  // An empty value also gives 0; only ERROR_ENVVAR_NOT_FOUND means the variable is not set.
  auto value = query_text([](wchar_t* buffer, DWORD size) {
    SetLastError(ERROR_SUCCESS);
    return GetEnvironmentVariableW(L"PATH", buffer, size);
  });
  if (value) {
    return std::move(*value);
  }
  if (value.error() == Error::os(ERROR_ENVVAR_NOT_FOUND)) {
    return std::nullopt;
  }
  return std::u16string();
}

Result<std::u16string> WindowsSystemQueries::full_path_name(std::u16string_view path) {
  const std::wstring wide = to_wide(path);
  return query_text(
      [&](wchar_t* buffer, DWORD size) { return GetFullPathNameW(wide.c_str(), size, buffer, nullptr); });
}

bool WindowsSystemQueries::exists(std::u16string_view path) {
  return GetFileAttributesW(to_wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

Result<std::u16string> long_path_name(std::u16string_view path) {
  const std::wstring wide = to_wide(path);
  return query_text(
      [&](wchar_t* buffer, DWORD size) { return GetLongPathNameW(wide.c_str(), buffer, size); });
}

Result<std::u16string> short_path_name(std::u16string_view path) {
  const std::wstring wide = to_wide(path);
  return query_text(
      [&](wchar_t* buffer, DWORD size) { return GetShortPathNameW(wide.c_str(), buffer, size); });
}

}  // namespace orvanta

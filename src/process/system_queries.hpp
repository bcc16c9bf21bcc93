// What program search asks of the system, behind an interface so the rules run against a fake too.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace orvanta {

// Every text is UTF-16 without its terminating NUL.
class SystemQueries {
 public:
  virtual ~SystemQueries() = default;

  // GetModuleFileNameW of the running executable.
  [[nodiscard]] virtual Result<std::u16string> own_executable() = 0;
  // GetSystemDirectoryW.
  [[nodiscard]] virtual Result<std::u16string> system_directory() = 0;
  // GetWindowsDirectoryW.
  [[nodiscard]] virtual Result<std::u16string> windows_directory() = 0;
  // The process's PATH variable; nothing when it is not set.
  [[nodiscard]] virtual std::optional<std::u16string> path_variable() = 0;
  // GetFullPathNameW, against the process's current directory.
  [[nodiscard]] virtual Result<std::u16string> full_path_name(std::u16string_view path) = 0;
  // GetFileAttributesW succeeds: a file or a directory of that name is there.
  [[nodiscard]] virtual bool exists(std::u16string_view path) = 0;
};

}  // namespace orvanta

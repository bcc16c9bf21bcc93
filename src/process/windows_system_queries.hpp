// The system seam of program search, answered by the real Windows calls.
#pragma once

#include "process/system_queries.hpp"

namespace orvanta {

// Not final: a test can stand in for one answer and keep the others real.
class WindowsSystemQueries : public SystemQueries {
 public:
  Result<std::u16string> own_executable() override;
  Result<std::u16string> system_directory() override;
  Result<std::u16string> windows_directory() override;
  std::optional<std::u16string> path_variable() override;
  Result<std::u16string> full_path_name(std::u16string_view path) override;
  bool exists(std::u16string_view path) override;
};

// GetLongPathNameW and GetShortPathNameW of an existing path: each part in its long or its 8.3 name.
[[nodiscard]] Result<std::u16string> long_path_name(std::u16string_view path);
[[nodiscard]] Result<std::u16string> short_path_name(std::u16string_view path);

}  // namespace orvanta

// Helpers for tests that start the stand-in child: where it is, plan files, scratch folders.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvanta::test {

// The stand-in executable (tests/support/standin.cpp), as a Windows path.
[[nodiscard]] std::wstring standin_path();

// The handle values open in this process. Wine's GetProcessHandleCount always gives 0, so the values
// are probed one by one; handle values are multiples of four.
[[nodiscard]] std::set<std::uintptr_t> open_handles();

// Whether the tests run under Wine, for the few places where its behaviour differs from Windows'.
[[nodiscard]] bool running_under_wine();

// UTF-16 paths to the UTF-8 the plan files and Command take.
[[nodiscard]] std::string utf8(std::wstring_view wide);

// A fresh folder under the temporary folder, removed with its contents when the owner goes.
class ScratchDir {
 public:
  ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir();

  [[nodiscard]] const std::wstring& path() const { return path_; }
  [[nodiscard]] std::wstring file(std::wstring_view name) const { return path_ + L"\\" + std::wstring(name); }

 private:
  std::wstring path_;
};

[[nodiscard]] bool write_file(const std::wstring& path, std::string_view bytes);
[[nodiscard]] std::optional<std::string> read_file(const std::wstring& path);

// Writes a plan of key=value lines for the stand-in.
[[nodiscard]] bool write_plan(const std::wstring& path,
                              std::initializer_list<std::pair<std::string_view, std::string>> entries);

// Polls until the file exists (the stand-in moves its pid_out file into place whole), up to the
// time limit; its content, or nothing when it did not appear.
[[nodiscard]] std::optional<std::string> wait_for_file(const std::wstring& path, DWORD timeout_ms);

// The NUL-terminated records of an argv_out file.
[[nodiscard]] std::vector<std::string> split_records(std::string_view bytes);

}  // namespace orvanta::test

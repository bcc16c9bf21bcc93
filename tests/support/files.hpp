// Files the tests write and read back, in scratch folders that go away with the test.
#pragma once

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/handle.hpp"

namespace orvanta::test {

// A fresh folder under the temporary folder, removed with its contents when the owner goes.
class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH + 1];
    std::wstring base(temp, GetTempPathW(MAX_PATH + 1, temp));
    if (base.ends_with(L'\\')) {
      base.pop_back();
    }
    path_ = base + L"\\orvanta-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    std::filesystem::create_directories(path_);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  [[nodiscard]] const std::wstring& path() const { return path_; }
  [[nodiscard]] std::wstring file(std::wstring_view name) const { return path_ + L"\\" + std::wstring(name); }

 private:
  std::wstring path_;
};

[[nodiscard]] inline bool write_file(const std::filesystem::path& path, std::string_view bytes) {
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

// Everything up to the end of a file, or until every writing end of a pipe is closed.
[[nodiscard]] inline std::string read_to_end(HANDLE readable) {
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(readable, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    bytes.append(buffer, got);
  }
  return bytes;
}

// The whole file, or nothing when it cannot be opened. Others may write to it meanwhile.
[[nodiscard]] inline std::optional<std::string> read_file(const std::filesystem::path& path) {
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  return file ? std::optional(read_to_end(file.get())) : std::nullopt;
}

}  // namespace orvanta::test

// Helpers for tests that start the stand-in child.
#include "support/standin_plan.hpp"

#include <atomic>

#include "common/utf16.hpp"

namespace orvanta::test {

namespace {

void remove_tree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") {
        continue;
      }
      const std::wstring child = path + L"\\" + name;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        remove_tree(child);
      } else {
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

}  // namespace

std::wstring standin_path() {
  // The build gives the path on the build machine; under Wine the Z: drive is the root of that file system.
  std::wstring path = to_wide(std::string_view(ORVANTA_STANDIN_EXE));
  if (path.starts_with(L"/")) {
    path = L"Z:" + path;
  }
  for (auto& unit : path) {
    if (unit == L'/') {
      unit = L'\\';
    }
  }
  return path;
}

std::set<std::uintptr_t> open_handles() {
  std::set<std::uintptr_t> open;
  for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      open.insert(value);
    }
  }
  return open;
}

bool running_under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string utf8(std::wstring_view wide) { return utf16_to_utf8(from_wide(wide)).value_or(std::string()); }

ScratchDir::ScratchDir() {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  std::wstring base(temp, length);
  if (!base.empty() && base.back() == L'\\') {
    base.pop_back();
  }
  path_ = base + L"\\orvanta-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
  CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchDir::~ScratchDir() { remove_tree(path_); }

bool write_file(const std::wstring& path, std::string_view bytes) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

std::optional<std::string> read_file(const std::wstring& path) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    bytes.append(buffer, got);
  }
  CloseHandle(file);
  return bytes;
}

bool write_plan(const std::wstring& path,
                std::initializer_list<std::pair<std::string_view, std::string>> entries) {
  std::string text;
  for (const auto& [key, value] : entries) {
    text.append(key).append("=").append(value).append("\n");
  }
  return write_file(path, text);
}

std::optional<std::string> wait_for_file(const std::wstring& path, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
      return read_file(path);
    }
    if (GetTickCount64() >= deadline) {
      return std::nullopt;
    }
    Sleep(10);
  }
}

std::vector<std::string> split_records(std::string_view bytes) {
  std::vector<std::string> records;
  while (!bytes.empty()) {
    const auto end = bytes.find('\0');
    records.emplace_back(bytes.substr(0, end));
    bytes = end == std::string_view::npos ? std::string_view{} : bytes.substr(end + 1);
  }
  return records;
}

}  // namespace orvanta::test

// The test program itself: the handles it holds, where it lies, what it runs on, and changes to its
// environment and standard handles that last for a scope.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace orvanta::test {

// The handle values open in this process. Wine's GetProcessHandleCount always gives 0, so the values
// are probed one by one; handle values are multiples of four.
[[nodiscard]] inline std::set<std::uintptr_t> open_handles() {
  std::set<std::uintptr_t> open;
  for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      open.insert(value);
    }
  }
  return open;
}

// The running program's own file; the program search looks in its folder first.
[[nodiscard]] inline std::filesystem::path program_path() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

// Whether the tests run under Wine, for the few places where its behaviour differs from Windows'.
[[nodiscard]] inline bool running_under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Sets an environment variable for the scope and puts the old value back.
class ScopedVariable {
 public:
  ScopedVariable(const wchar_t* name, const std::wstring& value) : name_(name) {
    std::wstring old(32768, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, old.data(), static_cast<DWORD>(old.size()));
    if (length > 0 && length < old.size()) {
      old_ = old.substr(0, length);
    }
    SetEnvironmentVariableW(name, value.c_str());
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;
  ~ScopedVariable() { SetEnvironmentVariableW(name_, old_ ? old_->c_str() : nullptr); }

 private:
  const wchar_t* name_;
  std::optional<std::wstring> old_;
};

// Replaces this process's standard handles for the scope (nothing may be printed meanwhile).
class ScopedStdHandles {
 public:
  ScopedStdHandles(HANDLE input, HANDLE output, HANDLE error) { set(input, output, error); }
  ScopedStdHandles(const ScopedStdHandles&) = delete;
  ScopedStdHandles& operator=(const ScopedStdHandles&) = delete;
  ~ScopedStdHandles() { set(input_, output_, error_); }

 private:
  static void set(HANDLE input, HANDLE output, HANDLE error) {
    SetStdHandle(STD_INPUT_HANDLE, input);
    SetStdHandle(STD_OUTPUT_HANDLE, output);
    SetStdHandle(STD_ERROR_HANDLE, error);
  }

  HANDLE input_ = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE output_ = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE error_ = GetStdHandle(STD_ERROR_HANDLE);
};

}  // namespace orvanta::test

// Shared pieces of the tests that start real children under Wine.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "common/utf16.hpp"
#include "process/child.hpp"
#include "support/child_waits.hpp"
#include "support/standin_plan.hpp"

namespace orvanta::test {

// The stand-in, told to follow `plan`, with its output streams on the null device.
inline Command standin_command(const std::wstring& plan) {
  Command command(utf8(standin_path()));
  command.arg(utf8(plan)).stdout_mode(StdioMode::Null).stderr_mode(StdioMode::Null);
  return command;
}

// The folder of the running test executable, where search looks first.
inline std::wstring own_directory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring own(path, length);
  return own.substr(0, own.find_last_of(L'\\'));
}

// A copy of the stand-in under another name, deleted again when the owner goes.
class StandinCopy {
 public:
  explicit StandinCopy(std::wstring path) : path_(std::move(path)) {
    copied_ = CopyFileW(standin_path().c_str(), path_.c_str(), FALSE) != FALSE;
  }
  StandinCopy(const StandinCopy&) = delete;
  StandinCopy& operator=(const StandinCopy&) = delete;
  ~StandinCopy() { DeleteFileW(path_.c_str()); }
  [[nodiscard]] bool copied() const { return copied_; }

 private:
  std::wstring path_;
  bool copied_ = false;
};

// Sets an environment variable for the scope and puts the old value back.
class ScopedVariable {
 public:
  ScopedVariable(const wchar_t* name, const std::wstring& value) : name_(name) {
    wchar_t old[32768];
    const DWORD length = GetEnvironmentVariableW(name, old, 32768);
    if (length > 0 && length < 32768) {
      old_ = std::wstring(old, length);
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
  ScopedStdHandles(HANDLE input, HANDLE output, HANDLE error)
      : input_(GetStdHandle(STD_INPUT_HANDLE)),
        output_(GetStdHandle(STD_OUTPUT_HANDLE)),
        error_(GetStdHandle(STD_ERROR_HANDLE)) {
    SetStdHandle(STD_INPUT_HANDLE, input);
    SetStdHandle(STD_OUTPUT_HANDLE, output);
    SetStdHandle(STD_ERROR_HANDLE, error);
  }
  ScopedStdHandles(const ScopedStdHandles&) = delete;
  ScopedStdHandles& operator=(const ScopedStdHandles&) = delete;
  ~ScopedStdHandles() {
    SetStdHandle(STD_INPUT_HANDLE, input_);
    SetStdHandle(STD_OUTPUT_HANDLE, output_);
    SetStdHandle(STD_ERROR_HANDLE, error_);
  }

 private:
  HANDLE input_;
  HANDLE output_;
  HANDLE error_;
};

inline std::string describe(const Error& error) { return error_text(error); }

}  // namespace orvanta::test

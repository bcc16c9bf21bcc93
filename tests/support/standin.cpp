// A stand-in child process for tests: it does what a plan file tells it, and can play OpenVPN.
//
// Interface, which tests rely on exactly:
//   - It reads its own command line with CommandLineToArgvW(GetCommandLineW()).
//   - Its plan file is the argument after "--config" if there is one (so that it can be launched as
//     OpenVPN), otherwise argv[1].
//   - The plan holds UTF-8 lines key=value; unknown keys are ignored. The steps run in this order:
//       argv_out=PATH          writes every argv element, argv[0] included, as UTF-8, each followed by
//                              one NUL byte
//       handle_check=N         with handle_check_out=PATH: writes "1" there when GetHandleInformation
//       handle_check_out=PATH  succeeds on the decimal handle value N in this process, else "0"
//       grandchild_plan=PATH   starts this same executable with argv[1] = PATH (plain CreateProcessW,
//                              inheritance off) and does not wait for it
//       pid_out=PATH           writes its own process id in decimal to PATH.tmp and moves that over PATH
//                              (MoveFileExW, MOVEFILE_REPLACE_EXISTING), so a test can poll PATH for
//                              readiness; written after all of the above
//       sleep_ms=N             sleeps N ms
//       exit_code=N            exits with N; without it, sleeps until it is ended
//   - A plan that cannot be read, or a step that fails, ends it at once with exit code 250.
#include <windows.h>
#include <shellapi.h>

#include <charconv>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "common/utf16.hpp"

namespace {

constexpr UINT failed = 250;

[[noreturn]] void fail() { ExitProcess(failed); }

std::string utf8(std::wstring_view wide) {
  auto text = orvanta::utf16_to_utf8(orvanta::from_wide(wide));
  if (!text) {
    fail();
  }
  return *text;
}

std::optional<std::string> read_file(const std::wstring& path) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
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

void write_file(const std::wstring& path, std::string_view bytes) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    fail();
  }
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != bytes.size()) {
    fail();
  }
}

std::map<std::string, std::string> read_plan(const std::wstring& path) {
  const auto text = read_file(path);
  if (!text) {
    fail();
  }
  std::map<std::string, std::string> plan;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    const auto equals = line.find('=');
    if (equals != std::string_view::npos) {
      plan[std::string(line.substr(0, equals))] = std::string(line.substr(equals + 1));
    }
  }
  return plan;
}

std::wstring wide(const std::string& utf8_text) { return orvanta::to_wide(utf8_text); }

unsigned long long number(const std::string& text) {
  unsigned long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) {
    fail();
  }
  return value;
}

void start_grandchild(const std::string& plan_path) {
  wchar_t own[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
  if (length == 0 || length == MAX_PATH) {
    fail();
  }
  std::wstring command_line = L"\"" + std::wstring(own) + L"\" \"" + wide(plan_path) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(own, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    fail();
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
}

}  // namespace

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 2) {
    fail();
  }
  std::wstring plan_path = argv[1];
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wstring_view(argv[i]) == L"--config") {
      plan_path = argv[i + 1];
      break;
    }
  }
  auto plan = read_plan(plan_path);

  if (auto out = plan.find("argv_out"); out != plan.end()) {
    std::string record;
    for (int i = 0; i < argc; ++i) {
      record += utf8(argv[i]);
      record.push_back('\0');
    }
    write_file(wide(out->second), record);
  }
  if (plan.contains("handle_check") && plan.contains("handle_check_out")) {
    const auto value = static_cast<ULONG_PTR>(number(plan["handle_check"]));
    DWORD flags = 0;
    const bool valid = GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE;
    write_file(wide(plan["handle_check_out"]), valid ? "1" : "0");
  }
  if (auto grandchild = plan.find("grandchild_plan"); grandchild != plan.end()) {
    start_grandchild(grandchild->second);
  }
  if (auto out = plan.find("pid_out"); out != plan.end()) {
    const std::wstring target = wide(out->second);
    const std::wstring staging = target + L".tmp";
    write_file(staging, std::to_string(GetCurrentProcessId()));
    if (!MoveFileExW(staging.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      fail();
    }
  }
  LocalFree(argv);

  if (auto sleep = plan.find("sleep_ms"); sleep != plan.end()) {
    Sleep(static_cast<DWORD>(number(sleep->second)));
  }
  if (auto code = plan.find("exit_code"); code != plan.end()) {
    ExitProcess(static_cast<UINT>(number(code->second)));
  }
  for (;;) {
    Sleep(INFINITE);
  }
}

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
//       wait_for_file=PATH     waits until a file PATH exists, looking every 10 ms, so that a test can
//                              have it prove, by the steps after this one, that it still ran at a point
//                              of the test's choosing
//       sleep_ms=N             sleeps N ms
//       exit_code=N            exits with N; without it, sleeps until it is ended
//   - A plan that cannot be read, or a step that fails, ends it at once with exit code 250.
#include <windows.h>
#include <shellapi.h>

#include <charconv>
#include <map>
#include <string>
#include <string_view>

#include "common/utf16.hpp"
#include "support/files.hpp"
#include "support/this_process.hpp"

namespace {

using orvanta::to_wide;
using orvanta::test::read_file;
using orvanta::test::write_file;

constexpr UINT failed = 250;

[[noreturn]] void fail() { ExitProcess(failed); }

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

void write_or_fail(const std::wstring& path, std::string_view bytes) {
  if (!write_file(path, bytes)) {
    fail();
  }
}

unsigned long long number(const std::string& text) {
  unsigned long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) {
    fail();
  }
  return value;
}

void start_grandchild(const std::string& plan_path) {
  const std::wstring own = orvanta::test::program_path();
  std::wstring command_line = L"\"" + own + L"\" \"" + to_wide(plan_path) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(own.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
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
      const auto text = orvanta::utf16_to_utf8(orvanta::from_wide(argv[i]));
      if (!text) {
        fail();
      }
      record += *text;
      record.push_back('\0');
    }
    write_or_fail(to_wide(out->second), record);
  }
  if (plan.contains("handle_check") && plan.contains("handle_check_out")) {
    const auto value = static_cast<ULONG_PTR>(number(plan["handle_check"]));
    DWORD flags = 0;
    const bool valid = GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE;
    write_or_fail(to_wide(plan["handle_check_out"]), valid ? "1" : "0");
  }
  if (auto grandchild = plan.find("grandchild_plan"); grandchild != plan.end()) {
    start_grandchild(grandchild->second);
  }
  if (auto out = plan.find("pid_out"); out != plan.end()) {
    const std::wstring target = to_wide(out->second);
    const std::wstring staging = target + L".tmp";
    write_or_fail(staging, std::to_string(GetCurrentProcessId()));
    if (!MoveFileExW(staging.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      fail();
    }
  }
  LocalFree(argv);

  if (auto awaited = plan.find("wait_for_file"); awaited != plan.end()) {
    const std::wstring path = to_wide(awaited->second);
    while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
      Sleep(10);
    }
  }
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

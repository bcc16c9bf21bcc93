// A stand-in child process for tests: it does what a plan file tells it, and can play OpenVPN.
//
// Interface, which tests rely on exactly:
//   - It reads its own command line with CommandLineToArgvW(GetCommandLineW()).
//   - Its plan file is the argument after "--config" if there is one (so that it can be launched as
//     OpenVPN), otherwise argv[1].
//   - As OpenVPN does with --service <event> 0, it opens the event by name with CreateEventW as soon as
//     it has read its plan: if the event is set already it exits with 1; once it is set, it waits
//     exit_event_delay_ms=N (0 when not given), appends "SIGTERM[hard,] received, process exiting" to
//     its log and exits with 0. With ignore_exit_event=1 it does neither.
//   - Its log is the argument after "--log"; it is opened, at the end and sharing read alone as
//     OpenVPN's is, only when something is to be written to it, and never cut short.
//   - The plan holds UTF-8 lines key=value; unknown keys are ignored. The steps run in this order:
//       argv_out=PATH          writes every argv element, argv[0] included, as UTF-8, each followed by
//                              one NUL byte
//       handle_check=N         with handle_check_out=PATH: writes "1" there when GetHandleInformation
//       handle_check_out=PATH  succeeds on the decimal handle value N in this process, else "0"
//       grandchild_plan=PATH   starts this same executable with argv[1] = PATH (plain CreateProcessW,
//                              inheritance off) and does not wait for it
//       stdout_from=PATH       writes the file's lines to standard output, each ended by CR LF as
//                              OpenVPN ends them on Windows
//       stdout_bytes=N         writes N bytes of lines to standard output
//       log_from=PATH          appends the file's lines to its log, each ended by CR LF
//       log_fill_bytes=N       appends N bytes of lines to its log
//       pid_out=PATH           writes its own process id in decimal to PATH.tmp and moves that over PATH
//                              (MoveFileExW, MOVEFILE_REPLACE_EXISTING), so a test can poll PATH for
//                              readiness; written after all of the above
//       wait_for_file=PATH     waits until a file PATH exists, looking every 10 ms, so that a test can
//                              have it prove, by the steps after this one, that it still ran at a point
//                              of the test's choosing
//       sleep_ms=N             sleeps N ms
//       log_line_every_ms=N    from now on appends a line to its log every N ms, until it ends
//       exit_code=N            exits with N; without it, sleeps until it is ended
//   - A plan that cannot be read, or a step that fails, ends it at once with exit code 250.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

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

// OpenVPN's log, opened when first written; shared by the steps and the threads that write to it.
class Log {
 public:
  void set_path(std::wstring path) { path_ = std::move(path); }
  // A log that cannot be written fails the plan, unless the write is not `required`: OpenVPN's last
  // line is no reason for it to fail its exit.
  void append(std::string_view bytes, bool required = true) {
    const std::lock_guard lock(mutex_);
    if (file_ == INVALID_HANDLE_VALUE) {
      file_ = CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    DWORD written = 0;
    if ((file_ == INVALID_HANDLE_VALUE ||
         !WriteFile(file_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) &&
        required) {
      fail();
    }
  }

 private:
  std::mutex mutex_;  // guards file_
  std::wstring path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;  // held to the end, as OpenVPN holds its log
};

Log log_file;

void write_output(std::string_view bytes) {
  DWORD written = 0;
  while (!bytes.empty()) {
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr)) {
      fail();
    }
    bytes.remove_prefix(written);
  }
}

// The file's lines, each ended by CR LF.
std::string lines_of(const std::string& path) {
  const auto text = read_file(to_wide(path));
  if (!text) {
    fail();
  }
  std::string lines;
  for (const char c : *text) {
    if (c == '\n' && (lines.empty() || lines.back() != '\r')) {
      lines += '\r';
    }
    lines += c;
  }
  if (!lines.empty() && lines.back() != '\n') {
    lines += "\r\n";
  }
  return lines;
}

// `bytes` bytes of lines of 99 characters and CR LF.
void write_filler(unsigned long long bytes, void (*write)(std::string_view)) {
  std::string chunk;
  for (int i = 0; i < 640; ++i) {
    chunk += std::string(99, 'x') + "\r\n";
  }
  while (bytes > 0) {
    const auto piece = static_cast<std::size_t>(std::min<unsigned long long>(bytes, chunk.size()));
    write(std::string_view(chunk).substr(0, piece));
    bytes -= piece;
  }
}

void watch_exit_event(const std::wstring& name, DWORD delay_ms) {
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  if (event == nullptr) {
    fail();
  }
  if (WaitForSingleObject(event, 0) == WAIT_OBJECT_0) {
    ExitProcess(1);  // as OpenVPN: a set event at the start is fatal
  }
  std::thread([event, delay_ms] {
    WaitForSingleObject(event, INFINITE);
    Sleep(delay_ms);
    log_file.append("2026-12-11 11:51:21 SIGTERM[hard,] received, process exiting\r\n", false);
    ExitProcess(0);
  }).detach();
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
  std::wstring exit_event;
  for (int i = 1; i + 1 < argc; ++i) {
    const std::wstring_view option = argv[i];
    if (option == L"--config") {
      plan_path = argv[i + 1];
    } else if (option == L"--log") {
      log_file.set_path(argv[i + 1]);
    } else if (option == L"--service") {
      exit_event = argv[i + 1];
    }
  }
  auto plan = read_plan(plan_path);
  if (!exit_event.empty() && !plan.contains("ignore_exit_event")) {
    const auto delay = plan.find("exit_event_delay_ms");
    watch_exit_event(exit_event, delay == plan.end() ? 0 : static_cast<DWORD>(number(delay->second)));
  }

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
  if (auto from = plan.find("stdout_from"); from != plan.end()) {
    write_output(lines_of(from->second));
  }
  if (auto bytes = plan.find("stdout_bytes"); bytes != plan.end()) {
    write_filler(number(bytes->second), write_output);
  }
  if (auto from = plan.find("log_from"); from != plan.end()) {
    log_file.append(lines_of(from->second));
  }
  if (auto bytes = plan.find("log_fill_bytes"); bytes != plan.end()) {
    write_filler(number(bytes->second), [](std::string_view piece) { log_file.append(piece); });
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
  if (auto every = plan.find("log_line_every_ms"); every != plan.end()) {
    std::thread([pause = static_cast<DWORD>(number(every->second))] {
      for (;;) {
        Sleep(pause);
        log_file.append("2026-12-11 11:51:30 a line while connected\r\n");
      }
    }).detach();
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

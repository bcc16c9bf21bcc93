// Watching the processes tests start: whether they run, how they ended, and ending what a test leaves.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/error.hpp"
#include "common/handle.hpp"
#include "process/child.hpp"
#include "process/command.hpp"
#include "common/utf16.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace orvanta::test {

// A handle on a process, opened while its id is surely its own (so the id cannot pass to another
// process while it is watched); ends the process if a test leaves it running.
class Watched {
 public:
  // Nothing to watch when there is no id.
  explicit Watched(std::optional<DWORD> pid)
      : process_(pid ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                   *pid)
                     : nullptr) {}
  Watched(Watched&&) = default;
  ~Watched() { terminate(); }

  [[nodiscard]] bool running() const { return !ends_within(0); }
  [[nodiscard]] bool ends_within(DWORD milliseconds) const {
    return !process_ || WaitForSingleObject(process_.get(), milliseconds) == WAIT_OBJECT_0;
  }
  // Once it has ended.
  [[nodiscard]] std::optional<DWORD> exit_code() const {
    DWORD code = 0;
    return process_ && !running() && GetExitCodeProcess(process_.get(), &code) ? std::optional(code)
                                                                               : std::nullopt;
  }
  // Empty when it cannot be asked.
  [[nodiscard]] std::string image() const {
    std::wstring image(32768, L'\0');
    DWORD size = static_cast<DWORD>(image.size());
    const bool known = process_ && QueryFullProcessImageNameW(process_.get(), 0, image.data(), &size);
    return known ? utf8(image.substr(0, size)) : std::string();
  }
  void terminate() {
    if (running()) {
      TerminateProcess(process_.get(), 1);
      WaitForSingleObject(process_.get(), 5000);
    }
  }
  void release() { process_.reset(); }  // lets go of the process without ending it

 private:
  UniqueHandle process_;
};

// The ids of the running processes whose program file is named `image_name` (no folder).
[[nodiscard]] inline std::vector<DWORD> processes_named(std::wstring_view image_name) {
  std::vector<DWORD> ids;
  const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (CompareStringOrdinal(entry.szExeFile, -1, image_name.data(), static_cast<int>(image_name.size()),
                             TRUE) == CSTR_EQUAL) {
      ids.push_back(entry.th32ProcessID);
    }
  }
  return ids;
}

// The ids of the running processes started from exactly this program file: other tests may run
// programs of the same name meanwhile.
[[nodiscard]] inline std::vector<DWORD> processes_of(const std::filesystem::path& image) {
  std::vector<DWORD> ids;
  for (const DWORD pid : processes_named(image.filename().wstring())) {
    Watched process(pid);
    const std::string running_image = process.image();
    process.release();
    if (CompareStringOrdinal(to_wide(running_image).c_str(), -1, image.c_str(), -1, TRUE) == CSTR_EQUAL) {
      ids.push_back(pid);
    }
  }
  return ids;
}

// Waits without a time limit for a started child to end, and gives its exit code.
[[nodiscard]] inline Result<ExitStatus> wait_for_exit(const Child& child) {
  const Result<WaitState> waited = child.wait_for(INFINITE);
  if (!waited) {
    return std::unexpected(waited.error());
  }
  return std::get<ExitStatus>(*waited);
}

// Launches the command, waits for it to end, and gives its exit code.
[[nodiscard]] inline Result<ExitStatus> run_to_completion(const Command& command) {
  const Result<Child> child = spawn(command);
  if (!child) {
    return std::unexpected(child.error());
  }
  return wait_for_exit(*child);
}

// How a program run by its command line ended, and what it wrote to standard error.
struct Finished {
  DWORD exit_code = 0;
  std::string standard_error;
};

// Runs the command line, reads its standard error until closed, then waits up to `limit` for it to
// end; nothing when it cannot be started or does not end in time (it is then ended).
[[nodiscard]] inline std::optional<Finished> run_with_standard_error(std::wstring command_line,
                                                                     DWORD limit = 30000) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) {
    return std::nullopt;
  }
  const UniqueHandle reader(read_end);
  UniqueHandle writer(write_end);
  SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = writer.get();
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return std::nullopt;
  }
  const UniqueHandle process(info.hProcess);
  const UniqueHandle thread(info.hThread);
  writer.reset();
  Finished finished;
  finished.standard_error = read_to_end(reader.get());
  if (WaitForSingleObject(process.get(), limit) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 1);
    return std::nullopt;
  }
  GetExitCodeProcess(process.get(), &finished.exit_code);
  return finished;
}

// The creation time of a process, in FILETIME units as GetProcessTimes gives it; 0 when it cannot be asked.
inline std::uint64_t creation_time_of(DWORD pid) {
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  FILETIME created{};
  FILETIME unused[3]{};
  if (!process || !GetProcessTimes(process.get(), &created, &unused[0], &unused[1], &unused[2])) {
    return 0;
  }
  return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

}  // namespace orvanta::test

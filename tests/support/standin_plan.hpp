// The stand-in child (standin.cpp): where it is, the plans that tell it what to do, and what it writes.
#pragma once

#include <gtest/gtest.h>

#include <charconv>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "process/command.hpp"
#include "support/files.hpp"
#include "support/polling.hpp"
#include "support/text.hpp"

namespace orvanta::test {

// The stand-in executable, as a Windows path.
[[nodiscard]] inline std::wstring standin_path() { return windows_path(ORVANTA_STANDIN_EXE); }
// A file of what a real OpenVPN wrote (good.log, optserr.stdout, ...), as a plan value.
[[nodiscard]] inline std::string transcript(std::string_view name) {
  return utf8(windows_path(ORVANTA_OPENVPN_TRANSCRIPTS "/" + std::string(name)));
}

// The stand-in, told to follow the plan (its path in UTF-8), with its output streams on the null device.
[[nodiscard]] inline Command standin_command(std::string_view plan) {
  Command command(utf8(standin_path()));
  command.arg(std::string(plan)).stdout_mode(StdioMode::Null).stderr_mode(StdioMode::Null);
  return command;
}

// Plan lines key=value. Their order does not matter: the stand-in takes its steps in an order of its own.
using PlanEntries = std::vector<std::pair<std::string, std::string>>;
[[nodiscard]] inline bool write_plan(const std::filesystem::path& path, const PlanEntries& entries) {
  std::string text;
  for (const auto& [key, value] : entries) {
    text.append(key).append("=").append(value).append("\n");
  }
  return write_file(path, text);
}

// One stand-in run laid out in a folder: its plan, and the files where it records its id and its
// argument vector.
struct Planned {
  std::string plan;  // full path, UTF-8: a plan value, or the `config` text that makes the stand-in follow it
  std::filesystem::path pid_out;
  std::filesystem::path argv_out;
};

// Writes <name>.plan (or the plan at `at`, relative to the folder) that records the id in <name>.pid
// and the arguments in <name>.argv, then takes the steps in `more`.
inline Planned plan_standin(const std::filesystem::path& folder, const std::string& name,
                            const PlanEntries& more = {}, const std::filesystem::path& at = {}) {
  const std::filesystem::path file = folder / (at.empty() ? std::filesystem::path(name + ".plan") : at);
  const Planned planned{utf8(file), folder / (name + ".pid"), folder / (name + ".argv")};
  PlanEntries entries = {{"pid_out", utf8(planned.pid_out)}, {"argv_out", utf8(planned.argv_out)}};
  entries.insert(entries.end(), more.begin(), more.end());
  std::filesystem::create_directories(file.parent_path());
  if (!write_plan(file, entries)) {
    ADD_FAILURE() << "cannot write the plan " << planned.plan;
  }
  return planned;
}

// The id a stand-in writes once it is ready (it moves the file into place whole); nothing when none
// appeared within 10 s.
[[nodiscard]] inline std::optional<DWORD> wait_for_pid(const std::filesystem::path& pid_out) {
  DWORD pid = 0;
  const bool written = eventually([&] {
    const std::string digits = read_file(pid_out).value_or("");
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    return !digits.empty() && error == std::errc{} && end == digits.data() + digits.size();
  });
  return written ? std::optional(pid) : std::nullopt;
}

// The argument vector a stand-in recorded.
[[nodiscard]] inline std::vector<std::string> read_argv(const std::filesystem::path& argv_out) {
  const std::string bytes = read_file(argv_out).value_or("");
  std::vector<std::string> argv;
  std::size_t start = 0;
  for (std::size_t end = bytes.find('\0'); end != std::string::npos; end = bytes.find('\0', start)) {
    argv.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return argv;
}

// A copy of the stand-in under another name, deleted again when the owner goes.
class StandinCopy {
 public:
  explicit StandinCopy(std::filesystem::path path) : path_(std::move(path)) {
    std::error_code error;
    copied_ = std::filesystem::copy_file(standin_path(), path_,
                                         std::filesystem::copy_options::overwrite_existing, error);
  }
  StandinCopy(const StandinCopy&) = delete;
  StandinCopy& operator=(const StandinCopy&) = delete;
  ~StandinCopy() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  [[nodiscard]] bool copied() const { return copied_; }

 private:
  std::filesystem::path path_;
  bool copied_ = false;
};

}  // namespace orvanta::test

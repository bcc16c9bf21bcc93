// The description of one child-process launch.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvanta {

// Pipe: standard output and error that are set to it share one pipe, whose read end the Child holds.
enum class StdioMode { Inherit, Null, Pipe };

// Where a bare program name is looked for: the usual places in their order, or the system folder
// alone, for a system tool that a file planted in a folder searched earlier must not stand in for.
enum class ProgramSearch { Standard, SystemDirectoryOnly };

class Command {
 public:
  explicit Command(std::string program) : program_(std::move(program)) {}

  Command& arg(std::string argument) {
    args_.push_back(std::move(argument));
    return *this;
  }
  Command& stdin_mode(StdioMode mode) { return set(stdin_, mode); }
  Command& stdout_mode(StdioMode mode) { return set(stdout_, mode); }
  Command& stderr_mode(StdioMode mode) { return set(stderr_, mode); }
  Command& search(ProgramSearch search) {
    search_ = search;
    return *this;
  }

  [[nodiscard]] const std::string& program() const { return program_; }
  [[nodiscard]] const std::vector<std::string>& args() const { return args_; }
  [[nodiscard]] std::optional<StdioMode> stdin_setting() const { return stdin_; }
  [[nodiscard]] std::optional<StdioMode> stdout_setting() const { return stdout_; }
  [[nodiscard]] std::optional<StdioMode> stderr_setting() const { return stderr_; }
  [[nodiscard]] ProgramSearch search() const { return search_; }

 private:
  Command& set(std::optional<StdioMode>& slot, StdioMode mode) {
    slot = mode;
    return *this;
  }

  std::string program_;
  std::vector<std::string> args_;
  std::optional<StdioMode> stdin_;
  std::optional<StdioMode> stdout_;
  std::optional<StdioMode> stderr_;
  ProgramSearch search_ = ProgramSearch::Standard;
};

}  // namespace orvanta

// Everything about a launch that is decided before any handle is made: what runs, with which line.
#pragma once

#include <string>

#include "common/error.hpp"
#include "process/command.hpp"
#include "process/system_queries.hpp"

namespace orvanta {

struct LaunchPlan {
  std::u16string application;   // CreateProcessW's lpApplicationName, without its NUL
  std::u16string command_line;  // CreateProcessW's lpCommandLine, without its NUL
  bool batch = false;           // run through the system directory's cmd.exe
};

// Resolution, batch detection, the system directory for a batch script, the command line: in this
// order, and the first failing step decides the error. An `application` given by the caller, one
// that was checked already, stands in for the resolution; the command line still begins with the
// program text.
[[nodiscard]] Result<LaunchPlan> plan_launch(const Command& command, SystemQueries& system,
                                             const std::u16string* application = nullptr);

}  // namespace orvanta

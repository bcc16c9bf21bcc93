// Waiting for started children to end, which only tests need: the service never waits without a bound.
#pragma once

#include "common/error.hpp"
#include "process/child.hpp"
#include "process/command.hpp"

namespace orvanta::test {

// Waits without a time limit and gives the exit code.
[[nodiscard]] Result<ExitStatus> wait_for_exit(const Child& child);

// Launches the command, waits for it to end, and gives its exit code.
[[nodiscard]] Result<ExitStatus> run_to_completion(const Command& command);

}  // namespace orvanta::test

// Unbounded waits for started children.
#include "support/child_waits.hpp"

#include <variant>

namespace orvanta::test {

Result<ExitStatus> wait_for_exit(const Child& child) {
  const Result<WaitState> waited = child.wait_for(INFINITE);
  if (!waited) {
    return std::unexpected(waited.error());
  }
  return std::get<ExitStatus>(*waited);
}

Result<ExitStatus> run_to_completion(const Command& command) {
  const Result<Child> child = spawn(command);
  if (!child) {
    return std::unexpected(child.error());
  }
  return wait_for_exit(*child);
}

}  // namespace orvanta::test

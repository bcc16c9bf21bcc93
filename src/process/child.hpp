// Starting a child process and handling it once started.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <variant>

#include "common/error.hpp"
#include "common/handle.hpp"
#include "process/command.hpp"
#include "process/system_queries.hpp"

namespace orvanta {

using ExitStatus = std::uint32_t;

struct StillRunning {
  friend bool operator==(StillRunning, StillRunning) = default;
};
using WaitState = std::variant<StillRunning, ExitStatus>;

// A started process. Owns its process and primary-thread handles; releasing it closes them and
// never ends or waits for the process.
class Child {
 public:
  Child(UniqueHandle process, UniqueHandle thread, UniqueHandle output = UniqueHandle());
  Child(Child&&) noexcept = default;
  Child& operator=(Child&&) noexcept = default;

  [[nodiscard]] std::uint32_t id() const;
  [[nodiscard]] Result<WaitState> try_wait() const;
  [[nodiscard]] Result<void> kill() const;
  // Waits at most `milliseconds` (INFINITE for no limit); StillRunning when the time ran out.
  [[nodiscard]] Result<WaitState> wait_for(DWORD milliseconds) const;
  [[nodiscard]] HANDLE process_handle() const { return process_.get(); }
  // The read end of the pipe of a command whose output streams are StdioMode::Pipe; empty otherwise,
  // and once taken.
  [[nodiscard]] UniqueHandle take_output() { return std::move(output_); }

 private:
  UniqueHandle process_;
  UniqueHandle thread_;
  UniqueHandle output_;
};

struct SpawnOptions {
  // Where the new process is put before it runs its first instruction: when set, it is created
  // suspended, assigned to this job object, then resumed.
  HANDLE job = nullptr;
  // What program search asks of the system; the real system when not set.
  SystemQueries* system = nullptr;
  // The executable to start, when the caller has resolved and checked it already; the program text
  // then only begins the command line.
  const std::u16string* application = nullptr;
  // Called with the new process once it is in the job and before it runs, when `job` is set. It must
  // not throw: the process would be left suspended.
  std::function<void(HANDLE process)> before_resume;
  // Started without a console (DETACHED_PROCESS). A console program started by a service gets a
  // console host process of its own otherwise, inside its job, which outlives it for a moment.
  bool without_console = false;
};

// Launches the command and returns without waiting for it.
[[nodiscard]] Result<Child> spawn(const Command& command, const SpawnOptions& options = {});

}  // namespace orvanta

// Keeps an instance of the pipe waiting for a client at all times, so that the name is never free for
// another process to take, and hands over the instances that clients have connected to.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <vector>

#include "common/error.hpp"
#include "pipe/pipe_instance.hpp"

namespace orvanta::pipe {

class PipeListener {
 public:
  // Called on each new instance before it waits: with a completion port, to associate the handle with
  // it, so that the connect completes there on waiting_connect(); nothing is needed with an event.
  using Associate = std::function<Result<void>(HANDLE)>;

  struct Outcome {
    std::vector<PipeInstance> connected;  // to hand over, each with its client
    std::optional<Error> failure;         // why no instance is waiting; listen() again later
  };

  // `event`: the manual-reset event the waits signal, or null with a completion port.
  PipeListener(PipeEndpoint endpoint, Associate associate, HANDLE event);
  PipeListener(const PipeListener&) = delete;
  PipeListener& operator=(const PipeListener&) = delete;

  // Whether an instance waits, and the OVERLAPPED its connect completes on, so that the caller can tell
  // that completion from others. The listener must outlive a pending connect's completion; cancel()
  // ends it.
  [[nodiscard]] bool waiting() const { return waiting_.has_value(); }
  [[nodiscard]] const OVERLAPPED* waiting_connect() const { return &overlapped_; }

  // With an event, once it is signalled: how the waiting connect ended (0: a client came), for
  // on_connect_completed. A completion port gives it with the packet.
  [[nodiscard]] DWORD connect_result();
  // Makes an instance wait, when none does: at the start, and after a failure (for a name another
  // process holds, the first instance fails with ERROR_ACCESS_DENIED).
  [[nodiscard]] Outcome listen();
  // Whether an instance is kept without a wait: clients came faster than waits could start, and the
  // hand-over stopped after `most_turns` so that its caller could look at the stop and the port. The
  // instance holds the name (a client may still open it) until resume() starts its wait.
  [[nodiscard]] bool kept() const { return kept_.has_value(); }
  [[nodiscard]] Outcome resume();
  // The waiting connect has completed with `error` (0: a client came). The next instance is waiting
  // before the connected one is handed over; one whose client came and went waits again.
  [[nodiscard]] Outcome on_connect_completed(DWORD error);
  // Ends the waiting connect; its completion (ERROR_OPERATION_ABORTED) still comes.
  void cancel();

 private:
  // How many instances one hand-over looks at, at most, before it returns.
  static constexpr int most_turns = 64;

  // Starts `instance` waiting (associated first unless it is already). Clients that came first are
  // handed over, and the next instance is made; one whose client came and went is disconnected and
  // waits again. After `most_turns`, the instance is kept instead.
  void start_waiting(PipeInstance instance, bool associated, Outcome& outcome);

  PipeEndpoint endpoint_;
  Associate associate_;
  HANDLE event_;  // not owned
  OVERLAPPED overlapped_{};
  std::optional<PipeInstance> waiting_;
  std::optional<PipeInstance> kept_;  // never together with waiting_
  bool kept_associated_ = false;
};

}  // namespace orvanta::pipe

// The pipe's side of the accept loop: an instance kept waiting, the clients it hands over as streams,
// and, while the name cannot be had, a new try every few seconds.
#pragma once

#include <windows.h>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "common/error.hpp"
#include "common/handle.hpp"
#include "pipe/pipe_listener.hpp"
#include "policy/client_token.hpp"
#include "server/stream.hpp"

namespace orvanta {

class PipeAcceptor {
 public:
  // How long a pipe that cannot be created waits for its next try.
  static constexpr std::chrono::milliseconds retry_pause{5000};

  // The endpoint under `name`, its instances secured for `audience`; an error only when its security
  // or its event cannot be made. Nothing listens until listen().
  [[nodiscard]] static Result<std::unique_ptr<PipeAcceptor>> make(
      std::u16string name, const pipe::PipeAudience& audience,
      std::shared_ptr<const std::vector<policy::Sid>> client_groups, pipe::PipeEndpoint::Seams seams = {});
  PipeAcceptor(const PipeAcceptor&) = delete;
  PipeAcceptor& operator=(const PipeAcceptor&) = delete;
  // A connect still waiting is cancelled, and its completion awaited, before the instance goes.
  ~PipeAcceptor();

  // Makes an instance wait; the system's error when none can be (another process holding the name
  // fails the first one with ERROR_ACCESS_DENIED). The first failure after a time of listening is
  // reported ("the pipe could not be created"), so that a name held for hours is one event, not one
  // every few seconds.
  [[nodiscard]] Result<void> listen();
  // What the wait should also wait on: the waiting connect's event, or nothing while none waits.
  [[nodiscard]] HANDLE event() const;
  // How long the wait may last before poll() is due: no limit while an instance waits, the time to
  // the next try otherwise.
  [[nodiscard]] DWORD wait_milliseconds() const;
  // The clients that have come, to be served; a new try once it is due. Never waits.
  [[nodiscard]] std::vector<std::unique_ptr<Stream>> poll();

 private:
  PipeAcceptor(pipe::PipeEndpoint endpoint, UniqueHandle event,
               std::shared_ptr<const std::vector<policy::Sid>> client_groups);
  void take(pipe::PipeListener::Outcome outcome, std::vector<std::unique_ptr<Stream>>& streams);
  void failed(const Error& error);

  UniqueHandle event_;  // declared before the listener, which signals it until its destructor's end
  pipe::PipeListener listener_;
  std::shared_ptr<const std::vector<policy::Sid>> client_groups_;
  std::vector<std::unique_ptr<Stream>> pending_;  // handed over by listen(), served by the next poll()
  std::chrono::steady_clock::time_point next_try_{};
  bool failing_ = false;  // since the last report of a failure
};

}  // namespace orvanta

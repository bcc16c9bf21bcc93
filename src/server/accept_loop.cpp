// The accept loop and the start of its worker threads.
#include "server/accept_loop.hpp"

#include <windows.h>

#include <array>
#include <atomic>
#include <chrono>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "common/error.hpp"
#include "common/handle.hpp"
#include "common/failure_log.hpp"
#include "protocol/replies.hpp"
#include "server/connection.hpp"
#include "server/orderly_close.hpp"
#include "server/request_budget.hpp"
#include "server/send_response.hpp"
#include "server/winsock.hpp"

namespace orvanta {

namespace {

constexpr SIZE_T worker_stack_reservation = 2 * 1024 * 1024;
constexpr DWORD accept_failure_pause_ms = 500;
// Only when a wait cannot be set up (no event, no event selection, a failed wait): look again after
// this long, as a plain polling loop would.
constexpr DWORD fallback_poll_ms = 150;
// How long the loop itself reads and drops what a turned-away client still sends. A few
// milliseconds: the loop must never stall on one connection.
constexpr std::chrono::milliseconds refusal_drain_patience{5};

// What the loop's workers share with it, and outlive it with.
struct Shared {
  explicit Shared(std::size_t budget_bytes) : budget(budget_bytes) {}
  RequestBudget budget;
  std::atomic<std::size_t> workers{0};  // started and not yet finished
};

// A place among the workers served at once, given back when the worker ends.
class WorkerSlot {
 public:
  explicit WorkerSlot(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) { ++shared_->workers; }
  WorkerSlot(const WorkerSlot&) = delete;
  WorkerSlot& operator=(const WorkerSlot&) = delete;
  ~WorkerSlot() { --shared_->workers; }
  [[nodiscard]] RequestBudget& budget() const { return shared_->budget; }

 private:
  std::shared_ptr<Shared> shared_;
};

// Everything a worker owns. Members are released in reverse order: the operations reference before
// the connection, as serve_connection does it, and the slot last.
struct WorkerStart {
  WorkerSlot slot;
  UniqueSocket connection;
  std::shared_ptr<Operations> operations;
  ConnectionLimits limits;
  // Set when the accepted socket could not be made non-inheritable; it is answered, not served.
  std::optional<Error> handover_failure;
};

DWORD WINAPI worker_main(LPVOID parameter) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(parameter));
  try {
    if (start->handover_failure) {
      // Like a read handle that cannot be made non-inheritable: an inheritable connection must not be
      // read from while a launch could hand it on to OpenVPN.
      (void)send_response(start->connection.get(), replies::clone_failed(*start->handover_failure));
      drain_before_close(start->connection.get(), std::chrono::milliseconds(2000));
      return 0;
    }
    serve_connection(std::move(start->connection), std::move(start->operations), start->limits,
                     &start->slot.budget());
  } catch (const std::bad_alloc&) {
    // Out of memory for this connection alone; it is closed without a reply.
  }
  return 0;
}

// Starts the worker, detached at once. On failure the start record is left with the caller.
Result<void> start_worker(std::unique_ptr<WorkerStart>& start) {
  const HANDLE thread = CreateThread(nullptr, worker_stack_reservation, worker_main, start.get(),
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) {
    return std::unexpected(Error::os(GetLastError()));
  }
  (void)start.release();  // the thread owns it now
  CloseHandle(thread);
  return {};
}

// A connection that gets no worker is answered at once and closed, on the loop's own thread. The
// socket is still in the listener's non-blocking mode, so the short send cannot hold up the loop,
// and the drain is bounded to a few milliseconds.
void refuse_connection(UniqueSocket connection, const Error& error) {
  report_failure(Failure::WorkerStart, "failed to start connection worker", error_text(error));
  (void)send_response(connection.get(), replies::worker_failed(error));
  drain_before_close(connection.get(), refusal_drain_patience);
}

// What the loop waits on: a pending connection (FD_ACCEPT on an event of its own) or the stop.
class AcceptWait {
 public:
  AcceptWait(SOCKET listener, HANDLE stop) : listener_(listener), stop_(stop) {
    // Auto-reset: a wake-up is used up by the accepts that follow it. A connection already pending
    // when the selection is made signals the event at once.
    accept_event_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (accept_event_ && WSAEventSelect(listener_, accept_event_.get(), FD_ACCEPT) == SOCKET_ERROR) {
      accept_event_.reset();
    }
  }
  AcceptWait(const AcceptWait&) = delete;
  AcceptWait& operator=(const AcceptWait&) = delete;
  ~AcceptWait() {
    if (accept_event_) {
      // The listener stays non-blocking, as the caller opened it.
      WSAEventSelect(listener_, nullptr, 0);
    }
  }

  // Until a connection may be pending or the stop comes. Accept re-arms FD_ACCEPT, even when it
  // fails with would-block, so a connection that arrives after that accept signals the event.
  // Wine was seen to drop that wake-up now and then (about one fresh service in fifty left a
  // client unaccepted while the loop waited); selecting again before each wait re-arms it for
  // certain, and costs nothing while the service is idle.
  void until_connection_or_stop() const {
    if (accept_event_ && WSAEventSelect(listener_, accept_event_.get(), FD_ACCEPT) == SOCKET_ERROR) {
      Sleep(fallback_poll_ms);  // no wake-up to wait for: look again as a polling loop would
      return;
    }
    std::array<HANDLE, 2> handles{};
    DWORD count = 0;
    if (accept_event_) {
      handles[count++] = accept_event_.get();
    }
    if (stop_ != nullptr) {
      handles[count++] = stop_;
    }
    const DWORD timeout = count == 2 ? INFINITE : fallback_poll_ms;
    if (count == 0) {
      Sleep(timeout);
      return;
    }
    if (WaitForMultipleObjects(count, handles.data(), FALSE, timeout) == WAIT_FAILED) {
      Sleep(fallback_poll_ms);  // never spin on a wait that keeps failing
    }
  }

  // The back-off after an unexpected failure, ended early by the stop.
  void pause(DWORD milliseconds) const {
    if (stop_ == nullptr || WaitForSingleObject(stop_, milliseconds) == WAIT_FAILED) {
      Sleep(milliseconds);
    }
  }

 private:
  SOCKET listener_;
  HANDLE stop_;
  UniqueHandle accept_event_;
};

}  // namespace

void run_accept_loop(SOCKET listener, ShutdownFlag& shutdown, const std::shared_ptr<Operations>& operations,
                     const ConnectionLimits& limits) {
  const AcceptWait wait(listener, shutdown.wake_event());
  const auto shared = std::make_shared<Shared>(limits.request_budget_bytes);
  while (!shutdown.is_set()) {
    const SOCKET accepted = accept(listener, nullptr, nullptr);
    if (accepted == INVALID_SOCKET) {
      if (WSAGetLastError() == WSAEWOULDBLOCK) {
        wait.until_connection_or_stop();
      } else {
        wait.pause(accept_failure_pause_ms);
      }
      continue;
    }
    UniqueSocket connection(accepted);
    try {
      // At once: accept hands back an inheritable socket on some systems even from a non-inheritable
      // listener, and a launch on another thread must not pass it on to OpenVPN.
      std::optional<Error> handover_failure;
      if (auto uninheritable = make_uninheritable(connection.get()); !uninheritable) {
        handover_failure = uninheritable.error();
      }
      // Past the cap no thread is started: the client is told at once, rather than left waiting
      // behind connections that may never send anything.
      if (shared->workers.load() >= limits.max_connections) {
        refuse_connection(std::move(connection), Error::fixed("too many connections"));
        continue;
      }
      // Made in place: the slot is neither copied nor moved, so it is given back exactly once.
      std::unique_ptr<WorkerStart> start(
          new WorkerStart{WorkerSlot(shared), std::move(connection), operations, limits, handover_failure});
      if (auto started = start_worker(start); !started) {
        refuse_connection(std::move(start->connection), started.error());
        start.reset();
        // A thread that cannot be created means the process is short of memory or handles: give the
        // system room before the next accept, as after an accept failure.
        wait.pause(accept_failure_pause_ms);
      }
    } catch (const std::bad_alloc&) {
      // No memory even to turn the connection away: it closes without a reply, and the loop gives the
      // process room before the next accept.
      wait.pause(accept_failure_pause_ms);
    }
  }
}

}  // namespace orvanta

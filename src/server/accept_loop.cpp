// The accept loop and the start of its worker threads.
#include "server/accept_loop.hpp"

#include <windows.h>

#include <array>
#include <optional>
#include <string>
#include <utility>

#include "common/error.hpp"
#include "common/handle.hpp"
#include "common/log.hpp"
#include "protocol/replies.hpp"
#include "server/connection.hpp"
#include "server/send_response.hpp"
#include "server/winsock.hpp"

namespace orvanta {

namespace {

constexpr SIZE_T worker_stack_reservation = 2 * 1024 * 1024;
constexpr DWORD accept_failure_pause_ms = 500;
// Only when a wait cannot be set up (no event, no event selection, a failed wait): look again after
// this long, as a plain polling loop would.
constexpr DWORD fallback_poll_ms = 150;

// Everything a worker owns. Members are released in reverse order: the operations reference before
// the connection, as serve_connection does it.
struct WorkerStart {
  UniqueSocket connection;
  std::shared_ptr<Operations> operations;
  ConnectionLimits limits;
  // Set when the accepted socket could not be made non-inheritable; it is answered, not served.
  std::optional<Error> handover_failure;
};

DWORD WINAPI worker_main(LPVOID parameter) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(parameter));
  if (start->handover_failure) {
    // Like a read handle that cannot be made non-inheritable: an inheritable connection must not be
    // read from while a launch could hand it on to OpenVPN.
    (void)send_response(start->connection.get(), replies::clone_failed(*start->handover_failure));
    return 0;
  }
  serve_connection(std::move(start->connection), std::move(start->operations), start->limits);
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

// A connection for which no thread could be started still gets a reply. The socket is still in the
// listener's non-blocking mode, so this short send cannot hold up the loop.
void refuse_connection(const WorkerStart& start, const Error& error) {
  log_line("failed to start connection worker", error_text(error));
  (void)send_response(start.connection.get(), replies::worker_failed(error));
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
    auto start =
        std::make_unique<WorkerStart>(WorkerStart{UniqueSocket(accepted), operations, limits, std::nullopt});
    // At once: accept hands back an inheritable socket on some systems even from a non-inheritable
    // listener, and a launch on another thread must not pass it on to OpenVPN.
    if (auto uninheritable = make_uninheritable(accepted); !uninheritable) {
      start->handover_failure = uninheritable.error();
    }
    if (auto started = start_worker(start); !started) {
      refuse_connection(*start, started.error());
      start.reset();
      // A thread that cannot be created means the process is short of memory or handles: give the
      // system room before the next accept, as after an accept failure.
      wait.pause(accept_failure_pause_ms);
    }
  }
}

}  // namespace orvanta

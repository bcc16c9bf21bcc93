// The accept loop, and the hand-over of each connection to the overlapped side.
#include "server/accept_loop.hpp"

#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "common/error.hpp"
#include "common/handle.hpp"
#include "common/failure_log.hpp"
#include "protocol/replies.hpp"
#include "server/connection_server.hpp"
#include "server/orderly_close.hpp"
#include "server/pipe_acceptor.hpp"
#include "server/send_response.hpp"
#include "server/socket_stream.hpp"
#include "server/winsock.hpp"

namespace orvanta {

namespace {

constexpr DWORD accept_failure_pause_ms = 500;
// Only when a wait cannot be set up (no event, no event selection, a failed wait): look again after
// this long, as a plain polling loop would.
constexpr DWORD fallback_poll_ms = 150;
// How long the loop itself reads and drops what a turned-away client still sends. A few
// milliseconds: the loop must never stall on one connection.
constexpr std::chrono::milliseconds refusal_drain_patience{5};

// Without an overlapped side (no port, no thread for it) a connection is answered at once and closed,
// on the loop's own thread. The socket is still in the listener's non-blocking mode, so the short send
// cannot hold up the loop, and the drain is bounded to a few milliseconds.
void refuse_connection(UniqueSocket connection, const Error& error) {
  report_failure(Failure::WorkerStart, "failed to start connection worker", error_text(error));
  (void)send_response(connection.get(), replies::worker_failed(error));
  drain_before_close(connection.get(), refusal_drain_patience);
}

// What the loop waits on: a pending connection (FD_ACCEPT on an event of its own), a client of the
// pipe, the pipe's next try, or the stop.
class AcceptWait {
 public:
  AcceptWait(SOCKET listener, HANDLE stop) : listener_(listener), stop_(stop) {
    if (listener_ == INVALID_SOCKET) {
      return;  // the port is off
    }
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
  // The pipe's event and time-out come from `pipe` (none when it is not served).
  void until_connection_or_stop(const PipeAcceptor* pipe) const {
    const bool port_on = listener_ != INVALID_SOCKET;
    if (accept_event_ && WSAEventSelect(listener_, accept_event_.get(), FD_ACCEPT) == SOCKET_ERROR) {
      Sleep(fallback_poll_ms);  // no wake-up to wait for: look again as a polling loop would
      return;
    }
    std::array<HANDLE, 3> handles{};
    DWORD count = 0;
    if (accept_event_) {
      handles[count++] = accept_event_.get();
    }
    if (stop_ != nullptr) {
      handles[count++] = stop_;
    }
    // Without its event or the stop's, the loop looks again as a polling loop would.
    DWORD timeout = (accept_event_ || !port_on) && stop_ != nullptr ? INFINITE : fallback_poll_ms;
    if (pipe != nullptr) {
      if (const HANDLE pipe_event = pipe->event(); pipe_event != nullptr) {
        handles[count++] = pipe_event;
      }
      timeout = std::min(timeout, pipe->wait_milliseconds());
    }
    if (count == 0) {
      Sleep(timeout == INFINITE ? fallback_poll_ms : timeout);
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
                     const ConnectionLimits& limits, PipeAcceptor* pipe) {
  const AcceptWait wait(listener, shutdown.wake_event());
  Result<std::shared_ptr<ConnectionServer>> server = start_connection_server(operations, limits);
  if (!server) {
    report_failure(Failure::WorkerStart, "failed to start connection worker", error_text(server.error()));
  }
  while (!shutdown.is_set()) {
    if (pipe != nullptr) {
      for (std::unique_ptr<Stream>& stream : pipe->poll()) {
        if (server) {
          (*server)->adopt(std::move(stream), std::nullopt, ConnectionServer::Endpoint::Pipe);
        } else {
          stream->close();  // nothing to answer with: the client sees its pipe end
        }
      }
    }
    if (listener == INVALID_SOCKET) {
      wait.until_connection_or_stop(pipe);
      continue;
    }
    const SOCKET accepted = accept(listener, nullptr, nullptr);
    if (accepted == INVALID_SOCKET) {
      if (WSAGetLastError() == WSAEWOULDBLOCK) {
        wait.until_connection_or_stop(pipe);
      } else {
        wait.pause(accept_failure_pause_ms);
      }
      continue;
    }
    UniqueSocket connection(accepted);
    if (!server) {
      refuse_connection(std::move(connection), server.error());
      continue;
    }
    try {
      // At once: accept hands back an inheritable socket on some systems even from a non-inheritable
      // listener, and a launch on another thread must not pass it on to OpenVPN. Such a connection
      // is answered, never read from.
      std::optional<HelperResponse> answer;
      if (auto uninheritable = make_uninheritable(connection.get()); !uninheritable) {
        answer = replies::clone_failed(uninheritable.error());
      }
      // The listener's event selection comes with the accepted socket; its reads are overlapped.
      (void)WSAEventSelect(connection.get(), nullptr, 0);
      (*server)->adopt(make_socket_stream(std::move(connection)), std::move(answer));
    } catch (const std::bad_alloc&) {
      // No memory even to take the connection in: it closes without a reply, and the loop gives the
      // process room before the next accept.
      wait.pause(accept_failure_pause_ms);
    }
  }
  if (server) {
    (*server)->close_when_idle();
  }
}

}  // namespace orvanta

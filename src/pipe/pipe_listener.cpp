// Keeping an instance of the pipe waiting, and handing over connected ones.
#include "pipe/pipe_listener.hpp"

namespace orvanta::pipe {

PipeListener::PipeListener(PipeEndpoint endpoint, Associate associate, HANDLE event)
    : endpoint_(std::move(endpoint)), associate_(std::move(associate)), event_(event) {}

PipeListener::Outcome PipeListener::listen() {
  Outcome outcome;
  if (waiting_ || kept_) {
    return outcome;
  }
  auto instance = endpoint_.create_instance();
  if (!instance) {
    outcome.failure = instance.error();
    return outcome;
  }
  start_waiting(std::move(*instance), false, outcome);
  return outcome;
}

PipeListener::Outcome PipeListener::resume() {
  Outcome outcome;
  if (kept_) {
    PipeInstance instance = std::move(*kept_);
    kept_.reset();
    start_waiting(std::move(instance), kept_associated_, outcome);
  }
  return outcome;
}

PipeListener::Outcome PipeListener::on_connect_completed(DWORD error) {
  Outcome outcome;
  if (!waiting_) {
    return outcome;
  }
  PipeInstance instance = std::move(*waiting_);
  waiting_.reset();
  if (error == ERROR_SUCCESS) {
    // Made before the hand-over: the connected instance may be closed at once.
    auto next = endpoint_.create_instance();
    if (next) {
      start_waiting(std::move(*next), false, outcome);
    } else {
      outcome.failure = next.error();
    }
    outcome.connected.insert(outcome.connected.begin(), std::move(instance));
  } else if (client_closed(error)) {
    if (const auto disconnected = instance.disconnect(); !disconnected) {
      outcome.failure = disconnected.error();
      return outcome;
    }
    start_waiting(std::move(instance), true, outcome);
  } else {
    outcome.failure = Error::os(error);  // cancelled, or the instance failed: it goes
  }
  return outcome;
}

DWORD PipeListener::connect_result() {
  DWORD transferred = 0;
  if (!waiting_) {
    return ERROR_INVALID_STATE;
  }
  return GetOverlappedResult(waiting_->handle(), &overlapped_, &transferred, FALSE) ? ERROR_SUCCESS
                                                                                    : GetLastError();
}

void PipeListener::cancel() {
  if (waiting_) {
    waiting_->cancel(overlapped_);
  }
}

void PipeListener::start_waiting(PipeInstance instance, bool associated, Outcome& outcome) {
  // Each turn hands over a client that came first, or lets go of one that came and went: it would last
  // as long as clients keep coming faster than the system can start a wait, with no look at the stop
  // and a hand-over growing without bound. So it stops after a few turns, keeping the instance it has
  // (never a moment without one, so that the name is never free for another process).
  for (int turn = 0;; ++turn) {
    if (turn == most_turns) {
      kept_.emplace(std::move(instance));
      kept_associated_ = associated;
      return;
    }
    if (!associated && associate_) {
      if (const auto done = associate_(instance.handle()); !done) {
        outcome.failure = done.error();
        return;
      }
    }
    associated = true;
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_;
    if (event_ != nullptr) {
      ResetEvent(event_);
    }
    const auto started = instance.begin_connect(overlapped_);
    if (!started) {
      outcome.failure = started.error();
      return;
    }
    switch (*started) {
      case ConnectStart::Pending:
        waiting_.emplace(std::move(instance));
        return;
      case ConnectStart::Connected: {
        auto next = endpoint_.create_instance();  // before the hand-over, as below
        outcome.connected.push_back(std::move(instance));
        if (!next) {
          outcome.failure = next.error();
          return;
        }
        instance = std::move(*next);
        associated = false;
        break;
      }
      case ConnectStart::ClientGone:
        if (const auto disconnected = instance.disconnect(); !disconnected) {
          outcome.failure = disconnected.error();
          return;
        }
        break;
    }
  }
}

}  // namespace orvanta::pipe

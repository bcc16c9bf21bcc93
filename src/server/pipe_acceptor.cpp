// Keeping the pipe listening beside the port, and turning its clients into streams.
#include "server/pipe_acceptor.hpp"

#include <utility>

#include "common/failure_log.hpp"
#include "server/pipe_stream.hpp"

namespace orvanta {

namespace {

// Long enough for a cancelled connect to complete; it normally does at once.
constexpr DWORD cancel_patience_ms = 2000;

}  // namespace

Result<std::unique_ptr<PipeAcceptor>> PipeAcceptor::make(
    std::u16string name, const pipe::PipeAudience& audience,
    std::shared_ptr<const std::vector<policy::Sid>> client_groups, pipe::PipeEndpoint::Seams seams) {
  auto endpoint = pipe::PipeEndpoint::make(std::move(name), audience, std::move(seams));
  if (!endpoint) {
    return std::unexpected(endpoint.error());
  }
  // Manual reset, as an overlapped connect's event must be; the listener resets it before each wait.
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) {
    return std::unexpected(Error::os(GetLastError()));
  }
  return std::unique_ptr<PipeAcceptor>(
      new PipeAcceptor(std::move(*endpoint), std::move(event), std::move(client_groups)));
}

PipeAcceptor::PipeAcceptor(pipe::PipeEndpoint endpoint, UniqueHandle event,
                           std::shared_ptr<const std::vector<policy::Sid>> client_groups)
    : event_(std::move(event)),
      listener_(std::move(endpoint), nullptr, event_.get()),
      client_groups_(std::move(client_groups)) {}

PipeAcceptor::~PipeAcceptor() {
  if (listener_.waiting()) {
    listener_.cancel();
    // The cancelled connect writes into the listener's OVERLAPPED when it completes.
    (void)WaitForSingleObject(event_.get(), cancel_patience_ms);
  }
}

Result<void> PipeAcceptor::listen() {
  pipe::PipeListener::Outcome outcome = listener_.listen();
  // A client that came between the create and the wait (535) is served by the next poll().
  std::optional<Error> failure = outcome.failure;
  take(std::move(outcome), pending_);
  if (failure) {
    return std::unexpected(*failure);
  }
  return {};
}

HANDLE PipeAcceptor::event() const { return listener_.waiting() ? event_.get() : nullptr; }

DWORD PipeAcceptor::wait_milliseconds() const {
  if (listener_.kept()) {
    return 0;  // the hand-over goes on at once, once the loop has looked at the stop and the port
  }
  if (listener_.waiting() || !pending_.empty()) {
    return pending_.empty() ? INFINITE : 0;
  }
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(next_try_ - std::chrono::steady_clock::now()).count();
  return left <= 0 ? 0 : static_cast<DWORD>(left);
}

std::vector<std::unique_ptr<Stream>> PipeAcceptor::poll() {
  std::vector<std::unique_ptr<Stream>> streams = std::exchange(pending_, {});
  if (listener_.kept()) {
    take(listener_.resume(), streams);
  } else if (listener_.waiting()) {
    if (WaitForSingleObject(event_.get(), 0) == WAIT_OBJECT_0) {
      take(listener_.on_connect_completed(listener_.connect_result()), streams);
    }
  } else if (std::chrono::steady_clock::now() >= next_try_) {
    take(listener_.listen(), streams);
  }
  return streams;
}

void PipeAcceptor::take(pipe::PipeListener::Outcome outcome, std::vector<std::unique_ptr<Stream>>& streams) {
  for (pipe::PipeInstance& instance : outcome.connected) {
    streams.push_back(make_pipe_stream(std::move(instance), client_groups_));
  }
  if (outcome.failure && !listener_.waiting() && !listener_.kept()) {
    failed(*outcome.failure);
  } else if (listener_.waiting() || listener_.kept()) {
    failing_ = false;
  }
}

void PipeAcceptor::failed(const Error& error) {
  next_try_ = std::chrono::steady_clock::now() + retry_pause;
  if (!failing_) {
    report_failure(Failure::PipeCreate, "the pipe could not be created", error_text(error));
  }
  failing_ = true;
}

}  // namespace orvanta

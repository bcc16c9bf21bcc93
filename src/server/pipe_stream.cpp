// Overlapped reads and writes on a connected pipe instance, and who is at its other end.
#include "server/pipe_stream.hpp"

#include <utility>

#include "pipe/caller_identity.hpp"

namespace orvanta {

namespace {

class PipeStream final : public Stream {
 public:
  PipeStream(pipe::PipeInstance instance, std::shared_ptr<const std::vector<policy::Sid>> client_groups)
      : instance_(std::move(instance)), client_groups_(std::move(client_groups)) {}

  Result<void> bind_to(HANDLE port, ULONG_PTR key) override {
    if (CreateIoCompletionPort(instance_->handle(), port, key, 0) == nullptr) {
      return std::unexpected(Error::os(GetLastError()));
    }
    return {};
  }

  Result<void> start_read(std::span<char> buffer, OVERLAPPED& overlapped) override {
    overlapped = OVERLAPPED{};
    reading_ = true;
    return started(instance_->begin_read(buffer, overlapped), overlapped);
  }

  Result<void> start_send(std::string_view bytes, OVERLAPPED& overlapped) override {
    overlapped = OVERLAPPED{};
    reading_ = false;
    return started(instance_->begin_write(bytes, overlapped), overlapped);
  }

  Result<std::size_t> outcome(OVERLAPPED& overlapped) override {
    DWORD bytes = 0;
    // A read that ends with ERROR_BROKEN_PIPE is the client's close; the line it cut short is never
    // taken for a whole one, since on a pipe only a line feed ends a line.
    if (!GetOverlappedResult(instance_->handle(), &overlapped, &bytes, FALSE)) {
      return std::unexpected(Error::os(GetLastError()));
    }
    if (reading_ && bytes == 0) {
      // An empty write of the client's; to the server a read of nothing is the end of the stream,
      // and a pipe's stream ends only with the client's close.
      return std::unexpected(Error::os(ERROR_BROKEN_PIPE));
    }
    return static_cast<std::size_t>(bytes);
  }

  Result<std::optional<pipe::PipeCaller>> caller() override {
    const std::vector<policy::Sid> none;
    auto identified =
        pipe::identify_pipe_client(instance_->handle(), client_groups_ ? *client_groups_ : none);
    if (!identified) {
      return std::unexpected(identified.error());
    }
    return pipe::PipeCaller{identified->standing, std::move(identified->account),
                            instance_->client_process_id()};
  }

  bool awaits_client_close() const override { return true; }
  bool has_unread_bytes() override { return false; }  // what comes after the reply is read to the close
  void end_sending() override {}                      // a pipe has no half-close

  void cancel() override {
    if (pending_ != nullptr) {
      instance_->cancel(*pending_);
    }
  }

  void close() override {
    if (instance_) {
      (void)instance_->disconnect();  // fails only when the client is gone already
      instance_.reset();
    }
  }

  // Letting the client go throws away whatever it has not read.
  void close_at_once() override { close(); }

 private:
  Result<void> started(const Result<pipe::TransferStart>& start, OVERLAPPED& overlapped) {
    if (!start) {
      return std::unexpected(start.error());
    }
    if (*start == pipe::TransferStart::ClientClosed) {
      return std::unexpected(Error::os(ERROR_BROKEN_PIPE));
    }
    pending_ = &overlapped;
    return {};
  }

  std::optional<pipe::PipeInstance> instance_;  // empty once closed
  std::shared_ptr<const std::vector<policy::Sid>> client_groups_;
  OVERLAPPED* pending_ = nullptr;  // the last operation started, for cancel()
  bool reading_ = false;           // whether that operation is a read
};

}  // namespace

std::unique_ptr<Stream> make_pipe_stream(pipe::PipeInstance instance,
                                         std::shared_ptr<const std::vector<policy::Sid>> client_groups) {
  return std::make_unique<PipeStream>(std::move(instance), std::move(client_groups));
}

}  // namespace orvanta

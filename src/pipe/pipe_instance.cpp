// Creating pipe instances and waiting on them for clients.
#include "pipe/pipe_instance.hpp"

#include "common/utf16.hpp"

namespace orvanta::pipe {

namespace {

// Room the system sets aside for each direction: one reading of the request line's buffer.
constexpr DWORD pipe_buffer_size = 8192;

// The same for reads and writes; an overlapped operation the system finishes at once still signals its
// event and posts its completion, so it is waited for as a pending one.
Result<TransferStart> transfer_start(BOOL done) {
  if (done) {
    return TransferStart::Pending;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) {
    return TransferStart::Pending;
  }
  if (client_closed(error)) {
    return TransferStart::ClientClosed;
  }
  return std::unexpected(Error::os(error));
}

}  // namespace

bool client_closed(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

PipeInstance& PipeInstance::operator=(PipeInstance&& other) noexcept {
  if (this != &other) {
    close();
    count_ = std::move(other.count_);
    file_ = std::move(other.file_);
  }
  return *this;
}

void PipeInstance::close() {
  if (count_) {
    const std::lock_guard lock(count_->mutex);
    file_.reset();
    --count_->open;
    count_.reset();
  }
}

Result<TransferStart> PipeInstance::begin_read(std::span<char> buffer, OVERLAPPED& overlapped) {
  return transfer_start(
      ReadFile(file_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped));
}

Result<TransferStart> PipeInstance::begin_write(std::span<const char> bytes, OVERLAPPED& overlapped) {
  return transfer_start(
      WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped));
}

Result<ConnectStart> PipeInstance::begin_connect(OVERLAPPED& overlapped) {
  // As for reads and writes, a connect the system finishes at once is waited for as a pending one.
  if (ConnectNamedPipe(file_.get(), &overlapped)) {
    return ConnectStart::Pending;
  }
  switch (const DWORD error = GetLastError()) {
    case ERROR_IO_PENDING:
      return ConnectStart::Pending;
    case ERROR_PIPE_CONNECTED:
      return ConnectStart::Connected;
    case ERROR_NO_DATA:
      return ConnectStart::ClientGone;
    default:
      return std::unexpected(Error::os(error));
  }
}

void PipeInstance::cancel(OVERLAPPED& overlapped) {
  // It fails only when nothing is pending, which is what the caller wanted.
  CancelIoEx(file_.get(), &overlapped);
}

Result<void> PipeInstance::disconnect() {
  if (!DisconnectNamedPipe(file_.get())) {
    return std::unexpected(Error::os(GetLastError()));
  }
  return {};
}

std::optional<DWORD> PipeInstance::client_process_id() const {
  ULONG pid = 0;
  return GetNamedPipeClientProcessId(file_.get(), &pid) ? std::optional<DWORD>(pid) : std::nullopt;
}

Result<PipeEndpoint> PipeEndpoint::make(std::u16string name, const PipeAudience& audience, Seams seams) {
  auto security = PipeSecurity::make(pipe_access_entries(audience));
  if (!security) {
    return std::unexpected(security.error());
  }
  return PipeEndpoint(std::move(name), std::move(*security), std::move(seams));
}

Result<PipeInstance> PipeEndpoint::create_instance() const {
  const std::lock_guard lock(count_->mutex);
  const bool first = count_->open == 0;
  if (first && seams_.name_taken && seams_.name_taken()) {
    return std::unexpected(Error::os(ERROR_ACCESS_DENIED));
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security_.descriptor(), FALSE};
  const DWORD open_mode =
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  const DWORD pipe_mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
  UniqueFile file(CreateNamedPipeW(to_wide(name_).c_str(), open_mode, pipe_mode, PIPE_UNLIMITED_INSTANCES,
                                   pipe_buffer_size, pipe_buffer_size, 0, &attributes));
  if (!file) {
    return std::unexpected(Error::os(GetLastError()));
  }
  ++count_->open;
  return PipeInstance(std::move(file), count_);
}

}  // namespace orvanta::pipe

// The service's named pipe: the endpoint that creates its instances, and one instance waiting for or
// holding a client.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "common/error.hpp"
#include "common/handle.hpp"
#include "pipe/pipe_access.hpp"
#include "pipe/pipe_security.hpp"

namespace orvanta::pipe {

inline constexpr std::u16string_view service_pipe_name = u"\\\\.\\pipe\\OrvantaVpnHelper";

// How a wait for a client began.
enum class ConnectStart {
  Pending,     // the wait completes on the caller's OVERLAPPED (its event, or a completion port)
  Connected,   // a client came before the wait (535): it is connected now, and no completion follows
  ClientGone,  // a client came and went before the wait (232): disconnect, then wait again
};

// How a read or a write began.
enum class TransferStart {
  Pending,       // it completes on the caller's OVERLAPPED, also when the system finished it at once
  ClientClosed,  // the client has closed its end: nothing more comes or goes
};

// Whether an operation's error means that the client has closed its end: ERROR_BROKEN_PIPE (109) for
// a read, ERROR_NO_DATA (232) for a write, ERROR_PIPE_NOT_CONNECTED (233) once the server end knows.
// Pipes have no half-close, so for a read this is also the client's "I am done".
[[nodiscard]] bool client_closed(DWORD error);

// One instance, overlapped, in byte mode. It owns its handle; the OVERLAPPED of each operation belongs
// to the caller, who keeps it until the operation has completed, also after cancel() or after the
// instance is closed (closing ends a pending operation, whose completion still writes to it). So a
// caller can keep handle and OVERLAPPED in one record and associate the handle with a completion port.
class PipeInstance {
 public:
  PipeInstance(PipeInstance&&) noexcept = default;
  PipeInstance& operator=(PipeInstance&& other) noexcept;
  ~PipeInstance() { close(); }

  // For ReadFile and WriteFile, and for CreateIoCompletionPort.
  [[nodiscard]] HANDLE handle() const { return file_.get(); }

  // Starts waiting for a client on `overlapped`, whose event (if any) the caller has reset.
  [[nodiscard]] Result<ConnectStart> begin_connect(OVERLAPPED& overlapped);
  // Start reading into, or writing from, memory the caller keeps until the completion; the count of
  // bytes comes with the completion.
  [[nodiscard]] Result<TransferStart> begin_read(std::span<char> buffer, OVERLAPPED& overlapped);
  [[nodiscard]] Result<TransferStart> begin_write(std::span<const char> bytes, OVERLAPPED& overlapped);
  // Ends the operation started with `overlapped`; it completes with ERROR_OPERATION_ABORTED (995)
  // unless it had completed already.
  void cancel(OVERLAPPED& overlapped);
  // Lets the client go, so that the instance can wait for the next one.
  [[nodiscard]] Result<void> disconnect();
  // The connected client's process id: a hint for events, never a ground for a decision.
  [[nodiscard]] std::optional<DWORD> client_process_id() const;

 private:
  friend class PipeEndpoint;
  // The instances of one endpoint that are open. Its mutex guards `open` and is held while an instance
  // is created or closed (neither call waits), so that "none is open" and "this is the first" agree.
  struct OpenCount {
    std::mutex mutex;
    std::size_t open = 0;
  };
  PipeInstance(UniqueFile file, std::shared_ptr<OpenCount> count)
      : count_(std::move(count)), file_(std::move(file)) {}
  void close();

  std::shared_ptr<OpenCount> count_;  // empty once moved from
  UniqueFile file_;
};

// Creates the instances of one pipe name, all with the same security.
class PipeEndpoint {
 public:
  struct Seams {
    // Consulted before the first instance is made; while it says so, that instance fails with
    // ERROR_ACCESS_DENIED, as when another process holds the name.
    std::function<bool()> name_taken;
  };
  [[nodiscard]] static Result<PipeEndpoint> make(std::u16string name, const PipeAudience& audience,
                                                 Seams seams = {});

  // Every instance rejects remote clients, so that only this machine's processes reach the service.
  // While none of this endpoint's instances is open, the new one is the first, and it asks the system
  // that no other process holds the name (FILE_FLAG_FIRST_PIPE_INSTANCE): a further instance would
  // join theirs.
  [[nodiscard]] Result<PipeInstance> create_instance() const;
  [[nodiscard]] const std::u16string& name() const { return name_; }

 private:
  PipeEndpoint(std::u16string name, PipeSecurity security, Seams seams)
      : name_(std::move(name)),
        security_(std::move(security)),
        seams_(std::move(seams)),
        count_(std::make_shared<PipeInstance::OpenCount>()) {}
  std::u16string name_;
  PipeSecurity security_;
  Seams seams_;
  std::shared_ptr<PipeInstance::OpenCount> count_;
};

}  // namespace orvanta::pipe

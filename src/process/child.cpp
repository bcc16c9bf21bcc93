// Polling, waiting for and ending a started process.
#include "process/child.hpp"

namespace orvanta {

namespace {

Result<WaitState> wait_state(HANDLE process, DWORD milliseconds) {
  switch (WaitForSingleObject(process, milliseconds)) {
    case WAIT_OBJECT_0: {
      DWORD code = 0;
      if (!GetExitCodeProcess(process, &code)) {
        return std::unexpected(Error::os(GetLastError()));
      }
      return WaitState{ExitStatus{code}};
    }
    case WAIT_TIMEOUT:
      return WaitState{StillRunning{}};
    default:
      return std::unexpected(Error::os(GetLastError()));
  }
}

}  // namespace

Child::Child(UniqueHandle process, UniqueHandle thread, UniqueHandle output)
    : process_(std::move(process)), thread_(std::move(thread)), output_(std::move(output)) {}

std::uint32_t Child::id() const { return GetProcessId(process_.get()); }

Result<WaitState> Child::try_wait() const { return wait_state(process_.get(), 0); }

Result<void> Child::kill() const {
  if (TerminateProcess(process_.get(), 1)) {
    return {};
  }
  const DWORD error = GetLastError();
  // Terminating a process that has already ended is refused with ERROR_ACCESS_DENIED; ending it was
  // the point, so a process the poll can still see is a success, whether ended or not.
  if (error == ERROR_ACCESS_DENIED && try_wait()) {
    return {};
  }
  return std::unexpected(Error::os(error));
}

Result<WaitState> Child::wait_for(DWORD milliseconds) const {
  return wait_state(process_.get(), milliseconds);
}

}  // namespace orvanta

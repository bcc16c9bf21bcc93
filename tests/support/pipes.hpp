// What the pipe tests share: pipe names of their own, a client end, and a wait that can be looked at.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "common/handle.hpp"
#include "common/utf16.hpp"

namespace orvanta::test {

// A name no other test uses, so that tests never meet each other's instances.
[[nodiscard]] inline std::u16string fresh_pipe_name() {
  static std::atomic<unsigned> counter{0};
  const std::string name =
      "\\\\.\\pipe\\orvanta-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
  return utf8_to_utf16(name);
}

// A client end opened as the client tool opens it: the server may identify, not impersonate, it.
[[nodiscard]] inline UniqueFile open_pipe_client(std::u16string_view name) {
  return UniqueFile(CreateFileW(to_wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
}

// An OVERLAPPED with a manual-reset event of its own.
class OverlappedWait {
 public:
  OverlappedWait() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    overlapped_.hEvent = event_.get();
  }
  OverlappedWait(const OverlappedWait&) = delete;
  OverlappedWait& operator=(const OverlappedWait&) = delete;

  [[nodiscard]] OVERLAPPED& overlapped() { return overlapped_; }
  [[nodiscard]] HANDLE event() const { return event_.get(); }
  [[nodiscard]] bool signalled(DWORD milliseconds = 0) const {
    return WaitForSingleObject(event_.get(), milliseconds) == WAIT_OBJECT_0;
  }
  // Waits for the operation on `handle` to end: its error code, 0 for success.
  [[nodiscard]] DWORD result(HANDLE handle) {
    DWORD transferred = 0;
    return GetOverlappedResult(handle, &overlapped_, &transferred, TRUE) ? 0 : GetLastError();
  }

 private:
  UniqueHandle event_;
  OVERLAPPED overlapped_{};
};

}  // namespace orvanta::test

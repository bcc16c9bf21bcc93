// What the pipe tests share: pipe names of their own, a client end, and a wait that can be looked at.
#pragma once

#include <windows.h>

#include <atomic>
#include <optional>
#include <string>
#include <string_view>

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

// A client end, waited for while every instance is busy (the server makes the next one only once it
// has taken in the last); empty when the pipe cannot be opened within about 5 s.
[[nodiscard]] inline UniqueFile open_pipe_client_when_free(std::u16string_view name) {
  UniqueFile client = open_pipe_client(name);
  for (int tries = 0; !client && GetLastError() == ERROR_PIPE_BUSY && tries < 50; ++tries) {
    (void)WaitNamedPipeW(to_wide(name).c_str(), 100);
    client = open_pipe_client(name);
  }
  return client;
}

// The reply on a client end, read up to its line feed.
[[nodiscard]] inline std::string read_pipe_line(HANDLE client) {
  std::string reply;
  char buffer[4096];
  DWORD read = 0;
  while (reply.find('\n') == std::string::npos && ReadFile(client, buffer, sizeof buffer, &read, nullptr) &&
         read > 0) {
    reply.append(buffer, read);
  }
  return reply;
}

// One request over the pipe as a client does it: the whole line out, the reply read up to its line
// feed, then the client's close, which the server waits for. Nothing when the pipe cannot be opened.
[[nodiscard]] inline std::optional<std::string> pipe_round_trip(std::u16string_view name,
                                                                std::string_view line) {
  const UniqueFile client = open_pipe_client_when_free(name);
  if (!client) {
    return std::nullopt;
  }
  while (!line.empty()) {
    DWORD written = 0;
    if (!WriteFile(client.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
      break;  // the server has let go; its reply may still be there to read
    }
    line.remove_prefix(written);
  }
  return read_pipe_line(client.get());
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

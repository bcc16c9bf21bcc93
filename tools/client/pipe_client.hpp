// The client's side of the service's named pipe: making sure the service is the one answering, before
// anything is sent, and one request and reply.
#pragma once

#include <windows.h>

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace orvanta::client {

inline constexpr std::wstring_view service_pipe_name = L"\\\\.\\pipe\\OrvantaVpnHelper";
inline constexpr std::string_view not_served_by_service =
    "the pipe is not served by the OrvantaVpnHelper service";

// The service's process id while the Service Control Manager reports it running, which holds the
// process, so that the id cannot pass to another; nothing when it is not installed, not running, or
// the manager cannot be asked.
[[nodiscard]] std::optional<DWORD> running_service_process_id();

// Why the pipe's server is not the service, or nothing when it is. In order:
//   1. the service is not running (no id);
//   2. the process that serves the pipe (GetNamedPipeServerProcessId) is not the service's;
//   3. the pipe's owner is neither SYSTEM nor Administrators: the service sets Administrators, and
//      anyone else who creates the pipe owns it themselves.
[[nodiscard]] std::optional<std::string> server_mismatch(HANDLE pipe, std::optional<DWORD> service_pid);

struct PipeTarget {
  std::wstring name{service_pipe_name};
  std::function<std::optional<DWORD>()> service_process_id = running_service_process_id;
};

// Opens the pipe so that its server may identify the caller but not act as it, checks the server (the
// service's id is asked after the open, so that it is the id of the process serving by then), then
// sends the line and reads one reply line. The reply, or the text of what went wrong.
[[nodiscard]] std::expected<std::string, std::string> exchange_over_pipe(std::string_view line,
                                                                         const PipeTarget& target = {});

}  // namespace orvanta::client

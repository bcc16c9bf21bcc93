// Checking the pipe's server and exchanging one request over the pipe.
#include "client/pipe_client.hpp"

#include <aclapi.h>
#include <sddl.h>

#include <chrono>

#include "common/handle.hpp"

namespace orvanta::client {

namespace {

// How long a busy pipe is waited for, in all, before giving up.
constexpr auto busy_wait = std::chrono::seconds(10);

std::string narrow(std::wstring_view text) { return std::string(text.begin(), text.end()); }

std::string with_code(std::string text, DWORD code) { return text + " (error " + std::to_string(code) + ")"; }

std::string sid_text(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) {
    return "an unreadable SID";
  }
  const UniqueLocalMemory held(text);
  return narrow(text);
}

std::expected<UniqueFile, std::string> open_pipe(const std::wstring& name) {
  const auto deadline = std::chrono::steady_clock::now() + busy_wait;
  for (;;) {
    UniqueFile pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe) {
      return pipe;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
      return std::unexpected(with_code("nothing is serving " + narrow(name), error) +
                             "; is the service running?");
    }
    if (error == ERROR_ACCESS_DENIED) {
      return std::unexpected(
          with_code(narrow(name) + " does not let this account in", error) +
          "; the service's policy lets in only SYSTEM, Administrators and its client groups");
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (error != ERROR_PIPE_BUSY || left.count() <= 0) {
      return std::unexpected(with_code("cannot open " + narrow(name), error));
    }
    // Every instance is taken: wait for one to be free, then race the other waiting clients for it.
    WaitNamedPipeW(name.c_str(), static_cast<DWORD>(left.count()));
  }
}

// Up to and with the first line feed, or what came before the server closed.
std::expected<std::string, std::string> read_reply(HANDLE pipe) {
  std::string reply;
  char buffer[4096];
  while (reply.find('\n') == std::string::npos) {
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, sizeof buffer, &got, nullptr)) {
      const DWORD error = GetLastError();
      if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
        break;
      }
      return std::unexpected(with_code("reading the reply failed", error));
    }
    if (got == 0) {
      break;
    }
    reply.append(buffer, got);
  }
  if (reply.empty()) {
    return std::unexpected("the service closed the pipe without a reply");
  }
  return reply.substr(0, reply.find('\n') + 1);
}

}  // namespace

std::optional<DWORD> running_service_process_id() {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const UniqueServiceHandle service(
      manager ? OpenServiceW(manager.get(), L"OrvantaVpnHelper", SERVICE_QUERY_STATUS) : nullptr);
  SERVICE_STATUS_PROCESS status{};
  DWORD size = 0;
  if (!service ||
      !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &size) ||
      status.dwCurrentState != SERVICE_RUNNING || status.dwProcessId == 0) {
    return std::nullopt;
  }
  return status.dwProcessId;
}

std::optional<std::string> server_mismatch(HANDLE pipe, std::optional<DWORD> service_pid) {
  if (!service_pid) {
    return "the service is not running";
  }
  ULONG server_pid = 0;
  if (!GetNamedPipeServerProcessId(pipe, &server_pid)) {
    return with_code("its server process cannot be told", GetLastError());
  }
  if (server_pid != *service_pid) {
    return "it is served by process " + std::to_string(server_pid) + ", the service is process " +
           std::to_string(*service_pid);
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  const DWORD status = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                       nullptr, nullptr, &security);
  if (status != ERROR_SUCCESS) {
    return with_code("its owner cannot be read", status);
  }
  const UniqueLocalMemory held(security);
  if (!IsWellKnownSid(owner, WinLocalSystemSid) && !IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
    return "it is owned by " + sid_text(owner) + ", not by SYSTEM or Administrators";
  }
  return std::nullopt;
}

std::expected<std::string, std::string> exchange_over_pipe(std::string_view line, const PipeTarget& target) {
  auto pipe = open_pipe(target.name);
  if (!pipe) {
    return std::unexpected(pipe.error());
  }
  if (const auto mismatch = server_mismatch(pipe->get(), target.service_process_id())) {
    return std::unexpected(std::string(not_served_by_service) + ": " + *mismatch);
  }
  for (std::size_t sent = 0; sent < line.size();) {
    DWORD written = 0;
    if (!WriteFile(pipe->get(), line.data() + sent, static_cast<DWORD>(line.size() - sent), &written,
                   nullptr)) {
      return std::unexpected(with_code("sending on the pipe failed", GetLastError()));
    }
    sent += written;
  }
  // Closing the pipe once the reply line is in (as the owner goes) is what lets the service disconnect.
  return read_reply(pipe->get());
}

}  // namespace orvanta::client

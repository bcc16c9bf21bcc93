// The service's reports of its state to the Service Control Manager.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <variant>

#include "common/error.hpp"

namespace orvanta {

struct Win32ExitCode {
  std::uint32_t code = 0;
};
struct ServiceSpecificExitCode {
  std::uint32_t code = 0;
};
using ServiceExitCode = std::variant<Win32ExitCode, ServiceSpecificExitCode>;

struct StatusReport {
  std::uint32_t service_type = SERVICE_WIN32_OWN_PROCESS;
  std::uint32_t current_state = SERVICE_STOPPED;
  std::uint32_t controls_accepted = 0;
  ServiceExitCode exit_code = Win32ExitCode{0};
  std::uint32_t checkpoint = 0;
  std::chrono::nanoseconds wait_hint{0};
};

// Own-process service, running, accepting stop and shutdown.
[[nodiscard]] StatusReport running_report();
// Own-process service, stopping, accepting nothing, done within the wait hint.
[[nodiscard]] StatusReport stop_pending_report(std::chrono::milliseconds wait_hint);
// Own-process service, stopped, accepting nothing, with the given exit code (NO_ERROR on a normal stop).
[[nodiscard]] StatusReport stopped_report(ServiceExitCode exit_code = Win32ExitCode{0});

// The exit code that names a failure: its system code when it has one, otherwise a code of our own.
[[nodiscard]] ServiceExitCode exit_code_for(const Error& error);

[[nodiscard]] SERVICE_STATUS to_service_status(const StatusReport& report);

// One SetServiceStatus call, no retry. A failure is "IO error in winapi call".
[[nodiscard]] Result<void> report_service_status(SERVICE_STATUS_HANDLE handle, const StatusReport& report);

// The text by which every failed call into the Service Control Manager is shown.
inline constexpr const char* winapi_io_error = "IO error in winapi call";

}  // namespace orvanta

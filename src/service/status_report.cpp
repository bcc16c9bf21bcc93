// Conversion of status records to SERVICE_STATUS, and the report itself.
#include "service/status_report.hpp"

namespace orvanta {

StatusReport running_report() {
  StatusReport report;
  report.current_state = SERVICE_RUNNING;
  // Preshutdown gives OpenVPN time to undo its routes before the system goes down; nothing is
  // configured for it, so the system's default of 10 s applies.
  report.controls_accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
  return report;
}

StatusReport stop_pending_report(std::chrono::milliseconds wait_hint) {
  StatusReport report;
  report.current_state = SERVICE_STOP_PENDING;
  report.checkpoint = 1;
  report.wait_hint = wait_hint;
  return report;
}

StatusReport stopped_report(ServiceExitCode exit_code) {
  StatusReport report;
  report.current_state = SERVICE_STOPPED;
  report.exit_code = exit_code;
  return report;
}

ServiceExitCode exit_code_for(const Error& error) {
  if (error.is_os() && error.os_code() != 0) {
    return Win32ExitCode{error.os_code()};
  }
  // Failures without a system code have no Win32 code to name them; one service-specific code
  // tells an administrator that the service could not serve.
  return ServiceSpecificExitCode{1};
}

SERVICE_STATUS to_service_status(const StatusReport& report) {
  SERVICE_STATUS status{};
  status.dwServiceType = report.service_type;
  status.dwCurrentState = report.current_state;
  status.dwControlsAccepted = report.controls_accepted;
  if (const auto* win32 = std::get_if<Win32ExitCode>(&report.exit_code)) {
    status.dwWin32ExitCode = win32->code;
    status.dwServiceSpecificExitCode = 0;
  } else {
    status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = std::get<ServiceSpecificExitCode>(report.exit_code).code;
  }
  status.dwCheckPoint = report.checkpoint;
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(report.wait_hint).count();
  status.dwWaitHint = static_cast<DWORD>(millis);
  return status;
}

Result<void> report_service_status(SERVICE_STATUS_HANDLE handle, const StatusReport& report) {
  SERVICE_STATUS status = to_service_status(report);
  if (!SetServiceStatus(handle, &status)) {
    return std::unexpected(Error::fixed(winapi_io_error));
  }
  return {};
}

}  // namespace orvanta

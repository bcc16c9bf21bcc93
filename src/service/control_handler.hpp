// Registration of the control handler, and the handler that turns a stop into the shutdown flag.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "common/error.hpp"
#include "service/shutdown_flag.hpp"

namespace orvanta {

class HelperState;

// What the handler reaches the service through. The system may call the handler until the process
// ends, so whoever registers keeps this alive until the dispatcher has returned.
struct ControlContext {
  std::shared_ptr<ShutdownFlag> shutdown;
  std::shared_ptr<HelperState> state;
};

// Stop and shutdown: set the flag, stop OpenVPN, 0. Interrogate: 0 and nothing else. Anything
// else: ERROR_CALL_NOT_IMPLEMENTED.
DWORD WINAPI control_handler(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);

struct ControlRegistration {
  SERVICE_STATUS_HANDLE status_handle = nullptr;  // never closed
  std::unique_ptr<ControlContext> context;
};

[[nodiscard]] Result<ControlRegistration> register_control_handler(const std::wstring& service_name,
                                                                   std::shared_ptr<ShutdownFlag> shutdown,
                                                                   std::shared_ptr<HelperState> state);

}  // namespace orvanta

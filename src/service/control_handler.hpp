// Registration of the control handler, and the handler that turns a stop into the shutdown flag.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "common/error.hpp"
#include "service/shutdown_flag.hpp"
#include "service/status_report.hpp"

namespace orvanta {

class HelperState;

// How long a stop may take from the control to the stopped report. The system gives a service 20 s
// at shutdown, and 30 s for a stop; the waits of a stop end by `stop_work_budget`, and what is still
// under way then gets `stop_grace` to notice.
inline constexpr std::chrono::milliseconds stop_work_budget{15'000};
inline constexpr std::chrono::milliseconds stop_grace{2'000};
inline constexpr std::chrono::milliseconds stop_wait_hint{20'000};
// How long OpenVPN is given to end by itself, through its exit event, before it is forced: on a stop,
// within the budget above; in preshutdown, within the 10 s the system gives by default, so that its
// budget is shorter and everything is over in 9 s. A plain shutdown forces at once, as a system that
// sends it gives no time to spare.
inline constexpr std::chrono::milliseconds stop_openvpn_grace{5'000};
inline constexpr std::chrono::milliseconds preshutdown_openvpn_grace{3'000};
inline constexpr std::chrono::milliseconds preshutdown_work_budget{7'000};
inline constexpr std::chrono::milliseconds shutdown_openvpn_grace{0};

// What the handler reaches the service through. The system may call the handler until the process
// ends, so whoever registers keeps this alive until the dispatcher has returned.
struct ControlContext {
  std::shared_ptr<ShutdownFlag> shutdown;
  std::shared_ptr<HelperState> state;
  // Set by the registration as soon as the system has given it.
  std::atomic<SERVICE_STATUS_HANDLE> status_handle{nullptr};
  // How the handler reports; tests put a recorder here.
  std::function<Result<void>(SERVICE_STATUS_HANDLE, const StatusReport&)> report = report_service_status;
};

// Stop, preshutdown and shutdown: tell the state that no OpenVPN may be launched any more, with the
// deadline and grace of that kind of stop, report stop-pending, set the flag and return 0 at once; the
// service main does the stop itself, so that nothing the stop waits for can hold the handler, and with it
// every later control, hostage. A stop after the first changes nothing. Interrogate: 0 and nothing else.
// Anything else: ERROR_CALL_NOT_IMPLEMENTED.
DWORD WINAPI control_handler(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);

struct ControlRegistration {
  SERVICE_STATUS_HANDLE status_handle = nullptr;  // never closed
  std::unique_ptr<ControlContext> context;
};

[[nodiscard]] Result<ControlRegistration> register_control_handler(const std::wstring& service_name,
                                                                   std::shared_ptr<ShutdownFlag> shutdown,
                                                                   std::shared_ptr<HelperState> state);

}  // namespace orvanta

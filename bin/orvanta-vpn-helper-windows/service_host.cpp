// The service main: creates what lives for the whole run, wires it together, serves until a stop.
#include "service_host.hpp"

#include <windows.h>

#include <memory>
#include <optional>
#include <vector>

#include "common/failure_log.hpp"
#include "server/accept_loop.hpp"
#include "server/listener.hpp"
#include "server/service_endpoints.hpp"
#include "service/control_handler.hpp"
#include "service/shutdown_flag.hpp"
#include "service/status_report.hpp"
#include "policy/access_policy.hpp"
#include "policy/policy_values.hpp"
#include "vpn/helper_operations.hpp"
#include "vpn/helper_state.hpp"
#include "vpn/registry_run_store.hpp"

namespace orvanta {

namespace {

// The control handler's context. The system may call the handler from registration until the
// dispatcher returns (an interrogate after the stopped report, say), which is after the service
// main has returned, so the context belongs to the process, not to the service main.
std::unique_ptr<ControlContext> control_context;

// A service whose status cannot be reported at all cannot tell the system it stopped; ending the
// process is the only signal left, and lets the service's recovery actions run.
[[noreturn]] void end_unreportable_service() {
  constexpr UINT could_not_report = 1;
  ExitProcess(could_not_report);
}

// The start parameters the system passes are accepted and deliberately not used: the service reads
// no configuration from them.
void WINAPI service_main(DWORD, LPWSTR*) {
  auto state = std::make_shared<HelperState>(nullptr, std::make_shared<RegistryRunStore>());
  auto shutdown = std::make_shared<ShutdownFlag>();

  auto registration = register_control_handler(service_name, shutdown, state);
  if (!registration) {
    report_failure(Failure::Registration, "service failed", error_text(registration.error()));
    end_unreportable_service();
  }
  const SERVICE_STATUS_HANDLE status_handle = registration->status_handle;
  control_context = std::move(registration->context);

  if (auto running = report_service_status(status_handle, running_report()); !running) {
    report_failure(Failure::StatusReport, "service failed", error_text(running.error()));
    if (!report_service_status(status_handle, stopped_report(exit_code_for(running.error())))) {
      end_unreportable_service();
    }
    return;
  }

  // Who may command the service is decided now, for the whole run, before any client can connect;
  // what a connect may launch is read anew for every connect.
  const auto policy = std::make_shared<policy::AccessPolicy>(policy::read_client_policy());

  // Report stopped with a failure's code so that the system shows why and the recovery actions can
  // act, instead of a running service that serves nothing and can never stop.
  const auto stop_for = [&](const Error& error) {
    policy->withdraw_token();
    if (!report_service_status(status_handle, stopped_report(exit_code_for(error)))) {
      end_unreportable_service();
    }
  };

  auto endpoints = open_service_endpoints(*policy);
  if (!endpoints) {
    stop_for(endpoints.error());
    return;
  }

  // Only once the endpoints are this service's: a start that fails before this point leaves a running
  // OpenVPN and its record as they are, so that whoever holds the port cannot drop the user's tunnel
  // by making a start fail.
  state->adopt_recorded();

  run_accept_loop(endpoints->listener.get(), *shutdown, std::make_shared<HelperOperations>(state, policy),
                  ConnectionLimits{}, endpoints->pipe.get());

  // The control handler has asked for the stop and returned; the stop itself is done here, reported
  // as pending, and bounded: every wait of a stop, the hanging taskkill of one included, ends by the
  // deadline the handler set, so that the stopped report comes within the time the system allows.
  const HelperState::Clock::time_point stop_deadline = HelperState::Clock::now() + stop_work_budget;
  // Already begun by the handler; its deadline and grace stand.
  state->begin_shutdown(stop_deadline, stop_openvpn_grace);
  (void)report_service_status(status_handle, stop_pending_report(stop_wait_hint));
  // No connect can launch any more, but one may have recorded an OpenVPN before the stop was asked
  // for: this stop ends it. Then whatever connect or stop is still under way (a connect that was
  // launching ends its own OpenVPN) is given the rest of the time.
  state->stop_openvpn(state->shutdown_grace());
  (void)state->wait_until_idle(stop_deadline + stop_grace);
  policy->withdraw_token();
  const auto stopped = report_service_status(status_handle, stopped_report());
  endpoints->pipe.reset();
  endpoints->listener.reset();
  state.reset();
  shutdown.reset();
  if (!stopped) {
    report_failure(Failure::StatusReport, "service failed", error_text(stopped.error()));
    end_unreportable_service();
  }
}

}  // namespace

bool run_service_dispatcher() {
  static wchar_t name[] = L"OrvantaVpnHelper";
  SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
  const bool dispatched = StartServiceCtrlDispatcherW(table) != FALSE;
  control_context.reset();
  return dispatched;
}

}  // namespace orvanta

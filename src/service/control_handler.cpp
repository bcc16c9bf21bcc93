// The control handler, run by the system on the dispatcher's thread, one call at a time.
#include "service/control_handler.hpp"

#include "vpn/helper_state.hpp"

namespace orvanta {

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID context) {
  auto* ctx = static_cast<ControlContext*>(context);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN: {
      // Only the handler sets the flag, so a set flag means the stop is under way and reported; a
      // report from here could now come after the stopped one.
      if (ctx->shutdown->is_set()) {
        return NO_ERROR;
      }
      // The state first, so that no connect can launch once the stop has been asked for. Then the
      // report, and only then the flag, which wakes the service main: the main's stopped report must
      // come after this one, or the system would be left waiting on a stop-pending service whose
      // process has ended.
      const bool preshutdown = control == SERVICE_CONTROL_PRESHUTDOWN;
      ctx->state->begin_shutdown(
          HelperState::Clock::now() + (preshutdown ? preshutdown_work_budget : stop_work_budget),
          preshutdown                           ? preshutdown_openvpn_grace
          : control == SERVICE_CONTROL_SHUTDOWN ? shutdown_openvpn_grace
                                                : stop_openvpn_grace);
      if (const SERVICE_STATUS_HANDLE handle = ctx->status_handle.load(); handle != nullptr) {
        // Should this report fail, the service main's reports still follow.
        (void)ctx->report(handle, stop_pending_report(stop_wait_hint));
      }
      ctx->shutdown->set();
      return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
      // No report: the system answers with the state last reported.
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

Result<ControlRegistration> register_control_handler(const std::wstring& service_name,
                                                     std::shared_ptr<ShutdownFlag> shutdown,
                                                     std::shared_ptr<HelperState> state) {
  auto context = std::make_unique<ControlContext>();
  context->shutdown = std::move(shutdown);
  context->state = std::move(state);
  SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerExW(service_name.c_str(), control_handler, context.get());
  if (handle == nullptr) {
    return std::unexpected(Error::fixed(winapi_io_error));
  }
  context->status_handle = handle;
  return ControlRegistration{handle, std::move(context)};
}

}  // namespace orvanta

// The service main and the dispatch table that names it.
#pragma once

namespace orvanta {

inline constexpr wchar_t service_name[] = L"OrvantaVpnHelper";

// Runs StartServiceCtrlDispatcherW with the service's table; returns once the service has stopped,
// or false at once when the process was not started by the Service Control Manager.
[[nodiscard]] bool run_service_dispatcher();

}  // namespace orvanta

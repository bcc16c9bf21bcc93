// bench_null_service: a service that does nothing but run until it is stopped. `make bench` measures
// its idle memory beside the bare server and ours: what being a service at all costs, so that what
// our service adds on top can be told apart.
#include <windows.h>

namespace {

// The name `make bench` registers it under.
wchar_t service_name[] = L"OrvantaBenchNullService";
SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_requested = nullptr;

void report(DWORD state, DWORD controls) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = controls;
  SetServiceStatus(status_handle, &status);
}

DWORD WINAPI handle_control(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    SetEvent(stop_requested);
  }
  return NO_ERROR;
}

void WINAPI service_main(DWORD, LPWSTR*) {
  status_handle = RegisterServiceCtrlHandlerExW(service_name, handle_control, nullptr);
  if (status_handle == nullptr) {
    return;
  }
  report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
  WaitForSingleObject(stop_requested, INFINITE);
  report(SERVICE_STOPPED, 0);
}

}  // namespace

int main() {
  stop_requested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYW table[] = {{service_name, service_main}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

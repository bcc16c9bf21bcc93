// The process entry: hands the main thread to the Service Control Manager for the whole run.
#include <windows.h>

#include "common/log.hpp"
#include "service_host.hpp"
#include "service/status_report.hpp"

int main() {
  // The program never reads its command line: it is only ever meant to be started as a service.
  if (!orvanta::run_service_dispatcher()) {
    orvanta::log_line("service dispatcher failed", orvanta::winapi_io_error);
  }
  return 0;
}

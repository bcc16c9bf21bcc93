// The process entry: hands the main thread to the Service Control Manager for the whole run.
#include <windows.h>

#include <memory>

#include "common/failure_log.hpp"
#include "service/event_log.hpp"
#include "service/status_report.hpp"
#include "service_host.hpp"

int main() {
  // Failures go to the Application log as well as to standard error, which a service does not have.
  orvanta::set_failure_sink(std::make_shared<orvanta::EventLogSink>());
  // The program never reads its command line: it is only ever meant to be started as a service.
  if (!orvanta::run_service_dispatcher()) {
    orvanta::report_failure(orvanta::Failure::Dispatcher, "service dispatcher failed",
                            orvanta::winapi_io_error);
  }
  return 0;
}

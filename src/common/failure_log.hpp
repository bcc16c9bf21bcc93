// The service's own failures: each written as a log line on standard error and handed to a sink (the
// Windows Event Log in the service), both at most once a second of each kind, with a count.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace orvanta {

// One kind for each failure the service reports. Clients cannot choose which of these happen, and
// the rate limit keeps them from making any of them frequent in a log.
enum class Failure {
  Dispatcher,      // the process was not started by the Service Control Manager
  Registration,    // the control handler could not be registered
  StatusReport,    // a status could not be reported
  Winsock,         // Winsock could not be started
  Bind,            // the listening address could not be bound
  ListenerMode,    // the listener could not be made non-blocking
  WorkerStart,     // a connection could not be given a worker
  PolicyRefusal,   // the administrator's policy refused a request (a warning, not a failure)
  PolicyUnusable,  // the administrator's policy cannot be applied, so every command is refused
  // some of the three path lists are set, not all, so every connect is refused
  PolicyIncomplete,
  RunRecord,            // the OpenVPN record that outlives the process could not be written, read or cleared
  PipeCreate,           // the pipe could not be created; tried again every few seconds
  TcpEndpointUnusable,  // the TcpEndpoint policy value cannot be used, so the port stays off
  TokenKept,            // the old client token is held open by another process and stays (a warning)
};
inline constexpr std::size_t failure_kinds = 14;

// Receives every failure report that gets past the rate limit.
class FailureSink {
 public:
  virtual ~FailureSink() = default;
  // `detail` is the error text, with the count of held-back reports when there were any.
  virtual void report(Failure kind, std::string_view detail) = 0;
};

// The sink for the whole process (none when not set). Set before the reports it is to receive; a new
// sink starts with nothing held back, so that it hears the first report of every kind.
void set_failure_sink(std::shared_ptr<FailureSink> sink);

// Writes "[orvanta-vpn-helper-windows] {description}: {detail}" and hands the detail to the sink,
// unless a report of this kind went out less than a second ago; the next one that goes out then says
// how many it stands for.
void report_failure(Failure kind, std::string_view description, std::string_view detail);

}  // namespace orvanta

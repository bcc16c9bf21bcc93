// bench_endpoint_latency: status round trips to the running service over its pipe and over its port,
// from one Windows process, taking turns request by request so that both meet the same load. The pipe
// goes the client tool's own way (its server checks included); the port as the client tool talks to it.
// Usage: bench_endpoint_latency [REQUESTS]
#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "service_client.hpp"
#include "client/pipe_client.hpp"

namespace {

using Clock = std::chrono::steady_clock;
const std::string status_line = "{\"cmd\":\"status\"}\n";

// Connect, the line, the reply up to the service's close; nothing on any failure.
std::optional<Clock::duration> over_port() {
  const Clock::time_point start = Clock::now();
  if (!orvanta::bench::exchange(status_line).value_or("").ends_with('\n')) {
    return std::nullopt;
  }
  return Clock::now() - start;
}

std::optional<Clock::duration> over_pipe() {
  const Clock::time_point start = Clock::now();
  if (!orvanta::client::exchange_over_pipe(status_line)) {
    return std::nullopt;
  }
  return Clock::now() - start;
}

void print(const char* name, std::vector<Clock::duration> times, int failures) {
  if (times.empty()) {
    std::printf("  %-6s no round trip succeeded (%d failed)\n", name, failures);
    return;
  }
  std::sort(times.begin(), times.end());
  const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  std::printf("  %-6s median %.2f ms, p99 %.2f ms over %zu round trips, %d failed\n", name,
              ms(times[times.size() / 2]), ms(times[times.size() * 99 / 100]), times.size(), failures);
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    std::fprintf(stderr, "bench_endpoint_latency: no Winsock\n");
    return 1;
  }
  std::vector<Clock::duration> pipe_times, port_times;
  int pipe_failures = 0, port_failures = 0;
  for (int i = 0; i < requests; ++i) {
    if (const auto t = over_pipe()) {
      pipe_times.push_back(*t);
    } else {
      ++pipe_failures;
    }
    if (const auto t = over_port()) {
      port_times.push_back(*t);
    } else {
      ++port_failures;
    }
  }
  std::printf("status from one Windows client, taking turns:\n");
  print("pipe", pipe_times, pipe_failures);
  print("port", port_times, port_failures);
  WSACleanup();
  return pipe_times.empty() || port_times.empty() ? 1 : 0;
}

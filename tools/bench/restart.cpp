// bench_restart SERVICE STANDIN WORK [ROUNDS]: how long the running service SERVICE (on
// 127.0.0.1:49877) takes from its start to the first answered status, with an OpenVPN to adopt and
// without; the median of ROUNDS (20) starts of each kind, and their difference. For `make bench`,
// under Wine. Each round ends the service's process as a crash would, so that both kinds of start
// follow the same end: one with STANDIN left running as a recorded OpenVPN, one with nothing recorded.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "service_client.hpp"
#include "common/handle.hpp"
#include "support/files.hpp"
#include "support/polling.hpp"
#include "support/text.hpp"

namespace {

using orvanta::UniqueHandle;
using orvanta::bench::exchange;
using orvanta::bench::state_of;
using orvanta::test::eventually;
using orvanta::test::utf8;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double target_ms = 50;

bool kill_service(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed)) {
    return false;
  }
  const UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
  // Wine 8 goes on reporting a killed service running, but starts it again all the same: so the end of
  // the process is what is waited for.
  return process && TerminateProcess(process.get(), 9) &&
         WaitForSingleObject(process.get(), 10000) == WAIT_OBJECT_0;
}

// From the start to the first answered status, in milliseconds, and that answer.
std::optional<std::pair<double, std::string>> timed_start(SC_HANDLE service) {
  // Windows may take a moment to see the killed process go; until then the start is refused.
  Clock::time_point asked = Clock::now();
  if (!eventually(
          [&] {
            asked = Clock::now();
            return StartServiceW(service, 0, nullptr) || GetLastError() != ERROR_SERVICE_ALREADY_RUNNING;
          },
          10s) ||
      state_of(service) == SERVICE_STOPPED) {
    return std::nullopt;
  }
  std::optional<std::string> answer;
  if (!eventually([&] { return !(answer = exchange("{\"cmd\":\"status\"}\n")).value_or("").empty(); }, 30s)) {
    return std::nullopt;
  }
  return std::pair{std::chrono::duration<double, std::milli>(Clock::now() - asked).count(), *answer};
}

double median(std::vector<double> values) {
  std::ranges::sort(values);
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4 && argc != 5) {
    std::fputs("usage: bench_restart SERVICE STANDIN WORK [ROUNDS]\n", stderr);
    return 2;
  }
  const std::wstring standin = argv[2];
  const std::wstring work = argv[3];
  const int rounds = argc == 5 ? std::max(1, _wtoi(argv[4])) : 20;
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    return 1;
  }
  const orvanta::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const orvanta::UniqueServiceHandle service(
      manager ? OpenServiceW(manager.get(), argv[1], SERVICE_ALL_ACCESS) : nullptr);
  if (!service || state_of(service.get()) != SERVICE_RUNNING) {
    std::fprintf(stderr, "bench_restart: the service is not running (%lu)\n", GetLastError());
    return 1;
  }
  const std::wstring plan = work + L"\\openvpn.plan";
  const std::wstring pid_out = work + L"\\openvpn.pid";
  if (!orvanta::test::write_file(plan, "pid_out=" + utf8(pid_out) + "\n")) {
    std::fputs("bench_restart: cannot write the plan\n", stderr);
    return 1;
  }
  const std::string connect = "{\"cmd\":\"connect\",\"openvpn\":\"" +
                              orvanta::test::json_escaped(utf8(standin)) + "\",\"config\":\"" +
                              orvanta::test::json_escaped(utf8(plan)) + "\",\"auth\":\"a\",\"log\":\"l\"}\n";

  std::vector<double> with_record;
  std::vector<double> without;
  int wrong = 0;
  // The two kinds take turns, so that a machine that slows down meanwhile slows both alike.
  for (int round = 0; round < 2 * rounds; ++round) {
    const bool adopting = round % 2 == 0;
    DeleteFileW(pid_out.c_str());
    const auto prepared = exchange(adopting ? connect : "{\"cmd\":\"disconnect\"}\n");
    // A stand-in that is still starting up would slow the next start down on a busy machine, and
    // be counted as the cost of adopting it.
    const bool settled =
        !adopting || eventually([&] { return !orvanta::test::read_file(pid_out).value_or("").empty(); }, 20s);
    Sleep(200);
    if (prepared.value_or("").empty() || !settled || !kill_service(service.get())) {
      std::fprintf(stderr, "bench_restart: round %d could not be prepared: %s\n", round,
                   prepared.value_or("(no reply)").c_str());
      return 1;
    }
    const auto started = timed_start(service.get());
    if (!started) {
      std::fprintf(stderr, "bench_restart: the service did not serve again (%lu)\n", GetLastError());
      return 1;
    }
    const bool reported_running = started->second.find("\"running\"") != std::string::npos;
    wrong += reported_running != adopting ? 1 : 0;
    (adopting ? with_record : without).push_back(started->first);
  }
  (void)exchange("{\"cmd\":\"disconnect\"}\n");

  const double adopting_ms = median(with_record);
  const double plain_ms = median(without);
  const double cost = adopting_ms - plain_ms;
  std::printf("start to first answered status, median of %d starts after the process was killed:\n", rounds);
  std::printf("  with an OpenVPN to adopt: %.1f ms\n", adopting_ms);
  std::printf("  with nothing recorded:    %.1f ms\n", plain_ms);
  std::printf("  adoption costs %.1f ms (target <= %.0f ms): %s\n", cost, target_ms,
              cost <= target_ms ? "met" : "NOT met");
  if (wrong > 0) {
    std::printf("  %d starts answered other than running with a record and stopped without: NOT met\n",
                wrong);
  }
  return 0;
}

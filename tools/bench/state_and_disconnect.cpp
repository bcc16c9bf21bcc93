// bench_state_and_disconnect STANDIN WORK: what `state` costs beside `status` while OpenVPN's log grows
// past 50 MiB, and how long a `disconnect` takes when OpenVPN ends on its exit event and when it has to
// be forced. For `make bench`, under Wine, against the running service on 127.0.0.1:49877.
//   1. A connect launches STANDIN as OpenVPN, which fills its log with 50 MiB and then adds a line
//      every 10 ms. Once the log holds 50 MiB, `status` and `state` take turns, each on a connection of
//      its own, 200 of each at most and for 60 s at most; the medians and their difference are printed.
//   2. Disconnects, each timed from its connection to its reply: of a stand-in that ends as soon as its
//      exit event is set, and of one that ignores it, which is forced once the grace has passed.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "service_client.hpp"
#include "support/files.hpp"
#include "support/polling.hpp"
#include "support/text.hpp"
#include "support/watched_process.hpp"

namespace {

using orvanta::bench::exchange;
using orvanta::test::eventually;
using orvanta::test::read_file;
using orvanta::test::utf8;
using orvanta::test::Watched;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint64_t log_bytes = 50ull * 1024 * 1024;
constexpr int requests_each = 200;
constexpr auto requests_limit = 60s;
constexpr double state_target_ms = 1.0;
constexpr int graceful_rounds = 5;
constexpr int forced_rounds = 3;
// What the service gives OpenVPN to end by itself on a disconnect before it forces the end; a forced
// disconnect's figure includes it whole.
constexpr double disconnect_grace_s = 5.0;
// The exit code the job gives the processes it ends; OpenVPN that ends on its event exits with 0.
constexpr DWORD forced_exit_code = 1;

std::string json_string(const std::wstring& text) {
  return "\"" + orvanta::test::json_escaped(utf8(text)) + "\"";
}

double median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::ranges::sort(values);
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::uint64_t size_of(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    return 0;
  }
  return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

bool ok(const std::optional<std::string>& reply) { return reply && reply->starts_with("{\"ok\":true"); }

// One request on a connection of its own: the reply and the time from the connection to its last byte.
struct Timed {
  std::optional<std::string> reply;
  double ms;
};

Timed timed(const std::string& line) {
  const Clock::time_point began = Clock::now();
  std::optional<std::string> reply = exchange(line);
  return {std::move(reply), std::chrono::duration<double, std::milli>(Clock::now() - began).count()};
}

class Bench {
 public:
  Bench(std::wstring standin, std::wstring work) : standin_(std::move(standin)), work_(std::move(work)) {}

  // Launches the stand-in with the plan's lines (after its pid_out) and waits for it to have run them;
  // the process, watched, or nothing.
  std::optional<Watched> connect(const std::wstring& name, const std::string& plan_lines,
                                 std::chrono::seconds limit) {
    const std::wstring plan = work_ + L"\\" + name + L".plan";
    const std::wstring pid_out = work_ + L"\\" + name + L".pid";
    const std::wstring log = work_ + L"\\" + name + L".log";
    DeleteFileW(pid_out.c_str());
    DeleteFileW(log.c_str());
    if (!orvanta::test::write_file(plan, plan_lines + "pid_out=" + utf8(pid_out) + "\n")) {
      std::fprintf(stderr, "bench_state_and_disconnect: cannot write %s\n", utf8(plan).c_str());
      return std::nullopt;
    }
    const auto reply = exchange(
        "{\"cmd\":\"connect\",\"openvpn\":" + json_string(standin_) + ",\"config\":" + json_string(plan) +
        ",\"auth\":" + json_string(work_ + L"\\auth.txt") + ",\"log\":" + json_string(log) + "}\n");
    if (!ok(reply) || !eventually([&] { return !read_file(pid_out).value_or("").empty(); }, limit)) {
      std::fprintf(stderr, "bench_state_and_disconnect: the connect of %s launched nothing that ran: %s\n",
                   utf8(name).c_str(), reply.value_or("(no reply)").c_str());
      return std::nullopt;
    }
    return Watched(std::stoul(*read_file(pid_out)));
  }

  [[nodiscard]] std::wstring log_of(const std::wstring& name) const { return work_ + L"\\" + name + L".log"; }

 private:
  std::wstring standin_;
  std::wstring work_;
};

bool state_beside_status(Bench& bench) {
  // The whole log is written before the stand-in reports its id, and lines follow from then on.
  const std::optional<Watched> openvpn = bench.connect(
      L"state", "log_fill_bytes=" + std::to_string(log_bytes) + "\nlog_line_every_ms=10\n", 180s);
  const std::wstring log = bench.log_of(L"state");
  if (!openvpn || !eventually([&] { return size_of(log) >= log_bytes; }, 30s)) {
    std::fprintf(stderr, "bench_state_and_disconnect: the log never reached %llu bytes (%llu)\n",
                 static_cast<unsigned long long>(log_bytes), static_cast<unsigned long long>(size_of(log)));
    return false;
  }
  // The first `state` after the log has grown by 50 MiB reads its last MiB: a cost of its own, once.
  const Timed first = timed("{\"cmd\":\"state\"}\n");
  const std::uint64_t size_before = size_of(log);

  std::vector<double> status_ms;
  std::vector<double> state_ms;
  int failed = 0;
  std::string phase_seen;
  // The two take turns, so that a machine that slows down meanwhile slows both alike.
  const Clock::time_point deadline = Clock::now() + requests_limit;
  while (state_ms.size() < requests_each && Clock::now() < deadline) {
    const Timed status = timed("{\"cmd\":\"status\"}\n");
    const Timed state = timed("{\"cmd\":\"state\"}\n");
    failed += (ok(status.reply) ? 0 : 1) + (ok(state.reply) ? 0 : 1);
    status_ms.push_back(status.ms);
    state_ms.push_back(state.ms);
    if (const auto at = state.reply.value_or("").find("\"phase\":"); at != std::string::npos) {
      phase_seen = state.reply->substr(at + 8, state.reply->find_first_of(",}", at) - at - 8);
    }
  }
  const std::uint64_t size_after = size_of(log);
  const auto disconnected = exchange("{\"cmd\":\"disconnect\"}\n");

  const double status_median = median(status_ms);
  const double state_median = median(state_ms);
  const double difference = state_median - status_median;
  std::printf("state beside status while OpenVPN's log holds 50 MiB and gains a line every 10 ms:\n");
  std::printf("  log: %.1f MiB at the first request, %.1f MiB at the last (%llu bytes added meanwhile)\n",
              static_cast<double>(size_before) / (1024 * 1024),
              static_cast<double>(size_after) / (1024 * 1024),
              static_cast<unsigned long long>(size_after - size_before));
  std::printf("  the first state after the 50 MiB were written (it reads the last MiB): %.1f ms\n", first.ms);
  std::printf(
      "  %zu of each, taking turns, each on a connection of its own; last phase: %s; failed replies: %d\n",
      state_ms.size(), phase_seen.empty() ? "(none)" : phase_seen.c_str(), failed);
  std::printf("  status median: %.2f ms\n", status_median);
  std::printf("  state median:  %.2f ms\n", state_median);
  std::printf(
      "target state within %.0f ms of status:  %+.2f ms  %s\n", state_target_ms, difference,
      difference <= state_target_ms && failed == 0 && state_ms.size() == requests_each ? "met" : "NOT met");
  if (!ok(disconnected)) {
    std::fprintf(stderr, "bench_state_and_disconnect: the disconnect failed: %s\n",
                 disconnected.value_or("(no reply)").c_str());
    return false;
  }
  return true;
}

// The disconnect times of `rounds` stand-ins launched with `plan_lines`, and how many of them ended
// with `expected_exit` (their own end on the event, or the job's).
struct Disconnects {
  std::vector<double> seconds;
  int as_expected = 0;
};

std::optional<Disconnects> disconnects(Bench& bench, const wchar_t* name, const std::string& plan_lines,
                                       int rounds, DWORD expected_exit) {
  Disconnects measured;
  for (int round = 0; round < rounds; ++round) {
    std::optional<Watched> openvpn = bench.connect(name, plan_lines, 30s);
    if (!openvpn) {
      return std::nullopt;
    }
    const Timed disconnect = timed("{\"cmd\":\"disconnect\"}\n");
    if (!ok(disconnect.reply)) {
      std::fprintf(stderr, "bench_state_and_disconnect: a disconnect failed: %s\n",
                   disconnect.reply.value_or("(no reply)").c_str());
      return std::nullopt;
    }
    measured.seconds.push_back(disconnect.ms / 1000);
    measured.as_expected += openvpn->ends_within(5000) && openvpn->exit_code() == expected_exit ? 1 : 0;
  }
  return measured;
}

void print_disconnects(const char* title, const Disconnects& measured, const char* how_ended) {
  const auto [low, high] = std::ranges::minmax(measured.seconds);
  std::printf("  %s median %.3f s (%.3f to %.3f s over %zu); %s: %d of %zu\n", title,
              median(measured.seconds), low, high, measured.seconds.size(), how_ended, measured.as_expected,
              measured.seconds.size());
}

bool disconnect_times(Bench& bench) {
  const auto graceful = disconnects(bench, L"graceful", "", graceful_rounds, 0);
  const auto forced =
      graceful ? disconnects(bench, L"forced", "ignore_exit_event=1\n", forced_rounds, forced_exit_code)
               : std::nullopt;
  if (!graceful || !forced) {
    return false;
  }
  std::printf("disconnect, from the connection to the reply:\n");
  print_disconnects("OpenVPN ends on its exit event:    ", *graceful, "ended by itself (exit 0)");
  print_disconnects("OpenVPN ignores it and is forced:  ", *forced, "ended by the job (exit 1)");
  std::printf(
      "  the forced figure includes the %.0f s grace spent waiting for the event to be honoured; the forced\n"
      "  end itself (the job, the wait for the tree, taskkill) takes the rest: about %.3f s by subtraction\n",
      disconnect_grace_s, median(forced->seconds) - disconnect_grace_s);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: bench_state_and_disconnect STANDIN WORK\n", stderr);
    return 2;
  }
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    return 1;
  }
  if (!ok(exchange("{\"cmd\":\"status\"}\n"))) {
    std::fputs("bench_state_and_disconnect: the service does not answer on 127.0.0.1:49877\n", stderr);
    return 1;
  }
  Bench bench(argv[1], argv[2]);
  const bool state_done = state_beside_status(bench);
  std::printf("\n");
  const bool disconnect_done = disconnect_times(bench);
  return state_done && disconnect_done ? 0 : 1;
}

// bench_stop_hostage SERVICE STANDIN WORK: how long the running service SERVICE (on 127.0.0.1:49877)
// takes from a stop to its stopped report when everything that could hold the stop up does, and
// whether anything it started outlives the stop. For `make bench`, under Wine.
//   1. A connect launches STANDIN as OpenVPN (a plan in WORK has it record its id and sleep, deaf to its
//      exit event, so that every stop of it takes the forced path and runs taskkill).
//   2. With taskkill.hold in the system folder, the system folder's taskkill (the hanging stand-in,
//      put there by the caller) waits; a second connect waits out the grace, ends that OpenVPN and then
//      waits on taskkill.
//   3. Four more connects queue up behind the second.
//   4. The stop is asked for; the time until the service reports STOPPED is measured, and at that
//      moment the OpenVPN, the taskkill and whatever the queued connects launched must all be gone.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service_client.hpp"
#include "support/files.hpp"
#include "support/polling.hpp"
#include "support/text.hpp"
#include "support/watched_process.hpp"

namespace {

using orvanta::bench::exchange;
using orvanta::bench::state_of;
using orvanta::test::eventually;
using orvanta::test::processes_of;
using orvanta::test::read_file;
using orvanta::test::utf8;
using orvanta::test::Watched;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string json_string(const std::wstring& text) {
  return "\"" + orvanta::test::json_escaped(utf8(text)) + "\"";
}

// A process of the service's, watched through a handle of ours so that its id cannot pass to another
// process meanwhile.
struct Seen {
  DWORD pid;
  Watched process;
};

std::vector<Seen> seen_running(const std::wstring& image) {
  std::vector<Seen> seen;
  for (const DWORD pid : processes_of(image)) {
    seen.push_back({pid, Watched(pid)});
  }
  return seen;
}

// What the service promises for a stop: every wait of it ends 15 s after the control, and what is still
// under way gets 2 s to notice.
constexpr double stopped_within_s = 17.0;

struct Standin {
  std::wstring plan;
  std::wstring pid_out;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fputs("usage: bench_stop_hostage SERVICE STANDIN WORK\n", stderr);
    return 2;
  }
  const std::wstring service_name = argv[1];
  const std::wstring standin = argv[2];
  const std::wstring work = argv[3];
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    return 1;
  }
  const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  const SC_HANDLE service =
      manager == nullptr ? nullptr : OpenServiceW(manager, service_name.c_str(), SERVICE_ALL_ACCESS);
  if (service == nullptr || state_of(service) != SERVICE_RUNNING) {
    std::fprintf(stderr, "bench_stop_hostage: the service is not running (%lu)\n", GetLastError());
    return 1;
  }
  wchar_t folder[MAX_PATH];
  const std::wstring system_folder(folder, GetSystemDirectoryW(folder, MAX_PATH));
  const std::wstring taskkill = system_folder + L"\\taskkill.exe";
  const std::wstring hold = system_folder + L"\\taskkill.hold";
  const std::wstring taskkill_log = system_folder + L"\\taskkill.log";
  DeleteFileW(taskkill_log.c_str());

  const auto plan = [&](const std::wstring& name, const std::string& lines = "") {
    const Standin planned{work + L"\\" + name + L".plan", work + L"\\" + name + L".pid"};
    DeleteFileW(planned.pid_out.c_str());
    if (!orvanta::test::write_file(planned.plan, lines + "pid_out=" + utf8(planned.pid_out) + "\n")) {
      std::fprintf(stderr, "bench_stop_hostage: cannot write %s\n", utf8(planned.plan).c_str());
      std::exit(1);
    }
    return planned;
  };
  const auto connect_line = [&](const Standin& planned) {
    return "{\"cmd\":\"connect\",\"openvpn\":" + json_string(standin) +
           ",\"config\":" + json_string(planned.plan) + ",\"auth\":" + json_string(work + L"\\auth.txt") +
           ",\"log\":" + json_string(work + L"\\openvpn.log") + "}\n";
  };

  // 1. OpenVPN runs. One that ended on its exit event would leave an empty job, and the stop would have
  // no reason to run taskkill.
  const Standin first = plan(L"first", "ignore_exit_event=1\n");
  const auto started = exchange(connect_line(first));
  if (!started || !eventually([&] { return read_file(first.pid_out).value_or("").size() > 0; }, 20s)) {
    std::fprintf(stderr, "bench_stop_hostage: the first connect launched nothing: %s\n",
                 started.value_or("(no reply)").c_str());
    return 1;
  }
  const DWORD openvpn_pid = std::stoul(*read_file(first.pid_out));
  const Watched openvpn(openvpn_pid);

  // 2. The next connect ends it and hangs in taskkill.
  if (!orvanta::test::write_file(hold, "held\n")) {
    std::fputs("bench_stop_hostage: cannot write taskkill.hold in the system folder\n", stderr);
    return 1;
  }
  std::vector<Standin> queued;
  std::vector<std::thread> connects;
  std::vector<std::atomic<bool>> sent(5);
  queued.push_back(plan(L"queued-0"));
  connects.emplace_back([line = connect_line(queued.back()), &sent] { (void)exchange(line, &sent[0]); });
  // The grace of 5 s comes first.
  if (!eventually([&] { return read_file(taskkill_log).value_or("").size() > 0; }, 30s)) {
    std::fputs("bench_stop_hostage: the second connect never ran taskkill (is the stand-in in place?)\n",
               stderr);
    DeleteFileW(hold.c_str());
    for (std::thread& connect : connects) {
      connect.join();
    }
    return 1;
  }
  const std::vector<Seen> hanging = seen_running(taskkill);

  // 3. Four more queue up behind it.
  for (int i = 1; i < 5; ++i) {
    queued.push_back(plan(L"queued-" + std::to_wstring(i)));
    connects.emplace_back([line = connect_line(queued.back()), &sent, i] { (void)exchange(line, &sent[i]); });
  }
  (void)eventually([&] { return std::ranges::all_of(sent, [](const auto& s) { return s.load(); }); }, 10s);
  Sleep(200);  // for the service to take the last lines in

  // 4. The stop.
  SERVICE_STATUS status{};
  const Clock::time_point asked = Clock::now();
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    std::fprintf(stderr, "bench_stop_hostage: ControlService failed: %lu\n", GetLastError());
  }
  const bool stopped = eventually([&] { return state_of(service) == SERVICE_STOPPED; }, 120s);
  const double seconds = std::chrono::duration<double>(Clock::now() - asked).count();

  // At the stopped report, what is left of what the service started.
  std::vector<std::string> survivors;
  if (openvpn.running()) {
    survivors.push_back("the OpenVPN stand-in " + std::to_string(openvpn_pid));
  }
  for (const Seen& seen : hanging) {
    if (seen.process.running()) {
      survivors.push_back("the hanging taskkill " + std::to_string(seen.pid));
    }
  }
  for (const DWORD pid : processes_of(taskkill)) {
    if (std::ranges::none_of(hanging, [pid](const Seen& seen) { return seen.pid == pid; })) {
      survivors.push_back("a later taskkill " + std::to_string(pid));
    }
  }
  const std::vector<DWORD> standins_left = processes_of(standin);
  int launched = 0;
  for (const Standin& planned : queued) {
    if (const auto pid = read_file(planned.pid_out); pid && !pid->empty()) {
      ++launched;
      // An id can have passed to another process since; only the stand-in counts.
      if (std::ranges::count(standins_left, std::stoul(*pid)) > 0) {
        survivors.push_back("an OpenVPN stand-in " + *pid + " of a queued connect");
      }
    }
  }
  DeleteFileW(hold.c_str());
  for (std::thread& connect : connects) {
    connect.join();
  }

  std::printf("stop with OpenVPN running, a connect hanging in taskkill and four more queued behind it\n");
  std::printf(
      "  OpenVPN stand-in: process %lu; taskkill processes hanging: %zu; connects after the first that\n"
      "  launched OpenVPN: %d; stand-ins of this prefix still running at the stopped report: %zu\n",
      openvpn_pid, hanging.size(), launched, standins_left.size());
  std::printf(
      stopped ? "  stop asked -> STOPPED in %.1f s\n" : "  stop asked -> still not STOPPED after %.0f s\n",
      seconds);
  std::printf("target STOPPED within %.0f s:  %.1f s  %s\n", stopped_within_s, seconds,
              stopped && seconds <= stopped_within_s ? "met" : "NOT met");
  std::string left;
  for (const std::string& survivor : survivors) {
    left += (left.empty() ? "" : ", ") + survivor;
  }
  std::printf("target nothing the service started outlives the stop:  outlived: %s%s  %s\n",
              survivors.empty() ? "no" : "yes: ", left.c_str(), survivors.empty() ? "met" : "NOT met");
  return 0;
}

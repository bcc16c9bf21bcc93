// The service end to end under the Service Control Manager, through the real endpoint.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <regex>
#include <thread>
#include <vector>
#include <string>

#include <sddl.h>

#include "common/handle.hpp"
#include "client/pipe_client.hpp"
#include "common/utf16.hpp"
#include "pipe/pipe_instance.hpp"
#include "pipe/pipe_security.hpp"
#include "support/files.hpp"
#include "support/pipes.hpp"
#include "support/loopback_socket.hpp"
#include "support/polling.hpp"
#include "support/standin_plan.hpp"
#include "support/text.hpp"
#include "support/this_process.hpp"
#include "support/watched_process.hpp"
#include "vpn/run_record.hpp"

namespace orvanta::test {
namespace {

using namespace std::chrono_literals;

constexpr wchar_t service_name[] = L"OrvantaVpnHelper";
constexpr std::uint16_t service_port = 49877;
constexpr wchar_t run_key[] = L"SYSTEM\\CurrentControlSet\\Services\\OrvantaVpnHelper\\Run";
constexpr char status_line[] = "{\"cmd\":\"status\"}\n";
constexpr char state_line[] = "{\"cmd\":\"state\"}\n";
constexpr char disconnect_line[] = "{\"cmd\":\"disconnect\"}\n";
constexpr char stopped_line[] = "{\"ok\":true,\"message\":\"stopped\",\"pid\":null}\n";
constexpr char disconnected_line[] = "{\"ok\":true,\"message\":\"OpenVPN stopped\",\"pid\":null}\n";

// The last line a stand-in writes to its log when it ends on its exit event, as OpenVPN does.
constexpr std::string_view sigterm_line = "SIGTERM[hard,] received, process exiting\r\n";

// A state reply with every time in it written as "T".
std::string without_times(const std::string& reply) {
  static const std::regex time(R"("\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")");
  return std::regex_replace(reply, time, "\"T\"");
}

std::string running_line(DWORD pid) {
  return "{\"ok\":true,\"message\":\"running\",\"pid\":" + std::to_string(pid) + "}\n";
}

// One request line to the service, the whole reply; nothing when the connection could not be made.
std::optional<std::string> exchange(const std::string& line) { return round_trip(service_port, line); }

constexpr std::u16string_view service_pipe = pipe::service_pipe_name;

// One request line over the service's pipe, the whole reply.
std::optional<std::string> pipe_exchange(const std::string& line) {
  return pipe_round_trip(service_pipe, line);
}

// A policy value the test sets, removed again when it ends. A REG_DWORD's four bytes are two wide
// characters of `data`; a text is stored with its terminator.
class PolicyValue {
 public:
  PolicyValue(const wchar_t* name, DWORD type, const std::wstring& data) : name_(name) {
    const auto size = type == REG_DWORD ? sizeof(DWORD) : (data.size() + 1) * sizeof(wchar_t);
    EXPECT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, name, type, data.c_str(), static_cast<DWORD>(size)),
              ERROR_SUCCESS);
  }
  PolicyValue(const PolicyValue&) = delete;
  PolicyValue& operator=(const PolicyValue&) = delete;
  ~PolicyValue() { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, name_); }
  // Whatever an interrupted run left set.
  static void remove_all() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, key); }

 private:
  static constexpr wchar_t key[] = L"SOFTWARE\\Policies\\Orvanta\\VpnHelper";
  const wchar_t* name_;
};

// The system folder of this prefix, where the service takes taskkill from.
std::filesystem::path system_folder() {
  wchar_t folder[MAX_PATH];
  return std::filesystem::path(std::wstring(folder, GetSystemDirectoryW(folder, MAX_PATH)));
}

// What the services of these tests run as taskkill: the stand-in that ends nothing and logs each run
// next to itself (and waits while taskkill.hold is there), in place of the system's own. A copy of
// it also lies beside the registered service executable, where it must never be run.
class TaskkillStandIns {
 public:
  TaskkillStandIns() {
    // Wine runs its own built-in taskkill whatever file lies in the system folder, unless it is told
    // to prefer the file. (On Windows the key means nothing.)
    EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, wine_overrides, L"taskkill.exe", REG_SZ, L"native",
                              sizeof(L"native")),
              ERROR_SUCCESS);
    // A run stopped before its end (Ctrl-C, a time-out) left the system's own taskkill saved aside and
    // the stand-in in its place, and perhaps a hold and policy values: the prefix is put back first.
    if (std::filesystem::exists(saved_)) {
      std::filesystem::copy_file(saved_, real_, std::filesystem::copy_options::overwrite_existing);
      std::filesystem::remove(saved_);
    }
    hold(false);
    forget_runs();
    PolicyValue::remove_all();
    std::filesystem::copy_file(real_, saved_, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(windows_path(ORVANTA_FAKE_TASKKILL_EXE), real_,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(windows_path(ORVANTA_SERVICE_EXE), service_,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(windows_path(ORVANTA_FAKE_TASKKILL_EXE), planted_,
                               std::filesystem::copy_options::overwrite_existing);
  }
  TaskkillStandIns(const TaskkillStandIns&) = delete;
  TaskkillStandIns& operator=(const TaskkillStandIns&) = delete;
  ~TaskkillStandIns() {
    hold(false);
    std::error_code ignored;
    std::filesystem::copy_file(saved_, real_, std::filesystem::copy_options::overwrite_existing, ignored);
    std::filesystem::remove(saved_, ignored);
    std::filesystem::remove(system_folder() / "taskkill.log", ignored);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, wine_overrides, L"taskkill.exe");
  }

  [[nodiscard]] const std::filesystem::path& service() const { return service_; }
  // The lines of each run of the system folder's taskkill, and of the one planted beside the service.
  [[nodiscard]] static std::string system_runs() {
    return read_file(system_folder() / "taskkill.log").value_or("");
  }
  [[nodiscard]] std::string planted_runs() const {
    return read_file(service_.parent_path() / "taskkill.log").value_or("");
  }
  static void hold(bool held) {
    const auto file = system_folder() / "taskkill.hold";
    if (held) {
      EXPECT_TRUE(write_file(file, "x"));
    } else {
      std::error_code ignored;
      std::filesystem::remove(file, ignored);
    }
  }
  static void forget_runs() {
    std::error_code ignored;
    std::filesystem::remove(system_folder() / "taskkill.log", ignored);
  }

 private:
  static constexpr wchar_t wine_overrides[] = L"Software\\Wine\\DllOverrides";
  ScratchDir folder_;
  std::filesystem::path real_ = system_folder() / "taskkill.exe";
  std::filesystem::path saved_ = system_folder() / "taskkill.exe.orvanta-saved";
  std::filesystem::path service_ = std::filesystem::path(folder_.path()) / "orvanta-vpn-helper-windows.exe";
  std::filesystem::path planted_ = std::filesystem::path(folder_.path()) / "taskkill.exe";
};

class ServiceEndToEnd : public testing::Test {
 protected:
  static void SetUpTestSuite() { taskkill_ = new TaskkillStandIns; }
  static void TearDownTestSuite() {
    delete taskkill_;
    taskkill_ = nullptr;
  }

  void SetUp() override {
    TaskkillStandIns::forget_runs();
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager_) << GetLastError();
    remove_leftover();
    const std::wstring binary = L"\"" + taskkill_->service().wstring() + L"\"";
    service_.reset(CreateServiceW(manager_.get(), service_name, L"Orvanta VPN helper", SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                  binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service_) << GetLastError();
  }

  void TearDown() override {
    stop_and_wait();
    DeleteService(service_.get());
    service_.reset();
  }

  void remove_leftover() {
    UniqueServiceHandle old(OpenServiceW(manager_.get(), service_name, SERVICE_ALL_ACCESS));
    if (old) {
      SERVICE_STATUS status;
      ControlService(old.get(), SERVICE_CONTROL_STOP, &status);
      (void)eventually([&] { return state_of(old.get()) == SERVICE_STOPPED; });
      DeleteService(old.get());
    }
  }

  static DWORD state_of(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
  }
  SERVICE_STATUS status() const {
    SERVICE_STATUS s{};
    QueryServiceStatus(service_.get(), &s);
    return s;
  }

  // Waits until it answers over the port, or over the pipe for a service whose port may be off.
  void start_and_wait_serving(bool over_the_pipe = false) {
    ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(eventually([&] { return state_of(service_.get()) == SERVICE_RUNNING; }));
    // Running is reported before the listener opens, so the first connections may be refused.
    ASSERT_TRUE(
        eventually([&] { return (over_the_pipe ? pipe_exchange : exchange)(status_line).has_value(); }));
  }

  void stop_and_wait() {
    SERVICE_STATUS ignored;
    if (state_of(service_.get()) != SERVICE_STOPPED) {
      ControlService(service_.get(), SERVICE_CONTROL_STOP, &ignored);
      (void)eventually([&] { return state_of(service_.get()) == SERVICE_STOPPED; });
    }
  }

  // Ends the service's process as a crash or `taskkill /F` would, so that no stop runs.
  void kill_service() {
    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<BYTE*>(&process), sizeof process, &needed))
        << GetLastError();
    const UniqueHandle service_process(
        OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.dwProcessId));
    ASSERT_TRUE(service_process) << GetLastError();
    ASSERT_TRUE(TerminateProcess(service_process.get(), 9)) << GetLastError();
    ASSERT_EQ(WaitForSingleObject(service_process.get(), 10000), WAIT_OBJECT_0);
    // Windows reports the service stopped once its process is gone. Wine 8 goes on reporting it running,
    // though it starts it again all the same.
    (void)eventually([&] { return state_of(service_.get()) == SERVICE_STOPPED; }, 2s);
  }

  // Whether the service keeps a record in the registry.
  static bool record_stored() {
    return RegGetValueW(HKEY_LOCAL_MACHINE, run_key, L"OpenVpn", RRF_RT_REG_SZ, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
  }

  // A plan that makes the stand-in play OpenVPN: it records its id and takes the steps in `more`.
  Planned plan(const std::string& name, const PlanEntries& more = {}) {
    return plan_standin(work_.path(), name, more);
  }

  std::string connect_line(const Planned& planned) {
    return "{\"cmd\":\"connect\",\"openvpn\":\"" + json_escaped(utf8(standin_path())) + "\",\"config\":\"" +
           json_escaped(planned.plan) + "\",\"auth\":\"" + json_escaped(utf8(work_.file(L"auth.txt"))) +
           "\",\"log\":\"" + json_escaped(utf8(work_.file(L"openvpn.log"))) + "\"}\n";
  }

  static TaskkillStandIns* taskkill_;
  UniqueServiceHandle manager_;
  UniqueServiceHandle service_;
  ScratchDir work_;
};
TaskkillStandIns* ServiceEndToEnd::taskkill_ = nullptr;

TEST_F(ServiceEndToEnd, FreshServiceReportsStoppedAndClosesTheConnection) {
  start_and_wait_serving();
  EXPECT_EQ(exchange(status_line), stopped_line);
  EXPECT_EQ(exchange("{\"cmd\":\"restart\"}\n"),
            "{\"ok\":false,\"message\":\"Invalid request JSON: unknown variant `restart`, expected one of "
            "`connect`, `disconnect`, `status`, `state` at line 1 column 16\",\"pid\":null}\n");
  SERVICE_STATUS s = status();
  EXPECT_EQ(s.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(s.dwControlsAccepted,
            static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN));
  // Controls other than a stop leave it serving.
  EXPECT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_INTERROGATE, &s)) << GetLastError();
  ControlService(service_.get(), SERVICE_CONTROL_PAUSE, &s);  // not accepted; must change nothing
  ControlService(service_.get(), 200, &s);                    // user-defined; must change nothing
  EXPECT_EQ(state_of(service_.get()), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(exchange(status_line), stopped_line);
}

// The pipe and the port command the same service: a connect over either is seen and ended over the port.
// An OpenVPN that ends on its exit event is stopped within its delay, runs its own exit path (its log's
// last line) and leaves nothing for taskkill; one that ignores it is forced once the 5 s have passed,
// with what it started, and taskkill runs from the system folder, never from beside the service.
TEST_F(ServiceEndToEnd, ConnectStatusDisconnectDriveTheStandIn) {
  start_and_wait_serving();
  using Exchange = std::optional<std::string> (*)(const std::string&);
  const struct {
    std::string over;
    Exchange connect_over;
    PlanEntries steps;
    bool forced;
  } cases[] = {
      {"port", exchange, {{"exit_event_delay_ms", "500"}}, false},
      {"pipe", pipe_exchange, {{"ignore_exit_event", "1"}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("connect over the " + c.over);
    TaskkillStandIns::forget_runs();
    const Planned grandchild = plan("grandchild-" + c.over);
    PlanEntries steps = c.steps;
    steps.emplace_back("grandchild_plan", grandchild.plan);
    const Planned vpn = plan("vpn-" + c.over, c.forced ? steps : c.steps);
    const auto reply = c.connect_over(connect_line(vpn));
    ASSERT_TRUE(reply);
    const auto pid = wait_for_pid(vpn.pid_out);
    ASSERT_TRUE(pid) << *reply;
    const Watched openvpn(*pid);
    EXPECT_EQ(*reply, "{\"ok\":true,\"message\":\"OpenVPN started\",\"pid\":" + std::to_string(*pid) + "}\n");
    EXPECT_EQ(exchange(status_line), running_line(*pid));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange(disconnect_line), disconnected_line);
    const auto took = std::chrono::steady_clock::now() - asked;
    EXPECT_FALSE(openvpn.running());
    EXPECT_EQ(exchange(status_line), stopped_line);
    const std::string log = read_file(work_.file(L"openvpn.log")).value_or("");
    if (c.forced) {
      EXPECT_GE(took, 5s);
      EXPECT_LT(took, 10s);
      EXPECT_TRUE(Watched(wait_for_pid(grandchild.pid_out)).ends_within(3000))
          << "its child outlived the stop";
      EXPECT_TRUE(TaskkillStandIns::system_runs().starts_with("\"taskkill\" /PID " + std::to_string(*pid) +
                                                              " /T /F\t"))
          << TaskkillStandIns::system_runs();
      EXPECT_FALSE(log.ends_with(sigterm_line)) << log;
    } else {
      EXPECT_LT(took, 3s);
      EXPECT_TRUE(log.ends_with(sigterm_line)) << log;
      EXPECT_EQ(TaskkillStandIns::system_runs(), "");
    }
    EXPECT_EQ(taskkill_->planted_runs(), "");
  }
}

// What a real OpenVPN wrote, replayed by the stand-in: the first `state` after its lines tells what it is
// doing, and once it has ended, why, and when (the phase began when it ended). A log left by an earlier
// run is not read as this run's; what is written to standard output is read as it comes, also past
// the 16 MiB that are not kept, so OpenVPN never blocks on it.
TEST_F(ServiceEndToEnd, StateTellsThePhaseAndTheCauseFromOpenVpnsOwnLines) {
  start_and_wait_serving();
  EXPECT_EQ(
      without_times(exchange(state_line).value_or("")),
      R"({"ok":true,"message":"stopped","pid":null,"phase":"stopped","since":"T","reason":null,"last_exit":null})"
      "\n");
  ASSERT_TRUE(
      write_file(work_.file(L"openvpn.log"), "2026-12-11 11:51:15 Initialization Sequence Completed\r\n"));
  const std::string stopped_by_us = R"({"pid":P,"at":"T","code":0,"cause":"stopped","detail":null})";
  struct Case {
    const char* name;
    PlanEntries steps;
    std::string reply;  // "P" stands for this run's id, "L" for the last exit before it
  } cases[] = {
      {"an old log",
       {},
       R"({"ok":true,"message":"starting","pid":P,"phase":"starting","since":"T","reason":null,"last_exit":null})"},
      {"connected",
       {{"log_from", transcript("good.log")}},
       R"({"ok":true,"message":"connected","pid":P,"phase":"connected","since":"T","reason":null,"last_exit":L})"},
      {"retrying",
       {{"log_from", transcript("unreach.log")}},
       R"({"ok":true,"message":"reconnecting","pid":P,"phase":"reconnecting","since":"T","reason":"tls-error","last_exit":L})"},
      {"an options error on standard output",
       {{"stdout_from", transcript("optserr.stdout")}, {"stdout_bytes", "16777216"}, {"exit_code", "1"}},
       R"j({"ok":true,"message":"stopped","pid":null,"phase":"stopped","since":"T","reason":null,"last_exit":{"pid":P,"at":"T","code":1,"cause":"options-error","detail":"Options error: Unrecognized option or missing or extra parameter(s)"}})j"},
      {"nobody answers",
       {{"log_from", transcript("unreach.log")}, {"exit_code", "1"}},
       R"j({"ok":true,"message":"stopped","pid":null,"phase":"stopped","since":"T","reason":null,"last_exit":{"pid":P,"at":"T","code":1,"cause":"connection-failed","detail":"All connections have been connect-retry-max (2) times unsuccessful, exiting"}})j"},
      {"a crash",
       {{"exit_code", "3221225477"}},
       R"({"ok":true,"message":"stopped","pid":null,"phase":"stopped","since":"T","reason":null,"last_exit":{"pid":P,"at":"T","code":3221225477,"cause":"crashed","detail":null}})"},
  };
  std::string last_exit = "null";
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Planned vpn = plan(c.name, c.steps);
    ASSERT_TRUE(exchange(connect_line(vpn)));
    const auto pid = wait_for_pid(vpn.pid_out);
    ASSERT_TRUE(pid);
    const bool ends =
        std::ranges::any_of(c.steps, [](const auto& step) { return step.first == "exit_code"; });
    if (ends) {
      ASSERT_TRUE(Watched(pid).ends_within(20000));
    }
    std::string expected = std::regex_replace(c.reply, std::regex("P"), std::to_string(*pid));
    expected = std::regex_replace(expected, std::regex("L"), last_exit) + "\n";
    // The first state after the lines are written (the stand-in writes them before its id) tells them.
    EXPECT_EQ(without_times(exchange(state_line).value_or("")), expected);
    if (ends) {
      // The stopped phase began when OpenVPN ended.
      const std::string full = exchange(state_line).value_or("");
      static const std::regex times(R"re("since":("[^"]*").*"at":("[^"]*"))re");
      std::smatch found;
      ASSERT_TRUE(std::regex_search(full, found, times)) << full;
      EXPECT_EQ(found[1], found[2]);
    } else {
      EXPECT_EQ(exchange(disconnect_line), disconnected_line);
      last_exit = std::regex_replace(stopped_by_us, std::regex("P"), std::to_string(*pid));
    }
  }
  EXPECT_EQ(
      exchange("[\"state\",1]\n"),
      R"({"ok":false,"message":"Invalid request JSON: invalid length 1, expected 0 elements in sequence","pid":null})"
      "\n");
}

// A stop with OpenVPN running, one connect ending it behind a taskkill that does not return, and four
// more connects queued behind that one: the stopped report still comes in time, and nothing the
// service started outlives it.
TEST_F(ServiceEndToEnd, NeitherQueuedConnectsNorAHangingTaskkillHoldTheStopHostage) {
  start_and_wait_serving();
  // What it started outlives its end through its event, so the connect that ends it runs taskkill.
  const Planned child = plan("first-child");
  const Planned first = plan("first", {{"grandchild_plan", child.plan}});
  ASSERT_TRUE(exchange(connect_line(first)));
  const Watched openvpn(wait_for_pid(first.pid_out));
  ASSERT_TRUE(wait_for_pid(child.pid_out));
  TaskkillStandIns::hold(true);
  std::vector<Planned> queued;
  std::vector<std::jthread> connects;
  for (int i = 0; i < 5; ++i) {
    queued.push_back(plan("queued-" + std::to_string(i)));
    connects.emplace_back([line = connect_line(queued.back())] { (void)exchange(line); });
    if (i == 0) {
      ASSERT_TRUE(eventually([] { return !TaskkillStandIns::system_runs().empty(); }));
    }
  }

  SERVICE_STATUS ignored;
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &ignored)) << GetLastError();
  ASSERT_TRUE(eventually([&] { return state_of(service_.get()) == SERVICE_STOPPED; }, 40s));
  const auto took = std::chrono::steady_clock::now() - asked;
  EXPECT_LT(took, 20s) << "longer than the system allows a service at shutdown";
  EXPECT_TRUE(processes_of(system_folder() / "taskkill.exe").empty())
      << "the hanging taskkill outlived the stop";
  EXPECT_FALSE(openvpn.running());
  for (const Planned& planned : queued) {
    EXPECT_FALSE(read_file(planned.pid_out)) << "a queued connect launched OpenVPN";
  }
  TaskkillStandIns::hold(false);
}

// Connects keep coming while the service stops: whichever got in before the stop, none of what they
// launched outlives the stopped report.
TEST_F(ServiceEndToEnd, ConnectsRacingTheStopLeaveNothingRunning) {
  start_and_wait_serving();
  std::atomic<bool> stopped{false};
  std::vector<std::jthread> clients;
  for (int client = 0; client < 4; ++client) {
    clients.emplace_back([&, client] {
      for (int round = 0; !stopped; ++round) {
        // The stop can close the connection under a racer at any point: nothing to check there.
        const UniqueSocket racer = try_connect(service_port);
        const std::string line =
            connect_line(plan("racer-" + std::to_string(client) + "-" + std::to_string(round)));
        if (racer && send(racer.get(), line.data(), static_cast<int>(line.size()), 0) > 0) {
          (void)receive_all(racer.get());
        }
      }
    });
  }
  ASSERT_TRUE(eventually([&] { return !processes_of(standin_path()).empty(); }));
  SERVICE_STATUS ignored;
  ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &ignored)) << GetLastError();
  ASSERT_TRUE(eventually([&] { return state_of(service_.get()) == SERVICE_STOPPED; }, 40s));
  // Other tests may run the stand-in too; only those these connects launched count.
  for (const auto& entry : std::filesystem::directory_iterator(work_.path())) {
    if (entry.path().extension() == ".pid") {
      Watched racer(wait_for_pid(entry.path()));
      // An id can have passed to another process since; only the stand-in counts.
      EXPECT_FALSE(racer.running() && to_wide(racer.image()) == standin_path())
          << "an OpenVPN outlived the stopped report: " << entry.path().filename();
      racer.release();
    }
  }
  stopped = true;
}

// An OpenVPN that ignores its exit event is given its 5 s, then forced with its whole tree, and the
// stopped report still comes within the 17 s of a stop.
TEST_F(ServiceEndToEnd, StopWhileOpenVpnRunsEndsTheWholeTreeAndReportsStopped) {
  start_and_wait_serving();
  const Planned grandchild = plan("grandchild");
  const Planned vpn = plan("vpn", {{"grandchild_plan", grandchild.plan}, {"ignore_exit_event", "1"}});
  ASSERT_TRUE(exchange(connect_line(vpn)));
  const Watched openvpn(wait_for_pid(vpn.pid_out));
  const Watched descendant(wait_for_pid(grandchild.pid_out));
  ASSERT_TRUE(openvpn.running());
  ASSERT_TRUE(descendant.running());

  SERVICE_STATUS ignored;
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &ignored)) << GetLastError();
  ASSERT_TRUE(eventually([&] { return state_of(service_.get()) == SERVICE_STOPPED; }, 20s));
  const auto took = std::chrono::steady_clock::now() - asked;
  EXPECT_GE(took, 5s) << "OpenVPN was not given its grace";
  EXPECT_LT(took, 17s);
  EXPECT_EQ(status().dwWin32ExitCode, 0u);
  EXPECT_TRUE(openvpn.ends_within(3000)) << "OpenVPN outlived the service stop";
  EXPECT_TRUE(descendant.ends_within(3000)) << "its child outlived the stop";
  // The listener is closed just after the stopped report, so the port may still take a connection
  // for a moment (and reset it, which is no answer either).
  EXPECT_TRUE(eventually([] { return !try_connect(service_port); }, 3s))
      << "something still listens after the stop";
}

// The DACL the running service gave its pipe, read back through clients' handles on two of its
// instances. Wine keeps it exactly but lets anyone open the pipe, so who is kept out is seen here only
// as the entries. The pipe serves an administrator (as this test runs) in every state of the policy;
// the port follows TcpEndpoint, and under an unusable client policy refuses every command as before.
TEST_F(ServiceEndToEnd, ThePipesDaclAndThePortFollowThePolicy) {
  const std::string service_only = "O:BAD:P(D;;FA;;;NU)(A;;FA;;;SY)(A;;FA;;;BA)";
  const std::string local_users = service_only + "(A;;0x12019b;;;AU)";
  struct Case {
    const char* name;
    const wchar_t* value;  // the policy value set, if any
    DWORD type;
    std::wstring data;
    std::string sddl;
    const char* port;  // what a disconnect over the port is answered with (its start); none when it is off
  };
  const Case cases[] = {
      {"no client policy", nullptr, 0, L"", local_users, disconnected_line},
      {"ClientGroups", L"ClientGroups", REG_MULTI_SZ,
       std::wstring(L"S-1-5-32-556\0S-1-5-21-1-2-3-1105\0", 33),
       service_only + "(A;;0x12019b;;;NO)(A;;0x12019b;;;S-1-5-21-1-2-3-1105)", disconnected_line},
      {"unusable client policy", L"ClientGroups", REG_MULTI_SZ, std::wstring(L"S-1-5-11\0", 9), service_only,
       "{\"ok\":false,\"message\":\"Not allowed: the client policy cannot be used"},
      {"TcpEndpoint REG_DWORD 0", L"TcpEndpoint", REG_DWORD, std::wstring(2, L'\0'), local_users, nullptr},
      {"TcpEndpoint REG_SZ \"1\"", L"TcpEndpoint", REG_SZ, L"1", local_users, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<PolicyValue> policy;
    if (c.value != nullptr) {
      policy.emplace(c.value, c.type, c.data);
    }
    start_and_wait_serving(true);
    const UniqueFile first = open_pipe_client(service_pipe);
    const UniqueFile further = open_pipe_client_when_free(service_pipe);
    for (const UniqueFile* client : {&first, &further}) {
      ASSERT_TRUE(*client) << GetLastError();
      const auto sddl = pipe::handle_security_sddl(client->get());
      ASSERT_TRUE(sddl.has_value());
      EXPECT_EQ(utf16_to_utf8(*sddl), c.sddl);
    }
    EXPECT_EQ(pipe_exchange(status_line), stopped_line);
    EXPECT_EQ(pipe_exchange(disconnect_line), disconnected_line);
    const auto over_the_port = exchange(disconnect_line);
    if (c.port == nullptr) {
      EXPECT_FALSE(over_the_port.has_value()) << "something listens on the port";
    } else {
      ASSERT_TRUE(over_the_port);
      EXPECT_TRUE(over_the_port->starts_with(c.port)) << *over_the_port;
    }
    stop_and_wait();
  }
}

// A false server on the service's pipe name, first while the service is stopped, then as an instance
// added beside the running service's (Wine allows it, whoever holds the name): the client tool that
// reaches it sends nothing and exits 2; once it has gone, the same command succeeds.
TEST_F(ServiceEndToEnd, AFalsePipeServerGetsNothingFromTheClient) {
  const std::wstring command = L"\"" + windows_path(ORVANTA_CLIENT_EXE) + L"\" --pipe status";
  for (const bool service_runs : {false, true}) {
    SCOPED_TRACE(service_runs ? "beside the running service" : "while the service is stopped");
    if (service_runs) {
      start_and_wait_serving();
    }
    const UniqueFile false_server(CreateNamedPipeW(to_wide(service_pipe).c_str(),
                                                   PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE,
                                                   PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(false_server) << GetLastError();
    OverlappedWait connected;
    ASSERT_FALSE(ConnectNamedPipe(false_server.get(), &connected.overlapped()));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    // The client may reach the service's instance instead; it is run until the false one is reached.
    bool reached = false;
    for (int run = 0; run < 10 && !reached; ++run) {
      const auto finished = run_with_standard_error(command);
      ASSERT_TRUE(finished.has_value());
      reached = connected.signalled();
      EXPECT_EQ(finished->exit_code, reached ? 2u : 0u) << finished->standard_error;
      EXPECT_EQ(finished->standard_error.find(client::not_served_by_service) != std::string::npos, reached)
          << finished->standard_error;
    }
    ASSERT_TRUE(reached) << "the client never reached the false server";
    char byte = 0;
    DWORD read = 0;
    OverlappedWait reading;
    const BOOL got = ReadFile(false_server.get(), &byte, 1, &read, &reading.overlapped());
    const DWORD error = got                                  ? 0
                        : GetLastError() == ERROR_IO_PENDING ? reading.result(false_server.get())
                                                             : GetLastError();
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BROKEN_PIPE)) << "the client sent the false server something";
  }
  const auto finished = run_with_standard_error(command);
  ASSERT_TRUE(finished.has_value());
  EXPECT_EQ(finished->exit_code, 0u) << finished->standard_error;
}

// A service that cannot open what it must serve on reports itself stopped with the system's error: a
// taken port, or a taken pipe name while the port is off. Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE,
// which makes Windows refuse with 5, but a squatter that allows one instance makes it refuse with 231.
TEST_F(ServiceEndToEnd, ATakenEndpointEndsTheServiceStoppedWithItsError) {
  {
    const UniqueSocket squatter = listening_socket(service_port);
    ASSERT_TRUE(squatter);
    ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(eventually([&] { return state_of(service_.get()) == SERVICE_STOPPED; }));
    EXPECT_EQ(status().dwWin32ExitCode, 10048u);  // WSAEADDRINUSE
  }
  const PolicyValue port_off(L"TcpEndpoint", REG_DWORD, std::wstring(2, L'\0'));
  const UniqueFile squatter(CreateNamedPipeW(to_wide(service_pipe).c_str(), PIPE_ACCESS_DUPLEX,
                                             PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(squatter) << GetLastError();
  ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
  ASSERT_TRUE(eventually([&] { return state_of(service_.get()) == SERVICE_STOPPED; }));
  EXPECT_EQ(status().dwWin32ExitCode, static_cast<DWORD>(ERROR_PIPE_BUSY));
}

// The service's process is killed with OpenVPN running, and started again by the system: it finds
// OpenVPN and its whole tree again. Then once more, with OpenVPN ending while the service is down.
// The adopted OpenVPN's phase is read from its log, and it is stopped through its exit event.
TEST_F(ServiceEndToEnd, OpenVpnOutlivesAKilledServiceAndIsAdoptedAtTheNextStart) {
  start_and_wait_serving();
  const Planned grandchild = plan("grandchild");
  const Planned vpn =
      plan("vpn", {{"grandchild_plan", grandchild.plan}, {"log_from", transcript("good.log")}});
  ASSERT_TRUE(exchange(connect_line(vpn)));
  const auto pid = wait_for_pid(vpn.pid_out);
  ASSERT_TRUE(pid);
  const Watched openvpn(pid);
  const Watched descendant(wait_for_pid(grandchild.pid_out));
  kill_service();
  ASSERT_TRUE(openvpn.running());
  ASSERT_TRUE(record_stored());

  start_and_wait_serving();
  EXPECT_EQ(exchange(status_line), running_line(*pid));
  EXPECT_EQ(without_times(exchange(state_line).value_or("")),
            R"({"ok":true,"message":"connected","pid":)" + std::to_string(*pid) +
                R"(,"phase":"connected","since":"T","reason":null,"last_exit":null})"
                "\n");
  EXPECT_EQ(exchange(disconnect_line), disconnected_line);
  EXPECT_TRUE(openvpn.ends_within(3000));
  EXPECT_TRUE(descendant.ends_within(3000)) << "the adopted OpenVPN's job was not reached";
  EXPECT_TRUE(read_file(work_.file(L"openvpn.log")).value_or("").ends_with(sigterm_line))
      << "the adopted OpenVPN was not stopped through its event";
  EXPECT_FALSE(record_stored());

  const std::filesystem::path leave = std::filesystem::path(work_.path()) / "leave";
  const Planned leaving = plan("leaving", {{"wait_for_file", utf8(leave)}, {"exit_code", "0"}});
  ASSERT_TRUE(exchange(connect_line(leaving)));
  const Watched gone(wait_for_pid(leaving.pid_out));
  kill_service();
  ASSERT_TRUE(write_file(leave, ""));
  ASSERT_TRUE(gone.ends_within(10000));
  start_and_wait_serving();
  EXPECT_EQ(exchange(status_line), stopped_line);
  EXPECT_FALSE(record_stored());
}

// The key is volatile and closed to all but SYSTEM and Administrators; an orderly stop leaves no
// record in it; and a record forged to name another running process makes the next start adopt
// nothing and end nothing.
TEST_F(ServiceEndToEnd, ForgedRecordIsNotAdoptedAndItsProcessIsLeftAlone) {
  start_and_wait_serving();
  const Planned vpn = plan("vpn");
  ASSERT_TRUE(exchange(connect_line(vpn)));
  ASSERT_TRUE(wait_for_pid(vpn.pid_out));
  HKEY opened = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, run_key, 0, READ_CONTROL | KEY_CREATE_SUB_KEY, &opened),
            ERROR_SUCCESS);
  const UniqueRegistryKey key(opened);
  std::byte descriptor[1024];
  DWORD size = sizeof descriptor;
  ASSERT_EQ(RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor, &size), ERROR_SUCCESS);
  LPWSTR sddl = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr));
  const UniqueLocalMemory sddl_owned(sddl);
  EXPECT_EQ(std::wstring(sddl), L"D:P(A;;KA;;;SY)(A;;KA;;;BA)");
  HKEY probe = nullptr;
  EXPECT_EQ(RegCreateKeyExW(key.get(), L"probe", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ, nullptr,
                            &probe, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  const UniqueRegistryKey created_probe(probe);
  stop_and_wait();
  EXPECT_FALSE(record_stored());

  const Planned decoy_plan = plan("decoy");
  Result<Child> decoy = spawn(standin_command(decoy_plan.plan));
  ASSERT_TRUE(decoy);
  const Watched decoy_process(decoy->id());
  const std::uint64_t created = creation_time_of(decoy->id());
  ASSERT_NE(created, 0u);
  const RunRecord forged{{decoy->id(), created + 1}, from_wide(standin_path()), 0};
  const std::wstring text = to_wide(encode_run_record(forged));
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, run_key, L"OpenVpn", REG_SZ, text.c_str(),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  start_and_wait_serving();
  EXPECT_EQ(exchange(status_line), stopped_line);
  EXPECT_FALSE(record_stored());
  EXPECT_EQ(exchange(disconnect_line), disconnected_line);
  EXPECT_TRUE(decoy_process.running()) << "a process the record only named was ended";
}

// 1,050 connects at once, each naming a program that launches, then a status and a disconnect: every
// client is answered, the last request wins, and the status and the disconnect do not wait behind the
// crowd. A copy of the stand-in of this test's own plays OpenVPN, so that what is left running is told
// apart from other tests' stand-ins.
TEST_F(ServiceEndToEnd, ACrowdOfConnectsIsAnsweredAndTheLastRequestWins) {
  constexpr int crowd = 1050;
  start_and_wait_serving();
  const std::filesystem::path openvpn = std::filesystem::path(work_.path()) / "crowd-openvpn.exe";
  const StandinCopy copy(openvpn);
  ASSERT_TRUE(copy.copied());
  const Planned planned = plan("crowd");
  const std::string line = "{\"cmd\":\"connect\",\"openvpn\":\"" + json_escaped(utf8(openvpn)) +
                           "\",\"config\":\"" + json_escaped(planned.plan) + "\",\"auth\":\"a\",\"log\":\"" +
                           json_escaped(utf8(work_.file(L"openvpn.log"))) + "\"}\n";
  std::vector<UniqueSocket> clients;
  for (int i = 0; i < crowd; ++i) {
    clients.push_back(connect_client(service_port, 120s));
    ASSERT_TRUE(clients.back());
    send_all(clients.back().get(), line);
  }
  using Clock = std::chrono::steady_clock;
  for (const char* after : {status_line, disconnect_line}) {
    const auto sent = Clock::now();
    EXPECT_TRUE(exchange(after).has_value()) << after;
    EXPECT_LT(Clock::now() - sent, 5s) << after << " waited behind the crowd";
  }
  std::vector<std::uint32_t> started;
  int superseded = 0;
  int turned_away = 0;
  for (const UniqueSocket& client : clients) {
    const std::string reply = receive_all(client.get());
    constexpr std::string_view started_start = "{\"ok\":true,\"message\":\"OpenVPN started\",\"pid\":";
    if (reply.starts_with(started_start)) {
      started.push_back(static_cast<std::uint32_t>(std::stoul(reply.substr(started_start.size()))));
    } else if (reply ==
               "{\"ok\":false,\"message\":\"Failed to start OpenVPN: superseded by a later "
               "request\",\"pid\":null}\n") {
      ++superseded;
    } else if (reply ==
               "{\"ok\":false,\"message\":\"Failed to start connection worker: too many "
               "connections\",\"pid\":null}\n") {
      ++turned_away;
    } else {
      ADD_FAILURE() << "reply: \"" << reply << "\"";
    }
  }
  EXPECT_EQ(static_cast<int>(started.size()) + superseded + turned_away, crowd);
  const auto status = exchange(status_line);
  ASSERT_TRUE(status);
  if (*status != stopped_line) {
    const auto running =
        std::ranges::find_if(started, [&](std::uint32_t pid) { return *status == running_line(pid); });
    EXPECT_NE(running, started.end()) << *status;
  }
  EXPECT_EQ(exchange(disconnect_line), disconnected_line);
  EXPECT_TRUE(eventually([&] { return processes_of(openvpn).empty(); }, 10s))
      << "an OpenVPN was left running";
}

// A reader holds the token file open across a stop and a start. Sharing read only, it keeps the
// service from replacing the file, and the service keeps the token it holds; sharing delete as well,
// as the client tool does, it cannot keep the service from writing a fresh one. Either way a client
// that carries the token the file now holds is served.
TEST_F(ServiceEndToEnd, AReaderHoldingTheTokenFileCannotJamTheService) {
  const PolicyValue required(L"RequireClientToken", REG_DWORD, std::wstring(L"\x0001\0", 2));
  const std::filesystem::path file = taskkill_->service().parent_path() / "token" / "client.token";
  const auto read_token = [&] {
    const UniqueFile opened(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    char text[65] = {};
    DWORD read = 0;
    EXPECT_TRUE(opened && ReadFile(opened.get(), text, sizeof text, &read, nullptr)) << GetLastError();
    return std::string(text, read);
  };
  for (const DWORD sharing : {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_DELETE}}) {
    SCOPED_TRACE(sharing == FILE_SHARE_READ ? "sharing read" : "sharing read and delete");
    start_and_wait_serving();
    const std::string before = read_token();
    ASSERT_EQ(before.size(), 64u);
    const UniqueFile reader(
        CreateFileW(file.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader) << GetLastError();
    stop_and_wait();
    start_and_wait_serving();
    const std::string after = read_token();
    EXPECT_EQ(after == before, sharing == FILE_SHARE_READ);
    EXPECT_EQ(exchange("{\"cmd\":\"status\",\"token\":\"" + after + "\"}\n"), stopped_line);
    stop_and_wait();
  }
}

TEST(ConsoleStart, WritesTheDispatcherLineAndExitsWithZero) {
  const auto finished =
      run_with_standard_error(L"\"" + windows_path(ORVANTA_SERVICE_EXE) + L"\" --any argument");
  ASSERT_TRUE(finished.has_value());
  EXPECT_EQ(finished->exit_code, 0u);
  EXPECT_EQ(finished->standard_error,
            "[orvanta-vpn-helper-windows] service dispatcher failed: IO error in winapi call\n");
}

}  // namespace
}  // namespace orvanta::test

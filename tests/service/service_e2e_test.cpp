// The service end to end under the Service Control Manager, through the real endpoint.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "common/handle.hpp"
#include "common/utf16.hpp"

namespace orvanta {
namespace {

using namespace std::chrono_literals;

constexpr wchar_t kServiceName[] = L"OrvantaVpnHelper";

// The build gives Linux paths; Wine shows the Linux root as drive Z:.
std::string windows_path_text(const std::string& linux_path) {
  std::string path = "Z:" + linux_path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}
std::wstring windows_path(const std::string& linux_path) { return to_wide(windows_path_text(linux_path)); }

// One request line, the whole reply; nothing when the connection could not be made.
std::optional<std::string> exchange(const std::string& line) {
  UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!s) return std::nullopt;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(49877);
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) return std::nullopt;
  // A reply that never comes fails the test instead of hanging it.
  const DWORD patience_ms = 20000;
  setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&patience_ms),
             sizeof patience_ms);
  if (send(s.get(), line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size())) {
    return std::nullopt;
  }
  std::string reply;
  char buffer[1024];
  for (int n; (n = recv(s.get(), buffer, sizeof buffer, 0)) > 0;)
    reply.append(buffer, static_cast<std::size_t>(n));
  return reply;
}

std::string escape_json(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

bool process_alive(DWORD pid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
  if (!process) return false;
  return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (predicate()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return predicate();
}

std::optional<DWORD> read_pid(const std::filesystem::path& file) {
  std::ifstream in(file);
  DWORD pid = 0;
  if (in >> pid) return pid;
  return std::nullopt;
}

class ServiceEndToEnd : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  }

  void SetUp() override {
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager_) << GetLastError();
    remove_leftover();
    const std::wstring binary = L"\"" + windows_path(ORVANTA_SERVICE_EXE) + L"\"";
    service_.reset(CreateServiceW(manager_.get(), kServiceName, L"Orvanta VPN helper", SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                  binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service_) << GetLastError();
    work_ = std::filesystem::temp_directory_path() /
            ("orvanta-e2e-" + std::to_string(GetCurrentProcessId()) + "-" +
             testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(work_);
  }

  void TearDown() override {
    stop_and_wait();
    DeleteService(service_.get());
    service_.reset();
    for (DWORD pid : started_) {
      UniqueHandle p(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
      if (p) TerminateProcess(p.get(), 1);
    }
    std::error_code ignored;
    std::filesystem::remove_all(work_, ignored);
  }

  void remove_leftover() {
    UniqueServiceHandle old(OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (old) {
      SERVICE_STATUS status;
      ControlService(old.get(), SERVICE_CONTROL_STOP, &status);
      eventually([&] { return state_of(old.get()) == SERVICE_STOPPED; });
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

  void start_and_wait_serving() {
    ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(eventually([&] { return state_of(service_.get()) == SERVICE_RUNNING; }));
    // Running is reported before the listener opens, so the first connections may be refused.
    ASSERT_TRUE(eventually([&] { return exchange("{\"cmd\":\"status\"}\n").has_value(); }));
  }

  void stop_and_wait() {
    SERVICE_STATUS ignored;
    if (state_of(service_.get()) != SERVICE_STOPPED) {
      ControlService(service_.get(), SERVICE_CONTROL_STOP, &ignored);
      eventually([&] { return state_of(service_.get()) == SERVICE_STOPPED; });
    }
  }

  // A plan that makes the stand-in play OpenVPN: it records its id and, if asked, a grandchild's.
  std::filesystem::path write_plan(const std::string& name, const std::string& extra = {}) {
    const auto plan = work_ / (name + ".plan");
    std::ofstream(plan) << extra << "pid_out=" << (work_ / (name + ".pid")).string() << "\n";
    return plan;
  }

  std::string connect_line(const std::filesystem::path& plan) {
    return "{\"cmd\":\"connect\",\"openvpn\":\"" + escape_json(windows_path_text(ORVANTA_STANDIN_EXE)) +
           "\",\"config\":\"" + escape_json(plan.string()) + "\",\"auth\":\"" +
           escape_json((work_ / "auth.txt").string()) + "\",\"log\":\"" +
           escape_json((work_ / "openvpn.log").string()) + "\"}\n";
  }

  UniqueServiceHandle manager_;
  UniqueServiceHandle service_;
  std::filesystem::path work_;
  std::vector<DWORD> started_;
};

TEST_F(ServiceEndToEnd, FreshServiceReportsStoppedAndClosesTheConnection) {
  start_and_wait_serving();
  EXPECT_EQ(exchange("{\"cmd\":\"status\"}\n"), "{\"ok\":true,\"message\":\"stopped\",\"pid\":null}\n");
  EXPECT_EQ(exchange("{\"cmd\":\"restart\"}\n"),
            "{\"ok\":false,\"message\":\"Invalid request JSON: unknown variant `restart`, expected one of "
            "`connect`, `disconnect`, `status` at line 1 column 16\",\"pid\":null}\n");
  const SERVICE_STATUS s = status();
  EXPECT_EQ(s.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(s.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
}

TEST_F(ServiceEndToEnd, ConnectStatusDisconnectDriveTheStandIn) {
  start_and_wait_serving();
  const auto reply = exchange(connect_line(write_plan("vpn")));
  ASSERT_TRUE(reply);
  ASSERT_TRUE(eventually([&] { return read_pid(work_ / "vpn.pid").has_value(); })) << *reply;
  const DWORD pid = *read_pid(work_ / "vpn.pid");
  started_.push_back(pid);
  EXPECT_EQ(*reply, "{\"ok\":true,\"message\":\"OpenVPN started\",\"pid\":" + std::to_string(pid) + "}\n");
  EXPECT_EQ(exchange("{\"cmd\":\"status\"}\n"),
            "{\"ok\":true,\"message\":\"running\",\"pid\":" + std::to_string(pid) + "}\n");
  EXPECT_EQ(exchange("{\"cmd\":\"disconnect\"}\n"),
            "{\"ok\":true,\"message\":\"OpenVPN stopped\",\"pid\":null}\n");
  EXPECT_FALSE(process_alive(pid));
  EXPECT_EQ(exchange("{\"cmd\":\"status\"}\n"), "{\"ok\":true,\"message\":\"stopped\",\"pid\":null}\n");
}

TEST_F(ServiceEndToEnd, StopWhileOpenVpnRunsEndsTheWholeTreeAndReportsStopped) {
  start_and_wait_serving();
  const auto grandchild = write_plan("grandchild");
  const auto plan = write_plan("vpn", "grandchild_plan=" + grandchild.string() + "\n");
  ASSERT_TRUE(exchange(connect_line(plan)));
  ASSERT_TRUE(eventually([&] { return read_pid(work_ / "grandchild.pid").has_value(); }));
  ASSERT_TRUE(read_pid(work_ / "vpn.pid").has_value());
  const DWORD vpn = *read_pid(work_ / "vpn.pid");
  const DWORD descendant = *read_pid(work_ / "grandchild.pid");
  started_ = {vpn, descendant};
  ASSERT_TRUE(process_alive(vpn));
  ASSERT_TRUE(process_alive(descendant));

  SERVICE_STATUS ignored;
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &ignored)) << GetLastError();
  ASSERT_TRUE(eventually([&] { return state_of(service_.get()) == SERVICE_STOPPED; }));
  const auto took = std::chrono::steady_clock::now() - asked;
  EXPECT_LT(took, 5s) << "the stopped report should follow the stop promptly";
  EXPECT_EQ(status().dwWin32ExitCode, 0u);
  EXPECT_TRUE(eventually([&] { return !process_alive(vpn); }, 3s)) << "OpenVPN outlived the service stop";
  EXPECT_TRUE(eventually([&] { return !process_alive(descendant); }, 3s)) << "its child outlived the stop";
  // The listener is closed just after the stopped report, so the port may still take a connection
  // for a moment.
  EXPECT_TRUE(eventually([] { return !exchange("{\"cmd\":\"status\"}\n").has_value(); }, 3s))
      << "something still listens after the stop";
}

TEST_F(ServiceEndToEnd, ControlsOtherThanStopLeaveItServing) {
  start_and_wait_serving();
  SERVICE_STATUS s{};
  EXPECT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_INTERROGATE, &s)) << GetLastError();
  ControlService(service_.get(), SERVICE_CONTROL_PAUSE, &s);  // not accepted; must change nothing
  ControlService(service_.get(), 200, &s);                    // user-defined; must change nothing
  EXPECT_EQ(state_of(service_.get()), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(exchange("{\"cmd\":\"status\"}\n"), "{\"ok\":true,\"message\":\"stopped\",\"pid\":null}\n");
}

TEST_F(ServiceEndToEnd, TakenPortEndsTheServiceStoppedWithTheBindError) {
  UniqueSocket squatter(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(49877);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(squatter.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(squatter.get(), 1), 0);

  ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
  ASSERT_TRUE(eventually([&] { return state_of(service_.get()) == SERVICE_STOPPED; }));
  EXPECT_EQ(status().dwWin32ExitCode, 10048u);  // WSAEADDRINUSE
}

TEST(ConsoleStart, WritesTheDispatcherLineAndExitsWithZero) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inheritable, 0));
  UniqueHandle reader(read_end);
  UniqueHandle writer(write_end);
  SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = writer.get();
  std::wstring command = L"\"" + windows_path(ORVANTA_SERVICE_EXE) + L"\" --any argument";
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(
      CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
      << GetLastError();
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  writer.reset();

  std::string written;
  char buffer[512];
  DWORD n = 0;
  while (ReadFile(reader.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) written.append(buffer, n);
  ASSERT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
  DWORD exit_code = 99;
  GetExitCodeProcess(process.get(), &exit_code);
  EXPECT_EQ(exit_code, 0u);
  EXPECT_EQ(written, "[orvanta-vpn-helper-windows] service dispatcher failed: IO error in winapi call\n");
}

}  // namespace
}  // namespace orvanta

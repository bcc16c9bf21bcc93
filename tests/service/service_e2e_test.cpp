// The service end to end under the Service Control Manager, through the real endpoint.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "common/handle.hpp"
#include "support/files.hpp"
#include "support/loopback_socket.hpp"
#include "support/polling.hpp"
#include "support/standin_plan.hpp"
#include "support/text.hpp"
#include "support/watched_process.hpp"

namespace orvanta::test {
namespace {

using namespace std::chrono_literals;

constexpr wchar_t kServiceName[] = L"OrvantaVpnHelper";
constexpr std::uint16_t service_port = 49877;

// One request line to the service, the whole reply; nothing when the connection could not be made.
std::optional<std::string> exchange(const std::string& line) { return round_trip(service_port, line); }

class ServiceEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager_) << GetLastError();
    remove_leftover();
    const std::wstring binary = L"\"" + windows_path(ORVANTA_SERVICE_EXE) + L"\"";
    service_.reset(CreateServiceW(manager_.get(), kServiceName, L"Orvanta VPN helper", SERVICE_ALL_ACCESS,
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
    UniqueServiceHandle old(OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
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
      (void)eventually([&] { return state_of(service_.get()) == SERVICE_STOPPED; });
    }
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

  UniqueServiceHandle manager_;
  UniqueServiceHandle service_;
  ScratchDir work_;
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
  const Planned vpn = plan("vpn");
  const auto reply = exchange(connect_line(vpn));
  ASSERT_TRUE(reply);
  const auto pid = wait_for_pid(vpn.pid_out);
  ASSERT_TRUE(pid) << *reply;
  const Watched openvpn(*pid);
  EXPECT_EQ(*reply, "{\"ok\":true,\"message\":\"OpenVPN started\",\"pid\":" + std::to_string(*pid) + "}\n");
  EXPECT_EQ(exchange("{\"cmd\":\"status\"}\n"),
            "{\"ok\":true,\"message\":\"running\",\"pid\":" + std::to_string(*pid) + "}\n");
  EXPECT_EQ(exchange("{\"cmd\":\"disconnect\"}\n"),
            "{\"ok\":true,\"message\":\"OpenVPN stopped\",\"pid\":null}\n");
  EXPECT_FALSE(openvpn.running());
  EXPECT_EQ(exchange("{\"cmd\":\"status\"}\n"), "{\"ok\":true,\"message\":\"stopped\",\"pid\":null}\n");
}

TEST_F(ServiceEndToEnd, StopWhileOpenVpnRunsEndsTheWholeTreeAndReportsStopped) {
  start_and_wait_serving();
  const Planned grandchild = plan("grandchild");
  const Planned vpn = plan("vpn", {{"grandchild_plan", grandchild.plan}});
  ASSERT_TRUE(exchange(connect_line(vpn)));
  const Watched openvpn(wait_for_pid(vpn.pid_out));
  const Watched descendant(wait_for_pid(grandchild.pid_out));
  ASSERT_TRUE(openvpn.running());
  ASSERT_TRUE(descendant.running());

  SERVICE_STATUS ignored;
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &ignored)) << GetLastError();
  ASSERT_TRUE(eventually([&] { return state_of(service_.get()) == SERVICE_STOPPED; }));
  const auto took = std::chrono::steady_clock::now() - asked;
  EXPECT_LT(took, 5s) << "the stopped report should follow the stop promptly";
  EXPECT_EQ(status().dwWin32ExitCode, 0u);
  EXPECT_TRUE(openvpn.ends_within(3000)) << "OpenVPN outlived the service stop";
  EXPECT_TRUE(descendant.ends_within(3000)) << "its child outlived the stop";
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
  const UniqueSocket squatter = listening_socket(service_port);
  ASSERT_TRUE(squatter);

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

  const std::string written = read_to_end(reader.get());
  ASSERT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
  DWORD exit_code = 99;
  GetExitCodeProcess(process.get(), &exit_code);
  EXPECT_EQ(exit_code, 0u);
  EXPECT_EQ(written, "[orvanta-vpn-helper-windows] service dispatcher failed: IO error in winapi call\n");
}

}  // namespace
}  // namespace orvanta::test

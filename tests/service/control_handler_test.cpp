// The control handler's answers, called directly (Wine does not hand them back to ControlService),
// and the mapping of status records onto SERVICE_STATUS.
#include "service/control_handler.hpp"
#include "service/event_log.hpp"
#include "service/status_report.hpp"
#include "vpn/helper_state.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "common/handle.hpp"
#include "common/utf16.hpp"
#include "support/text.hpp"

namespace orvanta {
namespace {

TEST(ControlHandler, AnswersEachControlAndSetsTheFlagOnlyForStopAndShutdown) {
  struct Case {
    DWORD control;
    DWORD returns;
    bool sets_flag;
  } cases[] = {
      {SERVICE_CONTROL_STOP, NO_ERROR, true},
      {SERVICE_CONTROL_SHUTDOWN, NO_ERROR, true},
      {SERVICE_CONTROL_INTERROGATE, NO_ERROR, false},
      {SERVICE_CONTROL_PAUSE, ERROR_CALL_NOT_IMPLEMENTED, false},
      {SERVICE_CONTROL_CONTINUE, ERROR_CALL_NOT_IMPLEMENTED, false},
      {SERVICE_CONTROL_PARAMCHANGE, ERROR_CALL_NOT_IMPLEMENTED, false},
      {SERVICE_CONTROL_DEVICEEVENT, ERROR_CALL_NOT_IMPLEMENTED, false},
      {SERVICE_CONTROL_POWEREVENT, ERROR_CALL_NOT_IMPLEMENTED, false},
      {SERVICE_CONTROL_PRESHUTDOWN, NO_ERROR, true},
      {SERVICE_CONTROL_TIMECHANGE, ERROR_CALL_NOT_IMPLEMENTED, false},
      {0, ERROR_CALL_NOT_IMPLEMENTED, false},
      {128, ERROR_CALL_NOT_IMPLEMENTED, false},
      {200, ERROR_CALL_NOT_IMPLEMENTED, false},
      {255, ERROR_CALL_NOT_IMPLEMENTED, false},
  };
  for (const auto& c : cases) {
    ControlContext context{std::make_shared<ShutdownFlag>(), std::make_shared<HelperState>()};
    EXPECT_EQ(control_handler(c.control, 0, nullptr, &context), c.returns) << c.control;
    EXPECT_EQ(context.shutdown->is_set(), c.sets_flag) << c.control;
    if (c.sets_flag) {
      EXPECT_EQ(WaitForSingleObject(context.shutdown->wake_event(), 0), WAIT_OBJECT_0) << c.control;
    }
  }
}

// Stop-pending is reported once, before the service main is woken: a report after that could land
// after the main's stopped report, and the system would wait on a service whose process has ended.
TEST(ControlHandler, RepeatedStopsKeepTheFlagSetAndSucceed) {
  ControlContext context{std::make_shared<ShutdownFlag>(), std::make_shared<HelperState>()};
  context.status_handle = reinterpret_cast<SERVICE_STATUS_HANDLE>(1);
  std::vector<std::pair<DWORD, bool>> reported;  // state, and whether the main was woken by then
  context.report = [&](SERVICE_STATUS_HANDLE, const StatusReport& report) -> Result<void> {
    reported.emplace_back(report.current_state, context.shutdown->is_set());
    return {};
  };
  EXPECT_EQ(control_handler(SERVICE_CONTROL_STOP, 0, nullptr, &context), NO_ERROR);
  EXPECT_EQ(control_handler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, &context), NO_ERROR);
  EXPECT_EQ(control_handler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, &context), NO_ERROR);
  EXPECT_TRUE(context.shutdown->is_set());
  EXPECT_EQ(reported, (std::vector<std::pair<DWORD, bool>>{{SERVICE_STOP_PENDING, false}}));
  EXPECT_EQ(context.state->query_status().message, "stopped");
  // The handler has told the state: from now on nothing is launched.
  EXPECT_EQ(context.state->start_openvpn("openvpn", "config", "auth", "log"),
            (HelperResponse{false, "Failed to start OpenVPN: the service is stopping", std::nullopt}));
}

// Each kind of failure is an event whose text the service executable's own message table holds, the
// failure's detail in place of %1. Under Wine, ReportEventW stores nothing, but the table is there.
TEST(EventLog, EachFailureHasItsMessageInTheServiceExecutable) {
  struct Case {
    Failure kind;
    WORD type;
    std::wstring text;
  };
  const Case cases[] = {
      {Failure::Dispatcher, EVENTLOG_ERROR_TYPE, L"The service dispatcher could not be started: detail"},
      {Failure::Registration, EVENTLOG_ERROR_TYPE,
       L"The service could not register its control handler: detail"},
      {Failure::StatusReport, EVENTLOG_ERROR_TYPE,
       L"The service could not report its status to the Service Control Manager: detail"},
      {Failure::Winsock, EVENTLOG_ERROR_TYPE, L"Windows Sockets could not be started: detail"},
      {Failure::Bind, EVENTLOG_ERROR_TYPE, L"The service could not listen on its loopback address: detail"},
      {Failure::ListenerMode, EVENTLOG_ERROR_TYPE,
       L"The service could not make its listener non-blocking: detail"},
      {Failure::WorkerStart, EVENTLOG_ERROR_TYPE, L"A client connection could not be given a worker: detail"},
      {Failure::PolicyRefusal, EVENTLOG_WARNING_TYPE,
       L"A request was refused by the administrator's policy: detail"},
      {Failure::PolicyUnusable, EVENTLOG_ERROR_TYPE,
       L"The administrator's policy cannot be applied, so every command is refused: detail"},
      {Failure::PolicyIncomplete, EVENTLOG_ERROR_TYPE,
       L"The administrator's policy is incomplete, so every connect is refused: detail"},
      {Failure::RunRecord, EVENTLOG_ERROR_TYPE, L"The OpenVPN record could not be kept: detail"},
      {Failure::PipeCreate, EVENTLOG_ERROR_TYPE,
       L"The pipe could not be created; the service tries again every 5 seconds: detail"},
      {Failure::TcpEndpointUnusable, EVENTLOG_ERROR_TYPE,
       L"The TcpEndpoint policy value cannot be used, so the loopback TCP endpoint stays off: detail"},
      {Failure::TokenKept, EVENTLOG_WARNING_TYPE,
       L"The client token file is held open by another process and cannot be replaced; the service keeps "
       L"its token until it is released: detail"},
  };
  static_assert(std::size(cases) == failure_kinds, "a kind of failure without a message");
  const HMODULE module = LoadLibraryExW(test::windows_path(ORVANTA_SERVICE_EXE).c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << GetLastError();
  for (const Case& c : cases) {
    const EventIdentity identity = event_identity(c.kind);
    EXPECT_EQ(identity.type, c.type);
    // FORMAT_MESSAGE_ARGUMENT_ARRAY takes the inserts as an array of pointers.
    DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(L"detail")};
    wchar_t text[512];
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                       identity.message_id, 0, text, 512, reinterpret_cast<va_list*>(inserts));
    ASSERT_NE(length, 0u) << "no message " << std::hex << identity.message_id;
    std::wstring message(text, length);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) {
      message.pop_back();
    }
    EXPECT_EQ(message, c.text);
  }
  FreeLibrary(module);
}

TEST(StatusReport, MapsOntoServiceStatusFieldByField) {
  const SERVICE_STATUS running = to_service_status(running_report());
  EXPECT_EQ(running.dwServiceType, 0x10u);
  EXPECT_EQ(running.dwCurrentState, 4u);
  EXPECT_EQ(running.dwControlsAccepted, 0x105u);
  EXPECT_EQ(running.dwWin32ExitCode, 0u);
  EXPECT_EQ(running.dwServiceSpecificExitCode, 0u);
  EXPECT_EQ(running.dwCheckPoint, 0u);
  EXPECT_EQ(running.dwWaitHint, 0u);

  const SERVICE_STATUS stopped = to_service_status(stopped_report());
  EXPECT_EQ(stopped.dwServiceType, 0x10u);
  EXPECT_EQ(stopped.dwCurrentState, 1u);
  EXPECT_EQ(stopped.dwControlsAccepted, 0u);
  EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
  EXPECT_EQ(stopped.dwServiceSpecificExitCode, 0u);
}

TEST(StatusReport, ExitCodesAndWaitHints) {
  const SERVICE_STATUS win32 = to_service_status(stopped_report(Win32ExitCode{10048}));
  EXPECT_EQ(win32.dwWin32ExitCode, 10048u);
  EXPECT_EQ(win32.dwServiceSpecificExitCode, 0u);

  const SERVICE_STATUS specific = to_service_status(stopped_report(ServiceSpecificExitCode{7}));
  EXPECT_EQ(specific.dwWin32ExitCode, 1066u);
  EXPECT_EQ(specific.dwServiceSpecificExitCode, 7u);

  StatusReport hinted = running_report();
  hinted.wait_hint = std::chrono::seconds(2) + std::chrono::nanoseconds(1'999'999);
  EXPECT_EQ(to_service_status(hinted).dwWaitHint, 2001u);  // the sub-millisecond remainder is dropped
}

TEST(StatusReport, FailuresNameTheirCode) {
  const auto os = exit_code_for(Error::os(10048));
  ASSERT_TRUE(std::holds_alternative<Win32ExitCode>(os));
  EXPECT_EQ(std::get<Win32ExitCode>(os).code, 10048u);
  const auto fixed = exit_code_for(Error::fixed("IO error in winapi call"));
  ASSERT_TRUE(std::holds_alternative<ServiceSpecificExitCode>(fixed));
  EXPECT_NE(std::get<ServiceSpecificExitCode>(fixed).code, 0u);
}

}  // namespace
}  // namespace orvanta

// The control handler's answers, called directly (Wine does not hand them back to ControlService),
// and the mapping of status records onto SERVICE_STATUS.
#include "service/control_handler.hpp"
#include "service/status_report.hpp"
#include "vpn/helper_state.hpp"

#include <gtest/gtest.h>

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
      {SERVICE_CONTROL_PRESHUTDOWN, ERROR_CALL_NOT_IMPLEMENTED, false},
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

TEST(ControlHandler, RepeatedStopsKeepTheFlagSetAndSucceed) {
  ControlContext context{std::make_shared<ShutdownFlag>(), std::make_shared<HelperState>()};
  EXPECT_EQ(control_handler(SERVICE_CONTROL_STOP, 0, nullptr, &context), NO_ERROR);
  EXPECT_EQ(control_handler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, &context), NO_ERROR);
  EXPECT_EQ(control_handler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, &context), NO_ERROR);
  EXPECT_TRUE(context.shutdown->is_set());
  EXPECT_EQ(context.state->query_status().message, "stopped");
}

TEST(StatusReport, MapsOntoServiceStatusFieldByField) {
  const SERVICE_STATUS running = to_service_status(running_report());
  EXPECT_EQ(running.dwServiceType, 0x10u);
  EXPECT_EQ(running.dwCurrentState, 4u);
  EXPECT_EQ(running.dwControlsAccepted, 5u);
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

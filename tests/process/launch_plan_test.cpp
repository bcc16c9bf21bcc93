// What a launch runs and with which line, and which failure decides, before any handle is made.
#include "process/launch_plan.hpp"

#include <gtest/gtest.h>

#include "common/utf16.hpp"
#include "fake_system.hpp"
#include "process/launch_errors.hpp"
#include "printers.hpp"

namespace orvanta {
namespace {

using test::FakeSystem;

TEST(LaunchPlan, OrdinaryProgramKeepsItsTextAsFirstWord) {
  FakeSystem system;
  system.files = {uR"(C:\svc\openvpn.exe)"};
  const auto plan = plan_launch(Command("openvpn").arg("--config").arg(R"(C:\my dir\a.ovpn)"), system);
  ASSERT_TRUE(plan) << error_text(plan.error());
  EXPECT_EQ(plan->application, uR"(C:\svc\openvpn.exe)");
  EXPECT_EQ(plan->command_line, uR"("openvpn" --config "C:\my dir\a.ovpn")");
  EXPECT_FALSE(plan->batch);
}

TEST(LaunchPlan, BatchScriptsRunThroughTheSystemCmd) {
  struct Case {
    const char* program;
    std::u16string script;
  } cases[] = {
      {R"(C:\s\run.bat)", uR"(C:\s\run.bat)"},   {R"(C:\s\run.BAT)", uR"(C:\s\run.BAT)"},
      {R"(C:\s\run.Cmd)", uR"(C:\s\run.Cmd)"},   {R"(C:\s\run.bat.)", uR"(C:\s\run.bat.)"},
      {"deploy.cmd", uR"(D:\tools\deploy.cmd)"},
  };
  for (const auto& c : cases) {
    FakeSystem system;
    system.path = uR"(D:\tools)";
    system.files = {uR"(D:\tools\deploy.cmd)"};
    const auto plan = plan_launch(Command(c.program).arg("a&b"), system);
    ASSERT_TRUE(plan) << c.program << ": " << error_text(plan.error());
    EXPECT_TRUE(plan->batch) << c.program;
    EXPECT_EQ(plan->application, uR"(C:\Windows\System32\cmd.exe)") << c.program;
    EXPECT_EQ(plan->command_line, u"cmd.exe /e:ON /v:OFF /d /c \"\"" + c.script + uR"(" "a&b"")")
        << c.program;
  }
}

TEST(LaunchPlan, VerbatimNameWithTrailingDotIsNoScript) {
  FakeSystem system;
  const auto plan = plan_launch(Command(R"(\\?\C:\s\run.bat.)").arg("a&b"), system);
  ASSERT_TRUE(plan);
  EXPECT_FALSE(plan->batch);
  EXPECT_EQ(plan->application, uR"(\\?\C:\s\run.bat.)");
  EXPECT_EQ(plan->command_line, uR"("\\?\C:\s\run.bat." a&b)");
}

TEST(LaunchPlan, FirstFailingStepDecides) {
  const Error denied = Error::os(5);
  const Error bad_name = Error::os(123);
  struct Case {
    const char* what;
    Command command;
    bool system_directory_fails;
    Error expected;
  } cases[] = {
      {"resolution before arguments", Command("").arg("a\nb"), false,
       Error::fixed(launch_error::no_file_name)},
      {"batch detection before arguments", Command(R"(C:\s\gone.bat)").arg("a\nb"), false, bad_name},
      {"system directory before arguments", Command(R"(C:\s\run.bat)").arg("a\nb"), true, denied},
      {"batch argument", Command(R"(C:\s\run.bat)").arg("ok").arg("a\nb"), false,
       Error::fixed(launch_error::bad_batch_argument)},
      {"ordinary programs take line breaks", Command(R"(C:\p.exe)").arg("a\nb").arg(std::string("\0", 1)),
       false, Error::fixed(launch_error::nul_in_data)},
      {"not found", Command("nothing-here").arg(std::string("\0", 1)), false,
       Error::fixed(launch_error::program_not_found)},
  };
  for (const auto& c : cases) {
    FakeSystem system;
    system.full_paths[uR"(C:\s\gone.bat)"] = std::unexpected(bad_name);
    if (c.system_directory_fails) {
      system.system = std::unexpected(denied);
    }
    EXPECT_EQ(plan_launch(c.command, system), std::unexpected(c.expected)) << c.what;
  }
}

}  // namespace
}  // namespace orvanta

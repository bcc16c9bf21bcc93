// Program search on the real system: which file runs, and the errors a launch ends in.
#include <gtest/gtest.h>

#include <regex>

#include "common/utf16.hpp"
#include "printers.hpp"
#include "process/launch_errors.hpp"
#include "process/program_search.hpp"
#include "process/windows_system_queries.hpp"
#include "support/files.hpp"
#include "support/standin_plan.hpp"
#include "support/text.hpp"
#include "support/this_process.hpp"
#include "support/watched_process.hpp"

namespace orvanta {
namespace {

std::u16string sys_path(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  return from_wide(std::wstring(path, length) + L"\\" + name);
}

TEST(SearchLaunch, SystemDirectoryComesBeforeTheWindowsDirectory) {
  WindowsSystemQueries system;
  EXPECT_EQ(resolve_program("cmd", system), sys_path(L"cmd.exe"));
  // notepad.exe is in both the system and the Windows directory.
  EXPECT_EQ(resolve_program("notepad", system), sys_path(L"notepad.exe"));
}

TEST(SearchLaunch, CopyNextToTheExecutableWinsOverTheSystemsOwn) {
  test::ScratchDir scratch;
  const test::StandinCopy copy(test::program_path().parent_path() / L"taskkill.exe");
  ASSERT_TRUE(copy.copied());
  const std::wstring plan = scratch.file(L"plan.txt");
  const std::wstring argv_out = scratch.file(L"argv.bin");
  ASSERT_TRUE(test::write_plan(plan, {{"argv_out", test::utf8(argv_out)}, {"exit_code", "42"}}));

  EXPECT_EQ(test::run_to_completion(Command("taskkill").arg(test::utf8(plan)).arg("/F")), ExitStatus{42});
  const auto argv = test::read_argv(argv_out);
  EXPECT_EQ(argv, (std::vector<std::string>{"taskkill", test::utf8(plan), "/F"}));
}

TEST(SearchLaunch, NameWithAFullStopGetsNoExe) {
  test::ScratchDir scratch;
  const std::wstring plan = scratch.file(L"plan.txt");
  ASSERT_TRUE(test::write_plan(plan, {{"exit_code", "43"}}));
  const test::StandinCopy as_is(test::program_path().parent_path() / L"orvanta-probe.x");
  const test::StandinCopy with_exe(test::program_path().parent_path() / L"orvanta-probe.y.exe");
  ASSERT_TRUE(as_is.copied() && with_exe.copied());

  EXPECT_EQ(test::run_to_completion(Command("orvanta-probe.x").arg(test::utf8(plan))), ExitStatus{43});
  EXPECT_EQ(test::run_to_completion(Command("orvanta-probe.y").arg(test::utf8(plan))),
            std::unexpected(Error::fixed(launch_error::program_not_found)));
}

TEST(SearchLaunch, PathEntriesAreSplitOutsideQuotes) {
  test::ScratchDir scratch;
  const std::wstring quoted = scratch.file(L"a;b");
  ASSERT_TRUE(CreateDirectoryW(quoted.c_str(), nullptr));
  const test::StandinCopy copy(quoted + L"\\orvanta-onpath.exe");
  ASSERT_TRUE(copy.copied());
  const std::wstring plan = scratch.file(L"plan.txt");
  ASSERT_TRUE(test::write_plan(plan, {{"exit_code", "44"}}));

  const test::ScopedVariable path(L"PATH", scratch.file(L"none") + L";;\"" + quoted + L"\"");
  EXPECT_EQ(test::run_to_completion(Command("orvanta-onpath").arg(test::utf8(plan))), ExitStatus{44});
}

TEST(SearchLaunch, PathWithoutExtensionRunsTheExeBesideIt) {
  test::ScratchDir scratch;
  const test::StandinCopy copy(scratch.file(L"tool.exe"));
  ASSERT_TRUE(copy.copied());
  const std::wstring plan = scratch.file(L"plan.txt");
  const std::wstring argv_out = scratch.file(L"argv.bin");
  ASSERT_TRUE(test::write_plan(plan, {{"argv_out", test::utf8(argv_out)}, {"exit_code", "45"}}));

  const std::string program = test::utf8(scratch.file(L"tool"));
  EXPECT_EQ(test::run_to_completion(Command(program).arg(test::utf8(plan))), ExitStatus{45});
  // The child sees the program text as it was given, not the path that was found.
  EXPECT_EQ(test::read_argv(argv_out).at(0), program);
}

TEST(SearchLaunch, FixedErrorsComeWhereTheRulesPutThem) {
  struct Case {
    Command command;
    const char* expected;
  } cases[] = {
      {Command(""), launch_error::no_file_name},
      {Command(R"(C:\windows\)"), launch_error::no_file_name},
      {Command("C:/windows/"), launch_error::no_file_name},
      {Command("orvanta-no-such-program"), launch_error::program_not_found},
      {Command(std::string("cmd\0x", 5)), launch_error::nul_in_data},
      {Command(std::string("C:\\windows\\cmd\0.exe", 19)), launch_error::nul_in_path},
      {Command(std::string("C:\\windows\\cmd\0x", 16)), launch_error::nul_in_path},
      {Command("cmd").arg("fine").arg(std::string("a\0b", 3)), launch_error::nul_in_data},
  };
  for (const auto& c : cases) {
    const auto child = spawn(c.command);
    ASSERT_FALSE(child) << c.expected;
    EXPECT_EQ(child.error(), Error::fixed(c.expected));
  }
}

// The wording is the system's (Wine's under Wine); the form and the code are ours.
TEST(SearchLaunch, SystemErrorsShowTheTrimmedMessageAndTheCode) {
  test::ScratchDir scratch;
  ASSERT_TRUE(test::write_file(scratch.file(L"text.exe"), "not a program"));
  for (const std::wstring& program : {scratch.file(L"missing.EXE"), scratch.file(L"missing"),
                                      scratch.file(L"gone\\x.exe"), scratch.file(L"text.exe")}) {
    const auto child = spawn(Command(test::utf8(program)));
    ASSERT_FALSE(child) << test::utf8(program);
    ASSERT_TRUE(child.error().is_os()) << error_text(child.error());
    const std::string text = error_text(child.error());
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(text, parts, std::regex(R"((.*\S) \(os error (\d+)\))"))) << text;
    EXPECT_EQ(parts[2].str(), std::to_string(child.error().os_code())) << text;
    EXPECT_EQ(parts[1].str().find("OS Error"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace orvanta

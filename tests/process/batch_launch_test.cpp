// Batch scripts run through the system's cmd.exe, and nothing in an argument can reach cmd.exe as syntax.
#include <gtest/gtest.h>

#include "common/utf16.hpp"
#include "process/command_line.hpp"
#include "process/launch_errors.hpp"
#include "support/files.hpp"
#include "support/standin_plan.hpp"
#include "support/text.hpp"
#include "support/this_process.hpp"
#include "support/watched_process.hpp"

namespace orvanta {
namespace {

std::wstring image_of(HANDLE process) {
  wchar_t path[MAX_PATH];
  DWORD length = MAX_PATH;
  if (!QueryFullProcessImageNameW(process, 0, path, &length)) {
    return L"";
  }
  return std::wstring(path, length);
}

std::wstring system_cmd() {
  wchar_t path[MAX_PATH];
  return std::wstring(path, GetSystemDirectoryW(path, MAX_PATH)) + L"\\cmd.exe";
}

class BatchLaunch : public testing::Test {
 protected:
  void SetUp() override {
    // The smuggled commands below name their targets bare, so the folder must hold no space.
    ASSERT_EQ(scratch_.path().find(L' '), std::wstring::npos) << test::utf8(scratch_.path());
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    // A command that leaves a mark when it runs and whose path holds no character cmd.exe reads as syntax.
    ASSERT_TRUE(
        test::write_file(scratch_.file(L"smuggled.cmd"), "@echo off\r\n>\"" + pwned_ + "4\" echo ran\r\n"));
    ASSERT_EQ(smuggled_.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789#$*+-./:?@\\_"),
              std::string::npos)
        << smuggled_;
  }

  // A script that writes the arguments it got, as one line, into echo.txt.
  std::wstring script(const std::wstring& name) {
    const std::wstring path = folder_ + L"\\" + name;
    const std::string body = "@echo off\r\n>\"" + test::utf8(echo_) + "\" echo %*\r\n";
    EXPECT_TRUE(test::write_file(path, body));
    return path;
  }

  void expect_nothing_smuggled() {
    for (const wchar_t* target : {L"pwned1", L"pwned2", L"pwned3", L"pwned4"}) {
      EXPECT_EQ(GetFileAttributesW(scratch_.file(target).c_str()), INVALID_FILE_ATTRIBUTES)
          << test::utf8(target);
    }
  }

  test::ScratchDir scratch_;
  std::wstring folder_ = scratch_.file(L"with space");
  std::wstring echo_ = scratch_.file(L"echo.txt");
  test::ScopedVariable probe_{L"ORVANTA_PROBE", L"expanded"};
  std::string pwned_ = test::utf8(scratch_.file(L"pwned"));
  std::string smuggled_ = test::utf8(scratch_.file(L"smuggled.cmd"));
};

TEST_F(BatchLaunch, ScriptsInAnyCaseRunThroughTheSystemCmdAndGetArgumentsLiterally) {
  struct Case {
    std::string argument;
    std::string echoed;  // how the script's %* shows it
    bool holds_percent;
  } cases[] = {
      {"x&echo pwned>" + pwned_ + "1", "\"x&echo pwned>" + pwned_ + "1\"", false},
      {"y|echo pwned>" + pwned_ + "2", "\"y|echo pwned>" + pwned_ + "2\"", false},
      {"\"&echo pwned>" + pwned_ + "3", "\"\"\"&echo pwned>" + pwned_ + "3\"", false},
      // Nothing but the & or | itself to force the quotes.
      {"z&" + smuggled_, "\"z&" + smuggled_ + "\"", false},
      {"w|" + smuggled_, "\"w|" + smuggled_ + "\"", false},
      {"^", "\"^\"", false},
      {"a b", "\"a b\"", false},
      {"plain", "plain", false},
      {"%ORVANTA_PROBE%", "\"%ORVANTA_PROBE%\"", true},
      {"100%", "\"100%\"", true},
  };
  // Wine's cmd.exe expands %VAR% again inside the text that %* (or any variable) stands for, and drops
  // a lone %, which Windows' never does; percent signs are proven at the cmd.exe layer below instead.
  const bool script_keeps_percent = !test::running_under_wine();
  for (const wchar_t* name : {L"run.bat", L"run.cmd", L"RUN.BAT"}) {
    Command command(test::utf8(script(name)));
    std::string expected;
    for (const auto& c : cases) {
      if (c.holds_percent && !script_keeps_percent) {
        continue;
      }
      command.arg(c.argument);
      expected += (expected.empty() ? "" : " ") + c.echoed;
    }
    command.stdout_mode(StdioMode::Null).stderr_mode(StdioMode::Null);
    DeleteFileW(echo_.c_str());

    auto child = spawn(command);
    ASSERT_TRUE(child) << error_text(child.error());
    const std::wstring image = image_of(child->process_handle());
    EXPECT_EQ(CompareStringOrdinal(image.c_str(), -1, system_cmd().c_str(), -1, TRUE), CSTR_EQUAL)
        << test::utf8(image);
    ASSERT_EQ(test::wait_for_exit(*child), ExitStatus{0});
    EXPECT_EQ(test::read_file(echo_), expected + "\r\n") << test::utf8(name);
    expect_nothing_smuggled();
  }
}

// cmd.exe runs the stand-in in place of a script with the very line a batch launch builds, so the
// stand-in's argv shows what cmd.exe passed on after its own reading of the line. Quotes are left to
// the script test: a batch argument writes them as cmd.exe's "", which scripts read and argv splitting
// does not.
TEST_F(BatchLaunch, CmdPassesEveryArgumentOnUnexpanded) {
  const std::wstring plan = scratch_.file(L"plan.txt");
  const std::wstring argv_out = scratch_.file(L"argv.bin");
  ASSERT_TRUE(test::write_plan(plan, {{"argv_out", test::utf8(argv_out)}, {"exit_code", "0"}}));
  const std::vector<std::string> args = {
      test::utf8(plan),
      "%ORVANTA_PROBE%",
      "100%",
      "a%b",
      "%",
      "%%",
      "!ORVANTA_PROBE!",
      "x&echo pwned>" + pwned_ + "1",
      "z&&echo pwned>" + pwned_ + "2",
      "y|echo pwned>" + pwned_ + "3",
      "v&" + smuggled_,
      "^",
      "tail\\",
      "a\\b c",
      "a b",
      "",
  };
  auto line = build_batch_command_line(from_wide(test::standin_path()), args);
  ASSERT_TRUE(line);
  std::wstring writable = to_wide(*line);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessW(system_cmd().c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &info));
  const UniqueHandle process(info.hProcess);
  const UniqueHandle thread(info.hThread);
  ASSERT_EQ(WaitForSingleObject(process.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));

  std::vector<std::string> expected = {test::utf8(test::standin_path())};
  expected.insert(expected.end(), args.begin(), args.end());
  EXPECT_EQ(test::read_argv(argv_out), expected);
  expect_nothing_smuggled();
}

TEST_F(BatchLaunch, LineBreaksAreRefusedBeforeAnythingRuns) {
  const std::wstring path = script(L"run.bat");
  for (const char* argument : {"a\nb", "a\rb"}) {
    const auto child = spawn(Command(test::utf8(path)).arg("ok").arg(argument));
    ASSERT_FALSE(child);
    EXPECT_EQ(child.error(), Error::fixed(launch_error::bad_batch_argument));
  }
  EXPECT_EQ(GetFileAttributesW(echo_.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace orvanta

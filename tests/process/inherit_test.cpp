// A child inherits its standard handles and nothing else this process holds as inheritable.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <vector>

#include "support/files.hpp"
#include "support/standin_plan.hpp"
#include "support/text.hpp"
#include "support/this_process.hpp"
#include "support/watched_process.hpp"

namespace orvanta {
namespace {

using test::ScratchDir;

class Inheritance : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
  static void TearDownTestSuite() { WSACleanup(); }

  void SetUp() override {
    // Handle values are per process; many handles first make a coincidental match in the small child
    // (which has only a few) unlikely.
    for (int i = 0; i < 256; ++i) {
      padding_.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    event_.reset(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event_);
    socket_.reset(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0));
    ASSERT_TRUE(socket_);
    ASSERT_TRUE(SetHandleInformation(reinterpret_cast<HANDLE>(socket_.get()), HANDLE_FLAG_INHERIT,
                                     HANDLE_FLAG_INHERIT));
  }

  // Launches the stand-in to look for `handle`; "1" when the handle is valid in the child.
  std::string seen_by_child(HANDLE handle, const Command& base) {
    const std::wstring plan = scratch_.file(L"plan.txt");
    const std::wstring out = scratch_.file(L"check.txt");
    DeleteFileW(out.c_str());
    const std::string value = std::to_string(reinterpret_cast<ULONG_PTR>(handle));
    if (!test::write_plan(
            plan, {{"handle_check", value}, {"handle_check_out", test::utf8(out)}, {"exit_code", "0"}})) {
      return "cannot write the plan";
    }
    Command command(base);
    command.arg(test::utf8(plan));
    const auto status = test::run_to_completion(command);
    if (!status || *status != 0) {
      return status ? "exit code " + std::to_string(*status) : error_text(status.error());
    }
    return test::read_file(out).value_or("no answer");
  }

  HANDLE socket_handle() const { return reinterpret_cast<HANDLE>(socket_.get()); }

  ScratchDir scratch_;
  std::vector<UniqueHandle> padding_;
  UniqueHandle event_;
  UniqueSocket socket_;
};

// Proves the probe can say yes: a plain CreateProcessW with inheritance on hands the event over.
TEST_F(Inheritance, PlainInheritanceWouldHandTheEventOver) {
  const std::wstring plan = scratch_.file(L"plan.txt");
  const std::wstring out = scratch_.file(L"check.txt");
  const std::string value = std::to_string(reinterpret_cast<ULONG_PTR>(event_.get()));
  ASSERT_TRUE(test::write_plan(
      plan, {{"handle_check", value}, {"handle_check_out", test::utf8(out)}, {"exit_code", "0"}}));
  std::wstring line = L"\"" + test::standin_path() + L"\" \"" + plan + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessW(test::standin_path().c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             nullptr, &startup, &info));
  const UniqueHandle process(info.hProcess);
  const UniqueHandle thread(info.hThread);
  ASSERT_EQ(WaitForSingleObject(process.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(test::read_file(out), "1");
}

TEST_F(Inheritance, OnlyTheStandardHandlesReachTheChild) {
  const Command base(test::utf8(test::standin_path()));
  struct Case {
    const char* what;
    Command command;
  } cases[] = {
      {"streams inherited", Command(base)},
      {"streams on the null device",
       Command(base).stdin_mode(StdioMode::Null).stdout_mode(StdioMode::Null).stderr_mode(StdioMode::Null)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(seen_by_child(event_.get(), c.command), "0") << c.what << ": inheritable event";
    EXPECT_EQ(seen_by_child(socket_handle(), c.command), "0") << c.what << ": inheritable socket";
  }
}

TEST_F(Inheritance, ChildWithoutStandardHandlesInheritsNothing) {
  std::string event_seen;
  std::string socket_seen;
  {
    const test::ScopedStdHandles none(nullptr, nullptr, nullptr);
    const Command base(test::utf8(test::standin_path()));
    event_seen = seen_by_child(event_.get(), base);
    socket_seen = seen_by_child(socket_handle(), base);
  }
  EXPECT_EQ(event_seen, "0");
  EXPECT_EQ(socket_seen, "0");
}

}  // namespace
}  // namespace orvanta

// Polling, waiting for, ending and releasing started children, and launches into a job.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>

#include "support/files.hpp"
#include "support/polling.hpp"
#include "support/standin_plan.hpp"
#include "support/text.hpp"
#include "support/this_process.hpp"
#include "support/watched_process.hpp"

namespace orvanta {
namespace {

using test::ScratchDir;

// A stand-in that reports its id once it runs and then takes the steps in `more`; by default it sleeps
// until it is ended.
struct SleepingChild {
  explicit SleepingChild(const ScratchDir& scratch, const test::PlanEntries& more = {})
      : planned(test::plan_standin(scratch.path(), "sleeper", more)) {}
  test::Planned planned;
  Command command = test::standin_command(planned.plan);
};

HANDLE duplicate(HANDLE process, DWORD access) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, access, FALSE, 0);
  return copy;
}

TEST(ChildLifecycle, EndedChildReportsItsCodeAsOftenAsAsked) {
  ScratchDir scratch;
  const std::wstring plan = scratch.file(L"plan.txt");
  ASSERT_TRUE(test::write_plan(plan, {{"exit_code", "7"}}));
  auto child = spawn(test::standin_command(test::utf8(plan)));
  ASSERT_TRUE(child) << error_text(child.error());
  EXPECT_EQ(test::wait_for_exit(*child), ExitStatus{7});
  EXPECT_EQ(child->try_wait(), WaitState{ExitStatus{7}});
  EXPECT_EQ(child->try_wait(), WaitState{ExitStatus{7}});
  EXPECT_EQ(child->wait_for(0), WaitState{ExitStatus{7}});
  EXPECT_TRUE(child->kill()) << "ending an ended child is a success";
  EXPECT_EQ(test::wait_for_exit(*child), ExitStatus{7});
}

TEST(ChildLifecycle, RunningChildIsPolledThenKilledWithExitCodeOne) {
  ScratchDir scratch;
  SleepingChild sleeper(scratch);
  auto child = spawn(sleeper.command);
  ASSERT_TRUE(child) << error_text(child.error());
  const auto pid = test::wait_for_pid(sleeper.planned.pid_out);
  ASSERT_TRUE(pid) << "the stand-in never reported";
  EXPECT_EQ(*pid, child->id());
  EXPECT_EQ(child->try_wait(), WaitState{StillRunning{}});
  EXPECT_EQ(child->wait_for(20), WaitState{StillRunning{}});
  ASSERT_TRUE(child->kill());
  EXPECT_EQ(test::wait_for_exit(*child), ExitStatus{1});
  EXPECT_EQ(child->try_wait(), WaitState{ExitStatus{1}});
}

TEST(ChildLifecycle, RunToCompletionGivesTheExitCode) {
  ScratchDir scratch;
  const std::wstring plan = scratch.file(L"plan.txt");
  ASSERT_TRUE(test::write_plan(plan, {{"sleep_ms", "50"}, {"exit_code", "3"}}));
  EXPECT_EQ(test::run_to_completion(test::standin_command(test::utf8(plan))), ExitStatus{3});
  EXPECT_EQ(test::run_to_completion(Command(test::utf8(scratch.file(L"missing.exe")))).error().is_os(), true);
}

// TerminateProcess refused with ERROR_ACCESS_DENIED counts as done when the process can still be polled.
TEST(ChildLifecycle, KillThatIsRefusedSucceedsOnlyIfThePollWorks) {
  ScratchDir scratch;
  SleepingChild sleeper(scratch);
  auto child = spawn(sleeper.command);
  ASSERT_TRUE(child) << error_text(child.error());
  struct Case {
    const char* what;
    DWORD access;
    bool succeeds;
  } cases[] = {
      {"may wait, may not end", SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, true},
      {"may neither wait nor end", PROCESS_QUERY_LIMITED_INFORMATION, false},
  };
  for (const auto& c : cases) {
    const Child limited(UniqueHandle(duplicate(child->process_handle(), c.access)), UniqueHandle());
    const auto killed = limited.kill();
    EXPECT_EQ(killed.has_value(), c.succeeds) << c.what;
    if (!c.succeeds && !killed) {
      EXPECT_EQ(killed.error(), Error::os(ERROR_ACCESS_DENIED)) << c.what;
    }
  }
  EXPECT_EQ(child->try_wait(), WaitState{StillRunning{}}) << "no limited handle may have ended it";
  ASSERT_TRUE(child->kill());
  EXPECT_EQ(test::wait_for_exit(*child), ExitStatus{1});
}

TEST(ChildLifecycle, ReleasingAChildLeavesItRunning) {
  ScratchDir scratch;
  // It ends by itself with a code of its own once the test makes a file, which the test does only
  // after the release: so it ran on after the release, and nothing ended it.
  const std::wstring released = scratch.file(L"released");
  SleepingChild sleeper(scratch, {{"wait_for_file", test::utf8(released)}, {"exit_code", "12"}});
  std::optional<test::Watched> watcher;
  {
    auto child = spawn(sleeper.command);
    ASSERT_TRUE(child) << error_text(child.error());
    watcher.emplace(child->id());
    ASSERT_TRUE(test::wait_for_pid(sleeper.planned.pid_out));
  }
  ASSERT_TRUE(test::write_file(released, ""));
  EXPECT_TRUE(watcher->ends_within(10000));
  EXPECT_EQ(watcher->exit_code(), 12u);
}

TEST(ChildLifecycle, JobHoldsTheChildAndEverythingItStarts) {
  ScratchDir scratch;
  const test::Planned grandchild_run = test::plan_standin(scratch.path(), "grandchild");
  const test::Planned child_run =
      test::plan_standin(scratch.path(), "child", {{"grandchild_plan", grandchild_run.plan}});
  const UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  ASSERT_TRUE(job);

  auto child = spawn(test::standin_command(child_run.plan), SpawnOptions{job.get(), nullptr, nullptr, {}});
  ASSERT_TRUE(child) << error_text(child.error());
  ASSERT_TRUE(test::wait_for_pid(child_run.pid_out));
  const auto grandchild_id = test::wait_for_pid(grandchild_run.pid_out);
  ASSERT_TRUE(grandchild_id);
  // Wine's IsProcessInJob wants the full query right, where Windows takes the limited one.
  const UniqueHandle grandchild(
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, *grandchild_id));
  ASSERT_TRUE(grandchild);
  BOOL in_job = FALSE;
  EXPECT_TRUE(IsProcessInJob(child->process_handle(), job.get(), &in_job) && in_job);
  EXPECT_TRUE(IsProcessInJob(grandchild.get(), job.get(), &in_job) && in_job);

  ASSERT_TRUE(TerminateJobObject(job.get(), 9));
  EXPECT_EQ(child->wait_for(10000), WaitState{ExitStatus{9}});
  EXPECT_EQ(WaitForSingleObject(grandchild.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  // Should the job have missed them, they must not outlive the test.
  (void)child->kill();
  TerminateProcess(grandchild.get(), 1);
}

TEST(ChildLifecycle, ChildThatCannotJoinTheJobNeverRuns) {
  ScratchDir scratch;
  // A stand-in under a name no other process has, so that the process list shows whether it exists.
  const std::wstring name = L"never-runs-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
  const test::StandinCopy copy(scratch.file(name));
  ASSERT_TRUE(copy.copied());
  const test::Planned planned = test::plan_standin(scratch.path(), "never-runs");
  const UniqueHandle not_a_job(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const auto child = spawn(Command(test::utf8(scratch.file(name))).arg(planned.plan),
                           SpawnOptions{not_a_job.get(), nullptr, nullptr, {}});
  ASSERT_FALSE(child);
  // The job's refusal, which comes after the process was made: there was a process, and the spawn had
  // to end it.
  EXPECT_EQ(child.error(), Error::os(ERROR_INVALID_HANDLE)) << error_text(child.error());
  // Once no such process is left, nothing can write its files any more; that they are missing then
  // shows that it never took its first step.
  EXPECT_TRUE(test::eventually([&] { return test::processes_named(name).empty(); })) << "the child was left";
  EXPECT_FALSE(std::filesystem::exists(planned.argv_out)) << "the child ran";
  EXPECT_FALSE(std::filesystem::exists(planned.pid_out)) << "the child ran";
  for (const DWORD leftover : test::processes_named(name)) {
    test::Watched(leftover).terminate();
  }
}

TEST(ChildLifecycle, NoHandleOutlivesALaunchOnAnyPath) {
  ScratchDir scratch;
  const std::wstring plan = scratch.file(L"plan.txt");
  ASSERT_TRUE(test::write_plan(plan, {{"exit_code", "0"}}));
  const Command ok = test::standin_command(test::utf8(plan));
  const Command all_null = Command(ok).stdin_mode(StdioMode::Null);
  const Command missing = Command(test::utf8(scratch.file(L"missing.exe"))).stdin_mode(StdioMode::Null);
  ASSERT_EQ(test::run_to_completion(ok), ExitStatus{0});  // loads whatever the first launch needs

  const auto before = test::open_handles();
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(test::run_to_completion(ok), ExitStatus{0});
    EXPECT_EQ(test::run_to_completion(all_null), ExitStatus{0});
    EXPECT_FALSE(spawn(missing));  // fails in CreateProcessW, after the standard handles were made
    EXPECT_FALSE(spawn(Command("orvanta-no-such-program")));
    {
      // The standard error duplicate fails after input and output were made.
      const test::ScopedStdHandles bogus(GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                                         reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0)));
      const auto failed = spawn(Command(ok).stdout_mode(StdioMode::Inherit).stderr_mode(StdioMode::Inherit));
      EXPECT_EQ(failed.has_value() ? Error::os(0) : failed.error(), Error::os(ERROR_INVALID_HANDLE));
    }
  }
  EXPECT_EQ(test::open_handles(), before);
}

}  // namespace
}  // namespace orvanta

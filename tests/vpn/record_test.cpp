// The record that outlives the process: written before OpenVPN runs, cleared once it has ended and
// never in place of a newer one, never waited on by status, and adopted at start only when it names
// the very OpenVPN that was recorded.
#include <chrono>
#include <future>
#include <latch>
#include <thread>

#include "common/error.hpp"
#include "support/recording_failures.hpp"
#include "support/watched_process.hpp"
#include "standin_world.hpp"

namespace orvanta::test {
namespace {

using namespace std::chrono_literals;

class RecordTest : public VpnTest {
 protected:
  // A new state over the same store, as the next process of the service makes it, having adopted.
  void restart() {
    state_ = std::make_shared<HelperState>(stand_in_system(), store_);
    state_->adopt_recorded();
  }
  [[nodiscard]] HelperResponse running(std::uint32_t pid) const { return {true, "running", pid}; }
};

TEST_F(RecordTest, WrittenWhileOpenVpnIsSuspendedAndClearedOnceItsTreeHasEnded) {
  const Planned openvpn = plan("openvpn");
  store_->inside = [&](const std::string& kind) {
    if (kind == "save") {
      // Long enough for a resumed stand-in to have written its arguments.
      std::this_thread::sleep_for(300ms);
      EXPECT_FALSE(std::filesystem::exists(openvpn.argv_out)) << "OpenVPN ran before its record was kept";
    }
  };
  const HelperResponse started = connect(openvpn);
  ASSERT_TRUE(started.pid) << started.message;
  store_->inside = nullptr;
  const auto record = store_->record();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->identity, (RunIdentity{*started.pid, creation_time_of(*started.pid)}));
  EXPECT_EQ(utf8(to_wide(record->image)), standin_);

  EXPECT_EQ(disconnect(), disconnected_reply);
  EXPECT_EQ(store_->text(), std::nullopt);
  EXPECT_EQ(store_->calls(), (std::vector<std::string>{"save", "load", "erase"}));
}

TEST_F(RecordTest, ClearedWhenStatusFindsOpenVpnEndedAndNotKeptForAFailedLaunch) {
  const Planned quitting = plan("quitting", {{"exit_code", "3"}});
  const HelperResponse started = connect(quitting);
  ASSERT_TRUE(started.pid) << started.message;
  ASSERT_TRUE(Watched(*started.pid).ends_within(10000));
  ASSERT_TRUE(store_->record());
  EXPECT_EQ(state_->query_status(), stopped_reply);
  EXPECT_EQ(store_->text(), std::nullopt);

  // A failed launch keeps none, nor leaves the one before it.
  ASSERT_TRUE(connect(plan("replaced")).pid);
  EXPECT_FALSE(state_->start_openvpn(utf8(root_ / "missing.exe"), "c", "a", "l").ok);
  EXPECT_EQ(store_->text(), std::nullopt);
}

// A store that cannot be written leaves the connect to go on; one that cannot be read at start keeps
// its record for a later start. Each is reported.
TEST_F(RecordTest, StoreThatFailsIsReportedAndNeitherTheConnectNorTheRecordIsLost) {
  const std::vector<std::pair<Failure, std::string>> denied{
      {Failure::RunRecord, error_text(Error::os(ERROR_ACCESS_DENIED))}};
  {
    const ScopedFailureSink failures;
    store_->fail("save", Error::os(ERROR_ACCESS_DENIED));
    const HelperResponse started = connect(plan("openvpn"));
    ASSERT_TRUE(started.pid) << started.message;
    EXPECT_EQ(started, (HelperResponse{true, "OpenVPN started", started.pid}));
    EXPECT_EQ(state_->query_status(), running(*started.pid));
    EXPECT_EQ(failures.sink().reports(), denied);
    EXPECT_EQ(disconnect(), disconnected_reply);
  }
  const ScopedFailureSink failures;  // a new sink holds nothing back under the rate limit
  store_ = std::make_shared<RecordingStore>();
  const std::u16string text = encode_run_record({{4242, 1}, u"C:\\openvpn.exe", 0});
  store_->put(text);
  store_->fail("load", Error::os(ERROR_ACCESS_DENIED));
  restart();
  EXPECT_EQ(store_->text(), text);
  EXPECT_EQ(store_->calls(), (std::vector<std::string>{"load"}));
  EXPECT_EQ(failures.sink().reports(), denied);
}

// The disconnect ends the first OpenVPN and then hangs in taskkill; a connect records the second
// meanwhile. The clear that the disconnect makes at last must leave the second's record.
TEST_F(RecordTest, DisconnectRacingAConnectNeverClearsTheNewerRecord) {
  // What it started is still in its job once it has ended through its event, so its stop runs taskkill.
  const Planned child = plan("first-child");
  ASSERT_TRUE(connect(plan("first", {{"grandchild_plan", child.plan}})).pid);
  ASSERT_TRUE(wait_for_pid(child.pid_out));
  hold_taskkill(true);
  std::jthread disconnecting([this] { EXPECT_EQ(disconnect(), disconnected_reply); });
  ASSERT_TRUE(eventually([] { return !taskkill_runs().empty(); }));
  const HelperResponse second = connect(plan("second"));
  ASSERT_TRUE(second.pid) << second.message;
  hold_taskkill(false);
  disconnecting.join();
  EXPECT_EQ(store_->record().transform([](const RunRecord& record) { return record.identity.pid; }),
            second.pid);
  EXPECT_EQ(state_->query_status(), running(*second.pid));
  EXPECT_EQ(disconnect(), disconnected_reply);
}

TEST_F(RecordTest, StatusNeverWaitsOnTheStore) {
  const HelperResponse started = connect(plan("openvpn"));
  ASSERT_TRUE(started.pid) << started.message;
  std::latch entered(1);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  store_->inside = [&](const std::string& kind) {
    if (kind == "load") {
      entered.count_down();
      released.wait();
    }
  };
  std::jthread disconnecting([this] { EXPECT_EQ(disconnect(), disconnected_reply); });
  entered.wait();
  auto status = std::async(std::launch::async, [this] { return state_->query_status(); });
  const bool answered = status.wait_for(5s) == std::future_status::ready;
  release.set_value();
  EXPECT_TRUE(answered) << "status waited for the store";
  EXPECT_EQ(status.get(), stopped_reply);
  disconnecting.join();
  store_->inside = nullptr;
}

// Records that name a process, or none, other than the one recorded: cleared, and nothing is ended.
TEST_F(RecordTest, RecordThatNamesNoRecordedOpenVpnIsClearedAndNothingIsEnded) {
  const std::string other_copy = copy_standin("other\\standin.exe");
  Result<Child> decoy = spawn(standin_command(plan("decoy").plan));
  ASSERT_TRUE(decoy) << error_text(decoy.error());
  const Watched decoy_process(decoy->id());
  const std::uint32_t id = decoy->id();
  const std::uint64_t created = creation_time_of(id);

  struct Case {
    const char* what;
    std::u16string text;
  };
  const Case cases[] = {
      {"another program", encode_run_record({{id, created}, utf8_to_utf16(other_copy), 0})},
      {"an unreadable record", u"1 garbage"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    store_->put(c.text);
    restart();
    EXPECT_EQ(state_->query_status(), stopped_reply);
    EXPECT_EQ(store_->text(), std::nullopt);
    EXPECT_TRUE(decoy_process.running());
  }
  state_->stop_openvpn(std::chrono::milliseconds(0));
  EXPECT_TRUE(decoy_process.running());
  EXPECT_TRUE(taskkill_runs().empty());
}

// The seam of the taskkill fallback: the record's job handle reaches nothing, or a job that does not
// hold OpenVPN. OpenVPN is still adopted and ended, and taskkill runs for it; its grandchild, which
// only the job could reach past a taskkill without /T (the stand-in's, and Wine's own), runs on.
TEST_F(RecordTest, JobThatCannotBeReachedLeavesTheTreeToTaskkill) {
  // A process of its own in the other job, which taking that job for OpenVPN's would end.
  const UniqueHandle unrelated_job(CreateJobObjectW(nullptr, nullptr));
  ASSERT_TRUE(unrelated_job);
  const Result<Child> bystander =
      spawn(standin_command(plan("bystander").plan), SpawnOptions{unrelated_job.get(), nullptr, nullptr, {}});
  ASSERT_TRUE(bystander);
  const Watched bystander_process(bystander->id());
  for (const bool handed_another_job : {false, true}) {
    SCOPED_TRACE(handed_another_job ? "a job that does not hold OpenVPN" : "no such handle");
    std::filesystem::remove(taskkill_log());
    const Planned grandchild = plan(handed_another_job ? "grandchild-2" : "grandchild-1");
    const HelperResponse started =
        connect(plan(handed_another_job ? "openvpn-2" : "openvpn-1", {{"grandchild_plan", grandchild.plan}}));
    ASSERT_TRUE(started.pid) << started.message;
    const Watched openvpn(*started.pid);
    Watched descendant(wait_for_pid(grandchild.pid_out));
    auto record = store_->record();
    ASSERT_TRUE(record);
    record->job = 0;
    if (handed_another_job) {
      const UniqueHandle process(OpenProcess(PROCESS_DUP_HANDLE, FALSE, *started.pid));
      HANDLE given = nullptr;
      ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), unrelated_job.get(), process.get(), &given, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS));
      record->job = reinterpret_cast<std::uintptr_t>(given);
    }
    store_->put(encode_run_record(*record));
    restart();
    EXPECT_EQ(state_->query_status(), running(*started.pid));

    EXPECT_EQ(disconnect(), disconnected_reply);
    EXPECT_FALSE(openvpn.running());
    EXPECT_TRUE(descendant.running()) << "ended by a job that should not have been taken";
    EXPECT_TRUE(bystander_process.running()) << "another job was taken for OpenVPN's";
    EXPECT_EQ(taskkill_runs(), (std::vector<TaskkillRun>{{taskkill_line(*started.pid), standin_, true}}));
    EXPECT_EQ(store_->text(), std::nullopt);
    descendant.terminate();
  }
}

}  // namespace
}  // namespace orvanta::test

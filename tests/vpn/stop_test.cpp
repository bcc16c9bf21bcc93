// Stopping OpenVPN: first through its exit event, then by force; the whole tree ends although the
// stand-in taskkill ends nothing, taskkill runs only for a recorded OpenVPN that may have left something
// and while its id still names it, and status never waits for a stop.
#include <atomic>
#include <thread>

#include "standin_world.hpp"
#include "support/polling.hpp"

namespace orvanta::test {
namespace {

// OpenVPN that ends through its event, one that ignores it and is forced once the grace has passed,
// and one forced at once: in each case what it started ends with it, and its exit is kept as stopped,
// with its code only when it ended by itself.
TEST_F(VpnTest, StopEndsTheWholeTree) {
  using namespace std::chrono_literals;
  struct Case {
    const char* name;
    PlanEntries steps;
    std::chrono::milliseconds grace;
    std::optional<ExitStatus> code;
  } cases[] = {
      {"ends on its event", {}, 5s, 0},
      {"ignores its event", {{"ignore_exit_event", "1"}}, 300ms, std::nullopt},
      {"no grace", {}, 0ms, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(taskkill_log());
    const Planned great_grandchild = plan(std::string(c.name) + "-great-grandchild");
    const Planned grandchild =
        plan(std::string(c.name) + "-grandchild", {{"grandchild_plan", great_grandchild.plan}});
    PlanEntries steps = c.steps;
    steps.emplace_back("grandchild_plan", grandchild.plan);
    const HelperResponse started = connect(plan(c.name, steps));
    ASSERT_TRUE(started.pid) << started.message;
    Watched tree[] = {Watched(*started.pid), Watched(wait_for_pid(grandchild.pid_out)),
                      Watched(wait_for_pid(great_grandchild.pid_out))};
    for (const Watched& process : tree) {
      ASSERT_TRUE(process.running());
    }

    state_->stop_openvpn(c.grace);
    for (const Watched& process : tree) {
      EXPECT_FALSE(process.running());
    }
    EXPECT_EQ(taskkill_runs(), (std::vector<TaskkillRun>{{taskkill_line(*started.pid), standin_, true}}));
    EXPECT_EQ(state_->query_status(), stopped_reply);
    const auto kept = store_->last_exit();
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->pid, *started.pid);
    EXPECT_EQ(kept->cause, ExitCause::Stopped);
    EXPECT_EQ(kept->code, c.code);
  }
}

// Nothing recorded, or an OpenVPN that ended through its event and left its job empty: nothing is left
// for taskkill to end.
TEST_F(VpnTest, StopWithNothingLeftRunsNoTaskkill) {
  state_->stop_openvpn(std::chrono::milliseconds(0));
  EXPECT_EQ(disconnect(), disconnected_reply);
  EXPECT_TRUE(taskkill_runs().empty());

  const HelperResponse started = connect(plan("openvpn"));
  ASSERT_TRUE(started.pid) << started.message;
  EXPECT_EQ(disconnect(), disconnected_reply);
  EXPECT_EQ(disconnect(), disconnected_reply);
  EXPECT_TRUE(taskkill_runs().empty());
}

// Whoever made the event's name first could set it, or keep OpenVPN from ever seeing it set.
TEST_F(VpnTest, AnExitEventNameThatExistsRefusesTheConnect) {
  const UniqueHandle taken(CreateEventW(nullptr, TRUE, FALSE, L"Global\\OrvantaVpnHelper-exit-test"));
  ASSERT_TRUE(taken);
  state_ = std::make_shared<HelperState>(stand_in_system(), store_, [] {
    return Result<std::u16string>(u"Global\\OrvantaVpnHelper-exit-test");
  });
  const Planned planned = plan("openvpn");
  EXPECT_EQ(connect(planned),
            (HelperResponse{false, "Failed to start OpenVPN: the exit event already exists", std::nullopt}));
  EXPECT_FALSE(std::filesystem::exists(planned.pid_out));
}

TEST_F(VpnTest, StatusAnswersStoppedWhileTheStopStillRunsTaskkill) {
  // What it started is still in its job once it has ended through its event, so its stop runs taskkill.
  const Planned child = plan("child");
  const HelperResponse started = connect(plan("openvpn", {{"grandchild_plan", child.plan}}));
  ASSERT_TRUE(started.pid) << started.message;
  // Not before it is ready: an OpenVPN that finds its event set at its start exits at once.
  ASSERT_TRUE(wait_for_pid(child.pid_out));

  hold_taskkill(true);
  std::atomic<bool> stop_done{false};
  HelperResponse disconnected;
  std::jthread disconnecting([&] {
    disconnected = disconnect();
    stop_done = true;
  });
  const bool taskkill_started = eventually([] { return !taskkill_runs().empty(); });
  const HelperResponse status = state_->query_status();
  const bool stop_done_before_status = stop_done;
  hold_taskkill(false);
  disconnecting.join();

  ASSERT_TRUE(taskkill_started);
  EXPECT_EQ(status, stopped_reply);
  EXPECT_FALSE(stop_done_before_status) << "status waited for the taskkill run";
  EXPECT_EQ(disconnected, disconnected_reply);
}

}  // namespace
}  // namespace orvanta::test

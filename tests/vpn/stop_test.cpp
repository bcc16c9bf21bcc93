// Stopping OpenVPN: the whole tree ends although the stand-in taskkill ends nothing, taskkill runs only
// for a recorded OpenVPN and while its id still names it, and status never waits for a stop.
#include <atomic>
#include <thread>

#include "standin_world.hpp"
#include "support/polling.hpp"

namespace orvanta::test {
namespace {

TEST_F(VpnTest, StopEndsTheWholeTree) {
  const Planned great_grandchild = plan("great-grandchild");
  const Planned grandchild = plan("grandchild", {{"grandchild_plan", great_grandchild.plan}});
  const HelperResponse started = connect(plan("openvpn", {{"grandchild_plan", grandchild.plan}}));
  ASSERT_TRUE(started.pid) << started.message;
  Watched tree[] = {Watched(*started.pid), Watched(wait_for_pid(grandchild.pid_out)),
                    Watched(wait_for_pid(great_grandchild.pid_out))};
  for (const Watched& process : tree) {
    ASSERT_TRUE(process.running());
  }

  state_->stop_openvpn();
  for (const Watched& process : tree) {
    EXPECT_FALSE(process.running());
  }
  EXPECT_EQ(taskkill_runs(), (std::vector<TaskkillRun>{{taskkill_line(*started.pid), standin_, true}}));
  EXPECT_EQ(state_->query_status(), stopped_reply);
}

TEST_F(VpnTest, StopWithNothingRecordedRunsNoTaskkill) {
  state_->stop_openvpn();
  EXPECT_EQ(disconnect(), disconnected_reply);
  EXPECT_TRUE(taskkill_runs().empty());

  const HelperResponse started = connect(plan("openvpn"));
  ASSERT_TRUE(started.pid) << started.message;
  EXPECT_EQ(disconnect(), disconnected_reply);
  EXPECT_EQ(disconnect(), disconnected_reply);
  EXPECT_EQ(taskkill_runs(), (std::vector<TaskkillRun>{{taskkill_line(*started.pid), standin_, true}}));
}

TEST_F(VpnTest, StatusAnswersStoppedWhileTheStopStillRunsTaskkill) {
  const HelperResponse started = connect(plan("openvpn"));
  ASSERT_TRUE(started.pid) << started.message;

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
